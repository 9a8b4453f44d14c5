#include "platform/riff_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "tests/support/wav_fixture.h"

namespace tessaro {
namespace {

using testing::ByteImage;
using testing::ReadFileBytes;
using testing::ScratchFolder;
using testing::WriteFileBytes;

// The file as it must look: a plain byte vector and a position.
struct FileModel {
    std::vector<uint8_t> bytes;
    uint64_t position = 0;

    void Write(const uint8_t* source, size_t count) {
        if (bytes.size() < position + count) {
            bytes.resize(position + count, 0);
        }
        std::copy(source, source + count, bytes.begin() + static_cast<ptrdiff_t>(position));
        position += count;
    }
    size_t Available() const {
        return position < bytes.size() ? bytes.size() - static_cast<size_t>(position) : 0;
    }
};

class RiffFileBuffering : public ::testing::TestWithParam<size_t> {};

// Random writes, reads, seeks and direct buffer work must leave the same
// bytes as the model and read back what the model holds, whatever the
// buffer size: tiny buffers force a flush or refill inside almost every call.
TEST_P(RiffFileBuffering, MatchesPlainModelUnderRandomOperations) {
    const size_t bufferSize = GetParam();
    ScratchFolder folder;
    const std::string path = folder.File("model.bin");
    RiffFile file;
    ASSERT_TRUE(file.Open(path, RiffAccess::Create, bufferSize));
    FileModel model;
    std::mt19937 random(static_cast<uint32_t>(1234 + bufferSize));
    auto below = [&random](size_t limit) { return static_cast<size_t>(random() % limit); };

    for (int step = 0; step < 3000; ++step) {
        SCOPED_TRACE(step);
        switch (below(6)) {
            case 0: {
                const std::vector<uint8_t> data = testing::RandomBytes(below(40), random());
                ASSERT_EQ(file.Write(data.data(), data.size()), static_cast<int64_t>(data.size()));
                model.Write(data.data(), data.size());
                break;
            }
            case 1: {
                std::vector<uint8_t> data(below(40));
                const size_t expected = std::min(data.size(), model.Available());
                ASSERT_EQ(file.Read(data.data(), data.size()), static_cast<int64_t>(expected));
                ASSERT_TRUE(
                    std::equal(data.begin(), data.begin() + static_cast<ptrdiff_t>(expected),
                               model.bytes.begin() + static_cast<ptrdiff_t>(model.position)));
                model.position += expected;
                break;
            }
            case 2: {
                // Mostly inside the file, sometimes a little past its end.
                const size_t target = below(model.bytes.size() + 8);
                const int origin = static_cast<int>(below(3));
                int64_t offset = static_cast<int64_t>(target);
                if (origin == SEEK_CUR) offset -= static_cast<int64_t>(model.position);
                if (origin == SEEK_END) offset -= static_cast<int64_t>(model.bytes.size());
                ASSERT_EQ(file.Seek(offset, origin), static_cast<int64_t>(target));
                model.position = target;
                break;
            }
            case 3: {
                // Direct stores into the lent buffer.
                RiffBufferInfo info;
                file.GetInfo(&info);
                ASSERT_EQ(info.bufferOffset + static_cast<uint64_t>(info.next - info.buffer),
                          model.position);
                const size_t room = static_cast<size_t>(info.endWrite - info.next);
                const std::vector<uint8_t> data = testing::RandomBytes(below(room + 1), random());
                std::copy(data.begin(), data.end(), info.next);
                info.next += data.size();
                info.flags |= RiffBufferDirty;
                ASSERT_TRUE(file.SetInfo(info));
                model.Write(data.data(), data.size());
                break;
            }
            case 4: {
                // Direct reads with a refill when the lent bytes run out.
                RiffBufferInfo info;
                file.GetInfo(&info);
                if (info.next == info.endRead) {
                    ASSERT_TRUE(file.Advance(&info, RiffAdvance::Read));
                    ASSERT_EQ(static_cast<size_t>(info.endRead - info.next),
                              std::min(bufferSize, model.Available()));
                }
                const size_t count = below(static_cast<size_t>(info.endRead - info.next) + 1);
                ASSERT_TRUE(
                    std::equal(info.next, info.next + count,
                               model.bytes.begin() + static_cast<ptrdiff_t>(model.position)));
                info.next += count;
                ASSERT_TRUE(file.SetInfo(info));
                model.position += count;
                break;
            }
            case 5: {
                // Fill the lent buffer to its end and move on, as a writer does.
                RiffBufferInfo info;
                file.GetInfo(&info);
                const size_t room = static_cast<size_t>(info.endWrite - info.next);
                const std::vector<uint8_t> data = testing::RandomBytes(room, random());
                std::copy(data.begin(), data.end(), info.next);
                info.next += data.size();
                info.flags |= RiffBufferDirty;
                ASSERT_TRUE(file.Advance(&info, RiffAdvance::Write));
                model.Write(data.data(), data.size());
                ASSERT_EQ(info.next, info.buffer);
                ASSERT_TRUE(file.SetInfo(info));
                break;
            }
        }
        ASSERT_EQ(file.Position(), model.position);
    }
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(ReadFileBytes(path), model.bytes);
}

INSTANTIATE_TEST_SUITE_P(BufferSizes, RiffFileBuffering, ::testing::Values(1, 3, 16, 4096));

class RiffChunkWriting : public ::testing::TestWithParam<size_t> {};

// Sizes are patched and pad bytes written on ascent, also when the size
// field has already left a small buffer.
TEST_P(RiffChunkWriting, AscendPatchesSizesAndPadsOddChunks) {
    ScratchFolder folder;
    const std::string path = folder.File("chunks.bin");
    RiffFile file;
    ASSERT_TRUE(file.Open(path, RiffAccess::Create, GetParam()));
    RiffChunk riff;
    riff.formType = MakeFourCc("TEST");
    ASSERT_TRUE(file.CreateChunk(&riff, RiffCreate::Riff));
    RiffChunk odd;
    odd.id = MakeFourCc("odd ");
    ASSERT_TRUE(file.CreateChunk(&odd, RiffCreate::Chunk));
    ASSERT_EQ(file.Write("abc", 3), 3);
    ASSERT_TRUE(file.Ascend(&odd));
    EXPECT_EQ(odd.size, 3u);
    RiffChunk exact;
    exact.id = MakeFourCc("four");
    exact.size = 4;  // declared right: left alone
    ASSERT_TRUE(file.CreateChunk(&exact, RiffCreate::Chunk));
    ASSERT_EQ(file.Write("wxyz", 4), 4);
    ASSERT_TRUE(file.Ascend(&exact));
    ASSERT_TRUE(file.Ascend(&riff));
    EXPECT_EQ(riff.size, 4u + 12u + 12u);
    ASSERT_TRUE(file.Close());

    ByteImage expected;
    expected.Tag("RIFF").U32(28).Tag("TEST");
    expected.Tag("odd ").U32(3).Bytes({'a', 'b', 'c', 0});
    expected.Tag("four").U32(4).Bytes({'w', 'x', 'y', 'z'});
    EXPECT_EQ(ReadFileBytes(path), expected.Data());
}

INSTANTIATE_TEST_SUITE_P(BufferSizes, RiffChunkWriting, ::testing::Values(1, 5, 4096));

TEST(RiffChunkWriting, RefusesChunkLargerThan32Bits) {
    ScratchFolder folder;
    RiffFile file;
    ASSERT_TRUE(file.Open(folder.File("big.bin"), RiffAccess::Create));
    RiffChunk chunk;
    chunk.id = MakeFourCc("big ");
    ASSERT_TRUE(file.CreateChunk(&chunk, RiffCreate::Chunk));
    // Seeking writes nothing, so the file stays tiny while the position says
    // the chunk holds 4 GiB.
    ASSERT_EQ(file.Seek(int64_t{1} << 32, SEEK_CUR), (int64_t{1} << 32) + 8);
    EXPECT_FALSE(file.Ascend(&chunk));
    // An even size: no pad byte, so the file stays small.
    ASSERT_EQ(file.Seek(-2, SEEK_CUR), (int64_t{1} << 32) + 6);
    EXPECT_TRUE(file.Ascend(&chunk));
    EXPECT_EQ(chunk.size, 0xFFFFFFFEu);
}

// RIFF "WAVE" [junk: 3 bytes + pad] [LIST "INFO"] [fmt : 2 bytes], then a
// chunk behind the RIFF chunk's end.
std::vector<uint8_t> NestedImage() {
    ByteImage image;
    image.Tag("RIFF").U32(0).Tag("WAVE");
    image.Tag("junk").U32(3).Bytes({1, 2, 3, 0});
    image.Tag("LIST").U32(4).Tag("INFO");
    image.Tag("fmt ").U32(2).U16(0xBEEF);
    image.PatchU32(4, static_cast<uint32_t>(image.Size() - 8));
    image.Tag("tail").U32(0);
    return image.Data();
}

TEST(RiffChunkReading, FindsChunksByIdInsideTheParentOnly) {
    ScratchFolder folder;
    const std::string path = folder.File("nested.bin");
    ASSERT_TRUE(WriteFileBytes(path, NestedImage()));
    RiffFile file;
    ASSERT_TRUE(file.Open(path, RiffAccess::Read, 7));

    RiffChunk riff;
    ASSERT_TRUE(file.Descend(&riff, nullptr, RiffDescend::Here));
    EXPECT_EQ(riff.id, RiffId);
    EXPECT_EQ(riff.formType, MakeFourCc("WAVE"));
    EXPECT_EQ(riff.dataOffset, 8u);
    EXPECT_EQ(riff.size, 38u);

    RiffChunk fmt;
    fmt.id = MakeFourCc("fmt ");
    ASSERT_TRUE(file.Descend(&fmt, &riff, RiffDescend::FindChunk));
    EXPECT_EQ(fmt.size, 2u);
    EXPECT_EQ(fmt.dataOffset, 44u);
    uint8_t value[2];
    ASSERT_EQ(file.Read(value, 2), 2);
    EXPECT_EQ(LoadLe16(value), 0xBEEF);
    ASSERT_TRUE(file.Ascend(&fmt));
    EXPECT_EQ(file.Position(), 46u);

    ASSERT_EQ(file.Seek(12, SEEK_SET), 12);
    RiffChunk list;
    list.id = ListId;
    ASSERT_TRUE(file.Descend(&list, &riff, RiffDescend::FindChunk));
    EXPECT_EQ(list.formType, MakeFourCc("INFO"));
    EXPECT_EQ(file.Position(), 36u);

    ASSERT_EQ(file.Seek(12, SEEK_SET), 12);
    RiffChunk tail;
    tail.id = MakeFourCc("tail");
    EXPECT_FALSE(file.Descend(&tail, &riff, RiffDescend::FindChunk));
    ASSERT_EQ(file.Seek(12, SEEK_SET), 12);
    EXPECT_TRUE(file.Descend(&tail, nullptr, RiffDescend::FindChunk));
    EXPECT_EQ(tail.dataOffset, 54u);
}

TEST(RiffChunkReading, CutOffHeadersAreNotFound) {
    const std::vector<uint8_t> image = NestedImage();
    ScratchFolder folder;
    const std::string path = folder.File("cut.bin");
    for (size_t length = 0; length < image.size(); ++length) {
        SCOPED_TRACE(length);
        ASSERT_TRUE(WriteFileBytes(path, {image.begin(), image.begin() + length}));
        RiffFile file;
        ASSERT_TRUE(file.Open(path, RiffAccess::Read, 16));
        RiffChunk riff;
        const bool riffFound = file.Descend(&riff, nullptr, RiffDescend::Here);
        EXPECT_EQ(riffFound, length >= 12);
        if (!riffFound) continue;
        RiffChunk tail;
        tail.id = MakeFourCc("tail");
        EXPECT_EQ(file.Descend(&tail, nullptr, RiffDescend::FindChunk), length >= 54);
    }
}

TEST(RiffFileFailures, CloseReportsLostWrites) {
    // /dev/full takes the open but refuses every write with ENOSPC.
    RiffFile full;
    ASSERT_TRUE(full.Open("/dev/full", RiffAccess::Create, 64));
    EXPECT_EQ(full.Write("12345678", 8), 8);  // still in the buffer
    EXPECT_FALSE(full.Close());
    EXPECT_FALSE(full.IsOpen());

    RiffFile overflowing;
    ASSERT_TRUE(overflowing.Open("/dev/full", RiffAccess::Create, 64));
    const std::vector<uint8_t> data(200, 7);
    EXPECT_EQ(overflowing.Write(data.data(), data.size()), -1);
    EXPECT_FALSE(overflowing.Close());

    // A write on a read-only descriptor fails at the flush, not silently.
    ScratchFolder folder;
    const std::string path = folder.File("readonly.bin");
    ASSERT_TRUE(WriteFileBytes(path, {1, 2, 3, 4}));
    RiffFile readOnly;
    ASSERT_TRUE(readOnly.Open(path, RiffAccess::Read));
    EXPECT_EQ(readOnly.Write("zz", 2), 2);
    EXPECT_FALSE(readOnly.Close());
    EXPECT_EQ(ReadFileBytes(path), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(RiffFileFailures, ReadAccessWantsAnExistingRegularFile) {
    ScratchFolder folder;
    RiffFile file;
    EXPECT_FALSE(file.Open(folder.File("missing.bin"), RiffAccess::Read));
    EXPECT_FALSE(file.Open(folder.Path(), RiffAccess::Read));
    EXPECT_FALSE(file.Open("/dev/zero", RiffAccess::Read));
    EXPECT_FALSE(file.Open(folder.File("no/such/folder.bin"), RiffAccess::Create));
    EXPECT_FALSE(file.IsOpen());
}

}  // namespace
}  // namespace tessaro
