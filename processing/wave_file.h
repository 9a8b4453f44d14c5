#pragma once
// RIFF/WAVE files: the input and output of a run.
//
// A reader accepts any RIFF/WAVE file with a "fmt " and a "data" chunk and
// hands out the raw bytes of the data chunk; a writer produces
//   "RIFF" size "WAVE" | "fmt " 16 <PCM record> | "fact" 4 <count> | "data" size <bytes> [pad]
// (a 56-byte header for PCM) whose RIFF and data sizes are 0 and fact count
// 0xFFFFFFFF until Close patches them (to the real sizes and 0); an output
// too large for that is RF64, with its sizes in a "ds64" chunk. Sample bytes
// pass through unchanged in both directions. Both directions go through one
// I/O buffer of IoBufferSize bytes on a plain descriptor.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tessaro {

// Windows-style statuses of the WaveFile operations: 0 success, negative
// failure. Callers look only at the sign.
constexpr int32_t S_OK = 0;
constexpr int32_t E_FAIL = static_cast<int32_t>(0x80004005u);  // file operation or malformed file
constexpr int32_t E_INVALIDARG = static_cast<int32_t>(0x80070057u);         // missing argument
constexpr int32_t CO_E_NOTINITIALIZED = static_cast<int32_t>(0x800401F0u);  // file not open

constexpr uint16_t WaveFormatPcm = 1;
constexpr uint16_t WaveFormatFloat = 3;  // IEEE float
constexpr uint16_t WaveFormatExtensible = 0xFFFE;
constexpr int32_t WaveModeRead = 1;
constexpr int32_t WaveModeWrite = 2;

// The WAVEFORMATEX record: 18 bytes on disk followed by cbSize extra bytes.
// A PCM record (formatTag 1) is the first 16 bytes only; cbSize is then 0.
struct WaveFormatEx {
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t samplesPerSec = 0;
    uint32_t avgBytesPerSec = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    uint16_t cbSize = 0;
    std::vector<uint8_t> extra;  // the cbSize bytes behind the record
};

class WaveFile {
public:
    static constexpr size_t IoBufferSize = 256 * 1024;

    WaveFile() = default;
    virtual ~WaveFile();  // closes the file if it is still open
    WaveFile(const WaveFile&) = delete;
    WaveFile& operator=(const WaveFile&) = delete;

    // Opens path for reading (mode 1, format ignored) or creates it for
    // writing with format (mode 2; an existing file is truncated).
    // Reading: E_INVALIDARG without a path; E_FAIL when the file cannot be
    // opened, is not RIFF/WAVE, has no "fmt " of at least 16 bytes (or its
    // cbSize bytes are not all inside it) or has no "data" chunk. Only in the
    // last case the file stays open (Close releases it); otherwise the handle
    // is cleared. On success the position is the first data byte.
    // Writing: E_INVALIDARG without a path or format, or when a non-PCM
    // format holds fewer extra bytes than its cbSize; E_FAIL when the file or
    // its header cannot be written, with the handle cleared.
    // A WaveFile is opened once: E_FAIL while it is open.
    int32_t Open(const std::string& path, const WaveFormatEx* fileFormat, int32_t openMode);

    // Size of the data chunk as found when the file was opened for reading:
    // the size in its header, or the bytes after the header up to the end of
    // the file when there are fewer.
    uint64_t GetDataSize() const { return dataSize; }

    // Makes the next Open for writing create an RF64 file, whose data may
    // pass 4 GiB. Reading takes RF64 and BW64 files as they come.
    void UseRf64() { rf64 = true; }
    // Whether the open file is RF64 (or BW64).
    bool IsRf64() const { return rf64; }

    // The format read from the "fmt " chunk; null unless opened for reading.
    const WaveFormatEx* Format() const { return format.get(); }

    bool IsOpen() const { return fd >= 0; }
    // Device and inode of the open file; false when it is not open.
    bool Identity(uint64_t* device, uint64_t* inode) const;
    int32_t Mode() const { return mode; }

    // Copies min(count, data bytes not yet read) bytes into destination and
    // sets *delivered to that number (0 at the end of the data, with S_OK).
    // A file that shrank after it was opened ends before its data do: a read
    // that runs into the end of the file fails as a whole with E_FAIL and
    // *delivered 0 (destination may have been written); its bytes count as
    // consumed.
    // CO_E_NOTINITIALIZED when not open, E_INVALIDARG for a null pointer,
    // E_FAIL on a file opened for writing.
    int32_t Read(void* destination, uint32_t count, uint32_t* delivered);

    // Appends count bytes of source to the data chunk; *written counts the
    // bytes stored. Refused with E_FAIL and nothing stored when the file would
    // grow past what its 32-bit RIFF size can describe (not for RF64). E_FAIL when a flush
    // fails (*written then counts the bytes stored before it); such a failure
    // also makes Close fail. CO_E_NOTINITIALIZED when not open, E_INVALIDARG
    // for a null pointer, E_FAIL on a file opened for reading.
    int32_t Write(uint32_t count, const void* source, uint32_t* written);

    // Reading: closes the file; S_OK, also when it was not open.
    // Writing: patches the RIFF and data sizes and the fact count, flushes and
    // closes. CO_E_NOTINITIALIZED when not open; E_FAIL when any step, an
    // earlier write or the final flush failed. The handle is released in every
    // case, so a file is never closed twice and no descriptor is kept.
    int32_t Close();

    // Whether an output file of this format tag (a 56-byte header for PCM)
    // can hold a data chunk of bytes: the RIFF size, pad byte included, must
    // fit into 32 bits.
    static bool DataSizeFits(uint64_t bytes, uint16_t formatTag = WaveFormatPcm);

private:
    int32_t OpenForReading(const std::string& path);
    int32_t OpenForWriting(const std::string& path, const WaveFormatEx& fileFormat);
    int32_t ReadFormat(uint64_t* riffEnd);
    bool FindChunk(uint32_t id, uint64_t riffEnd, uint64_t* dataOffset, uint32_t* size) const;
    bool ReadAt(uint64_t offset, void* destination, size_t count) const;
    bool WriteAt(uint64_t offset, const void* source, size_t count) const;
    bool Flush();
    int32_t FinishWrittenFile();
    int OpenUnpublished(const std::string& path);
    bool Publish();
    void Discard();
    void Release();

    std::unique_ptr<WaveFormatEx> format;  // reading only
    int fd = -1;
    int32_t mode = 0;
    std::unique_ptr<uint8_t[]> buffer;
    // Reading: buffer[bufferPos, bufferFill) are the file bytes at
    // fileOffset - (bufferFill - bufferPos) onwards. Writing: buffer[0,
    // bufferFill) still have to go to the file at fileOffset.
    size_t bufferPos = 0;
    size_t bufferFill = 0;
    uint64_t fileOffset = 0;
    uint64_t dataOffset = 0;  // file offset of the first data byte
    uint64_t dataSize = 0;
    uint64_t dataLeft = 0;  // reading: data bytes not yet read
    bool rf64 = false;
    uint64_t rf64DataSize = 0;     // reading: the data size "ds64" gives
    uint16_t writeBlockAlign = 0;  // writing: for the sample count of "ds64"
    uint64_t dataWritten = 0;
    bool writeFailed = false;
    // Writing: the output is made under no name (or a temporary one) in the
    // final name's folder and put in place whole by Close, so that readers
    // and the previous file never see a half-written one.
    std::string finalPath;  // empty when written in place (FIFOs, devices)
    std::string tempPath;   // the temporary name, when there is no unnamed file
};

// The stereo sample layouts a run filters.
enum class SampleFormat { Pcm16, Pcm24, Float32 };

constexpr uint32_t BytesPerSample(SampleFormat sampleFormat) {
    return sampleFormat == SampleFormat::Pcm16 ? 2 : sampleFormat == SampleFormat::Pcm24 ? 3 : 4;
}

// The layout of a stereo file of this format (plain, or WAVE_FORMAT_EXTENSIBLE
// with a PCM or float sub-format): 16-bit PCM always, and with wide also
// packed 24-bit PCM and 32-bit float. None for anything else.
std::optional<SampleFormat> StereoSampleFormat(const WaveFormatEx& format, bool wide);

// The input and output file of the current run. The flags tell whether the
// file was opened successfully; the objects live until ReleaseInput/CloseAll.
struct WaveFilePair {
    bool inputOpen = false;
    bool outputOpen = false;
    std::unique_ptr<WaveFile> input;
    std::unique_ptr<WaveFile> output;

    WaveFilePair() = default;
    ~WaveFilePair();  // CloseAll
    WaveFilePair(const WaveFilePair&) = delete;
    WaveFilePair& operator=(const WaveFilePair&) = delete;

    // Opens a new input for reading. False for an empty path or a file name
    // whose extension (from its last ".") is not ".wav" in any case, before
    // the file is touched, and when opening fails: the new input is then
    // closed but kept until ReleaseInput or CloseAll.
    bool OpenInput(const std::string& path);

    // Creates a new output with the format {formatTag, channels, rate,
    // rate x blockAlign, blockAlign = channels x (bits / 8), bits}. False
    // when it cannot be created, or when channels, the block alignment or the
    // byte rate do not fit their 16- and 32-bit header fields.
    // With rf64 the output is an RF64 file, for data beyond what a 32-bit
    // RIFF size can describe.
    bool OpenOutput(const std::string& path, uint32_t rate, uint32_t channels, uint16_t bits,
                    uint16_t formatTag = WaveFormatPcm, bool rf64 = false);

    // Input Read / output Write; true when the status is not negative.
    bool ReadBlock(void* buffer, uint32_t count, uint32_t* delivered);
    bool WriteBlock(const void* buffer, uint32_t count, uint32_t* written);

    // Closes the input if it is open; false only for a failed close.
    bool CloseInput();
    // Destroys the input object.
    void ReleaseInput();
    // Closes whichever file is open and destroys both objects. False when
    // closing the output failed: its header or data may be incomplete.
    bool CloseAll();
};

}  // namespace tessaro
