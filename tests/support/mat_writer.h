#pragma once
// MAT files for tests: whole files written through libmatio (as MATLAB,
// Octave and SciPy files would be), level-5 and level-4 pieces built field by
// field for damaged files, and helpers that damage a file on disk.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tessaro::testing {

enum class MatWriteVersion { Level4, Level5, Level5Compressed, Hdf5 };

const char* MatWriteVersionName(MatWriteVersion version);

// Value classes, numbered as in the MAT format.
enum class MatWriteClass {
    Double = 6,
    Single = 7,
    Int8 = 8,
    UInt8 = 9,
    Int16 = 10,
    UInt16 = 11,
    Int32 = 12,
    UInt32 = 13,
    Int64 = 14,
    UInt64 = 15,
};

// Variables to write, in the order they are added; values column-major.
class MatWriter {
public:
    // A real array of the class, values converted from double (callers pass
    // values the class holds exactly).
    MatWriter& Numeric(const std::string& name, MatWriteClass valueClass,
                       const std::vector<size_t>& dims, const std::vector<double>& values);
    MatWriter& Double(const std::string& name, size_t rows, size_t columns,
                      const std::vector<double>& values);
    MatWriter& Logical(const std::string& name, const std::vector<size_t>& dims,
                       const std::vector<uint8_t>& values);
    MatWriter& Complex(const std::string& name, size_t rows, size_t columns,
                       const std::vector<double>& real, const std::vector<double>& imaginary);
    // A 1 x N char array of UTF-8 text, stored the way MATLAB does (UTF-16
    // code units; level 4: one code per element, 8-bit text only).
    MatWriter& Text(const std::string& name, const std::string& utf8);
    // A rows x columns sparse double matrix with one non-zero per column
    // (row index = column index % rows), value columnIndex + 1.
    MatWriter& Sparse(const std::string& name, size_t rows, size_t columns);
    // A 1 x count cell of 1 x 1 doubles.
    MatWriter& Cell(const std::string& name, size_t count);
    // A 1 x 1 struct with one double field "a".
    MatWriter& Struct(const std::string& name);

    // False when libmatio refuses a variable (e.g. a class level 4 lacks).
    bool Write(const std::string& path, MatWriteVersion version) const;

private:
    enum class Kind { Numeric, Logical, Complex, Text, Sparse, Cell, Struct };
    struct Variable {
        Kind kind;
        std::string name;
        MatWriteClass valueClass = MatWriteClass::Double;
        std::vector<size_t> dims;
        std::vector<double> real;
        std::vector<double> imaginary;
        std::string text;
    };
    std::vector<Variable> variables;
};

// Level-5 data types for the field-by-field builder.
enum MatDataType : uint32_t {
    MiInt8 = 1,
    MiUInt8 = 2,
    MiInt16 = 3,
    MiUInt16 = 4,
    MiInt32 = 5,
    MiUInt32 = 6,
    MiSingle = 7,
    MiDouble = 9,
    MiInt64 = 12,
    MiUInt64 = 13,
    MiMatrix = 14,
    MiCompressed = 15,
    MiUtf8 = 16,
    MiUtf16 = 17,
    MiUtf32 = 18,
};

using Bytes = std::vector<uint8_t>;

// Level-5 pieces in one byte order (little endian unless bigEndian).
class Level5Builder {
public:
    explicit Level5Builder(bool bigEndianFile = false) : bigEndian(bigEndianFile) {}

    // The 128-byte header: fixed text, version, endian mark.
    Bytes Header(uint16_t version = 0x0100) const;
    // Tag (type, byteCount) then data, padded with zeros to 8 bytes.
    Bytes Element(uint32_t type, const Bytes& data) const;
    // Tag claiming byteCount whatever data follows (no padding added).
    Bytes ElementClaiming(uint32_t type, uint32_t byteCount, const Bytes& data) const;
    // Small format: type and count in one word, data in the next four bytes.
    Bytes SmallElement(uint32_t type, const Bytes& data) const;
    Bytes ArrayFlags(uint8_t classId, bool isComplex = false, bool isLogical = false,
                     uint32_t nzmax = 0) const;
    Bytes Dims(const std::vector<int32_t>& dims) const;
    Bytes Name(const std::string& name) const;
    Bytes Doubles(const std::vector<double>& values) const;
    Bytes Int32s(const std::vector<int32_t>& values) const;
    Bytes UInt16s(const std::vector<uint16_t>& values) const;
    // A miMATRIX element around the parts.
    Bytes Matrix(const std::vector<Bytes>& parts) const;
    // A miCOMPRESSED element holding element deflated.
    Bytes Compressed(const Bytes& element) const;
    // A full real double matrix element.
    Bytes DoubleMatrix(const std::string& name, int32_t rows, int32_t columns,
                       const std::vector<double>& values) const;
    // A 1 x characters char matrix whose data is miUTF8 bytes.
    Bytes Utf8Matrix(const std::string& name, int32_t characters, const std::string& utf8) const;

    Bytes U32(uint32_t value) const;

private:
    bool bigEndian;
};

// One level-4 matrix: header (type code, rows, columns, imagf, name length
// with the terminator), name, data bytes as given. Little endian.
Bytes Level4Matrix(int32_t typeCode, int32_t rows, int32_t columns, int32_t imaginary,
                   const std::string& name, const Bytes& data);

Bytes Concat(const std::vector<Bytes>& pieces);

// A 7.3 file holding one rows x columns double matrix whose data was never
// written (HDF5 keeps only the size, so the file stays small).
bool WriteUnfilledHdf5Matrix(const std::string& path, const std::string& name, uint64_t rows,
                             uint64_t columns);

// Damage on disk. False when the file cannot be changed.
bool TruncateFileTo(const std::string& path, size_t size);
bool OverwriteFileBytes(const std::string& path, size_t offset, const Bytes& bytes);

// Writes the seed inputs of the MAT-file fuzz target into folder: small files
// of every level-4/5 layout the reader takes, plus a few damaged ones.
bool WriteMatFuzzSeeds(const std::string& folder);

}  // namespace tessaro::testing
