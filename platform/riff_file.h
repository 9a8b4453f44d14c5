#pragma once
// Buffered file access with RIFF chunk navigation.
//
// A RiffFile reads and writes through one I/O buffer. Chunks are navigated
// as in any RIFF reader: Descend enters the chunk at the current position or
// searches one by id within a parent, Ascend leaves a chunk (past its pad
// byte) and, for a chunk made by CreateChunk, patches its size field and
// writes the pad byte. Hot loops can work on the I/O buffer directly through
// GetInfo / Advance / SetInfo.
//
// Positions and offsets are 64-bit. Sizes stored in chunk headers are 32-bit:
// a created chunk that grew past 4 GiB - 1 cannot be ascended (Ascend fails).
// Nothing here throws; failures are reported by the results.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tessaro {

// Chunk ids and form types are four characters stored as a little-endian
// 32-bit value, so the first character is the lowest byte (as on disk).
using FourCc = uint32_t;

constexpr FourCc MakeFourCc(const char (&text)[5]) {
    return static_cast<FourCc>(static_cast<uint8_t>(text[0])) |
           static_cast<FourCc>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<FourCc>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<FourCc>(static_cast<uint8_t>(text[3])) << 24;
}

// Little-endian fields, as RIFF stores them.
inline uint16_t LoadLe16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

inline uint32_t LoadLe32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

inline void StoreLe16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

inline void StoreLe32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

constexpr FourCc RiffId = MakeFourCc("RIFF");
constexpr FourCc ListId = MakeFourCc("LIST");

// Set in RiffChunk::flags by CreateChunk: Ascend must correct the size.
constexpr uint32_t RiffChunkDirty = 0x10000000;

// A chunk descriptor. For "RIFF" and "LIST" chunks the data begin with the
// form type, so dataOffset points at the form type and the chunk's own
// sub-chunks start at dataOffset + 4.
struct RiffChunk {
    FourCc id = 0;
    uint32_t size = 0;  // bytes of data, without the pad byte
    FourCc formType = 0;
    uint64_t dataOffset = 0;  // file offset of the chunk's data
    uint32_t flags = 0;
};

// Set in RiffBufferInfo::flags by a caller that stored bytes into the buffer.
constexpr uint32_t RiffBufferDirty = 0x10000000;

// The I/O buffer lent to the caller. Bytes [next, endRead) are file bytes
// not yet consumed; a writer stores at next up to endWrite and sets
// RiffBufferDirty. bufferOffset is the file offset of buffer[0], so the file
// position is bufferOffset + (next - buffer).
struct RiffBufferInfo {
    uint8_t* buffer = nullptr;
    uint8_t* next = nullptr;
    uint8_t* endRead = nullptr;
    uint8_t* endWrite = nullptr;
    uint64_t bufferOffset = 0;
    uint32_t flags = 0;
};

enum class RiffAccess {
    Read,    // existing regular file, read only
    Create,  // create or truncate, read and write
};

enum class RiffDescend {
    Here,       // the chunk whose header is at the current position
    FindChunk,  // the first chunk with chunk->id, searching from the current position
};

enum class RiffCreate {
    Chunk,  // chunk->id with chunk->size
    Riff,   // "RIFF" with chunk->formType
};

enum class RiffAdvance {
    Read,   // flush if dirty, then refill from the current position
    Write,  // flush if dirty, then start an empty buffer at the current position
};

class RiffFile {
public:
    static constexpr size_t DefaultBufferSize = 256 * 1024;

    RiffFile() = default;
    ~RiffFile();  // closes the file, ignoring failures
    RiffFile(const RiffFile&) = delete;
    RiffFile& operator=(const RiffFile&) = delete;

    // Opens path (UTF-8, any length) with an I/O buffer of ioBufferSize bytes
    // (0 is taken as 1). Read access accepts only regular files. False when the
    // file cannot be opened or the buffer not allocated; the file is then closed.
    bool Open(const std::string& path, RiffAccess access, size_t ioBufferSize = DefaultBufferSize);

    // Flushes the buffer and closes the descriptor. The descriptor is released
    // whatever happens. False when this flush, any earlier write of this file or
    // the close failed; true for a file that was not open.
    bool Close();

    bool IsOpen() const { return fd >= 0; }

    // Current file position.
    uint64_t Position() const { return bufferOffset + bufferPos; }

    // Copies up to count bytes from the current position. Returns the bytes
    // read (fewer only at the end of the file) or -1 on an error.
    int64_t Read(void* destination, size_t count);

    // Stores count bytes at the current position. Returns count or -1 on an
    // error (a failed flush; bytes may have been lost).
    int64_t Write(const void* source, size_t count);

    // Moves the position (origin SEEK_SET, SEEK_CUR or SEEK_END); seeking past
    // the end is allowed. Returns the new position, or -1 (position unchanged)
    // when it would be negative or a flush failed.
    int64_t Seek(int64_t offset, int origin);

    // Descends into a chunk. RiffDescend::Here reads the header at the current
    // position; FindChunk skips chunks (and their pad bytes) until one with
    // chunk->id. With a parent the header must lie inside the parent's data.
    // On success *chunk is filled (formType read for "RIFF" and "LIST") and the
    // position is at the data, behind the form type for "RIFF" and "LIST".
    // False when no such chunk is found or a header is cut off; the position
    // is then undefined. The declared size is not checked against the file.
    bool Descend(RiffChunk* chunk, const RiffChunk* parent, RiffDescend how);

    // Leaves a chunk: for a created chunk (RiffChunkDirty) the data written
    // are its size; a pad byte 0 is written after odd data and the size field
    // is rewritten when it differs. Then the position moves to the end of the
    // chunk and its pad byte. False on a write failure, a size over 32 bits or
    // a position before the chunk's data.
    bool Ascend(RiffChunk* chunk);

    // Writes a chunk header with chunk->size at the current position and
    // marks the chunk RiffChunkDirty; RiffCreate::Riff sets the id to "RIFF"
    // and writes chunk->formType. The position is then behind the header.
    bool CreateChunk(RiffChunk* chunk, RiffCreate how);

    // Lends the I/O buffer to the caller. Until SetInfo only Advance may be
    // called on this file.
    void GetInfo(RiffBufferInfo* info);

    // Takes the buffer back: the position becomes info.next, and bytes stored
    // since the loan (or the last Advance) count as written when the caller
    // set RiffBufferDirty. False (and nothing taken) for a next outside the
    // buffer or before the loan point.
    bool SetInfo(const RiffBufferInfo& info);

    // SetInfo, then flush and move the buffer to the current position;
    // RiffAdvance::Read refills it (info->next == info->endRead afterwards
    // means the end of the file). *info is lent again, without the dirty flag.
    // False when SetInfo, the flush or the read failed.
    bool Advance(RiffBufferInfo* info, RiffAdvance direction);

private:
    bool Flush();
    bool Fill();
    void MoveBufferToPosition();
    bool ReadExact(void* destination, size_t count);
    bool WriteExact(const void* source, size_t count);

    int fd = -1;
    std::unique_ptr<uint8_t[]> buffer;
    size_t bufferSize = 0;
    // buffer[0, validBytes) holds the file bytes at bufferOffset (newer ones
    // where dirty); bufferPos <= validBytes is the position inside the buffer.
    uint64_t bufferOffset = 0;
    size_t bufferPos = 0;
    size_t validBytes = 0;
    // Bytes [dirtyBegin, dirtyEnd) still have to go to the file.
    size_t dirtyBegin = 0;
    size_t dirtyEnd = 0;
    size_t loanStart = 0;  // bufferPos when the buffer was last lent
    bool writeFailed = false;
};

}  // namespace tessaro
