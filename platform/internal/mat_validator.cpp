#include "platform/internal/mat_validator.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace tessaro::internal {
namespace {

// Level-5 data types.
constexpr uint32_t MiInt8 = 1;
constexpr uint32_t MiUInt8 = 2;
constexpr uint32_t MiInt16 = 3;
constexpr uint32_t MiUInt16 = 4;
constexpr uint32_t MiInt32 = 5;
constexpr uint32_t MiUInt32 = 6;
constexpr uint32_t MiSingle = 7;
constexpr uint32_t MiDouble = 9;
constexpr uint32_t MiInt64 = 12;
constexpr uint32_t MiUInt64 = 13;
constexpr uint32_t MiMatrix = 14;
constexpr uint32_t MiCompressed = 15;
constexpr uint32_t MiUtf8 = 16;
constexpr uint32_t MiUtf16 = 17;
constexpr uint32_t MiUtf32 = 18;

constexpr size_t TagSize = 8;
constexpr size_t Level4HeaderSize = 20;
// Names are at most 63 characters in practice; anything this long is damage.
constexpr uint32_t MaxNameBytes = 4096;

// Bytes per element of a numeric data type, 0 for any other type.
size_t NumericTypeSize(uint32_t type) {
    switch (type) {
        case MiInt8:
        case MiUInt8:
            return 1;
        case MiInt16:
        case MiUInt16:
            return 2;
        case MiInt32:
        case MiUInt32:
        case MiSingle:
            return 4;
        case MiDouble:
        case MiInt64:
        case MiUInt64:
            return 8;
        default:
            return 0;
    }
}

// Bytes per character of a char data type, 0 for types libmatio does not
// read as text. UTF-8 is variable: handled by the caller.
size_t CharTypeSize(uint32_t type) {
    switch (type) {
        case MiInt8:
        case MiUInt8:
        case MiUtf8:
            return 1;
        case MiInt16:
        case MiUInt16:
        case MiUtf16:
            return 2;
        case MiUtf32:
            return 4;
        default:
            return 0;
    }
}

bool IsNumericClass(uint32_t classId) {
    return classId >= MatClassDouble && classId <= MatClassUInt64;
}

uint64_t RoundUpTo8(uint64_t value) { return (value + 7) & ~uint64_t{7}; }

// A window of another source, so that one element can be checked alone.
class WindowSource final : public ByteSource {
public:
    WindowSource(const ByteSource& base, uint64_t offset, uint64_t size)
        : base_(base), offset_(offset), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, void* destination, size_t count) const override {
        if (offset > size_ || count > size_ - offset) return false;
        return base_.Read(offset_ + offset, destination, count);
    }

private:
    const ByteSource& base_;
    uint64_t offset_;
    uint64_t size_;
};

class EndianReader {
public:
    EndianReader(const ByteSource& source, bool swapBytes) : source_(source), swap_(swapBytes) {}

    bool U32(uint64_t offset, uint32_t* value) const {
        uint32_t raw;
        if (!source_.Read(offset, &raw, sizeof raw)) return false;
        *value = swap_ ? __builtin_bswap32(raw) : raw;
        return true;
    }
    bool I32(uint64_t offset, int32_t* value) const {
        uint32_t raw;
        if (!U32(offset, &raw)) return false;
        *value = static_cast<int32_t>(raw);
        return true;
    }
    bool F64(uint64_t offset, double* value) const {
        uint64_t raw;
        if (!source_.Read(offset, &raw, sizeof raw)) return false;
        if (swap_) raw = __builtin_bswap64(raw);
        std::memcpy(value, &raw, sizeof raw);
        return true;
    }
    const ByteSource& Source() const { return source_; }
    bool Swaps() const { return swap_; }

private:
    const ByteSource& source_;
    bool swap_;
};

// A level-5 data element: its type, declared byte count, where its data
// starts and where the next element starts (padding included).
struct Element {
    uint32_t type = 0;
    uint32_t byteCount = 0;
    uint64_t dataOffset = 0;
    uint64_t next = 0;
};

// Reads the tag at position and checks that the element, padded to 8 bytes,
// ends at or before end. The small format packs up to 4 bytes into the tag.
bool ReadTag(const EndianReader& reader, uint64_t position, uint64_t end, Element* element) {
    if (position > end || end - position < TagSize) return false;
    uint32_t first;
    if (!reader.U32(position, &first)) return false;
    if ((first >> 16) != 0) {
        element->type = first & 0xFFFF;
        element->byteCount = first >> 16;
        if (element->byteCount > 4) return false;
        element->dataOffset = position + 4;
        element->next = position + TagSize;
        return true;
    }
    uint32_t byteCount;
    if (!reader.U32(position + 4, &byteCount)) return false;
    element->type = first;
    element->byteCount = byteCount;
    element->dataOffset = position + TagSize;
    if (RoundUpTo8(byteCount) > end - element->dataOffset) return false;
    element->next = element->dataOffset + RoundUpTo8(byteCount);
    return true;
}

class Level5Checker {
public:
    Level5Checker(const EndianReader& reader, const MatLimits& limits)
        : reader_(reader), limits_(limits) {}

    // Checks the contents of one miMATRIX element, [begin, end).
    bool CheckMatrix(uint64_t begin, uint64_t end, int depth, MatVariable* variable) const;

private:
    bool ReadName(const Element& element, std::string* name) const;
    bool ReadDims(const Element& element, std::vector<size_t>* dims, uint64_t* count) const;
    bool CheckNumericPart(uint64_t* position, uint64_t end, uint64_t count) const;
    bool CheckCharPart(uint64_t* position, uint64_t end, uint64_t count) const;
    bool CheckSparseParts(uint64_t* position, uint64_t end, const std::vector<size_t>& dims,
                          bool isComplex) const;
    bool CheckFields(uint64_t* position, uint64_t end, uint64_t count, int depth) const;
    bool CheckNested(uint64_t* position, uint64_t end, int depth) const;
    bool CheckAnyElements(uint64_t position, uint64_t end, int depth) const;

    const EndianReader& reader_;
    const MatLimits& limits_;
};

bool Level5Checker::ReadName(const Element& element, std::string* name) const {
    // libmatio takes names only as miINT8.
    if (element.type != MiInt8) return false;
    if (element.byteCount > MaxNameBytes) return false;
    char bytes[MaxNameBytes];
    if (!reader_.Source().Read(element.dataOffset, bytes, element.byteCount)) return false;
    // libmatio compares names as C strings.
    name->assign(bytes, strnlen(bytes, element.byteCount));
    return true;
}

bool Level5Checker::ReadDims(const Element& element, std::vector<size_t>* dims,
                             uint64_t* count) const {
    if (element.type != MiInt32) return false;
    if (element.byteCount % 4 != 0 || element.byteCount < 8) return false;
    uint64_t product = 1;
    dims->clear();
    for (uint32_t i = 0; i < element.byteCount / 4; ++i) {
        int32_t dim;
        if (!reader_.I32(element.dataOffset + 4 * uint64_t{i}, &dim)) return false;
        if (dim < 0) return false;
        if (!MultiplyChecked(product, static_cast<uint64_t>(dim), &product)) return false;
        dims->push_back(static_cast<size_t>(dim));
    }
    if (product > std::numeric_limits<size_t>::max()) return false;
    *count = product;
    return true;
}

// Real or imaginary part of a numeric array: any numeric type, exactly count
// elements of it (libmatio converts while reading count elements).
bool Level5Checker::CheckNumericPart(uint64_t* position, uint64_t end, uint64_t count) const {
    Element part;
    if (!ReadTag(reader_, *position, end, &part)) return false;
    size_t elementSize = NumericTypeSize(part.type);
    uint64_t bytes;
    if (elementSize == 0 || !MultiplyChecked(count, elementSize, &bytes)) return false;
    if (bytes != part.byteCount) return false;
    *position = part.next;
    return true;
}

bool Level5Checker::CheckCharPart(uint64_t* position, uint64_t end, uint64_t count) const {
    Element part;
    if (!ReadTag(reader_, *position, end, &part)) return false;
    size_t charSize = CharTypeSize(part.type);
    if (charSize == 0) return false;
    if (part.type == MiUtf8) {
        // One character takes one to four bytes.
        uint64_t most;
        if (!MultiplyChecked(count, 4, &most)) return false;
        if (part.byteCount < count || part.byteCount > most) return false;
    } else {
        uint64_t bytes;
        if (!MultiplyChecked(count, charSize, &bytes) || bytes != part.byteCount) return false;
    }
    *position = part.next;
    return true;
}

bool Level5Checker::CheckSparseParts(uint64_t* position, uint64_t end,
                                     const std::vector<size_t>& dims, bool isComplex) const {
    if (dims.size() != 2) return false;
    Element rowIndex;
    Element columnStart;
    if (!ReadTag(reader_, *position, end, &rowIndex)) return false;
    if (!ReadTag(reader_, rowIndex.next, end, &columnStart)) return false;
    if (rowIndex.type != MiInt32 && rowIndex.type != MiUInt32) return false;
    if (columnStart.type != MiInt32 && columnStart.type != MiUInt32) return false;
    if (rowIndex.byteCount % 4 != 0) return false;
    uint64_t columnBytes;
    if (!MultiplyChecked(uint64_t{dims[1]} + 1, 4, &columnBytes)) return false;
    if (columnStart.byteCount != columnBytes) return false;
    *position = columnStart.next;
    // Values: at most one per stored row index.
    uint64_t nonZeros = rowIndex.byteCount / 4;
    for (int part = 0; part < (isComplex ? 2 : 1); ++part) {
        Element values;
        if (!ReadTag(reader_, *position, end, &values)) return false;
        size_t elementSize = NumericTypeSize(values.type);
        if (elementSize == 0 || values.byteCount % elementSize != 0) return false;
        if (values.byteCount / elementSize > nonZeros) return false;
        *position = values.next;
    }
    return true;
}

// A nested miMATRIX element (cell or field content).
bool Level5Checker::CheckNested(uint64_t* position, uint64_t end, int depth) const {
    Element nested;
    if (!ReadTag(reader_, *position, end, &nested)) return false;
    if (nested.type != MiMatrix) return false;
    MatVariable ignored;
    if (!CheckMatrix(nested.dataOffset, nested.dataOffset + nested.byteCount, depth + 1, &ignored))
        return false;
    *position = nested.next;
    return true;
}

// Field name length, field names, then count x fields nested matrices.
bool Level5Checker::CheckFields(uint64_t* position, uint64_t end, uint64_t count, int depth) const {
    Element nameLength;
    Element names;
    if (!ReadTag(reader_, *position, end, &nameLength)) return false;
    if (nameLength.type != MiInt32 || nameLength.byteCount != 4) return false;
    int32_t length;
    if (!reader_.I32(nameLength.dataOffset, &length)) return false;
    if (!ReadTag(reader_, nameLength.next, end, &names)) return false;
    if (names.type != MiInt8 && names.type != MiUInt8) return false;
    uint64_t fieldCount = 0;
    if (length <= 0) {
        if (names.byteCount != 0) return false;
    } else {
        if (names.byteCount % static_cast<uint32_t>(length) != 0) return false;
        fieldCount = names.byteCount / static_cast<uint32_t>(length);
    }
    uint64_t nestedCount;
    if (!MultiplyChecked(count, fieldCount, &nestedCount)) return false;
    *position = names.next;
    // Each nested element takes at least a tag, so damage ends the loop early.
    for (uint64_t i = 0; i < nestedCount; ++i) {
        if (!CheckNested(position, end, depth)) return false;
    }
    return true;
}

// Elements whose layout is not interpreted here: only their bounds.
bool Level5Checker::CheckAnyElements(uint64_t position, uint64_t end, int depth) const {
    if (depth > limits_.maxDepth) return false;
    while (position < end) {
        Element element;
        if (!ReadTag(reader_, position, end, &element)) return false;
        if (element.type == MiMatrix &&
            !CheckAnyElements(element.dataOffset, element.dataOffset + element.byteCount,
                              depth + 1)) {
            return false;
        }
        position = element.next;
    }
    return true;
}

bool Level5Checker::CheckMatrix(uint64_t begin, uint64_t end, int depth,
                                MatVariable* variable) const {
    if (depth > limits_.maxDepth) return false;
    if (begin == end) {
        // An empty element stands for an empty double matrix inside cells.
        variable->classId = MatClassDouble;
        variable->dims = {0, 0};
        return true;
    }
    Element flags;
    if (!ReadTag(reader_, begin, end, &flags)) return false;
    if (flags.type != MiUInt32 || flags.byteCount != 8) return false;
    uint32_t flagWord;
    if (!reader_.U32(flags.dataOffset, &flagWord)) return false;
    uint32_t classId = flagWord & 0xFF;
    bool isComplex = (flagWord & 0x800) != 0;
    bool isLogical = (flagWord & 0x200) != 0;
    if (classId < MatClassCell || classId > MatClassOpaque) return false;
    variable->classId = static_cast<uint8_t>(classId);
    variable->isComplex = isComplex;
    variable->isLogical = isLogical;
    uint64_t position = flags.next;
    Element element;

    if (classId == MatClassOpaque) {
        // Name, then type system, class name and data of no fixed layout.
        if (!ReadTag(reader_, position, end, &element)) return false;
        if (!ReadName(element, &variable->name)) return false;
        variable->dims = {1, 1};
        return CheckAnyElements(element.next, end, depth);
    }

    if (!ReadTag(reader_, position, end, &element)) return false;
    uint64_t count;
    if (!ReadDims(element, &variable->dims, &count)) return false;
    if (!ReadTag(reader_, element.next, end, &element)) return false;
    if (!ReadName(element, &variable->name)) return false;
    position = element.next;

    if (IsNumericClass(classId)) {
        for (int part = 0; part < (isComplex ? 2 : 1); ++part) {
            if (!CheckNumericPart(&position, end, count)) return false;
        }
    } else if (classId == MatClassChar) {
        if (isComplex) return false;
        if (!CheckCharPart(&position, end, count)) return false;
    } else if (classId == MatClassSparse) {
        if (!CheckSparseParts(&position, end, variable->dims, isComplex)) return false;
    } else if (classId == MatClassCell) {
        for (uint64_t i = 0; i < count; ++i) {
            if (!CheckNested(&position, end, depth)) return false;
        }
    } else if (classId == MatClassStruct) {
        if (!CheckFields(&position, end, count, depth)) return false;
    } else if (classId == MatClassObject) {
        if (!ReadTag(reader_, position, end, &element)) return false;
        std::string className;
        if (!ReadName(element, &className)) return false;
        position = element.next;
        if (!CheckFields(&position, end, count, depth)) return false;
    } else {
        return CheckAnyElements(position, end, depth);
    }
    // Nothing may follow the parts the class defines.
    return position == end;
}

// Inflates a miCOMPRESSED payload. The first 8 inflated bytes are the
// miMATRIX tag, which fixes the size to expect; more than 7 bytes of output
// beyond it, a stream that ends early or a size over the cap all fail.
bool InflateElement(const ByteSource& source, uint64_t offset, uint64_t size, bool swapBytes,
                    uint64_t cap, std::unique_ptr<uint8_t[]>* output, uint64_t* outputSize) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return false;
    struct StreamEnd {
        z_stream* stream;
        ~StreamEnd() { inflateEnd(stream); }
    } streamEnd{&stream};

    constexpr size_t ChunkSize = 64 * 1024;
    uint8_t chunk[ChunkSize];
    uint64_t consumed = 0;
    uint8_t tag[TagSize];
    uint64_t expected = 0;
    uint64_t capacity = TagSize;
    uint8_t* target = tag;
    uint64_t produced = 0;
    int status = Z_OK;

    while (status != Z_STREAM_END) {
        if (stream.avail_in == 0 && consumed < size) {
            size_t take = static_cast<size_t>(std::min<uint64_t>(ChunkSize, size - consumed));
            if (!source.Read(offset + consumed, chunk, take)) return false;
            consumed += take;
            stream.next_in = chunk;
            stream.avail_in = static_cast<uInt>(take);
        }
        uint64_t room = capacity - produced;
        if (room == 0) return false;
        uInt outChunk = static_cast<uInt>(std::min<uint64_t>(room, uint64_t{1} << 30));
        stream.next_out = target + produced;
        stream.avail_out = outChunk;
        status = inflate(&stream, Z_NO_FLUSH);
        // Z_BUF_ERROR: no progress possible, the input ended inside the stream.
        if (status != Z_OK && status != Z_STREAM_END) return false;
        produced += outChunk - stream.avail_out;

        if (target == tag && produced == TagSize) {
            uint32_t type;
            uint32_t byteCount;
            std::memcpy(&type, tag, 4);
            std::memcpy(&byteCount, tag + 4, 4);
            if (swapBytes) {
                type = __builtin_bswap32(type);
                byteCount = __builtin_bswap32(byteCount);
            }
            if (type != MiMatrix) return false;
            expected = TagSize + uint64_t{byteCount};
            if (expected > cap) return false;
            capacity = expected + 7;
            // Left uninitialised: only the bytes inflate writes are used.
            output->reset(new (std::nothrow) uint8_t[capacity]);
            if (!*output) return false;
            std::memcpy(output->get(), tag, TagSize);
            target = output->get();
        }
    }
    if (target == tag || produced < expected) return false;
    *outputSize = expected;
    return true;
}

bool CheckLevel5At(const ByteSource& source, bool swapBytes, const MatLimits& limits,
                   MatVariable* variable) {
    EndianReader reader(source, swapBytes);
    uint32_t type;
    uint32_t byteCount;
    if (!reader.U32(0, &type) || !reader.U32(4, &byteCount)) return false;
    if ((type >> 16) != 0) return false;
    if (TagSize + uint64_t{byteCount} != source.Size()) return false;
    variable->size = source.Size();
    if (type == MiMatrix) {
        if (byteCount == 0) return false;
        Level5Checker checker(reader, limits);
        return checker.CheckMatrix(TagSize, source.Size(), 0, variable);
    }
    if (type != MiCompressed) return false;
    std::unique_ptr<uint8_t[]> inflated;
    uint64_t inflatedSize = 0;
    if (!InflateElement(source, TagSize, byteCount, swapBytes, limits.maxInflatedBytes, &inflated,
                        &inflatedSize)) {
        return false;
    }
    MemorySource memory(inflated.get(), static_cast<size_t>(inflatedSize));
    EndianReader inflatedReader(memory, swapBytes);
    if (inflatedSize == TagSize) return false;
    Level5Checker checker(inflatedReader, limits);
    return checker.CheckMatrix(TagSize, inflatedSize, 0, variable);
}

bool ScanLevel5(const ByteSource& source, const MatLimits& limits, MatDirectory* directory) {
    bool swapBytes = Level5SwapsBytes(directory->header);
    EndianReader reader(source, swapBytes);
    uint64_t size = source.Size();
    uint64_t position = MatHeaderSize;
    while (position < size) {
        if (size - position < TagSize) return false;
        uint32_t type;
        uint32_t byteCount;
        if (!reader.U32(position, &type) || !reader.U32(position + 4, &byteCount)) return false;
        if ((type >> 16) != 0) return false;
        uint64_t elementSize = TagSize + uint64_t{byteCount};
        if (elementSize > size - position) return false;
        // Top-level elements follow each other without padding.
        if (type == MiMatrix || type == MiCompressed) {
            MatVariable variable;
            variable.offset = position;
            WindowSource window(source, position, elementSize);
            if (!CheckLevel5At(window, swapBytes, limits, &variable)) return false;
            directory->variables.push_back(std::move(variable));
        }
        position += elementSize;
    }
    return true;
}

// Level-4 type code MOPT: M byte order (0 little, 1 big endian), O zero,
// P precision, T 0 numeric, 1 text, 2 sparse.
struct Level4Type {
    int precision = 0;
    int kind = 0;
};

bool DecodeLevel4Type(int32_t code, int expectedOrder, Level4Type* type) {
    if (code < 0 || code > 9999) return false;
    int order = code / 1000;
    int zero = (code / 100) % 10;
    type->precision = (code / 10) % 10;
    type->kind = code % 10;
    return order == expectedOrder && zero == 0 && type->precision <= 5 && type->kind <= 2;
}

size_t Level4ElementSize(int precision) {
    static constexpr size_t Sizes[] = {8, 4, 4, 2, 2, 1};
    return Sizes[precision];
}

bool CheckLevel4At(const ByteSource& source, uint64_t offset, MatVariable* variable) {
    int32_t header[5];
    if (!source.Read(offset, header, sizeof header)) return false;
    // Each matrix names its own byte order; read it the way the code decodes.
    bool hostLittle = std::endian::native == std::endian::little;
    Level4Type type;
    bool swapBytes;
    if (DecodeLevel4Type(header[0], hostLittle ? 0 : 1, &type)) {
        swapBytes = false;
    } else if (DecodeLevel4Type(static_cast<int32_t>(__builtin_bswap32(header[0])),
                                hostLittle ? 1 : 0, &type)) {
        swapBytes = true;
    } else {
        return false;
    }
    WindowSource rest(source, offset, source.Size() - offset);
    EndianReader reader(rest, swapBytes);
    int32_t rows;
    int32_t columns;
    int32_t imaginary;
    int32_t nameLength;
    if (!reader.I32(4, &rows) || !reader.I32(8, &columns) || !reader.I32(12, &imaginary) ||
        !reader.I32(16, &nameLength)) {
        return false;
    }
    if (rows < 0 || columns < 0 || (imaginary != 0 && imaginary != 1)) return false;
    if (nameLength < 1 || static_cast<uint32_t>(nameLength) > MaxNameBytes) return false;
    char name[MaxNameBytes];
    if (!rest.Read(Level4HeaderSize, name, static_cast<size_t>(nameLength))) return false;
    // libmatio takes the name as a C string of namlen bytes.
    if (name[nameLength - 1] != '\0') return false;
    variable->name.assign(name);

    uint64_t dataOffset = Level4HeaderSize + static_cast<uint64_t>(nameLength);
    uint64_t count;
    uint64_t partBytes;
    uint64_t dataBytes;
    if (!MultiplyChecked(static_cast<uint64_t>(rows), static_cast<uint64_t>(columns), &count) ||
        !MultiplyChecked(count, Level4ElementSize(type.precision), &partBytes) ||
        !MultiplyChecked(partBytes, imaginary ? 2 : 1, &dataBytes)) {
        return false;
    }
    if (dataOffset > rest.Size() || dataBytes > rest.Size() - dataOffset) return false;

    variable->offset = offset;
    variable->size = dataOffset + dataBytes;
    variable->swapBytes = swapBytes;
    variable->isComplex = imaginary != 0;
    variable->isLogical = false;
    if (type.kind == 0) {
        variable->classId = MatClassDouble;
        variable->dims = {static_cast<size_t>(rows), static_cast<size_t>(columns)};
        return true;
    }
    if (type.kind == 1) {
        variable->classId = MatClassChar;
        variable->dims = {static_cast<size_t>(rows), static_cast<size_t>(columns)};
        return !variable->isComplex;
    }
    // Sparse: rows of (row, column, real[, imaginary]) doubles, the last row
    // holding the matrix size.
    if (type.precision != 0 || variable->isComplex || rows < 1) return false;
    if (columns != 3 && columns != 4) return false;
    variable->classId = MatClassSparse;
    variable->isComplex = columns == 4;
    double size[2];
    for (int k = 0; k < 2; ++k) {
        uint64_t at = dataOffset + (static_cast<uint64_t>(k) * rows + (rows - 1)) * 8;
        if (!reader.F64(at, &size[k])) return false;
        if (!(size[k] >= 0.0 && size[k] <= std::numeric_limits<int32_t>::max())) return false;
        if (std::floor(size[k]) != size[k]) return false;
    }
    variable->dims = {static_cast<size_t>(size[0]), static_cast<size_t>(size[1])};
    return true;
}

bool ScanLevel4(const ByteSource& source, MatDirectory* directory) {
    uint64_t position = 0;
    while (position < source.Size()) {
        MatVariable variable;
        if (!CheckLevel4At(source, position, &variable)) return false;
        position += variable.size;
        directory->variables.push_back(std::move(variable));
    }
    return !directory->variables.empty();
}

}  // namespace

bool MemorySource::Read(uint64_t offset, void* destination, size_t count) const {
    if (offset > size_ || count > size_ - offset) return false;
    if (count != 0) std::memcpy(destination, bytes_ + offset, count);
    return true;
}

bool MultiplyChecked(uint64_t a, uint64_t b, uint64_t* product) {
    uint64_t result;
    if (__builtin_mul_overflow(a, b, &result)) return false;
    *product = result;
    return true;
}

bool Level5SwapsBytes(const uint8_t* header) {
    bool fileLittle = header[126] == 'I' && header[127] == 'M';
    return fileLittle != (std::endian::native == std::endian::little);
}

MatVersion DetectMatVersion(const ByteSource& source) {
    uint8_t tail[4];
    if (source.Size() < MatHeaderSize || !source.Read(124, tail, sizeof tail))
        return MatVersion::Level4;
    unsigned version;
    if (tail[2] == 'I' && tail[3] == 'M') {
        version = tail[0] | (tail[1] << 8);
    } else if (tail[2] == 'M' && tail[3] == 'I') {
        version = (tail[0] << 8) | tail[1];
    } else {
        return MatVersion::Level4;
    }
    if (version == 0x0100) return MatVersion::Level5;
    if (version == 0x0200) return MatVersion::Hdf5;
    return MatVersion::Level4;
}

bool ScanMatFile(const ByteSource& source, const MatLimits& limits, MatDirectory* directory) {
    directory->variables.clear();
    directory->version = DetectMatVersion(source);
    if (directory->version == MatVersion::Level4) return ScanLevel4(source, directory);
    if (!source.Read(0, directory->header, MatHeaderSize)) return false;
    if (directory->version == MatVersion::Hdf5) return true;
    return ScanLevel5(source, limits, directory);
}

bool CheckLevel5Element(const ByteSource& source, bool swapBytes, const MatLimits& limits,
                        MatVariable* variable) {
    return CheckLevel5At(source, swapBytes, limits, variable);
}

bool CheckLevel4Matrix(const ByteSource& source, MatVariable* variable) {
    if (!CheckLevel4At(source, 0, variable)) return false;
    return variable->size == source.Size();
}

}  // namespace tessaro::internal
