#include "tests/support/wav_fixture.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

namespace tessaro::testing {

ByteImage& ByteImage::Tag(const std::string& fourChars) {
    for (size_t i = 0; i < 4; ++i) {
        bytes.push_back(i < fourChars.size() ? static_cast<uint8_t>(fourChars[i]) : ' ');
    }
    return *this;
}

ByteImage& ByteImage::U16(uint16_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
    return *this;
}

ByteImage& ByteImage::U32(uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
    return *this;
}

ByteImage& ByteImage::Bytes(const std::vector<uint8_t>& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return *this;
}

ByteImage& ByteImage::Zeros(size_t count) {
    bytes.insert(bytes.end(), count, 0);
    return *this;
}

void ByteImage::PatchU32(size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.at(offset + static_cast<size_t>(i)) = static_cast<uint8_t>(value >> (8 * i));
    }
}

ChunkImage Chunk(const std::string& id, const std::vector<uint8_t>& body) {
    return ChunkImage{id, static_cast<uint32_t>(body.size()), body, true};
}

ChunkImage PcmFormatChunk(uint32_t rate, uint16_t channels, uint16_t bits) {
    const auto blockAlign = static_cast<uint16_t>(channels * (bits / 8));
    ByteImage record;
    record.U16(1).U16(channels).U32(rate).U32(rate * blockAlign).U16(blockAlign).U16(bits);
    return Chunk("fmt ", record.Data());
}

ChunkImage ExtensibleFormatChunk(uint32_t rate, uint16_t channels, uint16_t bits) {
    const auto blockAlign = static_cast<uint16_t>(channels * (bits / 8));
    ByteImage record;
    record.U16(0xFFFE).U16(channels).U32(rate).U32(rate * blockAlign).U16(blockAlign).U16(bits);
    record.U16(22).U16(bits).U32(channels == 2 ? 3u : 0u);
    // KSDATAFORMAT_SUBTYPE_PCM: 00000001-0000-0010-8000-00aa00389b71.
    record.U32(1).U16(0).U16(0x10).Bytes({0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
    return Chunk("fmt ", record.Data());
}

std::vector<uint8_t> RiffImage(const std::vector<ChunkImage>& chunks, const std::string& formType,
                               uint32_t riffSize) {
    ByteImage image;
    image.Tag("RIFF").U32(0).Tag(formType);
    for (const ChunkImage& chunk : chunks) {
        image.Tag(chunk.id).U32(chunk.declaredSize).Bytes(chunk.body);
        if (chunk.padded && chunk.body.size() % 2 == 1) {
            image.Zeros(1);
        }
    }
    image.PatchU32(4,
                   riffSize == TrueRiffSize ? static_cast<uint32_t>(image.Size() - 8) : riffSize);
    return image.Data();
}

std::vector<uint8_t> PcmWavImage(uint32_t rate, uint16_t channels, uint16_t bits,
                                 const std::vector<uint8_t>& data) {
    return RiffImage({PcmFormatChunk(rate, channels, bits), Chunk("data", data)});
}

std::vector<uint8_t> Stereo16WavImage(uint32_t rate, const std::vector<int16_t>& samples) {
    ByteImage data;
    for (int16_t sample : samples) {
        data.U16(static_cast<uint16_t>(sample));
    }
    return PcmWavImage(rate, 2, 16, data.Data());
}

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(generator() >> 24);
    }
    return bytes;
}

size_t DataStart(const std::vector<uint8_t>& image) {
    size_t offset = 12;
    while (offset + 8 <= image.size()) {
        const uint32_t size = LoadU32(image, offset + 4);
        if (image[offset] == 'd' && image[offset + 1] == 'a' && image[offset + 2] == 't' &&
            image[offset + 3] == 'a') {
            return offset + 8;
        }
        offset += 8 + static_cast<size_t>(size) + (size & 1u);
    }
    return SIZE_MAX;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    // A new file rather than a truncated one: ext4 flushes a file rewritten
    // after truncation at close, which makes loops over many files slow.
    std::error_code error;
    std::filesystem::remove(path, error);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();
    return static_cast<bool>(file);
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return {};
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file),
                                std::istreambuf_iterator<char>());
}

uint32_t LoadU32(const std::vector<uint8_t>& bytes, size_t offset) {
    return static_cast<uint32_t>(bytes.at(offset)) |
           static_cast<uint32_t>(bytes.at(offset + 1)) << 8 |
           static_cast<uint32_t>(bytes.at(offset + 2)) << 16 |
           static_cast<uint32_t>(bytes.at(offset + 3)) << 24;
}

uint16_t LoadU16(const std::vector<uint8_t>& bytes, size_t offset) {
    return static_cast<uint16_t>(bytes.at(offset) | bytes.at(offset + 1) << 8);
}

ScratchFolder::ScratchFolder() {
    std::error_code error;
    std::string base = std::filesystem::temp_directory_path(error).string();
    if (error || base.empty()) {
        base = "/tmp";
    }
    std::string pattern = base + "/tessaro-test-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) {
        path = pattern;
    }
}

ScratchFolder::~ScratchFolder() {
    if (!path.empty()) {
        std::error_code error;
        std::filesystem::remove_all(path, error);
    }
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool WriteFileText(const std::string& path, std::string_view text) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    return static_cast<bool>(out);
}

}  // namespace tessaro::testing
