#include "platform/mat_file.h"

#include <fcntl.h>
#include <hdf5.h>
#include <matio.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace tessaro {

struct MATFile {
    int descriptor = -1;
    // What the library opens in a child: the descriptor's /proc entry when
    // there is one, so every read is of the file checked at matOpen.
    std::string libraryPath;
    // The child that runs the libraries for this file, and the socket its
    // requests go over; -1 while there is none.
    pid_t server = -1;
    int channel = -1;
};

struct FreeDeleter {
    void operator()(double* values) const { std::free(values); }
};

struct mxArray {
    uint8_t classId = 0;
    bool isComplex = false;
    bool isLogical = false;
    std::vector<size_t> dims;
    size_t count = 0;
    // Real numeric arrays with elements; from malloc, as libmatio allocates,
    // so that its buffer can be taken over instead of copied.
    std::unique_ptr<double, FreeDeleter> real;
    std::string text;  // char arrays, UTF-8
};

namespace {

bool MultiplyChecked(uint64_t a, uint64_t b, uint64_t* product) {
    return !__builtin_mul_overflow(a, b, product);
}

class FileSource {
public:
    FileSource(int descriptor, uint64_t size) : descriptor_(descriptor), size_(size) {}
    uint64_t Size() const { return size_; }
    bool Read(uint64_t offset, void* destination, size_t count) const {
        if (offset > size_ || count > size_ - offset) return false;
        auto* bytes = static_cast<uint8_t*>(destination);
        while (count > 0) {
            ssize_t got = pread(descriptor_, bytes, count, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            bytes += got;
            offset += static_cast<uint64_t>(got);
            count -= static_cast<size_t>(got);
        }
        return true;
    }

private:
    int descriptor_;
    uint64_t size_;
};

void DiscardLibraryMessage(int, char*) {}

// libmatio and HDF5 report failures on stderr; ours are reported by result.
void QuietLibraries() {
    static std::once_flag once;
    std::call_once(once, [] { Mat_LogInitFunc("tessaro", DiscardLibraryMessage); });
    // HDF5 keeps this per thread in thread-safe builds.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

bool IsNumericClass(unsigned classId) { return classId >= MAT_C_DOUBLE && classId <= MAT_C_UINT64; }

// Arrays whose values are read: the rest are described by class and size.
bool NeedsValues(const mxArray& array) {
    if (array.classId == MAT_C_CHAR) return true;
    return IsNumericClass(array.classId) && !array.isComplex && array.count > 0;
}

// What a reading child may allocate beyond the address space it starts
// with: room for an "H" of four million rows (the engines hold 524288
// taps) read as doubles, in the three copies a read makes.
constexpr uint64_t ChildMemoryBytes = uint64_t{512} << 20;

// Nothing larger than a child may hold is attempted, so a huge array fails
// by result instead of by an allocator abort.
bool FitsInMemory(uint64_t count, uint64_t elementSize) {
    uint64_t bytes;
    return MultiplyChecked(count, elementSize, &bytes) && bytes <= ChildMemoryBytes;
}

mxArray* NewArray(uint8_t classId, bool isComplex, bool isLogical,
                  const std::vector<size_t>& dims) {
    if (dims.size() < 2) return nullptr;
    uint64_t count = 1;
    for (size_t dim : dims) {
        if (!MultiplyChecked(count, dim, &count)) return nullptr;
    }
    if (count > SIZE_MAX) return nullptr;
    auto* array = new (std::nothrow) mxArray;
    if (array == nullptr) return nullptr;
    array->classId = classId;
    array->isComplex = isComplex;
    array->isLogical = isLogical;
    array->dims = dims;
    array->count = static_cast<size_t>(count);
    return array;
}

bool SameShape(const matvar_t& variable, const mxArray& array) {
    if (variable.rank < 2 || variable.dims == nullptr) return false;
    if (static_cast<size_t>(variable.rank) != array.dims.size()) return false;
    for (int i = 0; i < variable.rank; ++i) {
        if (variable.dims[i] != array.dims[static_cast<size_t>(i)]) return false;
    }
    return true;
}

template <typename Element>
void ConvertToDouble(const void* data, size_t count, double* out) {
    const auto* values = static_cast<const Element*>(data);
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<double>(values[i]);
}

// count numeric values stored as type (a MAT_T_ storage type) as doubles;
// false for a type that is no number.
bool ConvertStorage(uint32_t type, const void* data, size_t count, double* out) {
    switch (type) {
        case MAT_T_DOUBLE:
            std::memcpy(out, data, count * sizeof(double));
            return true;
        case MAT_T_SINGLE:
            ConvertToDouble<float>(data, count, out);
            return true;
        case MAT_T_INT8:
            ConvertToDouble<int8_t>(data, count, out);
            return true;
        case MAT_T_UINT8:
            ConvertToDouble<uint8_t>(data, count, out);
            return true;
        case MAT_T_INT16:
            ConvertToDouble<int16_t>(data, count, out);
            return true;
        case MAT_T_UINT16:
            ConvertToDouble<uint16_t>(data, count, out);
            return true;
        case MAT_T_INT32:
            ConvertToDouble<int32_t>(data, count, out);
            return true;
        case MAT_T_UINT32:
            ConvertToDouble<uint32_t>(data, count, out);
            return true;
        case MAT_T_INT64:
            ConvertToDouble<int64_t>(data, count, out);
            return true;
        case MAT_T_UINT64:
            ConvertToDouble<uint64_t>(data, count, out);
            return true;
        default:
            return false;
    }
}

// The storage type libmatio reads a numeric class's values into; 0 for the
// other classes.
uint32_t StorageOfClass(uint32_t classType) {
    switch (classType) {
        case MAT_C_DOUBLE:
            return MAT_T_DOUBLE;
        case MAT_C_SINGLE:
            return MAT_T_SINGLE;
        case MAT_C_INT8:
            return MAT_T_INT8;
        case MAT_C_UINT8:
            return MAT_T_UINT8;
        case MAT_C_INT16:
            return MAT_T_INT16;
        case MAT_C_UINT16:
            return MAT_T_UINT16;
        case MAT_C_INT32:
            return MAT_T_INT32;
        case MAT_C_UINT32:
            return MAT_T_UINT32;
        case MAT_C_INT64:
            return MAT_T_INT64;
        case MAT_C_UINT64:
            return MAT_T_UINT64;
        default:
            return 0;
    }
}

// libmatio fills an array from its dimensions, and leaves alone what a
// damaged file does not hold (data shorter than the dimensions, down to
// part of one element). So the values are read twice, into buffers filled
// with different bytes beforehand: a byte that differs between the two was
// never read from the file, and the array is refused. An element already
// seen to hold all the values (complete) needs one read only.
bool ReadNumeric(mat_t* mat, matvar_t* info, mxArray* array, bool complete) {
    const size_t elementSize = Mat_SizeOfClass(info->class_type);
    uint64_t bytes;
    if (elementSize == 0 || info->rank > 32 ||
        !MultiplyChecked(array->count, elementSize, &bytes) ||
        !FitsInMemory(array->count, 2 * elementSize + sizeof(double))) {
        return false;
    }
    int start[32] = {};
    int stride[32];
    int edge[32];
    for (int i = 0; i < info->rank; ++i) {
        if (info->dims[i] > static_cast<size_t>(INT32_MAX)) return false;
        stride[i] = 1;
        edge[i] = static_cast<int>(info->dims[i]);
    }
    // From malloc, like the arrays handed out, so doubles change hands
    // without a copy.
    const auto size = static_cast<size_t>(bytes);
    std::unique_ptr<uint8_t, void (*)(void*)> first(
        static_cast<uint8_t*>(std::malloc(std::max<size_t>(size, 1))), std::free);
    if (!first) return false;
    std::memset(first.get(), 0x5A, size);
    if (Mat_VarReadData(mat, info, first.get(), start, stride, edge) != 0) return false;
    if (!complete) {
        std::vector<uint8_t> second(size, 0xA5);
        if (Mat_VarReadData(mat, info, second.data(), start, stride, edge) != 0 ||
            !std::equal(second.begin(), second.end(), first.get())) {
            return false;
        }
    }
    if (info->class_type == MAT_C_DOUBLE) {
        array->real.reset(reinterpret_cast<double*>(first.release()));
        return true;
    }
    array->real.reset(static_cast<double*>(std::malloc(array->count * sizeof(double))));
    if (!array->real) return false;
    if (ConvertStorage(StorageOfClass(info->class_type), first.get(), array->count,
                       array->real.get())) {
        return true;
    }
    array->real.reset();
    return false;
}

constexpr char32_t Replacement = 0xFFFD;

void AppendUtf8(char32_t code, std::string* text) {
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = Replacement;
    if (code < 0x80) {
        text->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        text->push_back(static_cast<char>(0xC0 | (code >> 6)));
        text->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        text->push_back(static_cast<char>(0xE0 | (code >> 12)));
        text->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        text->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        text->push_back(static_cast<char>(0xF0 | (code >> 18)));
        text->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        text->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        text->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// Copies UTF-8, replacing each malformed sequence (overlong forms and
// surrogates included) by U+FFFD, so the text can be cut at any lead byte.
void DecodeUtf8(const uint8_t* bytes, size_t size, std::string* text) {
    size_t i = 0;
    while (i < size) {
        uint8_t lead = bytes[i];
        size_t length;
        char32_t code;
        char32_t least;
        if (lead < 0x80) {
            text->push_back(static_cast<char>(lead));
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, code = lead & 0x1F, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, code = lead & 0x0F, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, code = lead & 0x07, least = 0x10000;
        } else {
            AppendUtf8(Replacement, text);
            ++i;
            continue;
        }
        size_t k = 1;
        while (k < length && i + k < size && (bytes[i + k] & 0xC0) == 0x80) {
            code = (code << 6) | (bytes[i + k] & 0x3F);
            ++k;
        }
        if (k < length || code < least) {
            AppendUtf8(Replacement, text);
        } else {
            AppendUtf8(code, text);
        }
        i += k;
    }
}

void DecodeUtf16(const uint16_t* units, size_t count, std::string* text) {
    for (size_t i = 0; i < count; ++i) {
        char32_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00), text);
            ++i;
        } else {
            AppendUtf8(unit, text);
        }
    }
}

bool TakeText(const matvar_t& variable, mxArray* array) {
    if (variable.class_type != MAT_C_CHAR || variable.isComplex) return false;
    if (!SameShape(variable, *array)) return false;
    if (variable.nbytes == 0) return true;
    if (variable.data == nullptr) return false;
    const auto* bytes = static_cast<const uint8_t*>(variable.data);
    size_t size = variable.nbytes;
    switch (variable.data_type) {
        case MAT_T_UTF8:
            DecodeUtf8(bytes, size, &array->text);
            return true;
        case MAT_T_INT8:
        case MAT_T_UINT8:
            // One byte per character: Latin-1.
            for (size_t i = 0; i < size; ++i) AppendUtf8(bytes[i], &array->text);
            return true;
        case MAT_T_INT16:
        case MAT_T_UINT16:
        case MAT_T_UTF16: {
            if (size % 2 != 0) return false;
            std::vector<uint16_t> units(size / 2);
            std::memcpy(units.data(), bytes, size);
            DecodeUtf16(units.data(), units.size(), &array->text);
            return true;
        }
        case MAT_T_INT32:
        case MAT_T_UINT32:
        case MAT_T_UTF32:
            if (size % 4 != 0) return false;
            for (size_t i = 0; i < size; i += 4) {
                uint32_t code;
                std::memcpy(&code, bytes + i, 4);
                AppendUtf8(code, &array->text);
            }
            return true;
        default:
            return false;
    }
}

bool TakeText(matvar_t* variable, mxArray* array) {
    if (variable == nullptr) return false;
    bool taken = TakeText(*variable, array);
    Mat_VarFree(variable);
    return taken;
}

// Level-4 text holds one character code per element in the matrix's
// precision; libmatio narrows the codes to 8 bits, so they are read here.
void DecodeLevel4Text(const uint8_t* data, int precision, bool swapBytes, mxArray* array) {
    for (size_t i = 0; i < array->count; ++i) {
        uint64_t raw = 0;
        double code = 0;
        switch (precision) {
            case 0:
                std::memcpy(&raw, data + 8 * i, 8);
                if (swapBytes) raw = __builtin_bswap64(raw);
                std::memcpy(&code, &raw, 8);
                break;
            case 1: {
                uint32_t bits;
                float value;
                std::memcpy(&bits, data + 4 * i, 4);
                if (swapBytes) bits = __builtin_bswap32(bits);
                std::memcpy(&value, &bits, 4);
                code = value;
                break;
            }
            case 2: {
                uint32_t bits;
                std::memcpy(&bits, data + 4 * i, 4);
                code = static_cast<int32_t>(swapBytes ? __builtin_bswap32(bits) : bits);
                break;
            }
            case 3:
            case 4: {
                uint16_t bits;
                std::memcpy(&bits, data + 2 * i, 2);
                if (swapBytes) bits = __builtin_bswap16(bits);
                code = precision == 3 ? static_cast<int16_t>(bits) : bits;
                break;
            }
            default:
                code = data[i];
                break;
        }
        bool valid = code >= 0 && code <= 0x10FFFF &&
                     code == static_cast<double>(static_cast<uint32_t>(code));
        AppendUtf8(valid ? static_cast<char32_t>(code) : Replacement, &array->text);
    }
}

// What the first bytes of a level-5 matrix element (its tag included) say:
// its name, empty when they do not hold one, and where known the tag of its
// real part: storage type and byte count.
struct Level5Head {
    std::string name;
    uint64_t elementEnd = 0;  // the matrix's own tag and contents
    bool realTagSeen = false;
    uint32_t realType = 0;
    uint64_t realEnd = 0;  // end of the real part's data, from the element start
    uint64_t realBytes = 0;
};

Level5Head ReadLevel5Head(const uint8_t* element, size_t size, bool swapBytes) {
    auto word = [&](size_t at) {
        uint32_t value;
        std::memcpy(&value, element + at, 4);
        return swapBytes ? __builtin_bswap32(value) : value;
    };
    // A sub-element's tag at offset at: a small one packs its byte count
    // into the type word and its data into the tag's second half.
    struct SubElement {
        uint32_t type;
        uint64_t bytes;
        size_t data;  // where its data start
        size_t next;  // where the next sub-element starts
    };
    auto subElement = [&](size_t at) {
        const uint32_t tag = word(at);
        if ((tag >> 16) != 0) return SubElement{tag & 0xFFFF, tag >> 16, at + 4, at + 8};
        const uint64_t bytes = word(at + 4);
        return SubElement{tag, bytes, at + 8, at + 8 + ((bytes + 7) & ~uint64_t{7})};
    };
    Level5Head head;
    // Tag, then the array flags (tag and 8 bytes), then the dimensions.
    size_t at = 8 + 16;
    if (at + 8 > size) return head;
    head.elementEnd = 8 + uint64_t{word(4)};
    at = subElement(at).next;
    if (at + 8 > size) return head;
    const SubElement name = subElement(at);
    if (name.bytes > size - std::min(size, name.data)) return head;
    head.name.assign(reinterpret_cast<const char*>(element + name.data), name.bytes);
    at = name.next;
    if (at + 8 > size) return head;
    const SubElement real = subElement(at);
    head.realTagSeen = true;
    head.realType = real.type;
    head.realBytes = real.bytes;
    head.realEnd = real.data + real.bytes;
    return head;
}

// How far the first element called name can be trusted.
enum class Level5Check {
    Damaged,   // cut, or its compressed stream does not end where it should
    Intact,    // whole; libmatio may still read short data
    Complete,  // whole, and its real part holds every value the array needs
};

// Whether a whole element's real part holds the count values of a real
// double array, stored in one of the numeric types libmatio converts from:
// then one read fills every byte. Anything else is read twice.
bool RealPartComplete(const Level5Head& head, uint64_t available, const matvar_t& info,
                      uint64_t count) {
    if (!head.realTagSeen || info.isComplex || info.class_type != MAT_C_DOUBLE) return false;
    switch (head.realType) {
        case MAT_T_INT8:
        case MAT_T_UINT8:
        case MAT_T_INT16:
        case MAT_T_UINT16:
        case MAT_T_INT32:
        case MAT_T_UINT32:
        case MAT_T_SINGLE:
        case MAT_T_DOUBLE:
        case MAT_T_INT64:
        case MAT_T_UINT64:
            break;
        default:
            return false;
    }
    uint64_t needed;
    return MultiplyChecked(count, Mat_SizeOf(static_cast<matio_types>(head.realType)), &needed) &&
           head.realBytes >= needed && head.realEnd <= head.elementEnd &&
           head.elementEnd <= available;
}

// The count values of a real part stored as type, in the file's byte order,
// as doubles (from malloc, like the arrays handed out); null for a type
// RealPartComplete does not take or when memory runs out.
std::unique_ptr<double, FreeDeleter> DecodeRealPart(std::vector<uint8_t>* raw, uint32_t type,
                                                    bool swapBytes, uint64_t count) {
    const size_t size = Mat_SizeOf(static_cast<matio_types>(type));
    if (swapBytes && size > 1) {
        for (size_t at = 0; at + size <= raw->size(); at += size) {
            std::reverse(raw->begin() + static_cast<std::ptrdiff_t>(at),
                         raw->begin() + static_cast<std::ptrdiff_t>(at + size));
        }
    }
    std::unique_ptr<double, FreeDeleter> values(
        static_cast<double*>(std::malloc(std::max<size_t>(count, 1) * sizeof(double))));
    if (!values) return values;
    if (!ConvertStorage(type, raw->data(), static_cast<size_t>(count), values.get())) {
        values.reset();
    }
    return values;
}

// libmatio gives zeros for whatever a cut or damaged compressed stream does
// not hold, and reads a cut element's text past the end. So the first
// element called name must lie inside the file, and when it is compressed
// its whole stream is inflated here first: it must end, checksum and all,
// exactly where its tag says. A compressed element found Complete also
// hands out its values (when values is given), so that they are not
// inflated a second time by libmatio.
Level5Check CheckLevel5Element(int descriptor, const char* name, const matvar_t& info,
                               uint64_t count, std::unique_ptr<double, FreeDeleter>* values) {
    struct stat status;
    if (fstat(descriptor, &status) != 0 || status.st_size < 128) return Level5Check::Damaged;
    FileSource file(descriptor, static_cast<uint64_t>(status.st_size));
    uint8_t order[2];
    if (!file.Read(126, order, 2)) return Level5Check::Damaged;
    const bool swapBytes = order[0] == 'M';
    constexpr size_t NameWindow = 4096;
    std::vector<uint8_t> chunk(64 * 1024);
    std::vector<uint8_t> headBuffer(NameWindow);
    for (uint64_t offset = 128; offset + 8 <= file.Size();) {
        uint32_t tag[2];
        if (!file.Read(offset, tag, sizeof tag)) return Level5Check::Damaged;
        if (swapBytes) tag[0] = __builtin_bswap32(tag[0]), tag[1] = __builtin_bswap32(tag[1]);
        const uint64_t size = tag[1];
        // An element that runs past the end of the file is either the one
        // asked for, cut short, or hides it: nothing whole lies beyond.
        if (size > file.Size() - offset - 8) return Level5Check::Damaged;
        if (tag[0] != MAT_T_COMPRESSED) {
            uint8_t element[NameWindow];
            const size_t take = static_cast<size_t>(std::min<uint64_t>(NameWindow, size + 8));
            if (!file.Read(offset, element, take)) return Level5Check::Damaged;
            const Level5Head head = ReadLevel5Head(element, take, swapBytes);
            if (head.name == name) {
                return RealPartComplete(head, size + 8, info, count) ? Level5Check::Complete
                                                                     : Level5Check::Intact;
            }
            offset += 8 + size;
            continue;
        }
        z_stream stream{};
        if (inflateInit(&stream) != Z_OK) return Level5Check::Damaged;
        uint64_t consumed = 0;
        uint64_t inflated = 0;
        size_t headBytes = 0;
        int result = Z_OK;
        // Once the head is read: the real part's bytes of the element asked
        // for, kept as they come out of the stream.
        bool headRead = false;
        Level5Head head;
        std::vector<uint8_t> raw;
        uint64_t rawStart = 0;
        bool keeping = false;
        const auto keep = [&](const uint8_t* bytes, size_t n, uint64_t at) {
            if (!keeping || at + n <= rawStart || at >= rawStart + raw.size()) return;
            const uint64_t from = std::max(at, rawStart);
            const uint64_t to = std::min<uint64_t>(at + n, rawStart + raw.size());
            std::memcpy(raw.data() + (from - rawStart), bytes + (from - at), to - from);
        };
        const auto readHead = [&] {
            headRead = true;
            head = ReadLevel5Head(headBuffer.data(), headBytes, swapBytes);
            uint64_t needed = 0;
            keeping = values != nullptr && head.name == name &&
                      RealPartComplete(head, UINT64_MAX, info, count) &&
                      MultiplyChecked(count, Mat_SizeOf(static_cast<matio_types>(head.realType)),
                                      &needed) &&
                      FitsInMemory(count, needed / std::max<uint64_t>(count, 1) + sizeof(double));
            if (keeping) {
                raw.resize(static_cast<size_t>(needed));
                rawStart = head.realEnd - head.realBytes;
                keep(headBuffer.data(), headBytes, 0);
            }
        };
        // Another variable's stream is left once its name is known: only the
        // one asked for must be whole.
        const auto otherVariable = [&] { return headRead && head.name != name; };
        while (result == Z_OK && consumed < size && !otherVariable()) {
            const size_t take =
                static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - consumed));
            if (!file.Read(offset + 8 + consumed, chunk.data(), take)) break;
            stream.next_in = chunk.data();
            stream.avail_in = static_cast<uInt>(take);
            while (result == Z_OK && stream.avail_in > 0 && !otherVariable()) {
                uint8_t scratch[16384];
                const bool inHead = headBytes < NameWindow;
                stream.next_out = inHead ? headBuffer.data() + headBytes : scratch;
                stream.avail_out =
                    static_cast<uInt>(inHead ? NameWindow - headBytes : sizeof scratch);
                const uInt before = stream.avail_out;
                result = inflate(&stream, Z_NO_FLUSH);
                const uInt produced = before - stream.avail_out;
                if (inHead) {
                    headBytes += produced;
                    if (headBytes == NameWindow) readHead();
                } else {
                    keep(scratch, produced, inflated);
                }
                inflated += produced;
            }
            consumed += take - stream.avail_in;
            if (stream.avail_in > 0 && !otherVariable()) break;
        }
        inflateEnd(&stream);
        if (!headRead) readHead();
        if (head.name == name) {
            if (result != Z_STREAM_END || consumed != size) return Level5Check::Damaged;
            if (!RealPartComplete(head, inflated, info, count)) return Level5Check::Intact;
            if (keeping) *values = DecodeRealPart(&raw, head.realType, swapBytes, count);
            return Level5Check::Complete;
        }
        offset += 8 + size;
    }
    return Level5Check::Intact;
}

constexpr size_t Level4HeaderBytes = 20;

// Finds the level-4 text matrix called name and decodes it. Level-4 files
// are a plain sequence of header, name and data, so the walk is short; it
// runs in the reading child like everything else that parses the file.
bool ReadLevel4Text(int descriptor, const char* name, mxArray* array) {
    struct stat status;
    if (fstat(descriptor, &status) != 0 || status.st_size < 0) return false;
    FileSource file(descriptor, static_cast<uint64_t>(status.st_size));
    uint64_t offset = 0;
    while (offset < file.Size()) {
        int32_t header[5];
        if (!file.Read(offset, header, sizeof header)) return false;
        // The thousands digit of the type says the byte order; a value that
        // reads as nonsense this way round is read the other way round.
        bool swapBytes = header[0] < 0 || header[0] > 4052;
        if (swapBytes) {
            for (int32_t& field : header) {
                field = static_cast<int32_t>(__builtin_bswap32(static_cast<uint32_t>(field)));
            }
        }
        const int32_t type = header[0];
        const int precision = (type / 10) % 10;
        static constexpr uint64_t ElementBytes[] = {8, 4, 4, 2, 2, 1};
        if (type < 0 || type > 4052 || precision > 5 || header[1] < 0 || header[2] < 0 ||
            header[4] <= 0) {
            return false;
        }
        uint64_t count;
        uint64_t dataBytes;
        if (!MultiplyChecked(static_cast<uint64_t>(header[1]), static_cast<uint64_t>(header[2]),
                             &count) ||
            !MultiplyChecked(count, ElementBytes[precision] * (header[3] != 0 ? 2 : 1),
                             &dataBytes)) {
            return false;
        }
        const auto nameLength = static_cast<uint64_t>(header[4]);
        if (nameLength > file.Size() - offset - std::min(file.Size() - offset, Level4HeaderBytes)) {
            return false;
        }
        std::string found(nameLength, '\0');
        if (!file.Read(offset + Level4HeaderBytes, found.data(), found.size())) return false;
        found.resize(std::strlen(found.c_str()));
        const uint64_t dataOffset = offset + Level4HeaderBytes + nameLength;
        if (found == name) {
            if (type % 10 != 1 || count != array->count || !FitsInMemory(dataBytes, 1)) {
                return false;
            }
            std::vector<uint8_t> data(static_cast<size_t>(dataBytes));
            if (!file.Read(dataOffset, data.data(), data.size())) return false;
            DecodeLevel4Text(data.data(), precision, swapBytes, array);
            return true;
        }
        if (dataBytes > file.Size() - std::min(file.Size(), dataOffset)) return false;
        offset = dataOffset + dataBytes;
    }
    return false;
}

bool WriteAll(int descriptor, const uint8_t* bytes, size_t size) {
    while (size > 0) {
        ssize_t written = write(descriptor, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// An unnamed file in memory (memfd), or in the temporary folder when memfd is
// not available. It is never mapped, so its pages stay out of the resident
// set; they are freed when it is closed.
int CreateScratchFile() {
    int descriptor = memfd_create("tessaro-mat", MFD_CLOEXEC);
    if (descriptor >= 0) return descriptor;
    std::error_code error;
    std::string folder = std::filesystem::temp_directory_path(error).string();
    if (error) folder = "/tmp";
    return open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

// libmatio, zlib and HDF5 can crash, loop or exhaust memory on a damaged
// file, so they run only in a child process, one per open file: it checks
// that the file opens, then sends each variable asked for back through a
// scratch file. Whatever goes wrong in a child makes it end without success
// (the next request then gets a new child), and the parent checks every
// size it sends. Only the variables asked for are
// parsed: a file is never refused for one it holds but nobody reads.
constexpr unsigned ChildSeconds = 10;

// Present in sanitizer builds only: the callback a sanitizer (or a fuzzer
// through it) runs before it ends a faulty process.
extern "C" __attribute__((weak)) void __sanitizer_set_death_callback(void (*callback)());

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool Sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif
#else
constexpr bool Sanitized = false;
#endif

// Damaged sizes can make libmatio zero gigabytes before it notices; the
// child's address space is capped so that such an allocation fails at once
// instead of taking the machine's memory. Sanitizers reserve terabytes of
// address space up front, so their builds go without the cap.
void LimitChildMemory() {
    if (Sanitized) return;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return;
    unsigned long long pages = 0;
    const bool read = std::fscanf(statm, "%llu", &pages) == 1;
    std::fclose(statm);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (!read || pageSize <= 0) return;
    const uint64_t limit = pages * static_cast<uint64_t>(pageSize) + ChildMemoryBytes;
    const rlimit cap{limit, limit};
    setrlimit(RLIMIT_AS, &cap);
}

// Sets up a child for the libraries: a child caught in a loop is ended by
// the default SIGALRM action, and one that faults simply dies: the parent's
// handlers (a sanitizer's or a fuzzer's among them) must not report the
// parent's state for it.
void PrepareChild() {
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGALRM}) {
        signal(fault, SIG_DFL);
    }
    if (&__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(nullptr);
    LimitChildMemory();
}

// The sockets of the servers running, so that a new child closes the ones it
// inherits: a server ends when its socket's last copy closes.
std::mutex channelsMutex;
std::vector<int> openChannels;

bool SendVariable(const char* path, const char* name, int descriptor, int report);
bool OpensWithLibrary(const char* path);

// A server child answers one request at a time, each within ChildSeconds: a
// kind byte ('O': does the file open; 'V': send the variable named by the
// rest into the scratch file that comes along), answered by one byte, 1 for
// success. It ends with _exit (no atexit handlers, no flushing of the
// parent's buffers) when its socket closes.
[[noreturn]] void Serve(int channel, const char* path, int descriptor) {
    for (;;) {
        alarm(0);
        char message[4096];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        iovec part{message, sizeof message - 1};
        msghdr header{};
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        const ssize_t length = recvmsg(channel, &header, 0);
        if (length < 0 && errno == EINTR) continue;
        if (length <= 0) _exit(0);
        alarm(ChildSeconds);
        message[length] = '\0';
        int report = -1;
        const cmsghdr* attached = CMSG_FIRSTHDR(&header);
        if (attached != nullptr && attached->cmsg_type == SCM_RIGHTS) {
            std::memcpy(&report, CMSG_DATA(attached), sizeof report);
        }
        bool done = false;
        try {
            done = message[0] == 'O' ? OpensWithLibrary(path)
                   : report >= 0     ? SendVariable(path, message + 1, descriptor, report)
                                     : false;
        } catch (...) {
        }
        if (report >= 0) close(report);
        const uint8_t reply = done ? 1 : 0;
        if (send(channel, &reply, 1, MSG_NOSIGNAL) != 1) _exit(1);
    }
}

void StopServer(MATFile& file) {
    if (file.server < 0) return;
    {
        std::lock_guard lock(channelsMutex);
        std::erase(openChannels, file.channel);
    }
    close(file.channel);
    int status = 0;
    while (waitpid(file.server, &status, 0) < 0 && errno == EINTR) {
    }
    file.server = -1;
    file.channel = -1;
}

bool StartServer(MATFile& file) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return false;
    std::vector<int> inherited;
    {
        std::lock_guard lock(channelsMutex);
        inherited = openChannels;
    }
    const pid_t child = fork();
    if (child < 0) {
        close(ends[0]);
        close(ends[1]);
        return false;
    }
    if (child == 0) {
        PrepareChild();
        close(ends[0]);
        for (int channel : inherited) close(channel);
        Serve(ends[1], file.libraryPath.c_str(), file.descriptor);
    }
    close(ends[1]);
    file.server = child;
    file.channel = ends[0];
    std::lock_guard lock(channelsMutex);
    openChannels.push_back(file.channel);
    return true;
}

// Asks the file's server, started when there is none. A request that fails
// ends the server: whatever the libraries did in it stays in it, and the
// next request gets a fresh child.
bool Ask(MATFile& file, char kind, const char* name, int report) {
    if (file.server < 0 && !StartServer(file)) return false;
    std::string message(1, kind);
    if (name != nullptr) message += name;
    iovec part{message.data(), message.size()};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (report >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* attached = CMSG_FIRSTHDR(&header);
        attached->cmsg_level = SOL_SOCKET;
        attached->cmsg_type = SCM_RIGHTS;
        attached->cmsg_len = CMSG_LEN(sizeof report);
        std::memcpy(CMSG_DATA(attached), &report, sizeof report);
    }
    uint8_t reply = 0;
    ssize_t got = -1;
    if (message.size() < 4096 &&
        sendmsg(file.channel, &header, MSG_NOSIGNAL) == static_cast<ssize_t>(message.size())) {
        do {
            got = recv(file.channel, &reply, 1, 0);
        } while (got < 0 && errno == EINTR);
    }
    const bool done = got == 1 && reply == 1;
    if (!done) StopServer(file);
    return done;
}

// The path the library opens in a child: the parent's open descriptor when
// /proc offers it, so that the file checked at matOpen is the one read.
std::string LibraryPath(int descriptor, const char* path) {
    std::string own = "/proc/self/fd/" + std::to_string(descriptor);
    return access(own.c_str(), R_OK) == 0 ? own : std::string(path);
}

bool OpensWithLibrary(const char* path) {
    QuietLibraries();
    mat_t* mat = Mat_Open(path, MAT_ACC_RDONLY);
    if (mat == nullptr) return false;
    bool opened = true;
    if (Mat_GetVersion(mat) == MAT_FT_MAT73) {
        // libmatio hands out a handle even when HDF5 cannot open the file.
        hid_t probe = H5Fopen(path, H5F_ACC_RDONLY, H5P_DEFAULT);
        opened = probe >= 0;
        if (opened) H5Fclose(probe);
    }
    Mat_Close(mat);
    return opened;
}

mxArray* ReadArray(mat_t* mat, const char* name, int descriptor) {
    matvar_t* info = Mat_VarReadInfo(mat, name);
    if (info == nullptr) return nullptr;
    mxArray* array = nullptr;
    if (info->rank >= 2 && info->dims != nullptr && info->class_type >= MAT_C_CELL &&
        info->class_type <= MAT_C_OPAQUE) {
        std::vector<size_t> dims(info->dims, info->dims + info->rank);
        array = NewArray(static_cast<uint8_t>(info->class_type), info->isComplex != 0,
                         info->isLogical != 0, dims);
    }
    bool taken = array != nullptr;
    if (taken && NeedsValues(*array)) {
        std::unique_ptr<double, FreeDeleter> values;
        const Level5Check check =
            Mat_GetVersion(mat) == MAT_FT_MAT5
                ? CheckLevel5Element(descriptor, name, *info, array->count, &values)
                : Level5Check::Intact;
        if (check == Level5Check::Damaged) {
            taken = false;
        } else if (values) {
            array->real = std::move(values);
        } else if (array->classId != MAT_C_CHAR) {
            taken = ReadNumeric(mat, info, array, check == Level5Check::Complete);
        } else if (Mat_GetVersion(mat) == MAT_FT_MAT4) {
            taken = ReadLevel4Text(descriptor, name, array);
        } else {
            // libmatio allocates the whole array before reading it.
            taken = FitsInMemory(array->count, sizeof(uint32_t)) &&
                    TakeText(Mat_VarRead(mat, name), array);
        }
    }
    Mat_VarFree(info);
    if (!taken) {
        delete array;
        return nullptr;
    }
    return array;
}

// Report of a child: magic, class, flags (1 complex, 2 logical), rank,
// payload bytes, then rank dimensions, then the payload (count doubles or
// the UTF-8 text), all in 64-bit words of this machine.
constexpr uint64_t ReportMagic = 0x54'4D'41'54'37'33'00'01;
constexpr size_t ReportWords = 5;
// HDF5 holds at most 32 dimensions.
constexpr uint64_t MaxRank = 32;

bool SendArray(int descriptor, const mxArray& array) {
    uint64_t payloadBytes = 0;
    const uint8_t* payload = nullptr;
    if (array.classId == MAT_C_CHAR) {
        payloadBytes = array.text.size();
        payload = reinterpret_cast<const uint8_t*>(array.text.data());
    } else if (array.real) {
        payloadBytes = uint64_t{array.count} * sizeof(double);
        payload = reinterpret_cast<const uint8_t*>(array.real.get());
    }
    uint64_t words[ReportWords] = {ReportMagic, array.classId,
                                   uint64_t{array.isComplex} | uint64_t{array.isLogical} << 1,
                                   array.dims.size(), payloadBytes};
    std::vector<uint64_t> dims(array.dims.begin(), array.dims.end());
    return WriteAll(descriptor, reinterpret_cast<const uint8_t*>(words), sizeof words) &&
           WriteAll(descriptor, reinterpret_cast<const uint8_t*>(dims.data()),
                    dims.size() * sizeof(uint64_t)) &&
           WriteAll(descriptor, payload, static_cast<size_t>(payloadBytes));
}

// The array a child sent, or null when the report is not exactly one
// well-formed array.
mxArray* ReceiveArray(int descriptor) {
    struct stat status;
    if (fstat(descriptor, &status) != 0 || status.st_size < 0) return nullptr;
    FileSource report(descriptor, static_cast<uint64_t>(status.st_size));
    uint64_t words[ReportWords];
    if (!report.Read(0, words, sizeof words)) return nullptr;
    uint64_t classId = words[1];
    uint64_t flags = words[2];
    uint64_t rank = words[3];
    uint64_t payloadBytes = words[4];
    if (words[0] != ReportMagic || classId < MAT_C_CELL || classId > MAT_C_OPAQUE || flags > 3 ||
        rank < 2 || rank > MaxRank) {
        return nullptr;
    }
    uint64_t dimsWords[MaxRank];
    if (!report.Read(sizeof words, dimsWords, rank * sizeof(uint64_t))) return nullptr;
    uint64_t payloadOffset = sizeof words + rank * sizeof(uint64_t);
    if (report.Size() - payloadOffset != payloadBytes) return nullptr;
    std::vector<size_t> dims;
    for (uint64_t i = 0; i < rank; ++i) {
        if (dimsWords[i] > SIZE_MAX) return nullptr;
        dims.push_back(static_cast<size_t>(dimsWords[i]));
    }
    std::unique_ptr<mxArray> array(
        NewArray(static_cast<uint8_t>(classId), (flags & 1) != 0, (flags & 2) != 0, dims));
    if (array == nullptr) return nullptr;
    if (!NeedsValues(*array)) return payloadBytes == 0 ? array.release() : nullptr;
    if (!FitsInMemory(payloadBytes, 1)) return nullptr;
    if (array->classId == MAT_C_CHAR) {
        std::string bytes(static_cast<size_t>(payloadBytes), '\0');
        if (!report.Read(payloadOffset, bytes.data(), bytes.size())) return nullptr;
        // Decoded again: the text handed out is well-formed whatever arrived.
        DecodeUtf8(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &array->text);
        return array.release();
    }
    uint64_t expected;
    if (!MultiplyChecked(array->count, sizeof(double), &expected) || payloadBytes != expected)
        return nullptr;
    array->real.reset(static_cast<double*>(std::malloc(static_cast<size_t>(payloadBytes))));
    if (!array->real || !report.Read(payloadOffset, array->real.get(), payloadBytes))
        return nullptr;
    return array.release();
}

bool SendVariable(const char* path, const char* name, int descriptor, int report) {
    QuietLibraries();
    mat_t* mat = Mat_Open(path, MAT_ACC_RDONLY);
    if (mat == nullptr) return false;
    const std::unique_ptr<mxArray> array(ReadArray(mat, name, descriptor));
    const bool sent = array != nullptr && SendArray(report, *array);
    // The server goes on to the next request.
    Mat_Close(mat);
    return sent;
}

mxArray* ReadVariable(MATFile& file, const char* name) {
    int report = CreateScratchFile();
    if (report < 0) return nullptr;
    const bool sent = Ask(file, 'V', name, report);
    mxArray* array = sent ? ReceiveArray(report) : nullptr;
    // A file-size limit (ulimit -f) applies to the scratch file too: a
    // variable that filled it up to the limit is told apart from damage.
    struct stat scratch {};
    rlimit limit{};
    const bool limited = array == nullptr && fstat(report, &scratch) == 0 &&
                         getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
                         static_cast<rlim_t>(scratch.st_size) >= limit.rlim_cur;
    close(report);
    errno = limited ? EFBIG : 0;
    return array;
}

}  // namespace

MATFile* matOpen(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr || std::strcmp(mode, "r") != 0) return nullptr;
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return nullptr;
    struct stat status;
    // libmatio takes an empty file for a level-4 file without variables.
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0) {
        close(descriptor);
        return nullptr;
    }
    auto* file = new (std::nothrow) MATFile;
    if (file == nullptr) {
        close(descriptor);
        return nullptr;
    }
    file->descriptor = descriptor;
    file->libraryPath = LibraryPath(descriptor, path);
    if (!Ask(*file, 'O', nullptr, -1)) {
        matClose(file);
        return nullptr;
    }
    return file;
}

int matClose(MATFile* file) {
    if (file == nullptr) return EOF;
    StopServer(*file);
    if (file->descriptor >= 0) close(file->descriptor);
    delete file;
    return 0;
}

mxArray* matGetVariable(MATFile* file, const char* name) {
    // No variable can be called "": such an entry is damage, not a name.
    if (file == nullptr || name == nullptr || name[0] == '\0') return nullptr;
    return ReadVariable(*file, name);
}

void mxDestroyArray(mxArray* array) { delete array; }

size_t mxGetM(const mxArray* array) { return array == nullptr ? 0 : array->dims[0]; }

size_t mxGetN(const mxArray* array) {
    if (array == nullptr) return 0;
    if (array->dims[0] != 0) return array->count / array->dims[0];
    // With no rows the other dimensions were not checked as a product.
    uint64_t columns = 1;
    for (size_t i = 1; i < array->dims.size(); ++i) {
        if (!MultiplyChecked(columns, array->dims[i], &columns)) return SIZE_MAX;
    }
    return columns > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(columns);
}

size_t mxGetNumberOfDimensions(const mxArray* array) {
    return array == nullptr ? 0 : array->dims.size();
}

const size_t* mxGetDimensions(const mxArray* array) {
    return array == nullptr ? nullptr : array->dims.data();
}

size_t mxGetNumberOfElements(const mxArray* array) { return array == nullptr ? 0 : array->count; }

const double* mxGetPr(const mxArray* array) {
    return array == nullptr ? nullptr : array->real.get();
}

int mxGetString(const mxArray* array, char* buf, size_t buflen) {
    if (buf == nullptr || buflen == 0) return 1;
    buf[0] = '\0';
    if (array == nullptr || array->classId != MAT_C_CHAR) return 1;
    const std::string& text = array->text;
    size_t length = text.size();
    if (length <= buflen - 1) {
        std::memcpy(buf, text.data(), length);
        buf[length] = '\0';
        return 0;
    }
    length = buflen - 1;
    // Back off to the lead byte of the character that does not fit.
    while (length > 0 && (static_cast<uint8_t>(text[length]) & 0xC0) == 0x80) --length;
    std::memcpy(buf, text.data(), length);
    buf[length] = '\0';
    return 1;
}

bool mxIsChar(const mxArray* array) { return array != nullptr && array->classId == MAT_C_CHAR; }

bool mxIsNumeric(const mxArray* array) {
    return array != nullptr && IsNumericClass(array->classId) && !array->isLogical;
}

bool mxIsDouble(const mxArray* array) { return array != nullptr && array->classId == MAT_C_DOUBLE; }

bool mxIsLogical(const mxArray* array) { return array != nullptr && array->isLogical; }

bool mxIsComplex(const mxArray* array) { return array != nullptr && array->isComplex; }

bool mxIsSparse(const mxArray* array) { return array != nullptr && array->classId == MAT_C_SPARSE; }

bool mxIsCell(const mxArray* array) { return array != nullptr && array->classId == MAT_C_CELL; }

bool mxIsStruct(const mxArray* array) { return array != nullptr && array->classId == MAT_C_STRUCT; }

}  // namespace tessaro
