#include "platform/riff_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

namespace tessaro {
namespace {

constexpr uint64_t MaxFileOffset = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

}  // namespace

RiffFile::~RiffFile() { Close(); }

bool RiffFile::Open(const std::string& path, RiffAccess access, size_t ioBufferSize) {
    Close();
    writeFailed = false;
    // O_NONBLOCK keeps a FIFO from blocking the open; it is refused just below.
    const int flags = access == RiffAccess::Read ? O_RDONLY | O_NONBLOCK | O_CLOEXEC
                                                 : O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC;
    int descriptor;
    do {
        descriptor = ::open(path.c_str(), flags, 0666);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        return false;
    }
    if (access == RiffAccess::Read) {
        struct stat info;
        if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(descriptor);
            return false;
        }
    }
    bufferSize = std::max<size_t>(ioBufferSize, 1);
    buffer.reset(new (std::nothrow) uint8_t[bufferSize]);
    if (!buffer) {
        ::close(descriptor);
        bufferSize = 0;
        return false;
    }
    fd = descriptor;
    bufferOffset = 0;
    bufferPos = validBytes = 0;
    dirtyBegin = dirtyEnd = 0;
    loanStart = 0;
    return true;
}

bool RiffFile::Close() {
    if (fd < 0) {
        return true;
    }
    bool ok = Flush() && !writeFailed;
    // Linux releases the descriptor even when close reports an error, so it
    // is never retried.
    if (::close(fd) != 0) {
        ok = false;
    }
    fd = -1;
    buffer.reset();
    bufferSize = 0;
    bufferOffset = 0;
    bufferPos = validBytes = 0;
    dirtyBegin = dirtyEnd = 0;
    loanStart = 0;
    writeFailed = false;
    return ok;
}

bool RiffFile::Flush() {
    if (dirtyBegin >= dirtyEnd) {
        return true;
    }
    const uint8_t* source = buffer.get() + dirtyBegin;
    size_t left = dirtyEnd - dirtyBegin;
    uint64_t offset = bufferOffset + dirtyBegin;
    // The dirty range is dropped even when the write fails: the failure is
    // remembered and reported by Close, and retrying cannot fix a full disk.
    dirtyBegin = dirtyEnd = 0;
    while (left > 0) {
        if (offset > MaxFileOffset) {
            writeFailed = true;
            return false;
        }
        const ssize_t done = ::pwrite(fd, source, left, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            writeFailed = true;
            return false;
        }
        source += done;
        left -= static_cast<size_t>(done);
        offset += static_cast<uint64_t>(done);
    }
    return true;
}

bool RiffFile::Fill() {
    validBytes = 0;
    bufferPos = 0;
    while (validBytes < bufferSize) {
        const uint64_t offset = bufferOffset + validBytes;
        if (offset > MaxFileOffset) {
            return false;
        }
        const ssize_t done = ::pread(fd, buffer.get() + validBytes, bufferSize - validBytes,
                                     static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0) {
            return false;
        }
        if (done == 0) {
            break;
        }
        validBytes += static_cast<size_t>(done);
    }
    return true;
}

void RiffFile::MoveBufferToPosition() {
    bufferOffset += bufferPos;
    bufferPos = validBytes = 0;
    dirtyBegin = dirtyEnd = 0;
    loanStart = 0;
}

int64_t RiffFile::Read(void* destination, size_t count) {
    if (fd < 0 || (destination == nullptr && count > 0)) {
        return -1;
    }
    auto* out = static_cast<uint8_t*>(destination);
    size_t copied = 0;
    while (copied < count) {
        if (bufferPos == validBytes) {
            const bool flushed = Flush();
            MoveBufferToPosition();
            if (!flushed || !Fill()) {
                return -1;
            }
            if (validBytes == 0) {
                break;
            }
        }
        const size_t chunk = std::min(count - copied, validBytes - bufferPos);
        std::memcpy(out + copied, buffer.get() + bufferPos, chunk);
        bufferPos += chunk;
        copied += chunk;
    }
    return static_cast<int64_t>(copied);
}

int64_t RiffFile::Write(const void* source, size_t count) {
    if (fd < 0 || (source == nullptr && count > 0)) {
        return -1;
    }
    const auto* in = static_cast<const uint8_t*>(source);
    size_t stored = 0;
    while (stored < count) {
        if (bufferPos == bufferSize) {
            const bool flushed = Flush();
            MoveBufferToPosition();
            if (!flushed) {
                return -1;
            }
        }
        const size_t chunk = std::min(count - stored, bufferSize - bufferPos);
        std::memcpy(buffer.get() + bufferPos, in + stored, chunk);
        if (dirtyBegin >= dirtyEnd) {
            dirtyBegin = bufferPos;
            dirtyEnd = bufferPos + chunk;
        } else {
            dirtyBegin = std::min(dirtyBegin, bufferPos);
            dirtyEnd = std::max(dirtyEnd, bufferPos + chunk);
        }
        bufferPos += chunk;
        validBytes = std::max(validBytes, bufferPos);
        stored += chunk;
    }
    return static_cast<int64_t>(count);
}

int64_t RiffFile::Seek(int64_t offset, int origin) {
    if (fd < 0) {
        return -1;
    }
    int64_t base;
    switch (origin) {
        case SEEK_SET:
            base = 0;
            break;
        case SEEK_CUR:
            base = static_cast<int64_t>(Position());
            break;
        case SEEK_END: {
            struct stat info;
            if (::fstat(fd, &info) != 0) {
                return -1;
            }
            // Buffered bytes not yet flushed may lie past the end on disk.
            const uint64_t bufferEnd = validBytes > 0 ? bufferOffset + validBytes : 0;
            base = std::max<int64_t>(info.st_size, static_cast<int64_t>(bufferEnd));
            break;
        }
        default:
            return -1;
    }
    int64_t target;
    if (__builtin_add_overflow(base, offset, &target) || target < 0) {
        return -1;
    }
    const auto position = static_cast<uint64_t>(target);
    if (position >= bufferOffset && position - bufferOffset <= validBytes) {
        bufferPos = static_cast<size_t>(position - bufferOffset);
        return target;
    }
    if (!Flush()) {
        return -1;
    }
    bufferOffset = position;
    bufferPos = validBytes = 0;
    dirtyBegin = dirtyEnd = 0;
    return target;
}

bool RiffFile::ReadExact(void* destination, size_t count) {
    return Read(destination, count) == static_cast<int64_t>(count);
}

bool RiffFile::WriteExact(const void* source, size_t count) {
    return Write(source, count) == static_cast<int64_t>(count);
}

bool RiffFile::Descend(RiffChunk* chunk, const RiffChunk* parent, RiffDescend how) {
    if (fd < 0 || chunk == nullptr) {
        return false;
    }
    uint64_t parentStart = 0;
    uint64_t parentEnd = std::numeric_limits<uint64_t>::max();
    if (parent != nullptr) {
        parentStart = parent->dataOffset;
        parentEnd = parent->dataOffset + parent->size;
    }
    for (;;) {
        const uint64_t position = Position();
        if (position < parentStart || position > MaxFileOffset || position + 8 > parentEnd) {
            return false;
        }
        uint8_t header[8];
        if (!ReadExact(header, sizeof header)) {
            return false;
        }
        const FourCc id = LoadLe32(header);
        const uint32_t size = LoadLe32(header + 4);
        const uint64_t dataOffset = position + 8;
        if (how == RiffDescend::Here || id == chunk->id) {
            FourCc formType = 0;
            if (id == RiffId || id == ListId) {
                uint8_t form[4];
                if (!ReadExact(form, sizeof form)) {
                    return false;
                }
                formType = LoadLe32(form);
            }
            chunk->id = id;
            chunk->size = size;
            chunk->formType = formType;
            chunk->dataOffset = dataOffset;
            chunk->flags = 0;
            return true;
        }
        // Skip the chunk and its pad byte; the next header read fails at the
        // end of the file.
        const uint64_t nextChunk = dataOffset + size + (size & 1u);
        if (Seek(static_cast<int64_t>(nextChunk), SEEK_SET) < 0) {
            return false;
        }
    }
}

bool RiffFile::Ascend(RiffChunk* chunk) {
    if (fd < 0 || chunk == nullptr) {
        return false;
    }
    if ((chunk->flags & RiffChunkDirty) != 0) {
        // Some of the chunk's bytes never reached the file: a size counting
        // them would claim data the file does not hold, so the chunk keeps
        // the size it was created with.
        if (writeFailed) {
            return false;
        }
        const uint64_t position = Position();
        if (position < chunk->dataOffset || chunk->dataOffset < 4) {
            return false;
        }
        const uint64_t written = position - chunk->dataOffset;
        if (written > std::numeric_limits<uint32_t>::max()) {
            return false;
        }
        if ((written & 1u) != 0) {
            const uint8_t pad = 0;
            if (!WriteExact(&pad, 1)) {
                return false;
            }
        }
        if (written != chunk->size) {
            const uint64_t end = Position();
            uint8_t sizeField[4];
            StoreLe32(sizeField, static_cast<uint32_t>(written));
            if (Seek(static_cast<int64_t>(chunk->dataOffset - 4), SEEK_SET) < 0 ||
                !WriteExact(sizeField, sizeof sizeField) ||
                Seek(static_cast<int64_t>(end), SEEK_SET) < 0) {
                return false;
            }
        }
        chunk->size = static_cast<uint32_t>(written);
        chunk->flags &= ~RiffChunkDirty;
        return true;
    }
    const uint64_t end = chunk->dataOffset + chunk->size + (chunk->size & 1u);
    if (end > MaxFileOffset) {
        return false;
    }
    return Seek(static_cast<int64_t>(end), SEEK_SET) >= 0;
}

bool RiffFile::CreateChunk(RiffChunk* chunk, RiffCreate how) {
    if (fd < 0 || chunk == nullptr) {
        return false;
    }
    uint8_t header[12];
    size_t headerSize = 8;
    if (how == RiffCreate::Riff) {
        chunk->id = RiffId;
        StoreLe32(header + 8, chunk->formType);
        headerSize = 12;
    }
    StoreLe32(header, chunk->id);
    StoreLe32(header + 4, chunk->size);
    const uint64_t position = Position();
    if (!WriteExact(header, headerSize)) {
        return false;
    }
    chunk->dataOffset = position + 8;
    chunk->flags = RiffChunkDirty;
    return true;
}

void RiffFile::GetInfo(RiffBufferInfo* info) {
    uint8_t* base = buffer.get();
    info->buffer = base;
    info->next = base + bufferPos;
    info->endRead = base + validBytes;
    info->endWrite = base + bufferSize;
    info->bufferOffset = bufferOffset;
    info->flags = 0;
    loanStart = bufferPos;
}

bool RiffFile::SetInfo(const RiffBufferInfo& info) {
    if (fd < 0 || info.buffer != buffer.get() || info.next < info.buffer ||
        info.bufferOffset != bufferOffset) {
        return false;
    }
    const auto lentPos = static_cast<size_t>(info.next - info.buffer);
    if (lentPos > bufferSize) {
        return false;
    }
    if ((info.flags & RiffBufferDirty) != 0) {
        if (lentPos < loanStart) {
            return false;
        }
        if (lentPos > loanStart) {
            if (dirtyBegin >= dirtyEnd) {
                dirtyBegin = loanStart;
                dirtyEnd = lentPos;
            } else {
                dirtyBegin = std::min(dirtyBegin, loanStart);
                dirtyEnd = std::max(dirtyEnd, lentPos);
            }
        }
        validBytes = std::max(validBytes, lentPos);
    } else if (lentPos > validBytes) {
        return false;
    }
    bufferPos = lentPos;
    loanStart = lentPos;
    return true;
}

bool RiffFile::Advance(RiffBufferInfo* info, RiffAdvance direction) {
    if (info == nullptr || !SetInfo(*info)) {
        return false;
    }
    bool ok = Flush();
    MoveBufferToPosition();
    if (ok && direction == RiffAdvance::Read) {
        ok = Fill();
    }
    GetInfo(info);
    return ok;
}

}  // namespace tessaro
