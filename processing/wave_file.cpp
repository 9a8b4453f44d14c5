#include "processing/wave_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <utility>

namespace tessaro {
namespace {

// Chunk ids are four characters stored as a little-endian 32-bit value, so
// the first character is the lowest byte, as on disk.
constexpr uint32_t FourCc(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

constexpr uint32_t RiffId = FourCc("RIFF");
constexpr uint32_t WaveId = FourCc("WAVE");
constexpr uint32_t FmtId = FourCc("fmt ");
constexpr uint32_t FactId = FourCc("fact");
constexpr uint32_t DataId = FourCc("data");
// RF64 (EBU Tech 3306) and its successor BW64: a RIFF file whose 32-bit sizes
// are 0xFFFFFFFF, the real ones 64-bit in a "ds64" chunk right behind "WAVE".
constexpr uint32_t Rf64Id = FourCc("RF64");
constexpr uint32_t Bw64Id = FourCc("BW64");
constexpr uint32_t Ds64Id = FourCc("ds64");
constexpr uint32_t SizeInDs64 = 0xFFFFFFFFu;
// "ds64" 28: RIFF size, data size, sample count (64-bit each), an empty table.
constexpr size_t Ds64ChunkBytes = 8 + 28;

uint16_t LoadLe16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

uint32_t LoadLe32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void StoreLe16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

uint64_t LoadLe64(const uint8_t* bytes) {
    return uint64_t{LoadLe32(bytes)} | uint64_t{LoadLe32(bytes + 4)} << 32;
}

void StoreLe64(uint8_t* bytes, uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

void StoreLe32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

constexpr uint64_t MaxChunkSize = std::numeric_limits<uint32_t>::max();
constexpr uint64_t MaxFileOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
// Bytes of a PCM output between the RIFF form type and the first data byte,
// all counted by the RIFF size: "WAVE", "fmt " chunk (24), "fact" chunk (12),
// "data" header (8).
constexpr uint64_t PcmRiffOverhead = 4 + 24 + 12 + 8;
constexpr size_t PcmRecordBytes = 16;
constexpr size_t FormatRecordBytes = 18;
// The sub-format GUID of WAVE_FORMAT_EXTENSIBLE behind its format tag.
constexpr uint8_t SubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                       0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The RIFF size of a file whose data chunk holds dataBytes, the pad byte
// after odd data included.
uint64_t RiffSizeFor(uint64_t overhead, uint64_t dataBytes) {
    return overhead + dataBytes + (dataBytes & 1u);
}

bool HasWavExtension(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < nameStart || path.size() - dot != 4) {
        return false;
    }
    static constexpr char Wav[] = ".wav";
    for (size_t i = 0; i < 4; ++i) {
        char c = path[dot + i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != Wav[i]) {
            return false;
        }
    }
    return true;
}

// A name beside target that no other writer picks: "." name ".XXXXXXXX.part".
std::string TemporaryName(const std::string& target) {
    static thread_local std::mt19937 random{std::random_device{}()};
    const size_t slash = target.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x.part", static_cast<unsigned>(random()));
    return target.substr(0, nameStart) + "." + target.substr(nameStart) + suffix;
}

// pread and pwrite until count bytes are done; a short count means the end
// of the file (reading) or a failure.
template <typename Transfer, typename Byte>
size_t TransferAll(Transfer transfer, int fd, uint64_t offset, Byte* bytes, size_t count) {
    size_t done = 0;
    while (done < count && offset + done <= MaxFileOffset) {
        const ssize_t n =
            transfer(fd, bytes + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

}  // namespace

WaveFile::~WaveFile() {
    if (IsOpen()) {
        Close();
    }
}

bool WaveFile::DataSizeFits(uint64_t bytes, uint16_t formatTag) {
    // A non-PCM record carries cbSize: two more header bytes.
    const uint64_t overhead = PcmRiffOverhead + (formatTag == WaveFormatPcm ? 0 : 2);
    return bytes <= MaxChunkSize && RiffSizeFor(overhead, bytes) <= MaxChunkSize;
}

std::optional<SampleFormat> StereoSampleFormat(const WaveFormatEx& format, bool wide) {
    if (format.channels != 2) return std::nullopt;
    uint16_t tag = format.formatTag;
    if (tag == WaveFormatExtensible) {
        // cbSize 22: valid bits, channel mask, then the sub-format GUID,
        // whose first two bytes are the format tag.
        if (format.extra.size() < 22 ||
            std::memcmp(format.extra.data() + 8, SubFormatTail, sizeof SubFormatTail) != 0) {
            return std::nullopt;
        }
        tag = LoadLe16(format.extra.data() + 6);
    }
    if (tag == WaveFormatPcm && format.bitsPerSample == 16) return SampleFormat::Pcm16;
    if (!wide) return std::nullopt;
    if (tag == WaveFormatPcm && format.bitsPerSample == 24 && format.blockAlign == 6) {
        return SampleFormat::Pcm24;
    }
    if (tag == WaveFormatFloat && format.bitsPerSample == 32 && format.blockAlign == 8) {
        return SampleFormat::Float32;
    }
    return std::nullopt;
}

int32_t WaveFile::Open(const std::string& path, const WaveFormatEx* fileFormat, int32_t openMode) {
    if (IsOpen()) {
        return E_FAIL;
    }
    if (openMode == WaveModeRead) {
        return OpenForReading(path);
    }
    if (openMode == WaveModeWrite) {
        if (fileFormat == nullptr) {
            return E_INVALIDARG;
        }
        return OpenForWriting(path, *fileFormat);
    }
    return E_INVALIDARG;
}

bool WaveFile::ReadAt(uint64_t offset, void* destination, size_t count) const {
    return TransferAll(::pread, fd, offset, static_cast<uint8_t*>(destination), count) == count;
}

bool WaveFile::WriteAt(uint64_t offset, const void* source, size_t count) const {
    return TransferAll(::pwrite, fd, offset, static_cast<const uint8_t*>(source), count) == count;
}

void WaveFile::Release() {
    if (fd >= 0) {
        ::close(fd);
    }
    fd = -1;
    buffer.reset();
    bufferPos = bufferFill = 0;
}

int32_t WaveFile::OpenForReading(const std::string& path) {
    if (path.empty()) {
        return E_INVALIDARG;
    }
    format.reset();
    mode = WaveModeRead;
    dataSize = dataLeft = 0;
    // O_NONBLOCK keeps a FIFO from blocking the open; only regular files are
    // taken, so nothing waits for a writer or reads forever.
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    struct stat info;
    uint64_t riffEnd = 0;
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ReadFormat(&riffEnd) < 0) {
        format.reset();
        Release();
        return E_FAIL;
    }
    // A missing "data" chunk leaves the file open; Close releases it.
    uint32_t claimedField = 0;
    if (!FindChunk(DataId, riffEnd, &dataOffset, &claimedField)) {
        return E_FAIL;
    }
    const uint64_t inDs64 = rf64DataSize == 0 ? UINT64_MAX : rf64DataSize;
    const uint64_t claimed = rf64 && claimedField == SizeInDs64 ? inDs64 : claimedField;
    // Recorders that are still writing (or were cut off) leave a size that
    // claims more than the file holds, often the placeholder 0xFFFFFFFF:
    // the data end where the file ends.
    const uint64_t fileSize = static_cast<uint64_t>(info.st_size);
    const uint64_t held = fileSize > dataOffset ? fileSize - dataOffset : 0;
    buffer.reset(new (std::nothrow) uint8_t[IoBufferSize]);
    if (!buffer) {
        return E_FAIL;
    }
    dataSize = dataLeft = std::min<uint64_t>(claimed, held);
    fileOffset = dataOffset;
    bufferPos = bufferFill = 0;
    return S_OK;
}

// Looks for the first chunk with id among the RIFF chunk's sub-chunks; its
// header must lie before riffEnd, the end the RIFF size claims.
bool WaveFile::FindChunk(uint32_t id, uint64_t riffEnd, uint64_t* chunkData, uint32_t* size) const {
    uint64_t position = 12;
    for (;;) {
        uint8_t header[8];
        if (position + 8 > riffEnd || !ReadAt(position, header, sizeof header)) {
            return false;
        }
        *size = LoadLe32(header + 4);
        *chunkData = position + 8;
        if (LoadLe32(header) == id) {
            return true;
        }
        position = *chunkData + *size + (*size & 1u);
    }
}

int32_t WaveFile::ReadFormat(uint64_t* riffEnd) {
    uint8_t riff[12 + Ds64ChunkBytes - 4];
    if (!ReadAt(0, riff, 12) || LoadLe32(riff + 8) != WaveId) {
        return E_FAIL;
    }
    const uint32_t id = LoadLe32(riff);
    rf64 = id == Rf64Id || id == Bw64Id;
    if (id != RiffId && !rf64) {
        return E_FAIL;
    }
    *riffEnd = 8 + uint64_t{LoadLe32(riff + 4)};
    if (rf64) {
        // "ds64" first, with at least the RIFF and data sizes and the count.
        if (!ReadAt(12, riff + 12, 8 + 24) || LoadLe32(riff + 12) != Ds64Id ||
            LoadLe32(riff + 16) < 24) {
            return E_FAIL;
        }
        // A writer on a pipe cannot come back to fill in "ds64": its sizes
        // stay 0, the placeholder for "up to the end of the file".
        if (LoadLe32(riff + 4) == SizeInDs64) {
            const uint64_t riffSize = LoadLe64(riff + 20);
            *riffEnd = riffSize == 0 || riffSize > MaxFileOffset - 8 ? MaxFileOffset : 8 + riffSize;
        }
        rf64DataSize = LoadLe64(riff + 28);
    }
    uint64_t fmtOffset = 0;
    uint32_t fmtSize = 0;
    uint8_t record[FormatRecordBytes];
    if (!FindChunk(FmtId, *riffEnd, &fmtOffset, &fmtSize) || fmtSize < PcmRecordBytes ||
        !ReadAt(fmtOffset, record, PcmRecordBytes)) {
        return E_FAIL;
    }
    auto fileFormat = std::make_unique<WaveFormatEx>();
    fileFormat->formatTag = LoadLe16(record);
    fileFormat->channels = LoadLe16(record + 2);
    fileFormat->samplesPerSec = LoadLe32(record + 4);
    fileFormat->avgBytesPerSec = LoadLe32(record + 8);
    fileFormat->blockAlign = LoadLe16(record + 12);
    fileFormat->bitsPerSample = LoadLe16(record + 14);
    // Older writers end non-PCM records after 16 bytes; cbSize is then 0.
    // The extra bytes must lie inside the chunk, never in the next one.
    if (fileFormat->formatTag != WaveFormatPcm && fmtSize >= FormatRecordBytes) {
        if (!ReadAt(fmtOffset + PcmRecordBytes, record + PcmRecordBytes, 2)) {
            return E_FAIL;
        }
        fileFormat->cbSize = LoadLe16(record + PcmRecordBytes);
        if (fileFormat->cbSize > fmtSize - FormatRecordBytes) {
            return E_FAIL;
        }
        fileFormat->extra.resize(fileFormat->cbSize);
        if (!ReadAt(fmtOffset + FormatRecordBytes, fileFormat->extra.data(), fileFormat->cbSize)) {
            return E_FAIL;
        }
    }
    format = std::move(fileFormat);
    return S_OK;
}

int32_t WaveFile::OpenForWriting(const std::string& path, const WaveFormatEx& fileFormat) {
    const bool isPcm = fileFormat.formatTag == WaveFormatPcm;
    if (path.empty() || (!isPcm && fileFormat.extra.size() < fileFormat.cbSize)) {
        return E_INVALIDARG;
    }
    format.reset();
    mode = WaveModeWrite;
    dataSize = 0;
    dataWritten = 0;
    writeFailed = false;
    fd = OpenUnpublished(path);
    buffer.reset(new (std::nothrow) uint8_t[IoBufferSize]);
    if (fd < 0 || !buffer) {
        Release();
        return E_FAIL;
    }

    // "RIFF" 0 "WAVE" | "fmt " n <record> [pad] | "fact" 4 FFFFFFFF | "data" 0:
    // the RIFF and data sizes stay 0 until Close. RF64: "RF64" FFFFFFFF
    // "WAVE" | "ds64" 28 <sizes, 0 until Close> | "fmt " ... | "data" FFFFFFFF,
    // the sample count in "ds64" taking the place of "fact".
    const size_t recordBytes = isPcm ? PcmRecordBytes : FormatRecordBytes + fileFormat.cbSize;
    const size_t fmtBytes = 8 + recordBytes + (recordBytes & 1u);
    const size_t ds64Bytes = rf64 ? Ds64ChunkBytes : 0;
    uint8_t* header = buffer.get();
    std::memset(header, 0, 12 + ds64Bytes + fmtBytes + 12 + 8);
    StoreLe32(header, rf64 ? Rf64Id : RiffId);
    StoreLe32(header + 8, WaveId);
    if (rf64) {
        StoreLe32(header + 4, SizeInDs64);
        StoreLe32(header + 12, Ds64Id);
        StoreLe32(header + 16, 28);
    }
    uint8_t* fmt = header + 12 + ds64Bytes;
    StoreLe32(fmt, FmtId);
    StoreLe32(fmt + 4, static_cast<uint32_t>(recordBytes));
    StoreLe16(fmt + 8, fileFormat.formatTag);
    StoreLe16(fmt + 10, fileFormat.channels);
    StoreLe32(fmt + 12, fileFormat.samplesPerSec);
    StoreLe32(fmt + 16, fileFormat.avgBytesPerSec);
    StoreLe16(fmt + 20, fileFormat.blockAlign);
    StoreLe16(fmt + 22, fileFormat.bitsPerSample);
    if (!isPcm) {
        StoreLe16(fmt + 24, fileFormat.cbSize);
        std::copy_n(fileFormat.extra.begin(), fileFormat.cbSize, fmt + 8 + FormatRecordBytes);
    }
    uint8_t* fact = fmt + fmtBytes;
    if (rf64) {
        StoreLe32(fact, DataId);
        StoreLe32(fact + 4, SizeInDs64);
        bufferFill = 12 + ds64Bytes + fmtBytes + 8;
    } else {
        StoreLe32(fact, FactId);
        StoreLe32(fact + 4, 4);
        StoreLe32(fact + 8, 0xFFFFFFFFu);
        StoreLe32(fact + 12, DataId);
        bufferFill = 12 + fmtBytes + 12 + 8;
    }
    writeBlockAlign = fileFormat.blockAlign;
    dataOffset = bufferFill;
    fileOffset = 0;
    return S_OK;
}

int32_t WaveFile::Read(void* destination, uint32_t count, uint32_t* delivered) {
    if (!IsOpen()) {
        return CO_E_NOTINITIALIZED;
    }
    if (destination == nullptr || delivered == nullptr) {
        return E_INVALIDARG;
    }
    *delivered = 0;
    if (mode != WaveModeRead) {
        return E_FAIL;
    }
    const auto wanted = static_cast<uint32_t>(std::min<uint64_t>(count, dataLeft));
    dataLeft -= wanted;
    auto* out = static_cast<uint8_t*>(destination);
    uint32_t copied = 0;
    while (copied < wanted) {
        if (bufferPos == bufferFill) {
            // An empty refill: the file ends before its data chunk does.
            bufferPos = 0;
            bufferFill = TransferAll(::pread, fd, fileOffset, buffer.get(), IoBufferSize);
            fileOffset += bufferFill;
            if (bufferFill == 0) {
                return E_FAIL;
            }
        }
        const size_t chunk = std::min<size_t>(wanted - copied, bufferFill - bufferPos);
        std::memcpy(out + copied, buffer.get() + bufferPos, chunk);
        bufferPos += chunk;
        copied += static_cast<uint32_t>(chunk);
    }
    *delivered = wanted;
    return S_OK;
}

// Hands the buffered bytes to the file. They are dropped even when that
// fails: the failure is remembered and reported by Close, and retrying
// cannot fix a full disk.
bool WaveFile::Flush() {
    const bool ok = WriteAt(fileOffset, buffer.get(), bufferFill);
    fileOffset += bufferFill;
    bufferFill = 0;
    writeFailed = writeFailed || !ok;
    return ok;
}

int32_t WaveFile::Write(uint32_t count, const void* source, uint32_t* written) {
    if (!IsOpen()) {
        return CO_E_NOTINITIALIZED;
    }
    if (written == nullptr || source == nullptr) {
        return E_INVALIDARG;
    }
    *written = 0;
    if (mode != WaveModeWrite) {
        return E_FAIL;
    }
    if (!rf64 && RiffSizeFor(dataOffset - 8, dataWritten + count) > MaxChunkSize) {
        return E_FAIL;
    }
    const auto* in = static_cast<const uint8_t*>(source);
    uint32_t stored = 0;
    while (stored < count) {
        if (bufferFill == IoBufferSize && !Flush()) {
            dataWritten += stored;
            *written = stored;
            return E_FAIL;
        }
        const size_t chunk = std::min<size_t>(count - stored, IoBufferSize - bufferFill);
        std::memcpy(buffer.get() + bufferFill, in + stored, chunk);
        bufferFill += chunk;
        stored += static_cast<uint32_t>(chunk);
    }
    dataWritten += count;
    *written = count;
    return S_OK;
}

int32_t WaveFile::Close() {
    if (mode == WaveModeWrite) {
        return FinishWrittenFile();
    }
    Release();
    return S_OK;
}

int32_t WaveFile::FinishWrittenFile() {
    if (!IsOpen()) {
        return CO_E_NOTINITIALIZED;
    }
    if ((dataWritten & 1u) != 0) {
        if (bufferFill == IoBufferSize) {
            Flush();
        }
        buffer[bufferFill++] = 0;
    }
    bool ok = Flush();
    // When some data never reached the file, sizes counting them would claim
    // bytes the file does not hold: the header then keeps its 0 sizes. The
    // sample count is unknown to this layer: 0 replaces the "still being
    // written" mark.
    if (ok && !writeFailed && rf64) {
        uint8_t sizes[24];
        StoreLe64(sizes, RiffSizeFor(dataOffset - 8, dataWritten));
        StoreLe64(sizes + 8, dataWritten);
        StoreLe64(sizes + 16, writeBlockAlign == 0 ? 0 : dataWritten / writeBlockAlign);
        ok = WriteAt(20, sizes, sizeof sizes);
    } else if (ok && !writeFailed) {
        uint8_t riffSize[4];
        uint8_t dataBytes[4];
        const uint8_t zero[4] = {0, 0, 0, 0};
        StoreLe32(riffSize, static_cast<uint32_t>(RiffSizeFor(dataOffset - 8, dataWritten)));
        StoreLe32(dataBytes, static_cast<uint32_t>(dataWritten));
        ok = WriteAt(4, riffSize, 4) && WriteAt(dataOffset - 12, zero, 4) &&
             WriteAt(dataOffset - 4, dataBytes, 4);
    }
    // The descriptor goes in every case: a failed close cannot be repaired by
    // trying again (Linux releases it even then), and keeping it would leak
    // one per failed run.
    // On the disk before it gets the name: a power loss leaves the old file
    // or the new one, never a broken one.
    ok = ok && !writeFailed && (finalPath.empty() || ::fdatasync(fd) == 0);
    ok = ok && Publish();
    if (!ok) Discard();
    ok = ::close(fd) == 0 && ok;
    fd = -1;
    Release();
    return ok ? S_OK : E_FAIL;
}

bool WaveFile::Identity(uint64_t* device, uint64_t* inode) const {
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) return false;
    *device = info.st_dev;
    *inode = info.st_ino;
    return true;
}

// A descriptor for the output at path that no reader sees yet: an unnamed
// file in its folder, or one under a temporary name where the file system
// has no unnamed files. What is not a regular file (a FIFO, /dev/null) is
// written in place, as is a name that links to nothing.
int WaveFile::OpenUnpublished(const std::string& path) {
    finalPath.clear();
    tempPath.clear();
    struct stat existing {};
    const bool exists = ::stat(path.c_str(), &existing) == 0;
    char* resolved = exists ? ::realpath(path.c_str(), nullptr) : nullptr;
    const std::string target = resolved != nullptr ? resolved : path;
    std::free(resolved);
    struct stat link {};
    const bool dangling = !exists && ::lstat(path.c_str(), &link) == 0;
    if ((exists && !S_ISREG(existing.st_mode)) || dangling) {
        int direct;
        do {
            direct = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        } while (direct < 0 && errno == EINTR);
        return direct;
    }
    // Replacing needs only the folder's permission: an output the user may
    // not write stays refused, as truncating it would be.
    if (exists && ::access(target.c_str(), W_OK) != 0) return -1;
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    int descriptor = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (descriptor < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        for (int attempt = 0; attempt < 100 && descriptor < 0; ++attempt) {
            tempPath = TemporaryName(target);
            descriptor = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (descriptor < 0 && errno != EEXIST) break;
        }
        if (descriptor < 0) tempPath.clear();
    }
    if (descriptor < 0) return -1;
    if (exists) {
        // The replacement keeps the old file's permissions and, where it
        // may, its owner.
        ::fchmod(descriptor, existing.st_mode & 07777);
        if (::fchown(descriptor, existing.st_uid, existing.st_gid) != 0) {
            // Only the superuser gives files away: the writer owns it then.
        }
    }
    finalPath = target;
    return descriptor;
}

// Gives the finished output its name in one step, replacing what was there:
// of two runs writing one name, each leaves a whole file, the last one wins.
bool WaveFile::Publish() {
    if (finalPath.empty()) return true;
    if (!tempPath.empty()) {
        if (::rename(tempPath.c_str(), finalPath.c_str()) != 0) return false;
        tempPath.clear();
        return true;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, finalPath.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return true;
    }
    if (errno != EEXIST) return false;
    // A file has the name: link under a temporary one, then rename over it.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temporary = TemporaryName(finalPath);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        if (::rename(temporary.c_str(), finalPath.c_str()) == 0) return true;
        ::unlink(temporary.c_str());
        return false;
    }
    return false;
}

// A run whose output could not be written whole leaves what had the name.
void WaveFile::Discard() {
    if (!tempPath.empty()) ::unlink(tempPath.c_str());
    tempPath.clear();
}

WaveFilePair::~WaveFilePair() { CloseAll(); }

bool WaveFilePair::OpenInput(const std::string& path) {
    inputOpen = true;
    if (path.empty() || !HasWavExtension(path)) {
        inputOpen = false;
        return false;
    }
    input = std::make_unique<WaveFile>();
    if (input->Open(path, nullptr, WaveModeRead) < 0) {
        input->Close();
        inputOpen = false;
        return false;
    }
    return true;
}

bool WaveFilePair::OpenOutput(const std::string& path, uint32_t rate, uint32_t channels,
                              uint16_t bits, uint16_t formatTag, bool rf64) {
    output = std::make_unique<WaveFile>();
    if (rf64) output->UseRf64();
    outputOpen = true;
    const uint64_t blockAlign = uint64_t{channels} * (bits / 8u);
    const uint64_t byteRate = uint64_t{rate} * blockAlign;
    if (channels > std::numeric_limits<uint16_t>::max() ||
        blockAlign > std::numeric_limits<uint16_t>::max() || byteRate > MaxChunkSize) {
        outputOpen = false;
        return false;
    }
    WaveFormatEx pcm;
    pcm.formatTag = formatTag;
    pcm.channels = static_cast<uint16_t>(channels);
    pcm.samplesPerSec = rate;
    pcm.avgBytesPerSec = static_cast<uint32_t>(byteRate);
    pcm.blockAlign = static_cast<uint16_t>(blockAlign);
    pcm.bitsPerSample = bits;
    pcm.cbSize = 0;
    if (output->Open(path, &pcm, WaveModeWrite) < 0) {
        output->Close();
        outputOpen = false;
    }
    return outputOpen;
}

bool WaveFilePair::ReadBlock(void* buffer, uint32_t count, uint32_t* delivered) {
    return input && input->Read(buffer, count, delivered) >= 0;
}

bool WaveFilePair::WriteBlock(const void* buffer, uint32_t count, uint32_t* written) {
    return output && output->Write(count, buffer, written) >= 0;
}

bool WaveFilePair::CloseInput() {
    bool ok = true;
    if (inputOpen && input) {
        ok = input->Close() >= 0;
    }
    inputOpen = false;
    return ok;
}

void WaveFilePair::ReleaseInput() { input.reset(); }

bool WaveFilePair::CloseAll() {
    bool ok = true;
    if (inputOpen && input) {
        input->Close();
    }
    if (outputOpen && output) {
        ok = output->Close() >= 0;
    }
    inputOpen = false;
    outputOpen = false;
    input.reset();
    output.reset();
    return ok;
}

}  // namespace tessaro
