#include "tests/support/mat_writer.h"

#include <hdf5.h>
#include <matio.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <memory>

#include "tests/support/wav_fixture.h"

namespace tessaro::testing {
namespace {

// Fixed header text so that written files do not depend on the date.
constexpr const char* HeaderText = "MATLAB 5.0 MAT-file, written by the tessaro tests";

struct VariableDeleter {
    void operator()(matvar_t* variable) const { Mat_VarFree(variable); }
};
using VariablePointer = std::unique_ptr<matvar_t, VariableDeleter>;

template <typename Value>
Bytes Pack(const std::vector<double>& values) {
    Bytes bytes(values.size() * sizeof(Value));
    for (size_t i = 0; i < values.size(); ++i) {
        Value value = static_cast<Value>(values[i]);
        std::memcpy(bytes.data() + i * sizeof(Value), &value, sizeof(Value));
    }
    return bytes;
}

struct ClassStorage {
    matio_types dataType;
    Bytes bytes;
};

ClassStorage PackClass(MatWriteClass valueClass, const std::vector<double>& values) {
    switch (valueClass) {
        case MatWriteClass::Double:
            return {MAT_T_DOUBLE, Pack<double>(values)};
        case MatWriteClass::Single:
            return {MAT_T_SINGLE, Pack<float>(values)};
        case MatWriteClass::Int8:
            return {MAT_T_INT8, Pack<int8_t>(values)};
        case MatWriteClass::UInt8:
            return {MAT_T_UINT8, Pack<uint8_t>(values)};
        case MatWriteClass::Int16:
            return {MAT_T_INT16, Pack<int16_t>(values)};
        case MatWriteClass::UInt16:
            return {MAT_T_UINT16, Pack<uint16_t>(values)};
        case MatWriteClass::Int32:
            return {MAT_T_INT32, Pack<int32_t>(values)};
        case MatWriteClass::UInt32:
            return {MAT_T_UINT32, Pack<uint32_t>(values)};
        case MatWriteClass::Int64:
            return {MAT_T_INT64, Pack<int64_t>(values)};
        case MatWriteClass::UInt64:
            return {MAT_T_UINT64, Pack<uint64_t>(values)};
    }
    return {MAT_T_DOUBLE, {}};
}

// Code points of UTF-8 text (well-formed input assumed).
std::vector<uint32_t> CodePoints(const std::string& utf8) {
    std::vector<uint32_t> codes;
    for (size_t i = 0; i < utf8.size();) {
        auto lead = static_cast<uint8_t>(utf8[i]);
        size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length && i + k < utf8.size(); ++k) {
            code = (code << 6) | (static_cast<uint8_t>(utf8[i + k]) & 0x3F);
        }
        codes.push_back(code);
        i += length;
    }
    return codes;
}

std::vector<uint16_t> Utf16Units(const std::string& utf8) {
    std::vector<uint16_t> units;
    for (uint32_t code : CodePoints(utf8)) {
        if (code >= 0x10000) {
            code -= 0x10000;
            units.push_back(static_cast<uint16_t>(0xD800 + (code >> 10)));
            units.push_back(static_cast<uint16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            units.push_back(static_cast<uint16_t>(code));
        }
    }
    return units;
}

matvar_t* ScalarDouble(const char* name, double value) {
    size_t dims[2] = {1, 1};
    return Mat_VarCreate(name, MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dims, &value, 0);
}

void AppendRaw(Bytes* bytes, const void* data, size_t size) {
    const auto* begin = static_cast<const uint8_t*>(data);
    bytes->insert(bytes->end(), begin, begin + size);
}

}  // namespace

const char* MatWriteVersionName(MatWriteVersion version) {
    switch (version) {
        case MatWriteVersion::Level4:
            return "level4";
        case MatWriteVersion::Level5:
            return "level5";
        case MatWriteVersion::Level5Compressed:
            return "level5_compressed";
        case MatWriteVersion::Hdf5:
            return "v7_3";
    }
    return "unknown";
}

MatWriter& MatWriter::Numeric(const std::string& name, MatWriteClass valueClass,
                              const std::vector<size_t>& dims, const std::vector<double>& values) {
    variables.push_back({Kind::Numeric, name, valueClass, dims, values, {}, {}});
    return *this;
}

MatWriter& MatWriter::Double(const std::string& name, size_t rows, size_t columns,
                             const std::vector<double>& values) {
    return Numeric(name, MatWriteClass::Double, {rows, columns}, values);
}

MatWriter& MatWriter::Logical(const std::string& name, const std::vector<size_t>& dims,
                              const std::vector<uint8_t>& values) {
    std::vector<double> asDoubles(values.begin(), values.end());
    variables.push_back({Kind::Logical, name, MatWriteClass::UInt8, dims, asDoubles, {}, {}});
    return *this;
}

MatWriter& MatWriter::Complex(const std::string& name, size_t rows, size_t columns,
                              const std::vector<double>& real,
                              const std::vector<double>& imaginary) {
    variables.push_back(
        {Kind::Complex, name, MatWriteClass::Double, {rows, columns}, real, imaginary, {}});
    return *this;
}

MatWriter& MatWriter::Text(const std::string& name, const std::string& utf8) {
    variables.push_back({Kind::Text, name, MatWriteClass::Double, {}, {}, {}, utf8});
    return *this;
}

MatWriter& MatWriter::Sparse(const std::string& name, size_t rows, size_t columns) {
    variables.push_back({Kind::Sparse, name, MatWriteClass::Double, {rows, columns}, {}, {}, {}});
    return *this;
}

MatWriter& MatWriter::Cell(const std::string& name, size_t count) {
    variables.push_back({Kind::Cell, name, MatWriteClass::Double, {1, count}, {}, {}, {}});
    return *this;
}

MatWriter& MatWriter::Struct(const std::string& name) {
    variables.push_back({Kind::Struct, name, MatWriteClass::Double, {1, 1}, {}, {}, {}});
    return *this;
}

bool MatWriter::Write(const std::string& path, MatWriteVersion version) const {
    mat_ft fileVersion = version == MatWriteVersion::Level4 ? MAT_FT_MAT4
                         : version == MatWriteVersion::Hdf5 ? MAT_FT_MAT73
                                                            : MAT_FT_MAT5;
    matio_compression compression =
        version == MatWriteVersion::Level5Compressed ? MAT_COMPRESSION_ZLIB : MAT_COMPRESSION_NONE;
    unlink(path.c_str());
    mat_t* mat = Mat_CreateVer(path.c_str(), HeaderText, fileVersion);
    if (mat == nullptr) return false;
    bool ok = true;
    for (const Variable& item : variables) {
        std::vector<size_t> dims = item.dims;
        const char* name = item.name.c_str();
        VariablePointer variable;
        // Buffers must outlive the write: matio copies only some kinds.
        ClassStorage storage;
        Bytes imaginaryBytes;
        mat_complex_split_t split{};
        std::vector<uint16_t> units;
        Bytes latin1;
        std::vector<mat_uint32_t> rowIndex;
        std::vector<mat_uint32_t> columnStart;
        std::vector<double> sparseValues;
        mat_sparse_t sparse{};
        switch (item.kind) {
            case Kind::Numeric:
                storage = PackClass(item.valueClass, item.real);
                variable.reset(Mat_VarCreate(name, static_cast<matio_classes>(item.valueClass),
                                             storage.dataType, static_cast<int>(dims.size()),
                                             dims.data(), storage.bytes.data(), 0));
                break;
            case Kind::Logical:
                storage = PackClass(MatWriteClass::UInt8, item.real);
                variable.reset(Mat_VarCreate(name, MAT_C_UINT8, MAT_T_UINT8,
                                             static_cast<int>(dims.size()), dims.data(),
                                             storage.bytes.data(), MAT_F_LOGICAL));
                break;
            case Kind::Complex:
                storage = PackClass(MatWriteClass::Double, item.real);
                imaginaryBytes = Pack<double>(item.imaginary);
                split.Re = storage.bytes.data();
                split.Im = imaginaryBytes.data();
                variable.reset(Mat_VarCreate(name, MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dims.data(),
                                             &split, MAT_F_COMPLEX));
                break;
            case Kind::Text:
                if (version == MatWriteVersion::Level4) {
                    for (uint32_t code : CodePoints(item.text)) {
                        latin1.push_back(static_cast<uint8_t>(code));
                    }
                    dims = {1, latin1.size()};
                    variable.reset(Mat_VarCreate(name, MAT_C_CHAR, MAT_T_UINT8, 2, dims.data(),
                                                 latin1.data(), 0));
                } else {
                    units = Utf16Units(item.text);
                    dims = {1, units.size()};
                    variable.reset(Mat_VarCreate(name, MAT_C_CHAR, MAT_T_UINT16, 2, dims.data(),
                                                 units.data(), 0));
                }
                break;
            case Kind::Sparse:
                for (size_t column = 0; column < dims[1]; ++column) {
                    columnStart.push_back(static_cast<mat_uint32_t>(column));
                    rowIndex.push_back(static_cast<mat_uint32_t>(column % dims[0]));
                    sparseValues.push_back(static_cast<double>(column + 1));
                }
                columnStart.push_back(static_cast<mat_uint32_t>(dims[1]));
                sparse.nzmax = static_cast<mat_uint32_t>(rowIndex.size());
                sparse.ir = rowIndex.data();
                sparse.nir = static_cast<mat_uint32_t>(rowIndex.size());
                sparse.jc = columnStart.data();
                sparse.njc = static_cast<mat_uint32_t>(columnStart.size());
                sparse.ndata = static_cast<mat_uint32_t>(sparseValues.size());
                sparse.data = sparseValues.data();
                variable.reset(Mat_VarCreate(name, MAT_C_SPARSE, MAT_T_DOUBLE, 2, dims.data(),
                                             &sparse, MAT_F_DONT_COPY_DATA));
                break;
            case Kind::Cell:
                variable.reset(
                    Mat_VarCreate(name, MAT_C_CELL, MAT_T_CELL, 2, dims.data(), nullptr, 0));
                for (size_t i = 0; variable && i < dims[1]; ++i) {
                    Mat_VarSetCell(variable.get(), static_cast<int>(i),
                                   ScalarDouble(nullptr, static_cast<double>(i)));
                }
                break;
            case Kind::Struct: {
                const char* fields[] = {"a"};
                variable.reset(Mat_VarCreateStruct(name, 2, dims.data(), fields, 1));
                if (variable) {
                    Mat_VarSetStructFieldByName(variable.get(), "a", 0, ScalarDouble("a", 1.0));
                }
                break;
            }
        }
        if (!variable || Mat_VarWrite(mat, variable.get(), compression) != 0) {
            ok = false;
        }
        if (item.kind == Kind::Sparse && variable) {
            // The sparse record belongs to this function.
            variable->data = nullptr;
        }
    }
    Mat_Close(mat);
    return ok;
}

Bytes Level5Builder::U32(uint32_t value) const {
    if (bigEndian) value = __builtin_bswap32(value);
    Bytes bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

Bytes Level5Builder::Header(uint16_t version) const {
    Bytes header(128, ' ');
    std::memcpy(header.data(), HeaderText, std::strlen(HeaderText));
    std::memset(header.data() + 116, 0, 8);
    if (bigEndian) {
        header[124] = static_cast<uint8_t>(version >> 8);
        header[125] = static_cast<uint8_t>(version);
        header[126] = 'M';
        header[127] = 'I';
    } else {
        header[124] = static_cast<uint8_t>(version);
        header[125] = static_cast<uint8_t>(version >> 8);
        header[126] = 'I';
        header[127] = 'M';
    }
    return header;
}

Bytes Level5Builder::ElementClaiming(uint32_t type, uint32_t byteCount, const Bytes& data) const {
    return Concat({U32(type), U32(byteCount), data});
}

Bytes Level5Builder::Element(uint32_t type, const Bytes& data) const {
    Bytes element = ElementClaiming(type, static_cast<uint32_t>(data.size()), data);
    element.resize((element.size() + 7) & ~size_t{7}, 0);
    return element;
}

Bytes Level5Builder::SmallElement(uint32_t type, const Bytes& data) const {
    Bytes element = U32((static_cast<uint32_t>(data.size()) << 16) | type);
    element.insert(element.end(), data.begin(), data.end());
    element.resize(8, 0);
    return element;
}

Bytes Level5Builder::ArrayFlags(uint8_t classId, bool isComplex, bool isLogical,
                                uint32_t nzmax) const {
    uint32_t flags = classId | (isComplex ? 0x800u : 0u) | (isLogical ? 0x200u : 0u);
    return Element(MiUInt32, Concat({U32(flags), U32(nzmax)}));
}

Bytes Level5Builder::Int32s(const std::vector<int32_t>& values) const {
    Bytes bytes;
    for (int32_t value : values) {
        Bytes word = U32(static_cast<uint32_t>(value));
        bytes.insert(bytes.end(), word.begin(), word.end());
    }
    return bytes;
}

Bytes Level5Builder::Dims(const std::vector<int32_t>& dims) const {
    return Element(MiInt32, Int32s(dims));
}

Bytes Level5Builder::Name(const std::string& name) const {
    return Element(MiInt8, Bytes(name.begin(), name.end()));
}

Bytes Level5Builder::Doubles(const std::vector<double>& values) const {
    Bytes bytes;
    for (double value : values) {
        uint64_t raw;
        std::memcpy(&raw, &value, 8);
        if (bigEndian) raw = __builtin_bswap64(raw);
        AppendRaw(&bytes, &raw, 8);
    }
    return bytes;
}

Bytes Level5Builder::UInt16s(const std::vector<uint16_t>& values) const {
    Bytes bytes;
    for (uint16_t value : values) {
        if (bigEndian) value = __builtin_bswap16(value);
        AppendRaw(&bytes, &value, 2);
    }
    return bytes;
}

Bytes Level5Builder::Matrix(const std::vector<Bytes>& parts) const {
    return Element(MiMatrix, Concat(parts));
}

Bytes Level5Builder::Compressed(const Bytes& element) const {
    uLongf size = compressBound(static_cast<uLong>(element.size()));
    Bytes deflated(size);
    if (compress2(deflated.data(), &size, element.data(), static_cast<uLong>(element.size()),
                  Z_BEST_COMPRESSION) != Z_OK) {
        return {};
    }
    deflated.resize(size);
    // Compressed elements are not padded.
    return ElementClaiming(MiCompressed, static_cast<uint32_t>(size), deflated);
}

Bytes Level5Builder::DoubleMatrix(const std::string& name, int32_t rows, int32_t columns,
                                  const std::vector<double>& values) const {
    return Matrix(
        {ArrayFlags(6), Dims({rows, columns}), Name(name), Element(MiDouble, Doubles(values))});
}

Bytes Level5Builder::Utf8Matrix(const std::string& name, int32_t characters,
                                const std::string& utf8) const {
    return Matrix({ArrayFlags(4), Dims({1, characters}), Name(name),
                   Element(MiUtf8, Bytes(utf8.begin(), utf8.end()))});
}

Bytes Level4Matrix(int32_t typeCode, int32_t rows, int32_t columns, int32_t imaginary,
                   const std::string& name, const Bytes& data) {
    int32_t header[5] = {typeCode, rows, columns, imaginary, static_cast<int32_t>(name.size() + 1)};
    Bytes bytes(sizeof header + name.size() + 1 + data.size(), 0);
    std::memcpy(bytes.data(), header, sizeof header);
    std::memcpy(bytes.data() + sizeof header, name.data(), name.size());
    if (!data.empty()) {
        std::memcpy(bytes.data() + sizeof header + name.size() + 1, data.data(), data.size());
    }
    return bytes;
}

Bytes Concat(const std::vector<Bytes>& pieces) {
    Bytes bytes;
    for (const Bytes& piece : pieces) bytes.insert(bytes.end(), piece.begin(), piece.end());
    return bytes;
}

bool WriteUnfilledHdf5Matrix(const std::string& path, const std::string& name, uint64_t rows,
                             uint64_t columns) {
    // The MAT header lives in a 512-byte user block ahead of the HDF5 data.
    hid_t creation = H5Pcreate(H5P_FILE_CREATE);
    H5Pset_userblock(creation, 512);
    hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, creation, H5P_DEFAULT);
    H5Pclose(creation);
    if (file < 0) return false;
    // HDF5 lists MATLAB's dimensions in reverse order.
    hsize_t dims[2] = {columns, rows};
    hsize_t chunk[2] = {1, rows < 1024 ? rows : 1024};
    hid_t space = H5Screate_simple(2, dims, nullptr);
    hid_t layout = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(layout, 2, chunk);
    hid_t dataset =
        H5Dcreate2(file, name.c_str(), H5T_NATIVE_DOUBLE, space, H5P_DEFAULT, layout, H5P_DEFAULT);
    hid_t text = H5Tcopy(H5T_C_S1);
    H5Tset_size(text, 6);
    hid_t scalar = H5Screate(H5S_SCALAR);
    hid_t attribute = H5Acreate2(dataset, "MATLAB_class", text, scalar, H5P_DEFAULT, H5P_DEFAULT);
    bool ok = dataset >= 0 && attribute >= 0 && H5Awrite(attribute, text, "double") >= 0;
    H5Aclose(attribute);
    H5Sclose(scalar);
    H5Tclose(text);
    H5Dclose(dataset);
    H5Pclose(layout);
    H5Sclose(space);
    H5Fclose(file);
    return ok && OverwriteFileBytes(path, 0, Level5Builder().Header(0x0200));
}

bool TruncateFileTo(const std::string& path, size_t size) {
    return truncate(path.c_str(), static_cast<off_t>(size)) == 0;
}

bool OverwriteFileBytes(const std::string& path, size_t offset, const Bytes& bytes) {
    Bytes content = ReadFileBytes(path);
    if (offset > content.size() || bytes.size() > content.size() - offset) return false;
    std::memcpy(content.data() + offset, bytes.data(), bytes.size());
    return WriteFileBytes(path, content);
}

bool WriteMatFuzzSeeds(const std::string& folder) {
    std::vector<double> taps = {0.5, -0.25, 0.125, 1.0, 0.0, -1.0, 0.75, 0.25};
    MatWriter config;
    config.Text("label", "Room A \xE2\x82\xAC")
        .Numeric("SR", MatWriteClass::Double, {1, 1}, {48000})
        .Double("H", 2, 4, taps);
    MatWriter others;
    others.Numeric("SR", MatWriteClass::Int32, {1, 1}, {44100})
        .Numeric("H", MatWriteClass::Single, {2, 2, 2}, taps)
        .Logical("label", {1, 3}, {1, 0, 1})
        .Complex("c", 1, 2, {1, 2}, {3, 4})
        .Sparse("s", 3, 3)
        .Cell("cell", 2)
        .Struct("st");
    bool ok = config.Write(folder + "/config_level5.mat", MatWriteVersion::Level5) &&
              config.Write(folder + "/config_compressed.mat", MatWriteVersion::Level5Compressed) &&
              config.Write(folder + "/config_level4.mat", MatWriteVersion::Level4) &&
              others.Write(folder + "/classes_level5.mat", MatWriteVersion::Level5) &&
              others.Write(folder + "/classes_compressed.mat", MatWriteVersion::Level5Compressed);

    Level5Builder little;
    Level5Builder big(true);
    Bytes utf8 = Concat({little.Header(), little.Utf8Matrix("label", 4, "h\xC3\xA9\xE2\x82\xAC!"),
                         little.Compressed(little.DoubleMatrix("H", 1, 4, {1, 2, 3, 4}))});
    Bytes bigEndian = Concat({big.Header(), big.DoubleMatrix("H", 1, 4, {1, 2, 3, 4}),
                              big.Matrix({big.ArrayFlags(4), big.Dims({1, 2}), big.Name("label"),
                                          big.Element(MiUInt16, big.UInt16s({'o', 'k'}))})});
    Bytes level4Text = Concat({Level4Matrix(1, 1, 2, 0, "label", little.Doubles({104, 8364})),
                               Level4Matrix(0, 1, 4, 0, "H", little.Doubles({1, 2, 3, 4}))});
    // Claims more data than present: must be refused.
    Bytes truncated = little.DoubleMatrix("H", 4, 4, {1, 2});
    Bytes damaged = Concat({little.Header(), truncated});
    ok = ok && WriteFileBytes(folder + "/utf8_label.mat", utf8) &&
         WriteFileBytes(folder + "/big_endian.mat", bigEndian) &&
         WriteFileBytes(folder + "/level4_text.mat", level4Text) &&
         WriteFileBytes(folder + "/dims_past_data.mat", damaged);
    return ok;
}

}  // namespace tessaro::testing
