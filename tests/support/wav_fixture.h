#pragma once
// WAV files for tests, built field by field without the code under test,
// plus a scratch folder and whole-file helpers.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::testing {

// Little-endian byte image built field by field.
class ByteImage {
public:
    ByteImage& Tag(const std::string& fourChars);  // exactly four characters
    ByteImage& U16(uint16_t value);
    ByteImage& U32(uint32_t value);
    ByteImage& Bytes(const std::vector<uint8_t>& bytes);
    ByteImage& Zeros(size_t count);

    void PatchU32(size_t offset, uint32_t value);
    size_t Size() const { return bytes.size(); }
    const std::vector<uint8_t>& Data() const { return bytes; }

private:
    std::vector<uint8_t> bytes;
};

// One chunk of a hand-made RIFF file: its header claims declaredSize, its
// body is written as given, followed by a pad byte 0 when the body is odd
// and padded is set.
struct ChunkImage {
    std::string id;
    uint32_t declaredSize = 0;
    std::vector<uint8_t> body;
    bool padded = true;
};

ChunkImage Chunk(const std::string& id, const std::vector<uint8_t>& body);

// "fmt " chunks. PcmFormatChunk holds the 16-byte PCM record (avgBytesPerSec
// and blockAlign derived as a writer would); ExtensibleFormatChunk the
// 40-byte WAVE_FORMAT_EXTENSIBLE record with cbSize 22 and the PCM sub-format.
ChunkImage PcmFormatChunk(uint32_t rate, uint16_t channels, uint16_t bits);
ChunkImage ExtensibleFormatChunk(uint32_t rate, uint16_t channels, uint16_t bits);

// "RIFF" <size> <formType> and the chunks. riffSize is the size field,
// 0xFFFFFFFF meaning "the true size" (file length - 8).
constexpr uint32_t TrueRiffSize = 0xFFFFFFFFu;
std::vector<uint8_t> RiffImage(const std::vector<ChunkImage>& chunks,
                               const std::string& formType = "WAVE",
                               uint32_t riffSize = TrueRiffSize);

// A canonical 44-byte-header PCM file holding data.
std::vector<uint8_t> PcmWavImage(uint32_t rate, uint16_t channels, uint16_t bits,
                                 const std::vector<uint8_t>& data);

// 16-bit stereo PCM samples (interleaved left, right) as a file image.
std::vector<uint8_t> Stereo16WavImage(uint32_t rate, const std::vector<int16_t>& samples);

// Bytes from a fixed-seed generator.
std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed);

// Byte offset of the first data byte in an image made by RiffImage (the
// byte behind the first "data" chunk header); SIZE_MAX when there is none.
size_t DataStart(const std::vector<uint8_t>& image);

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// Whole text files; writing creates the missing folders on the way.
std::string ReadFileText(const std::string& path);  // empty when unreadable
bool WriteFileText(const std::string& path, std::string_view text);
std::vector<uint8_t> ReadFileBytes(const std::string& path);  // empty when unreadable

uint32_t LoadU32(const std::vector<uint8_t>& bytes, size_t offset);
uint16_t LoadU16(const std::vector<uint8_t>& bytes, size_t offset);

// A fresh folder under the system's temporary folder, removed with all it
// holds when the object goes.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return path; }
    std::string File(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
};

}  // namespace tessaro::testing
