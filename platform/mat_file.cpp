#include "platform/mat_file.h"

#include <fcntl.h>
#include <hdf5.h>
#include <matio.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

#include "platform/internal/mat_validator.h"

namespace tessaro {

using internal::MatDirectory;
using internal::MatVariable;
using internal::MatVersion;

struct MATFile {
    int descriptor = -1;  // level 4 and 5: the checked file
    MatDirectory directory;
    std::string hdf5Path;  // 7.3: read only by child processes
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

using internal::MultiplyChecked;

class FileSource final : public internal::ByteSource {
public:
    FileSource(int descriptor, uint64_t size) : descriptor_(descriptor), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, void* destination, size_t count) const override {
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

bool IsNumericClass(unsigned classId) {
    return classId >= internal::MatClassDouble && classId <= internal::MatClassUInt64;
}

// Arrays whose values are read: the rest are described by class and size.
bool NeedsValues(const mxArray& array) {
    if (array.classId == internal::MatClassChar) return true;
    return IsNumericClass(array.classId) && !array.isComplex && array.count > 0;
}

// Nothing larger than the machine's memory is attempted, so a huge array
// fails by result instead of by an allocator abort.
bool FitsInMemory(uint64_t count, uint64_t elementSize) {
    uint64_t bytes;
    if (!MultiplyChecked(count, elementSize, &bytes)) return false;
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return true;
    uint64_t memory;
    if (!MultiplyChecked(static_cast<uint64_t>(pages), static_cast<uint64_t>(pageSize), &memory))
        return true;
    return bytes <= memory;
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

// Takes the values libmatio read, after checking they are the array asked
// for: same class and shape, and a buffer of exactly count elements. Doubles
// change hands without a copy: variable is left without data.
bool TakeNumeric(matvar_t& variable, mxArray* array) {
    if (variable.class_type != array->classId || variable.isComplex) return false;
    if (!SameShape(variable, *array)) return false;
    size_t elementSize = Mat_SizeOf(variable.data_type);
    uint64_t bytes;
    if (elementSize == 0 || !MultiplyChecked(array->count, elementSize, &bytes)) return false;
    if (variable.data == nullptr || variable.nbytes != bytes) return false;
    if (variable.data_type == MAT_T_DOUBLE && variable.mem_conserve == 0) {
        array->real.reset(static_cast<double*>(variable.data));
        variable.data = nullptr;
        return true;
    }
    if (!FitsInMemory(array->count, sizeof(double))) return false;
    array->real.reset(static_cast<double*>(std::malloc(array->count * sizeof(double))));
    if (!array->real) return false;
    double* out = array->real.get();
    const void* data = variable.data;
    size_t count = array->count;
    switch (variable.data_type) {
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
            array->real.reset();
            return false;
    }
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

// Level-4 text holds one character code per element in the matrix's
// precision; libmatio narrows the codes to 8 bits, so they are read here.
void TakeLevel4Text(const uint8_t* element, const MatVariable& variable, mxArray* array) {
    int32_t type;
    std::memcpy(&type, element, 4);
    bool swapBytes = variable.swapBytes;
    if (swapBytes) type = static_cast<int32_t>(__builtin_bswap32(static_cast<uint32_t>(type)));
    int precision = (type / 10) % 10;
    int32_t nameLength;
    std::memcpy(&nameLength, element + 16, 4);
    if (swapBytes) {
        nameLength = static_cast<int32_t>(__builtin_bswap32(static_cast<uint32_t>(nameLength)));
    }
    const uint8_t* data = element + 20 + nameLength;
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

// A window of another source, so an element inside a file reads as if it
// started at offset 0.
class WindowSource final : public internal::ByteSource {
public:
    WindowSource(const ByteSource& source, uint64_t offset, uint64_t size)
        : source_(source), offset_(offset), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, void* destination, size_t count) const override {
        if (offset > size_ || count > size_ - offset) return false;
        return source_.Read(offset_ + offset, destination, count);
    }

private:
    const ByteSource& source_;
    uint64_t offset_;
    uint64_t size_;
};

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

// A private file holding exactly the checked bytes, so that libmatio reads
// nothing else even if the original file changes meanwhile. Filled in small
// chunks: the element is never held in memory as a whole.
class PrivateCopy {
public:
    ~PrivateCopy() {
        Close();
        if (!unlinkPath_.empty()) unlink(unlinkPath_.c_str());
    }

    bool Create() {
        descriptor_ = CreateScratchFile();
        if (descriptor_ >= 0) {
            path_ = "/proc/self/fd/" + std::to_string(descriptor_);
            if (access(path_.c_str(), R_OK) == 0) return true;
            Close();
        }
        // Without /proc the copy needs a name libmatio can open.
        std::error_code error;
        std::string folder = std::filesystem::temp_directory_path(error).string();
        if (error) folder = "/tmp";
        std::string name = folder + "/tessaro-mat-XXXXXX";
        descriptor_ = mkostemp(name.data(), O_CLOEXEC);
        if (descriptor_ < 0) return false;
        path_ = name;
        unlinkPath_ = name;
        return true;
    }

    bool Append(const uint8_t* bytes, size_t size) {
        if (!WriteAll(descriptor_, bytes, size)) return false;
        size_ += size;
        return true;
    }

    bool AppendFrom(const internal::ByteSource& source, uint64_t offset, uint64_t size) {
        constexpr size_t ChunkSize = 64 * 1024;
        uint8_t chunk[ChunkSize];
        while (size > 0) {
            size_t take = static_cast<size_t>(std::min<uint64_t>(ChunkSize, size));
            if (!source.Read(offset, chunk, take) || !Append(chunk, take)) return false;
            offset += take;
            size -= take;
        }
        return true;
    }

    void Close() {
        if (descriptor_ >= 0) close(descriptor_);
        descriptor_ = -1;
    }

    int Descriptor() const { return descriptor_; }
    uint64_t Size() const { return size_; }
    const char* Path() const { return path_.c_str(); }

private:
    int descriptor_ = -1;
    uint64_t size_ = 0;
    std::string path_;
    std::string unlinkPath_;
};

// The variable as libmatio reads it, or null.
matvar_t* ReadLibraryVariable(const char* path, const char* name) {
    mat_t* mat = Mat_Open(path, MAT_ACC_RDONLY);
    if (mat == nullptr) return nullptr;
    matvar_t* variable = Mat_VarRead(mat, name);
    Mat_Close(mat);
    return variable;
}

bool TakeValues(matvar_t* variable, mxArray* array) {
    if (variable == nullptr) return false;
    bool taken = array->classId == internal::MatClassChar ? TakeText(*variable, array)
                                                          : TakeNumeric(*variable, array);
    Mat_VarFree(variable);
    return taken;
}

mxArray* ReadCheckedVariable(MATFile* file, const MatVariable& listed) {
    // The element is copied and the copy checked again: what libmatio gets is
    // exactly what passed the check.
    struct stat status;
    if (fstat(file->descriptor, &status) != 0) return nullptr;
    FileSource original(file->descriptor, static_cast<uint64_t>(status.st_size));
    bool level4 = file->directory.version == MatVersion::Level4;
    uint64_t elementOffset = level4 ? 0 : internal::MatHeaderSize;
    PrivateCopy privateCopy;
    if (!privateCopy.Create()) return nullptr;
    if (!level4 && !privateCopy.Append(file->directory.header, internal::MatHeaderSize))
        return nullptr;
    if (!privateCopy.AppendFrom(original, listed.offset, listed.size)) return nullptr;
    FileSource copySource(privateCopy.Descriptor(), privateCopy.Size());
    WindowSource copy(copySource, elementOffset, listed.size);
    MatVariable checked;
    if (level4) {
        if (!internal::CheckLevel4Matrix(copy, &checked)) return nullptr;
        // libmatio must also take the copy for a level-4 file.
        if (internal::DetectMatVersion(copy) != MatVersion::Level4) return nullptr;
    } else {
        bool swapBytes = internal::Level5SwapsBytes(file->directory.header);
        if (!internal::CheckLevel5Element(copy, swapBytes, internal::MatLimits{}, &checked))
            return nullptr;
    }
    if (checked.name != listed.name || checked.classId != listed.classId ||
        checked.dims != listed.dims) {
        return nullptr;
    }

    std::unique_ptr<mxArray> array(
        NewArray(checked.classId, checked.isComplex, checked.isLogical, checked.dims));
    if (array == nullptr || !NeedsValues(*array)) return array.release();
    if (level4 && array->classId == internal::MatClassChar) {
        std::unique_ptr<uint8_t[]> element(new (std::nothrow) uint8_t[listed.size]);
        if (!element || !copy.Read(0, element.get(), listed.size)) return nullptr;
        TakeLevel4Text(element.get(), checked, array.get());
        return array.release();
    }
    matvar_t* variable = ReadLibraryVariable(privateCopy.Path(), checked.name.c_str());
    // The copy goes before any conversion allocates.
    privateCopy.Close();
    if (!TakeValues(variable, array.get())) return nullptr;
    return array.release();
}

// HDF5 can crash or exhaust memory on a damaged 7.3 file, so it runs only in
// child processes: one checks that the file opens, one per variable read
// sends the array back through a scratch file. Whatever goes wrong in a child
// makes it end without success, and the parent checks every size it sends.
constexpr unsigned ChildSeconds = 20;

// Runs work in a child process that ends with _exit (no atexit handlers, no
// flushing of the parent's buffers). True when work returned true.
template <typename Work>
bool RunInChild(Work work) {
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        // A child caught in a loop is ended by the default SIGALRM action.
        signal(SIGALRM, SIG_DFL);
        alarm(ChildSeconds);
        _exit(work() ? 0 : 1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The path HDF5 opens in a child: the parent's open descriptor when /proc
// offers it, so that the file checked at matOpen is the one read.
std::string Hdf5Path(int descriptor, const char* path) {
    std::string own = "/proc/self/fd/" + std::to_string(descriptor);
    return access(own.c_str(), R_OK) == 0 ? own : std::string(path);
}

bool OpensAsHdf5(const char* path) {
    QuietLibraries();
    // libmatio hands out a handle even when HDF5 cannot open the file.
    hid_t probe = H5Fopen(path, H5F_ACC_RDONLY, H5P_DEFAULT);
    if (probe < 0) return false;
    H5Fclose(probe);
    mat_t* mat = Mat_Open(path, MAT_ACC_RDONLY);
    bool opened = mat != nullptr && Mat_GetVersion(mat) == MAT_FT_MAT73;
    if (mat != nullptr) Mat_Close(mat);
    return opened;
}

mxArray* ReadHdf5Array(mat_t* mat, const char* name) {
    matvar_t* info = Mat_VarReadInfo(mat, name);
    if (info == nullptr) return nullptr;
    mxArray* array = nullptr;
    if (info->rank >= 2 && info->dims != nullptr && info->class_type >= MAT_C_CELL &&
        info->class_type <= MAT_C_OPAQUE) {
        std::vector<size_t> dims(info->dims, info->dims + info->rank);
        array = NewArray(static_cast<uint8_t>(info->class_type), info->isComplex != 0,
                         info->isLogical != 0, dims);
    }
    Mat_VarFree(info);
    if (array == nullptr || !NeedsValues(*array)) return array;
    // libmatio allocates the whole array before reading it.
    if (!FitsInMemory(array->count, sizeof(double)) || !TakeValues(Mat_VarRead(mat, name), array)) {
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
    if (array.classId == internal::MatClassChar) {
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

bool SendHdf5Variable(const char* path, const char* name, int descriptor) {
    QuietLibraries();
    mat_t* mat = Mat_Open(path, MAT_ACC_RDONLY);
    if (mat == nullptr) return false;
    mxArray* array = ReadHdf5Array(mat, name);
    bool sent = array != nullptr && SendArray(descriptor, *array);
    // The process ends right after: nothing else is released.
    return sent;
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
    if (array->classId == internal::MatClassChar) {
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

mxArray* ReadHdf5Variable(MATFile* file, const char* name) {
    int report = CreateScratchFile();
    if (report < 0) return nullptr;
    const char* path = file->hdf5Path.c_str();
    bool sent = RunInChild([&] { return SendHdf5Variable(path, name, report); });
    mxArray* array = sent ? ReceiveArray(report) : nullptr;
    close(report);
    return array;
}

}  // namespace

MATFile* matOpen(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr || std::strcmp(mode, "r") != 0) return nullptr;
    QuietLibraries();
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return nullptr;
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(descriptor);
        return nullptr;
    }
    auto* file = new (std::nothrow) MATFile;
    if (file == nullptr) {
        close(descriptor);
        return nullptr;
    }
    file->descriptor = descriptor;
    FileSource source(descriptor, static_cast<uint64_t>(status.st_size));
    bool wellFormed = internal::ScanMatFile(source, internal::MatLimits{}, &file->directory);
    if (wellFormed && file->directory.version == MatVersion::Hdf5) {
        // Opening is where HDF5 parses most of the file's metadata.
        file->hdf5Path = Hdf5Path(descriptor, path);
        const char* hdf5Path = file->hdf5Path.c_str();
        wellFormed = RunInChild([&] { return OpensAsHdf5(hdf5Path); });
    }
    if (!wellFormed) {
        matClose(file);
        return nullptr;
    }
    return file;
}

int matClose(MATFile* file) {
    if (file == nullptr) return EOF;
    if (file->descriptor >= 0) close(file->descriptor);
    delete file;
    return 0;
}

mxArray* matGetVariable(MATFile* file, const char* name) {
    // No variable can be called "": such an entry is damage, not a name.
    if (file == nullptr || name == nullptr || name[0] == '\0') return nullptr;
    if (file->directory.version == MatVersion::Hdf5) return ReadHdf5Variable(file, name);
    for (const MatVariable& variable : file->directory.variables) {
        if (variable.name == name) return ReadCheckedVariable(file, variable);
    }
    return nullptr;
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
    if (array == nullptr || array->classId != internal::MatClassChar) return 1;
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

bool mxIsChar(const mxArray* array) {
    return array != nullptr && array->classId == internal::MatClassChar;
}

bool mxIsNumeric(const mxArray* array) {
    return array != nullptr && IsNumericClass(array->classId) && !array->isLogical;
}

bool mxIsDouble(const mxArray* array) {
    return array != nullptr && array->classId == internal::MatClassDouble;
}

bool mxIsLogical(const mxArray* array) { return array != nullptr && array->isLogical; }

bool mxIsComplex(const mxArray* array) { return array != nullptr && array->isComplex; }

bool mxIsSparse(const mxArray* array) {
    return array != nullptr && array->classId == internal::MatClassSparse;
}

bool mxIsCell(const mxArray* array) {
    return array != nullptr && array->classId == internal::MatClassCell;
}

bool mxIsStruct(const mxArray* array) {
    return array != nullptr && array->classId == internal::MatClassStruct;
}

}  // namespace tessaro
