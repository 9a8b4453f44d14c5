#include "processing/wave_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/support/wav_fixture.h"

namespace tessaro {
namespace {

using testing::ByteImage;
using testing::Chunk;
using testing::ChunkImage;
using testing::ExtensibleFormatChunk;
using testing::LoadU16;
using testing::LoadU32;
using testing::PcmFormatChunk;
using testing::RandomBytes;
using testing::ReadFileBytes;
using testing::RiffImage;
using testing::ScratchFolder;
using testing::WriteFileBytes;

WaveFormatEx PcmFormat(uint32_t rate, uint16_t channels, uint16_t bits) {
    WaveFormatEx format;
    format.formatTag = WaveFormatPcm;
    format.channels = channels;
    format.samplesPerSec = rate;
    format.blockAlign = static_cast<uint16_t>(channels * (bits / 8));
    format.avgBytesPerSec = rate * format.blockAlign;
    format.bitsPerSample = bits;
    return format;
}

// Writes data through a WaveFile in blocks of blockSize bytes.
int32_t WriteWave(const std::string& path, const WaveFormatEx& format,
                  const std::vector<uint8_t>& data, size_t blockSize) {
    WaveFile file;
    int32_t status = file.Open(path, &format, WaveModeWrite);
    if (status < 0) return status;
    for (size_t offset = 0; offset < data.size(); offset += blockSize) {
        const auto count = static_cast<uint32_t>(std::min(blockSize, data.size() - offset));
        uint32_t written = 0;
        status = file.Write(count, data.data() + offset, &written);
        if (status < 0) return status;
        EXPECT_EQ(written, count);
    }
    return file.Close();
}

// Reads the whole data chunk in blocks; stops at the first failure.
std::vector<uint8_t> ReadAllData(WaveFile& file, uint32_t blockSize) {
    std::vector<uint8_t> data;
    std::vector<uint8_t> block(blockSize);
    for (;;) {
        uint32_t delivered = 0;
        if (file.Read(block.data(), blockSize, &delivered) < 0 || delivered == 0) break;
        data.insert(data.end(), block.begin(), block.begin() + delivered);
    }
    return data;
}

std::vector<uint8_t> PcmHeader(uint32_t riffSize, uint16_t channels, uint32_t rate, uint16_t bits,
                               uint32_t factCount, uint32_t dataSize) {
    const auto blockAlign = static_cast<uint16_t>(channels * (bits / 8));
    ByteImage header;
    header.Tag("RIFF").U32(riffSize).Tag("WAVE");
    header.Tag("fmt ").U32(16).U16(1).U16(channels).U32(rate).U32(rate * blockAlign);
    header.U16(blockAlign).U16(bits);
    header.Tag("fact").U32(4).U32(factCount);
    header.Tag("data").U32(dataSize);
    return header.Data();
}

std::vector<uint8_t> Head(const std::vector<uint8_t>& bytes, size_t count) {
    return {bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(std::min(count, bytes.size()))};
}

size_t OpenDescriptorCount() {
    size_t count = 0;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (readdir(folder) != nullptr) ++count;
        closedir(folder);
    }
    return count;
}

// ---- Layout of written files ---------------------------------------------

TEST(WaveFileWriting, OutputClosedWithoutDataHasExactHeader) {
    ScratchFolder folder;
    const std::string path = folder.File("empty.wav");
    WaveFilePair pair;
    ASSERT_TRUE(pair.OpenOutput(path, 44100, 2, 16));
    EXPECT_TRUE(pair.CloseAll());
    EXPECT_EQ(ReadFileBytes(path), PcmHeader(48, 2, 44100, 16, 0, 0));
}

TEST(WaveFileWriting, DestroyingAnOpenOutputFinishesIt) {
    ScratchFolder folder;
    const std::string path = folder.File("dropped.wav");
    {
        WaveFile file;
        const WaveFormatEx format = PcmFormat(8000, 1, 8);
        ASSERT_EQ(file.Open(path, &format, WaveModeWrite), S_OK);
        uint32_t written = 0;
        ASSERT_EQ(file.Write(3, "abc", &written), S_OK);
    }
    std::vector<uint8_t> expected = PcmHeader(48 + 4, 1, 8000, 8, 0, 3);
    expected.insert(expected.end(), {'a', 'b', 'c', 0});
    EXPECT_EQ(ReadFileBytes(path), expected);
}

TEST(WaveFileWriting, OutputOf4096StereoFramesHasExactHeaderAndData) {
    ScratchFolder folder;
    const std::string path = folder.File("block.wav");
    const std::vector<uint8_t> data = RandomBytes(16384, 1);
    WaveFilePair pair;
    ASSERT_TRUE(pair.OpenOutput(path, 48000, 2, 16));
    uint32_t written = 0;
    ASSERT_TRUE(pair.WriteBlock(data.data(), 16384, &written));
    EXPECT_EQ(written, 16384u);
    EXPECT_TRUE(pair.CloseAll());

    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 56u + 16384u);
    EXPECT_EQ(Head(bytes, 56), PcmHeader(16432, 2, 48000, 16, 0, 16384));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), bytes.begin() + 56));
}

// Until Close the name keeps what it had; the finished file replaces it whole.
TEST(WaveFileWriting, NameGetsTheFileOnlyWhenItIsFinished) {
    ScratchFolder folder;
    const std::string path = folder.File("open.wav");
    ASSERT_TRUE(WriteFileBytes(path, {'o', 'l', 'd'}));
    WaveFile file;
    const WaveFormatEx format = PcmFormat(44100, 2, 16);
    ASSERT_EQ(file.Open(path, &format, WaveModeWrite), S_OK);
    // More than any I/O buffer, so the header has reached the disk.
    const std::vector<uint8_t> data = RandomBytes(1 << 20, 2);
    uint32_t written = 0;
    ASSERT_EQ(file.Write(static_cast<uint32_t>(data.size()), data.data(), &written), S_OK);
    EXPECT_EQ(ReadFileBytes(path), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(file.Close(), S_OK);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()), {}), 1);
    EXPECT_EQ(Head(ReadFileBytes(path), 56), PcmHeader(48 + (1u << 20), 2, 44100, 16, 0, 1u << 20));
}

TEST(WaveFileWriting, OutputFormatIsBuiltFromRateChannelsAndBits) {
    ScratchFolder folder;
    const std::string path = folder.File("mono24.wav");
    WaveFilePair pair;
    ASSERT_TRUE(pair.OpenOutput(path, 96000, 1, 24));
    EXPECT_TRUE(pair.CloseAll());
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 56u);
    EXPECT_EQ(LoadU16(bytes, 22), 1);        // channels
    EXPECT_EQ(LoadU32(bytes, 28), 288000u);  // bytes per second
    EXPECT_EQ(LoadU16(bytes, 32), 3);        // block alignment
    EXPECT_EQ(LoadU16(bytes, 34), 24);       // bits
}

// ---- Round trips ----------------------------------------------------------

struct RoundTripCase {
    size_t dataBytes;
    size_t blockSize;
};

class WaveFileRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(WaveFileRoundTrip, ReadsBackFormatAndBytes) {
    const RoundTripCase c = GetParam();
    ScratchFolder folder;
    const std::string path = folder.File("trip.wav");
    const WaveFormatEx format = PcmFormat(44100, 2, 16);
    const std::vector<uint8_t> data = RandomBytes(c.dataBytes, 42);
    ASSERT_EQ(WriteWave(path, format, data, c.blockSize), S_OK);

    // Layout: 56-byte header, the data, a pad byte after odd data.
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    const size_t padded = c.dataBytes + (c.dataBytes & 1);
    ASSERT_EQ(bytes.size(), 56 + padded);
    EXPECT_EQ(LoadU32(bytes, 4), bytes.size() - 8);
    EXPECT_EQ(LoadU32(bytes, 52), c.dataBytes);
    if (c.dataBytes % 2 == 1) {
        EXPECT_EQ(bytes.back(), 0);
    }

    WaveFile file;
    ASSERT_EQ(file.Open(path, nullptr, WaveModeRead), S_OK);
    ASSERT_NE(file.Format(), nullptr);
    EXPECT_EQ(file.Format()->formatTag, 1);
    EXPECT_EQ(file.Format()->channels, 2);
    EXPECT_EQ(file.Format()->samplesPerSec, 44100u);
    EXPECT_EQ(file.Format()->avgBytesPerSec, 176400u);
    EXPECT_EQ(file.Format()->blockAlign, 4);
    EXPECT_EQ(file.Format()->bitsPerSample, 16);
    EXPECT_EQ(file.Format()->cbSize, 0);
    EXPECT_EQ(file.GetDataSize(), c.dataBytes);
    EXPECT_EQ(ReadAllData(file, static_cast<uint32_t>(c.blockSize)), data);
    uint32_t delivered = 1;
    uint8_t byte;
    EXPECT_EQ(file.Read(&byte, 1, &delivered), S_OK);
    EXPECT_EQ(delivered, 0u);
    EXPECT_EQ(file.Close(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, WaveFileRoundTrip,
    ::testing::Values(RoundTripCase{0, 16384}, RoundTripCase{1, 1}, RoundTripCase{3, 2},
                      RoundTripCase{16383, 16384}, RoundTripCase{16384, 16384},
                      RoundTripCase{300001, 16384}, RoundTripCase{70001, 7},
                      // The 56 header bytes and the data fill the I/O
                      // buffer exactly, or end one byte short or past it.
                      RoundTripCase{WaveFile::IoBufferSize - 57, 4096},
                      RoundTripCase{WaveFile::IoBufferSize - 56, 4096},
                      RoundTripCase{WaveFile::IoBufferSize - 55, 4096},
                      // Single writes and reads larger than the buffer.
                      RoundTripCase{2 * WaveFile::IoBufferSize + 1, WaveFile::IoBufferSize + 3}));

TEST(WaveFileRoundTrip, NonPcmFormatKeepsItsExtraBytes) {
    ScratchFolder folder;
    struct Case {
        uint16_t tag;
        std::vector<uint8_t> extra;
        uint32_t fmtSize;
    };
    const Case cases[] = {{0xFFFE, RandomBytes(22, 3), 40}, {3, {}, 18}, {0x55, {1, 2, 3}, 21}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        const std::string path = folder.File("extra.wav");
        WaveFormatEx format = PcmFormat(22050, 2, 32);
        format.formatTag = c.tag;
        format.cbSize = static_cast<uint16_t>(c.extra.size());
        format.extra = c.extra;
        const std::vector<uint8_t> data = RandomBytes(999, 4);
        ASSERT_EQ(WriteWave(path, format, data, 100), S_OK);

        const std::vector<uint8_t> bytes = ReadFileBytes(path);
        EXPECT_EQ(LoadU32(bytes, 16), c.fmtSize);
        const size_t factAt = 20 + c.fmtSize + (c.fmtSize & 1);
        EXPECT_EQ(LoadU32(bytes, factAt), 0x74636166u);  // "fact"
        // The sizes behind a record of any length are filled in at close.
        EXPECT_EQ(LoadU32(bytes, factAt + 8), 0u);
        EXPECT_EQ(LoadU32(bytes, factAt + 12), 0x61746164u);  // "data"
        EXPECT_EQ(LoadU32(bytes, factAt + 16), data.size());
        EXPECT_EQ(bytes.size(), factAt + 20 + data.size() + 1);
        EXPECT_EQ(bytes.back(), 0);
        EXPECT_EQ(LoadU32(bytes, 4), bytes.size() - 8);

        WaveFile file;
        ASSERT_EQ(file.Open(path, nullptr, WaveModeRead), S_OK);
        EXPECT_EQ(file.Format()->formatTag, c.tag);
        EXPECT_EQ(file.Format()->cbSize, c.extra.size());
        EXPECT_EQ(file.Format()->extra, c.extra);
        EXPECT_EQ(ReadAllData(file, 512), data);
    }
}

// ---- Reading rules on hand-made files --------------------------------------

struct ReadingCase {
    const char* name;
    std::vector<uint8_t> image;
    bool opens;
    std::vector<uint8_t> data;  // expected data when it opens
    uint16_t formatTag = 1;
    uint16_t cbSize = 0;
};

std::vector<ReadingCase> ReadingCases() {
    const std::vector<uint8_t> data = RandomBytes(101, 5);
    const ChunkImage fmt = PcmFormatChunk(44100, 2, 16);
    const ChunkImage dataChunk = Chunk("data", data);
    auto fmtRecord = [](uint16_t tag, uint32_t declared, const std::vector<uint8_t>& tail) {
        ByteImage record;
        record.U16(tag).U16(2).U32(44100).U32(176400).U16(4).U16(16).Bytes(tail);
        ChunkImage chunk = Chunk("fmt ", record.Data());
        chunk.declaredSize = declared;
        return chunk;
    };
    ChunkImage junkOdd = Chunk("junk", {9, 9, 9});
    ChunkImage list = Chunk("LIST", {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 1, 0, 0, 0, 'x', 0});
    ChunkImage fact = Chunk("fact", {0x19, 0, 0, 0});
    ChunkImage shortFmt = fmt;
    shortFmt.declaredSize = 14;
    shortFmt.body.resize(14);
    ChunkImage runaway = Chunk("junk", {1, 2, 3, 4});
    runaway.declaredSize = 0x7FFFFFF0;
    ChunkImage longFmt = fmt;
    longFmt.declaredSize = 1000;

    std::vector<ReadingCase> cases;
    cases.push_back({"canonical", RiffImage({fmt, dataChunk}), true, data});
    cases.push_back({"empty data", RiffImage({fmt, Chunk("data", {})}), true, {}});
    cases.push_back({"chunks before fmt", RiffImage({list, junkOdd, fmt, dataChunk}), true, data});
    cases.push_back({"fact between fmt and data", RiffImage({fmt, fact, dataChunk}), true, data});
    cases.push_back({"odd chunk between", RiffImage({fmt, junkOdd, dataChunk}), true, data});
    cases.push_back({"data before fmt", RiffImage({dataChunk, fmt}), true, data});
    cases.push_back({"chunks after data", RiffImage({fmt, dataChunk, junkOdd}), true, data});
    cases.push_back({"extensible, cbSize 22",
                     RiffImage({ExtensibleFormatChunk(44100, 2, 16), fact, dataChunk}), true, data,
                     0xFFFE, 22});
    cases.push_back({"16-byte fmt of a non-PCM tag", RiffImage({fmtRecord(3, 16, {}), dataChunk}),
                     true, data, 3, 0});
    cases.push_back({"PCM ignores a cbSize", RiffImage({fmtRecord(1, 18, {0x34, 0x12}), dataChunk}),
                     true, data, 1, 0});
    cases.push_back({"not RIFF", RiffImage({fmt, dataChunk}), false, {}});
    cases.back().image[3] = 'X';
    cases.push_back({"form type not WAVE", RiffImage({fmt, dataChunk}, "AVI "), false, {}});
    cases.push_back({"no fmt", RiffImage({fact, dataChunk}), false, {}});
    cases.push_back({"fmt shorter than 16", RiffImage({shortFmt, dataChunk}), false, {}});
    cases.push_back({"no data", RiffImage({fmt, fact}), false, {}});
    cases.push_back(
        {"huge cbSize", RiffImage({fmtRecord(0xFFFE, 18, {0xFF, 0xFF}), dataChunk}), false, {}});
    // cbSize 4 with only 2 bytes left in "fmt ": the rest would come from "data".
    cases.push_back({"cbSize past the fmt chunk",
                     RiffImage({fmtRecord(0xFFFE, 20, {4, 0, 7, 7}), dataChunk}),
                     false,
                     {}});
    cases.push_back({"fmt past the end of the file", RiffImage({longFmt, dataChunk}), false, {}});
    cases.push_back(
        {"chunk size past the end before data", RiffImage({fmt, runaway, dataChunk}), false, {}});
    cases.push_back(
        {"data outside the RIFF size", RiffImage({fmt, dataChunk}, "WAVE", 4 + 24), false, {}});
    cases.push_back({"empty file", {}, false, {}});
    cases.push_back({"RIFF header only", Head(RiffImage({}), 12), false, {}});
    return cases;
}

TEST(WaveFileReading, FollowsTheChunkRulesOnHandMadeFiles) {
    ScratchFolder folder;
    const std::string path = folder.File("case.wav");
    for (const ReadingCase& c : ReadingCases()) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteFileBytes(path, c.image));
        WaveFile file;
        const int32_t status = file.Open(path, nullptr, WaveModeRead);
        if (!c.opens) {
            EXPECT_EQ(status, E_FAIL);
            EXPECT_EQ(file.Close(), S_OK);
            EXPECT_FALSE(file.IsOpen());
            continue;
        }
        ASSERT_EQ(status, S_OK);
        ASSERT_NE(file.Format(), nullptr);
        EXPECT_EQ(file.Format()->formatTag, c.formatTag);
        EXPECT_EQ(file.Format()->channels, 2);
        EXPECT_EQ(file.Format()->samplesPerSec, 44100u);
        EXPECT_EQ(file.Format()->bitsPerSample, 16);
        EXPECT_EQ(file.Format()->cbSize, c.cbSize);
        EXPECT_EQ(file.Format()->extra.size(), c.cbSize);
        EXPECT_EQ(file.GetDataSize(), c.data.size());
        EXPECT_EQ(ReadAllData(file, 16), c.data);
    }
}

TEST(WaveFileReading, OnlyRegularFilesAreOpened) {
    // A FIFO would block the open or the reads; a folder or a device is no
    // WAV file however it reads.
    ScratchFolder folder;
    const std::string fifo = folder.File("pipe.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path :
         {fifo, folder.Path(), std::string("/dev/zero"), folder.File("missing.wav")}) {
        SCOPED_TRACE(path);
        WaveFile file;
        EXPECT_EQ(file.Open(path, nullptr, WaveModeRead), E_FAIL);
        EXPECT_FALSE(file.IsOpen());
    }
}

TEST(WaveFileReading, MissingDataChunkLeavesFileOpenUntilClose) {
    ScratchFolder folder;
    const std::string path = folder.File("nodata.wav");
    ASSERT_TRUE(WriteFileBytes(path, RiffImage({PcmFormatChunk(8000, 1, 8)})));
    WaveFile file;
    EXPECT_EQ(file.Open(path, nullptr, WaveModeRead), E_FAIL);
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(file.Close(), S_OK);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Close(), S_OK);
}

struct ShortFileCase {
    uint32_t claimed;    // data size in the chunk header
    size_t present;      // data bytes really in the file
    uint32_t blockSize;  // bytes asked per read
};

class WaveFileShortData : public ::testing::TestWithParam<ShortFileCase> {};

// A data chunk that claims more than the file holds (a recorder's 0xFFFFFFFF
// placeholder among them) ends where the file ends: every byte that exists
// is delivered, then 0 with success.
TEST_P(WaveFileShortData, DataEndWhereTheFileEnds) {
    const ShortFileCase c = GetParam();
    ScratchFolder folder;
    const std::string path = folder.File("short.wav");
    const std::vector<uint8_t> data = RandomBytes(c.present, 6);
    ChunkImage dataChunk = Chunk("data", data);
    dataChunk.declaredSize = c.claimed;
    const std::vector<uint8_t> image = RiffImage({PcmFormatChunk(44100, 2, 16), dataChunk});
    ASSERT_TRUE(WriteFileBytes(path, image));

    WaveFile file;
    ASSERT_EQ(file.Open(path, nullptr, WaveModeRead), S_OK);
    // After odd data the file's last byte is the pad byte, which a reader
    // cannot tell from data.
    const uint64_t held = std::min<uint64_t>(c.claimed, image.size() - testing::DataStart(image));
    EXPECT_EQ(file.GetDataSize(), held);
    const std::vector<uint8_t> got = ReadAllData(file, c.blockSize);
    ASSERT_EQ(got.size(), held);
    EXPECT_TRUE(
        std::equal(data.begin(), data.begin() + std::min(got.size(), data.size()), got.begin()));
}

INSTANTIATE_TEST_SUITE_P(Cases, WaveFileShortData,
                         ::testing::Values(ShortFileCase{1000, 300, 100},
                                           ShortFileCase{1000, 250, 100},
                                           ShortFileCase{1000, 1000, 600},
                                           ShortFileCase{700000, 300001, 16384},
                                           ShortFileCase{0xFFFFFFFFu, 80000, 32768},
                                           ShortFileCase{0xFFFFFFF0u, 5000, 4096},
                                           ShortFileCase{10, 0, 3}, ShortFileCase{400, 1000, 64}));

// A file cut short while it is read: the read that runs into the new end
// fails as a whole, so a caller never takes the missing bytes for data.
TEST(WaveFileReading, FileShrinkingAfterOpenFailsTheReadPastItsEnd) {
    ScratchFolder folder;
    const std::string path = folder.File("shrinking.wav");
    const std::vector<uint8_t> image =
        RiffImage({PcmFormatChunk(44100, 2, 16), Chunk("data", RandomBytes(1 << 20, 8))});
    ASSERT_TRUE(WriteFileBytes(path, image));
    WaveFile file;
    ASSERT_EQ(file.Open(path, nullptr, WaveModeRead), S_OK);
    ASSERT_EQ(truncate(path.c_str(), 300000), 0);
    std::vector<uint8_t> block(65536);
    uint32_t delivered = 0;
    int32_t status = S_OK;
    uint64_t total = 0;
    for (int call = 0; call < 32 && status == S_OK; ++call) {
        status = file.Read(block.data(), 65536, &delivered);
        total += delivered;
    }
    EXPECT_EQ(status, E_FAIL);
    EXPECT_EQ(delivered, 0u);
    EXPECT_LE(total, 300000u);
}

class WaveFileTruncation : public ::testing::TestWithParam<int> {};

// Every prefix of a valid file either fails to open (the "data" header is
// cut off) or opens and delivers exactly the data bytes that exist.
TEST_P(WaveFileTruncation, EveryPrefixOpensOrFailsCleanly) {
    const std::vector<uint8_t> data = RandomBytes(64, 7);
    std::vector<uint8_t> image;
    if (GetParam() == 0) {
        image = RiffImage({Chunk("LIST", {'I', 'N', 'F', 'O', 'a', 'b', 'c'}),
                           PcmFormatChunk(44100, 2, 16), Chunk("fact", {1, 0, 0, 0}),
                           Chunk("data", data)});
    } else {
        image = RiffImage({ExtensibleFormatChunk(48000, 2, 24), Chunk("data", data)});
    }
    const size_t dataStart = testing::DataStart(image);
    ASSERT_NE(dataStart, SIZE_MAX);
    ScratchFolder folder;
    const std::string path = folder.File("cut.wav");
    for (size_t length = 0; length < image.size(); ++length) {
        SCOPED_TRACE(length);
        ASSERT_TRUE(WriteFileBytes(path, Head(image, length)));
        WaveFile file;
        const int32_t status = file.Open(path, nullptr, WaveModeRead);
        if (length < dataStart) {
            EXPECT_LT(status, 0);
            continue;
        }
        ASSERT_EQ(status, S_OK);
        const size_t present = length - dataStart;
        const std::vector<uint8_t> got = ReadAllData(file, 10);
        EXPECT_EQ(got.size(), present);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, WaveFileTruncation, ::testing::Values(0, 1));

// Random bytes in the header: whatever the outcome, no crash and no read
// outside what the file holds (the sanitizer build watches the latter).
TEST(WaveFileReading, CorruptedHeadersNeverCrash) {
    const std::vector<uint8_t> original =
        RiffImage({ExtensibleFormatChunk(44100, 2, 16), Chunk("fact", {1, 0, 0, 0}),
                   Chunk("data", RandomBytes(200, 8))});
    ScratchFolder folder;
    const std::string path = folder.File("noise.wav");
    std::mt19937 random(99);
    int opened = 0;
    for (int trial = 0; trial < 1500; ++trial) {
        std::vector<uint8_t> image = original;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < flips; ++i) {
            image[random() % 100] = static_cast<uint8_t>(random());
        }
        ASSERT_TRUE(WriteFileBytes(path, image));
        WaveFile file;
        if (file.Open(path, nullptr, WaveModeRead) < 0) continue;
        ++opened;
        ASSERT_NE(file.Format(), nullptr);
        EXPECT_EQ(file.Format()->extra.size(), file.Format()->cbSize);
        EXPECT_LE(ReadAllData(file, 4096).size(), image.size());
    }
    EXPECT_GT(opened, 0);
}

// ---- Statuses and failures -------------------------------------------------

TEST(WaveFileStatus, ArgumentAndStateErrors) {
    ScratchFolder folder;
    const std::string path = folder.File("status.wav");
    ASSERT_TRUE(WriteFileBytes(path, testing::PcmWavImage(8000, 1, 16, {1, 2, 3, 4})));
    const WaveFormatEx format = PcmFormat(8000, 1, 16);
    uint8_t buffer[4] = {};
    uint32_t count = 0;

    EXPECT_LT(E_FAIL, 0);
    EXPECT_LT(E_INVALIDARG, 0);
    EXPECT_LT(CO_E_NOTINITIALIZED, 0);

    WaveFile closed;
    EXPECT_EQ(closed.Read(buffer, 4, &count), CO_E_NOTINITIALIZED);
    EXPECT_EQ(closed.Write(4, buffer, &count), CO_E_NOTINITIALIZED);
    EXPECT_EQ(closed.Open("", nullptr, WaveModeRead), E_INVALIDARG);
    EXPECT_EQ(closed.Open(folder.File("w.wav"), nullptr, WaveModeWrite), E_INVALIDARG);
    EXPECT_EQ(closed.Open(path, &format, 3), E_INVALIDARG);
    WaveFormatEx missingExtra = format;
    missingExtra.formatTag = 0xFFFE;
    missingExtra.cbSize = 22;
    EXPECT_EQ(closed.Open(folder.File("x.wav"), &missingExtra, WaveModeWrite), E_INVALIDARG);

    WaveFile reader;
    ASSERT_EQ(reader.Open(path, nullptr, WaveModeRead), S_OK);
    EXPECT_EQ(reader.Open(path, nullptr, WaveModeRead), E_FAIL);
    EXPECT_EQ(reader.Read(nullptr, 4, &count), E_INVALIDARG);
    EXPECT_EQ(reader.Read(buffer, 4, nullptr), E_INVALIDARG);
    EXPECT_EQ(reader.Write(4, buffer, &count), E_FAIL);
    EXPECT_EQ(reader.Close(), S_OK);
    EXPECT_EQ(reader.Close(), S_OK);

    WaveFile writer;
    ASSERT_EQ(writer.Open(folder.File("out.wav"), &format, WaveModeWrite), S_OK);
    EXPECT_EQ(writer.Write(4, nullptr, &count), E_INVALIDARG);
    EXPECT_EQ(writer.Write(4, buffer, nullptr), E_INVALIDARG);
    EXPECT_EQ(writer.Read(buffer, 4, &count), E_FAIL);
    EXPECT_EQ(writer.Close(), S_OK);
    EXPECT_EQ(writer.Close(), CO_E_NOTINITIALIZED);
    EXPECT_EQ(writer.Write(4, buffer, &count), CO_E_NOTINITIALIZED);
}

TEST(WaveFileWriting, FailedWritesAreReportedAndCloseFails) {
    // /dev/full accepts the open and refuses every write: a small output
    // stays in the buffer and fails at close, a large one fails on the way.
    const WaveFormatEx format = PcmFormat(44100, 2, 16);
    const std::vector<uint8_t> block = RandomBytes(16384, 9);
    uint32_t written = 0;

    WaveFile small;
    ASSERT_EQ(small.Open("/dev/full", &format, WaveModeWrite), S_OK);
    EXPECT_EQ(small.Write(16384, block.data(), &written), S_OK);
    EXPECT_EQ(small.Close(), E_FAIL);
    EXPECT_FALSE(small.IsOpen());

    WaveFile large;
    ASSERT_EQ(large.Open("/dev/full", &format, WaveModeWrite), S_OK);
    bool writeFailed = false;
    for (int i = 0; i < 128 && !writeFailed; ++i) {
        writeFailed = large.Write(16384, block.data(), &written) == E_FAIL;
    }
    EXPECT_TRUE(writeFailed);
    EXPECT_LT(written, 16384u);
    EXPECT_EQ(large.Close(), E_FAIL);

    WaveFilePair pair;
    ASSERT_TRUE(pair.OpenOutput("/dev/full", 44100, 2, 16));
    EXPECT_TRUE(pair.WriteBlock(block.data(), 16384, &written));
    EXPECT_FALSE(pair.CloseAll());

    ScratchFolder folder;
    WaveFile unwritable;
    EXPECT_EQ(unwritable.Open(folder.File("missing/out.wav"), &format, WaveModeWrite), E_FAIL);
    EXPECT_FALSE(unwritable.IsOpen());
    EXPECT_EQ(unwritable.Open(folder.Path(), &format, WaveModeWrite), E_FAIL);
}

TEST(WaveFileWriting, FailedClosesKeepNoDescriptor) {
    ScratchFolder folder;
    const std::string noData = folder.File("nodata.wav");
    ASSERT_TRUE(WriteFileBytes(noData, RiffImage({PcmFormatChunk(8000, 1, 8)})));
    const WaveFormatEx format = PcmFormat(44100, 2, 16);
    const uint8_t bytes[4] = {1, 2, 3, 4};
    const size_t before = OpenDescriptorCount();
    for (int run = 0; run < 50; ++run) {
        WaveFilePair pair;
        EXPECT_FALSE(pair.OpenInput(noData));
        ASSERT_TRUE(pair.OpenOutput("/dev/full", 44100, 2, 16));
        uint32_t written = 0;
        pair.WriteBlock(bytes, 4, &written);
        EXPECT_FALSE(pair.CloseAll());
        WaveFile file;
        ASSERT_EQ(file.Open("/dev/full", &format, WaveModeWrite), S_OK);
        EXPECT_EQ(file.Close(), E_FAIL);
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(WaveFileWriting, DataSizeFitsOnlyWhatA32BitRiffSizeDescribes) {
    // RIFF size = 48 header bytes + data + pad byte after odd data.
    struct Case {
        uint64_t bytes;
        bool fits;
    };
    const Case cases[] = {{0, true},
                          {16384, true},
                          {0xFFFFFFCEull, true},
                          {0xFFFFFFCFull, false},  // odd: its pad byte no longer fits
                          {0xFFFFFFD0ull, false},
                          {0xFFFFFFFFull, false},
                          {0x100000000ull, false},
                          {0x100000000000ull + 16, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(WaveFile::DataSizeFits(c.bytes), c.fits);
    }
}

TEST(WaveFileWriting, WriteThatWouldPassFourGibibytesIsRefusedWhole) {
    ScratchFolder folder;
    const std::string path = folder.File("limit.wav");
    const WaveFormatEx format = PcmFormat(44100, 2, 16);
    WaveFile file;
    ASSERT_EQ(file.Open(path, &format, WaveModeWrite), S_OK);
    // The source is far smaller than the count: a refused write must not
    // touch it (the sanitizer build would see the overrun).
    const uint8_t bytes[4] = {5, 6, 7, 8};
    uint32_t written = 99;
    EXPECT_EQ(file.Write(0xFFFFFFFFu, bytes, &written), E_FAIL);
    EXPECT_EQ(written, 0u);
    ASSERT_EQ(file.Write(3, bytes, &written), S_OK);
    EXPECT_EQ(file.Write(0xFFFFFFCCu, bytes, &written), E_FAIL);  // 3 + n = 0xFFFFFFCF, odd
    EXPECT_EQ(written, 0u);
    // The refusals left the file as it was.
    EXPECT_EQ(file.Close(), S_OK);
    const std::vector<uint8_t> bytesOnDisk = ReadFileBytes(path);
    ASSERT_EQ(bytesOnDisk.size(), 56u + 4u);
    EXPECT_EQ(LoadU32(bytesOnDisk, 52), 3u);
    EXPECT_EQ(std::vector<uint8_t>(bytesOnDisk.begin() + 56, bytesOnDisk.end()),
              (std::vector<uint8_t>{5, 6, 7, 0}));
}

// ---- RF64 --------------------------------------------------------------------

TEST(WaveFileRf64, WrittenFileCarriesItsSizesInDs64AndReadsBack) {
    ScratchFolder folder;
    const std::string path = folder.File("big.wav");
    const std::vector<uint8_t> data = RandomBytes(999, 8);
    {
        WaveFile file;
        file.UseRf64();
        const WaveFormatEx format = PcmFormat(48000, 2, 16);
        ASSERT_EQ(file.Open(path, &format, WaveModeWrite), S_OK);
        uint32_t written = 0;
        ASSERT_EQ(file.Write(static_cast<uint32_t>(data.size()), data.data(), &written), S_OK);
        ASSERT_EQ(file.Close(), S_OK);
    }
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 80u + 1000u);  // RF64, ds64 (36), fmt (24), data header, pad byte
    const auto u64 = [&](size_t at) {
        return LoadU32(bytes, at) | uint64_t{LoadU32(bytes, at + 4)} << 32;
    };
    EXPECT_EQ(LoadU32(bytes, 0), 0x34364652u);  // "RF64"
    EXPECT_EQ(LoadU32(bytes, 4), 0xFFFFFFFFu);
    EXPECT_EQ(LoadU32(bytes, 12), 0x34367364u);  // "ds64"
    EXPECT_EQ(LoadU32(bytes, 16), 28u);
    EXPECT_EQ(u64(20), bytes.size() - 8);
    EXPECT_EQ(u64(28), 999u);
    EXPECT_EQ(u64(36), 999u / 4);
    EXPECT_EQ(LoadU32(bytes, 48), 0x20746D66u);  // "fmt "
    EXPECT_EQ(LoadU32(bytes, 72), 0x61746164u);  // "data"
    EXPECT_EQ(LoadU32(bytes, 76), 0xFFFFFFFFu);

    WaveFile file;
    ASSERT_EQ(file.Open(path, nullptr, WaveModeRead), S_OK);
    EXPECT_TRUE(file.IsRf64());
    EXPECT_EQ(file.GetDataSize(), 999u);
    EXPECT_EQ(ReadAllData(file, 4096), data);
    // An independent reader agrees, where there is one.
    if (std::system("command -v ffprobe >/dev/null 2>&1") == 0) {
        const std::string command =
            "ffprobe -v error -show_entries stream=codec_name,channels,"
            "duration_ts -of csv=p=0 '" +
            path + "'";
        FILE* probe = popen(command.c_str(), "r");
        ASSERT_NE(probe, nullptr);
        char line[128] = {};
        const bool got = std::fgets(line, sizeof line, probe) != nullptr;
        pclose(probe);
        ASSERT_TRUE(got);
        EXPECT_EQ(std::string(line), "pcm_s16le,2,249\n");
    }
}

// Hand-made RF64 and BW64 files: the data size comes from "ds64" where the
// data chunk's own size says so, and "ds64" must come first.
TEST(WaveFileRf64, HandMadeFilesFollowDs64) {
    ScratchFolder folder;
    const std::vector<uint8_t> data = RandomBytes(400, 9);
    const auto ds64 = [](uint64_t riff, uint64_t dataSize, uint32_t bodyBytes = 28) {
        ByteImage body;
        body.U32(static_cast<uint32_t>(riff)).U32(static_cast<uint32_t>(riff >> 32));
        body.U32(static_cast<uint32_t>(dataSize)).U32(static_cast<uint32_t>(dataSize >> 32));
        body.U32(100).U32(0).U32(0);
        std::vector<uint8_t> bytes = body.Data();
        bytes.resize(bodyBytes);
        return Chunk("ds64", bytes);
    };
    ChunkImage unsized = Chunk("data", data);
    unsized.declaredSize = 0xFFFFFFFFu;
    ChunkImage sized = Chunk("data", data);
    sized.declaredSize = 300;
    const ChunkImage format = PcmFormatChunk(48000, 2, 16);
    struct Case {
        const char* name;
        const char* id;
        std::vector<ChunkImage> chunks;
        int64_t dataBytes;  // -1: cannot be opened
    };
    const Case cases[] = {
        {"RF64", "RF64", {ds64(1000, 400), format, unsized}, 400},
        {"BW64", "BW64", {ds64(1000, 400), format, unsized}, 400},
        {"data size of its own", "RF64", {ds64(1000, 999), format, sized}, 300},
        {"claims more than held", "RF64", {ds64(1u << 20, 1u << 20), format, unsized}, 400},
        {"more than 4 GiB claimed", "RF64", {ds64(6ull << 30, 5ull << 30), format, unsized}, 400},
        // A writer on a pipe leaves the sizes of "ds64" at 0.
        {"written to a pipe", "RF64", {ds64(0, 0), format, unsized}, 400},
        {"no ds64", "RF64", {format, unsized}, -1},
        {"ds64 too short", "RF64", {ds64(1000, 400, 16), format, unsized}, -1},
        {"ds64 not first", "RF64", {format, ds64(1000, 400), unsized}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> image = RiffImage(c.chunks, "WAVE", 0xFFFFFFFFu);
        std::copy_n(c.id, 4, image.begin());
        const std::string path = folder.File("rf64.wav");
        ASSERT_TRUE(WriteFileBytes(path, image));
        WaveFile file;
        const int32_t status = file.Open(path, nullptr, WaveModeRead);
        if (c.dataBytes < 0) {
            EXPECT_LT(status, 0);
            continue;
        }
        ASSERT_EQ(status, S_OK);
        EXPECT_EQ(file.GetDataSize(), static_cast<uint64_t>(c.dataBytes));
        const std::vector<uint8_t> read = ReadAllData(file, 64);
        EXPECT_EQ(read, std::vector<uint8_t>(data.begin(), data.begin() + c.dataBytes));
    }
}

// ---- The pair ---------------------------------------------------------------

TEST(WaveFilePairInput, ExtensionMustBeWavInAnyCase) {
    ScratchFolder folder;
    const std::vector<uint8_t> image = testing::PcmWavImage(44100, 2, 16, RandomBytes(8, 10));
    ASSERT_EQ(mkdir(folder.File("dir.wav").c_str(), 0755), 0);
    struct Case {
        const char* name;
        bool accepted;
    };
    const Case cases[] = {{"a.wav", true},   {"b.WAV", true},      {"c.WaV", true},
                          {"d.wave", false}, {"e", false},         {"f.wav.bak", false},
                          {"g.wa", false},   {"dir.wav/h", false}, {"i.mp3", false},
                          {"j.x.wav", true}, {"k.", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = folder.File(c.name);
        ASSERT_TRUE(WriteFileBytes(path, image));
        WaveFilePair pair;
        EXPECT_EQ(pair.OpenInput(path), c.accepted);
        EXPECT_EQ(pair.inputOpen, c.accepted);
        // A refused name never reaches the file.
        if (!c.accepted) {
            EXPECT_EQ(pair.input, nullptr);
        }
    }
    WaveFilePair pair;
    EXPECT_FALSE(pair.OpenInput(""));
    EXPECT_FALSE(pair.inputOpen);
}

TEST(WaveFilePairInput, OpenReadCloseAndRelease) {
    ScratchFolder folder;
    const std::string path = folder.File("in.wav");
    const std::vector<uint8_t> data = RandomBytes(20000, 11);
    ASSERT_TRUE(WriteFileBytes(path, testing::PcmWavImage(32000, 2, 16, data)));
    WaveFilePair pair;
    ASSERT_TRUE(pair.OpenInput(path));
    EXPECT_TRUE(pair.inputOpen);
    ASSERT_NE(pair.input, nullptr);
    EXPECT_EQ(pair.input->GetDataSize(), 20000u);
    EXPECT_EQ(pair.input->Format()->samplesPerSec, 32000u);

    std::vector<uint8_t> block(16384);
    uint32_t delivered = 0;
    ASSERT_TRUE(pair.ReadBlock(block.data(), 16384, &delivered));
    EXPECT_EQ(delivered, 16384u);
    ASSERT_TRUE(pair.ReadBlock(block.data(), 16384, &delivered));
    EXPECT_EQ(delivered, 20000u - 16384u);
    EXPECT_TRUE(std::equal(block.begin(), block.begin() + delivered, data.begin() + 16384));

    EXPECT_TRUE(pair.CloseInput());
    EXPECT_FALSE(pair.inputOpen);
    ASSERT_NE(pair.input, nullptr);
    EXPECT_FALSE(pair.input->IsOpen());
    EXPECT_FALSE(pair.ReadBlock(block.data(), 16, &delivered));
    pair.ReleaseInput();
    EXPECT_EQ(pair.input, nullptr);
    EXPECT_FALSE(pair.ReadBlock(block.data(), 16, &delivered));
}

TEST(WaveFilePairInput, FailedOpenKeepsAClosedObjectUntilRelease) {
    ScratchFolder folder;
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
        bool create;
    };
    const Case cases[] = {{"nodata.wav", RiffImage({PcmFormatChunk(8000, 1, 8)}), true},
                          {"garbage.wav", RandomBytes(100, 12), true},
                          {"missing.wav", {}, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.create) {
            ASSERT_TRUE(WriteFileBytes(folder.File(c.name), c.image));
        }
        WaveFilePair pair;
        EXPECT_FALSE(pair.OpenInput(folder.File(c.name)));
        EXPECT_FALSE(pair.inputOpen);
        ASSERT_NE(pair.input, nullptr);
        EXPECT_FALSE(pair.input->IsOpen());
        pair.ReleaseInput();
        EXPECT_EQ(pair.input, nullptr);
    }
}

TEST(WaveFilePairOutput, FlagsFollowTheOutcome) {
    ScratchFolder folder;
    uint32_t written = 0;
    const uint8_t bytes[2] = {1, 2};

    WaveFilePair pair;
    EXPECT_FALSE(pair.WriteBlock(bytes, 2, &written));
    EXPECT_FALSE(pair.OpenOutput(folder.File("missing/out.wav"), 44100, 2, 16));
    EXPECT_FALSE(pair.outputOpen);
    EXPECT_FALSE(pair.WriteBlock(bytes, 2, &written));
    // Fields that cannot hold the values refuse the output.
    EXPECT_FALSE(pair.OpenOutput(folder.File("wide.wav"), 44100, 70000, 16));
    EXPECT_FALSE(pair.OpenOutput(folder.File("fast.wav"), 0xF0000000u, 2, 16));
    EXPECT_FALSE(pair.outputOpen);

    // The output needs no ".wav" name.
    const std::string path = folder.File("out.raw");
    ASSERT_TRUE(pair.OpenOutput(path, 44100, 2, 16));
    EXPECT_TRUE(pair.outputOpen);
    ASSERT_TRUE(pair.WriteBlock(bytes, 2, &written));
    EXPECT_EQ(written, 2u);
    EXPECT_TRUE(pair.CloseAll());
    EXPECT_FALSE(pair.outputOpen);
    EXPECT_EQ(pair.output, nullptr);
    EXPECT_EQ(ReadFileBytes(path).size(), 58u);
}

TEST(WaveFilePair, RunCopiesInputToOutputAndCloseAllFinishesBoth) {
    ScratchFolder folder;
    const std::string inPath = folder.File("in.wav");
    const std::string outPath = folder.File("out.wav");
    const std::vector<uint8_t> data = RandomBytes(16384 * 3 + 1234, 13);
    ASSERT_TRUE(
        WriteFileBytes(inPath, RiffImage({Chunk("LIST", {'I', 'N', 'F', 'O'}),
                                          PcmFormatChunk(44100, 2, 16), Chunk("data", data)})));
    {
        WaveFilePair pair;
        ASSERT_TRUE(pair.OpenInput(inPath));
        const WaveFormatEx& format = *pair.input->Format();
        ASSERT_TRUE(
            pair.OpenOutput(outPath, format.samplesPerSec, format.channels, format.bitsPerSample));
        std::vector<uint8_t> block(16384);
        for (;;) {
            uint32_t delivered = 0;
            uint32_t written = 0;
            ASSERT_TRUE(pair.ReadBlock(block.data(), 16384, &delivered));
            if (delivered == 0) break;
            ASSERT_TRUE(pair.WriteBlock(block.data(), delivered, &written));
            ASSERT_EQ(written, delivered);
        }
        // Leaving the scope closes both through the destructor.
    }
    WaveFile copy;
    ASSERT_EQ(copy.Open(outPath, nullptr, WaveModeRead), S_OK);
    EXPECT_EQ(ReadAllData(copy, 16384), data);
    EXPECT_EQ(Head(ReadFileBytes(outPath), 56),
              PcmHeader(static_cast<uint32_t>(48 + data.size()), 2, 44100, 16, 0,
                        static_cast<uint32_t>(data.size())));
}

}  // namespace
}  // namespace tessaro
