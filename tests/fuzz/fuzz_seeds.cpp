// Writes the seed corpus of every fuzz target: fuzz_seeds FOLDER makes
// FOLDER/<target>/ with small inputs of every form the code reads, valid and
// odd ones. Seeds are made here rather than kept as binary files, so that a
// change of format is one change of source.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/mat_writer.h"
#include "tests/support/wav_fixture.h"

namespace {

using namespace tessaro::testing;

bool failed = false;

void Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    if (!WriteFileBytes(path, bytes)) {
        std::fprintf(stderr, "fuzz_seeds: cannot write %s\n", path.c_str());
        failed = true;
    }
}

void WriteText(const std::string& path, std::string_view text) {
    Write(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// A short stereo tone: left and right differ, so channel mix-ups show.
std::vector<int16_t> Tone(size_t frames) {
    std::vector<int16_t> samples;
    for (size_t n = 0; n < frames; ++n) {
        samples.push_back(static_cast<int16_t>(12000 * std::sin(0.05 * static_cast<double>(n))));
        samples.push_back(static_cast<int16_t>(-9000 * std::cos(0.13 * static_cast<double>(n))));
    }
    return samples;
}

std::vector<uint8_t> SampleBytes(const std::vector<int16_t>& samples) {
    ByteImage image;
    for (int16_t s : samples) image.U16(static_cast<uint16_t>(s));
    return image.Data();
}

void WaveSeeds(const std::string& dir) {
    const std::vector<uint8_t> data = SampleBytes(Tone(300));
    Write(dir + "/stereo16.wav", Stereo16WavImage(48000, Tone(300)));
    Write(dir + "/stereo16_long.wav", Stereo16WavImage(44100, Tone(5000)));
    Write(dir + "/stereo16_one_frame.wav", Stereo16WavImage(48000, Tone(1)));
    Write(dir + "/stereo16_empty.wav", Stereo16WavImage(48000, {}));
    Write(dir + "/mono16.wav", PcmWavImage(48000, 1, 16, data));
    Write(dir + "/stereo8.wav", PcmWavImage(22050, 2, 8, data));
    Write(dir + "/stereo24.wav", PcmWavImage(96000, 2, 24, data));
    Write(dir + "/extensible.wav",
          RiffImage({ExtensibleFormatChunk(48000, 2, 16), Chunk("data", data)}));
    Write(dir + "/extensible_mono.wav",
          RiffImage({ExtensibleFormatChunk(48000, 1, 16), Chunk("data", data)}));
    // A float format record with cbSize 0 after the 16 PCM bytes.
    ByteImage floatRecord;
    floatRecord.U16(3).U16(2).U32(48000).U32(384000).U16(8).U16(32).U16(0);
    Write(dir + "/float_cbsize0.wav",
          RiffImage({Chunk("fmt ", floatRecord.Data()), Chunk("data", data)}));
    // cbSize claims more than the chunk holds.
    ByteImage greedy;
    greedy.U16(0xFFFE).U16(2).U32(48000).U32(192000).U16(4).U16(16).U16(40).Zeros(4);
    Write(dir + "/cbsize_past_chunk.wav",
          RiffImage({Chunk("fmt ", greedy.Data()), Chunk("data", data)}));

    const ChunkImage format = PcmFormatChunk(48000, 2, 16);
    // An odd-sized chunk with its pad byte before the format.
    Write(dir + "/odd_chunk.wav",
          RiffImage({Chunk("LIST", {'I', 'N', 'F', 'O', 'x'}), format, Chunk("data", data)}));
    ChunkImage unpadded = Chunk("junk", {1, 2, 3});
    unpadded.padded = false;
    Write(dir + "/odd_chunk_unpadded.wav", RiffImage({unpadded, format, Chunk("data", data)}));
    // Odd data with its pad byte, then a trailing chunk.
    Write(dir + "/odd_data.wav",
          RiffImage({format, Chunk("data", {1, 2, 3, 4, 5}), Chunk("cue ", {0, 0, 0, 0})}));
    // Streaming writers leave the sizes at their placeholders.
    ChunkImage streaming = Chunk("data", data);
    streaming.declaredSize = 0xFFFFFFFFu;
    Write(dir + "/data_size_placeholder.wav", RiffImage({format, streaming}, "WAVE", 0xFFFFFFFFu));
    Write(dir + "/riff_size_zero.wav", RiffImage({format, Chunk("data", data)}, "WAVE", 0));
    ChunkImage claiming = Chunk("data", data);
    claiming.declaredSize = static_cast<uint32_t>(data.size() * 4);
    Write(dir + "/data_past_end.wav", RiffImage({format, claiming}));
    Write(dir + "/fmt_after_data.wav", RiffImage({Chunk("data", data), format}));
    Write(dir + "/fact_chunk.wav",
          RiffImage({format, Chunk("fact", {44, 1, 0, 0}), Chunk("data", data)}));
    Write(dir + "/two_data.wav",
          RiffImage({format, Chunk("data", {1, 2, 3, 4}), Chunk("data", {5, 6, 7, 8})}));
    Write(dir + "/no_data.wav", RiffImage({format}));
    Write(dir + "/no_fmt.wav", RiffImage({Chunk("data", data)}));
    Write(dir + "/short_fmt.wav",
          RiffImage({Chunk("fmt ", {1, 0, 2, 0, 0x80, 0xBB, 0, 0}), Chunk("data", data)}));
    Write(dir + "/not_wave.wav", RiffImage({format, Chunk("data", data)}, "AVI "));
    {
        ByteImage ds64;
        ds64.U32(1000).U32(0).U32(static_cast<uint32_t>(data.size())).U32(0).U32(10).U32(0).U32(0);
        ChunkImage unsized = Chunk("data", data);
        unsized.declaredSize = 0xFFFFFFFFu;
        std::vector<uint8_t> rf64 =
            RiffImage({Chunk("ds64", ds64.Data()), format, unsized}, "WAVE", 0xFFFFFFFFu);
        std::copy_n("RF64", 4, rf64.begin());
        Write(dir + "/rf64.wav", rf64);
    }
    Write(dir + "/pcm24.wav", RiffImage({PcmFormatChunk(48000, 2, 24), Chunk("data", data)}));
    Write(dir + "/float32.wav",
          RiffImage(
              {Chunk("fmt ",
                     ByteImage().U16(3).U16(2).U32(48000).U32(384000).U16(8).U16(32).U16(0).Data()),
               Chunk("data", data)}));
    std::vector<uint8_t> truncated = Stereo16WavImage(48000, Tone(300));
    truncated.resize(30);
    Write(dir + "/truncated_header.wav", truncated);
    truncated = Stereo16WavImage(48000, Tone(300));
    truncated.resize(truncated.size() - 501);
    Write(dir + "/truncated_data.wav", truncated);
}

void MatSeeds(const std::string& dir) {
    if (!WriteMatFuzzSeeds(dir)) failed = true;
    // Configurations of N x 4 taps (the four paths of the 2x2 filter).
    for (size_t rows : {1, 3, 16}) {
        std::vector<double> taps;
        for (size_t i = 0; i < rows * 4; ++i) {
            taps.push_back(std::ldexp(static_cast<double>(i % 7) - 3.0, -static_cast<int>(i % 5)));
        }
        MatWriter config;
        config.Double("H", rows, 4, taps)
            .Numeric("SR", MatWriteClass::Double, {1, 1}, {48000})
            .Text("label", "Room " + std::to_string(rows));
        const std::string base = dir + "/config_" + std::to_string(rows) + "x4";
        bool ok = config.Write(base + "_level4.mat", MatWriteVersion::Level4) &&
                  config.Write(base + "_level5.mat", MatWriteVersion::Level5) &&
                  config.Write(base + "_compressed.mat", MatWriteVersion::Level5Compressed);
        // The target passes 7.3 files by; the seed keeps their header in view.
        if (rows == 3) ok = ok && config.Write(base + "_hdf5.mat", MatWriteVersion::Hdf5);
        if (!ok) failed = true;
    }
    MatWriter extra;
    extra.Numeric("before", MatWriteClass::UInt8, {1, 3}, {1, 2, 3})
        .Double("H", 2, 4, {1, 0, 0, 1, 0, 0, 0, 0})
        .Numeric("SR", MatWriteClass::Double, {1, 1}, {44100})
        .Text("label", "extra")
        .Double("after", 1, 1, {7});
    MatWriter int16;
    int16.Numeric("H", MatWriteClass::Int16, {2, 4}, {1, -2, 3, -4, 5, -6, 7, -8})
        .Numeric("SR", MatWriteClass::UInt32, {1, 1}, {96000})
        .Text("label", "int16");
    MatWriter emptySr;
    emptySr.Double("H", 1, 4, {1, 0, 0, 1})
        .Numeric("SR", MatWriteClass::Double, {0, 0}, {})
        .Text("label", "");
    MatWriter wrongShape;
    wrongShape.Double("H", 4, 3, std::vector<double>(12, 0.5))
        .Numeric("SR", MatWriteClass::Double, {1, 2}, {48000, 44100})
        .Double("label", 1, 1, {1});
    bool ok = extra.Write(dir + "/extra_variables.mat", MatWriteVersion::Level5Compressed) &&
              extra.Write(dir + "/extra_variables_level4.mat", MatWriteVersion::Level4) &&
              int16.Write(dir + "/int16_h.mat", MatWriteVersion::Level5) &&
              emptySr.Write(dir + "/empty_sr.mat", MatWriteVersion::Level5) &&
              emptySr.Write(dir + "/empty_sr_compressed.mat", MatWriteVersion::Level5Compressed) &&
              wrongShape.Write(dir + "/wrong_shapes.mat", MatWriteVersion::Level5);
    if (!ok) failed = true;

    // Big endian, written field by field: libmatio writes only native order.
    Level5Builder big(true);
    Write(dir + "/big_endian_config.mat",
          Concat({big.Header(), big.DoubleMatrix("H", 2, 4, {1, 2, 3, 4, 5, 6, 7, 8}),
                  big.DoubleMatrix("SR", 1, 1, {48000}),
                  big.Matrix({big.ArrayFlags(4), big.Dims({1, 3}), big.Name("label"),
                              big.Element(MiUInt16, big.UInt16s({'a', 'b', 'c'}))})}));
    Write(dir + "/big_endian_compressed.mat",
          Concat({big.Header(), big.Compressed(big.DoubleMatrix("H", 1, 4, {1, 0, 0, 1})),
                  big.Compressed(big.DoubleMatrix("SR", 1, 1, {48000}))}));
}

void HiveSeeds(const std::string& dir) {
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    WriteText(dir + "/all_kinds.reg", header +
                                          "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n"
                                          "\"MAT File\"=\"/home/ann/filters/room.mat\"\n"
                                          "\"Count\"=dword:0000002a\n"
                                          "\"Blob\"=hex:01,02,ff\n"
                                          "\"Names\"=hex(7):61,00,62,00,00\n"
                                          "\"Text\"=hex(1):6c,69,6e,65,0a,00\n"
                                          "\"None\"=hex(0):\n"
                                          "\"Big\"=hex(2a):10,20\n"
                                          "@=\"default\"\n");
    WriteText(dir + "/program_settings.reg",
              header +
                  "[HKEY_LOCAL_MACHINE\\Software\\Tessaro\\Tessaro]\n"
                  "\"InputFile\"=\"C:\\\\Music\\\\in.wav\"\n"
                  "\"OutputFile\"=\"/tmp/out.wav\"\n"
                  "\"ConfigFile\"=\"/tmp/room.mat\"\n"
                  "\"Gain\"=\"-3.5\"\n");
    WriteText(dir + "/comments.reg", header +
                                         "; a comment before the key\n"
                                         "[HKLM\\Software\\Tessaro]\n"
                                         "; \"Hidden\"=\"not a value\"\n"
                                         "\"Shown\"=\"value\" \n"
                                         "# another comment\n"
                                         "\n"
                                         "[HKEY_CURRENT_USER\\Software\\Tessaro]\n"
                                         "\"Other hive\"=\"kept\"\n"
                                         "[HKEY_LOCAL_MACHINE\\Software\\Tessaro\\Sub]\n"
                                         "\"Deep\"=dword:ffffffff\n");
    WriteText(dir + "/escapes.reg", header +
                                        "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n"
                                        "\"Quote \\\" name\"=\"a \\\"quoted\\\" text\"\n"
                                        "\"Back\\\\slash\"=\"C:\\path\\\\to\\\"x\\\"\"\n"
                                        "\"Trailing\"=\"ends with \\\\\"\n"
                                        "\"Bad escape \\q\"=\"\\n stays\"\n"
                                        "\"Unterminated\"=\"no end\n"
                                        "\"Utf8 \xC3\xA9\xE2\x82\xAC\"=\"\xF0\x9F\x8E\xB5\"\n"
                                        "\"Invalid \xC3\"=\"\xFF\xFE\"\n"
                                        "\"Spaces\"  =  \"around\"\n");
    WriteText(dir + "/continuations.reg",
              header +
                  "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n"
                  "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,\\\n"
                  "  14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,\\\n"
                  "  2b,2c\n"
                  "\"Stray\"=hex:01,02,\\\n"
                  "\"Next\"=dword:00000001\n"
                  "\"Trailing comma\"=hex:0a,0b,\n"
                  "\"Bad hex\"=hex:1,22,333\n"
                  "\"Dup\"=\"first\"\n"
                  "\"DUP\"=\"second\"\n");
    WriteText(dir + "/crlf.reg",
              "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Tessaro\\]\r\n"
              "\"Crlf\"=\"yes\"\r\n"
              "\"Dword\"=DWORD:0000FFFF\r\n");
    WriteText(dir + "/empty.reg", "");
    WriteText(dir + "/root_key.reg", header + "[HKEY_LOCAL_MACHINE]\n\"At root\"=\"x\"\n");
    WriteText(dir + "/no_header.reg",
              "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n\"Gain\"=\"0\"\n[broken\n\"X\"=hex:\n");
}

void ArgumentSeeds(const std::string& dir) {
    auto seed = [&](const std::string& name, const std::vector<std::string>& words) {
        std::string bytes;
        for (size_t i = 0; i < words.size(); ++i) {
            if (i > 0) bytes += '\0';
            bytes += words[i];
        }
        WriteText(dir + "/" + name, bytes);
    };
    seed("files", {"room.mat", "in.wav", "out.wav"});
    seed("gain", {"--gain", "-3.5", "room.mat", "in.wav", "out.wav"});
    seed("gain_equals", {"--gain=6", "-q", "room.mat", "in.wav", "out.wav"});
    seed("short_options", {"-g", "2", "-q", "a", "b", "c"});
    seed("quiet_last", {"a.mat", "b.wav", "c.wav", "--quiet"});
    seed("options_end", {"--", "--gain", "-", "x"});
    seed("dash_file", {"-", "in.wav", "out.wav"});
    seed("empty_argument", {"", "in.wav", "out.wav"});
    seed("help", {"--help"});
    seed("help_short", {"a", "-h"});
    seed("version", {"--version", "--bogus"});
    seed("gain_without_value", {"a", "b", "c", "--gain"});
    seed("unknown", {"--gains", "1", "a", "b", "c"});
    seed("too_few", {"a", "b"});
    seed("too_many", {"a", "b", "c", "d"});
    seed("none", {});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: fuzz_seeds FOLDER\n", stderr);
        return 2;
    }
    const std::string folder = argv[1];
    const struct {
        const char* target;
        void (*write)(const std::string&);
    } targets[] = {
        {"wave_reader_fuzz", WaveSeeds},
        {"mat_file_fuzz", MatSeeds},
        {"settings_hive_fuzz", HiveSeeds},
        {"cli_args_fuzz", ArgumentSeeds},
    };
    for (const auto& target : targets) {
        const std::string dir = folder + "/" + target.target;
        std::error_code error;
        std::filesystem::create_directories(dir, error);
        if (error) {
            std::fprintf(stderr, "fuzz_seeds: cannot make %s: %s\n", dir.c_str(),
                         error.message().c_str());
            return 1;
        }
        target.write(dir);
    }
    return failed ? 1 : 0;
}
