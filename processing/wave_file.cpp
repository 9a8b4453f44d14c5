#include "processing/wave_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

namespace tessaro {
namespace {

constexpr FourCc WaveId = MakeFourCc("WAVE");
constexpr FourCc FmtId = MakeFourCc("fmt ");
constexpr FourCc FactId = MakeFourCc("fact");
constexpr FourCc DataId = MakeFourCc("data");

constexpr uint64_t MaxChunkSize = std::numeric_limits<uint32_t>::max();
// Bytes of a PCM output between the RIFF form type and the first data byte,
// all counted by the RIFF size: "WAVE", "fmt " chunk (24), "fact" chunk (12),
// "data" header (8).
constexpr uint64_t PcmRiffOverhead = 4 + 24 + 12 + 8;
constexpr size_t PcmRecordBytes = 16;
constexpr size_t FormatRecordBytes = 18;

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

}  // namespace

WaveFile::~WaveFile() {
    if (handle) {
        Close();
    }
}

bool WaveFile::DataSizeFits(uint64_t bytes) {
    return bytes <= MaxChunkSize && RiffSizeFor(PcmRiffOverhead, bytes) <= MaxChunkSize;
}

int32_t WaveFile::Open(const std::string& path, const WaveFormatEx* fileFormat, int32_t openMode) {
    if (handle) {
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

int32_t WaveFile::OpenForReading(const std::string& path) {
    if (path.empty()) {
        return E_INVALIDARG;
    }
    format.reset();
    mode = WaveModeRead;
    dataSize = 0;
    auto file = std::make_unique<RiffFile>();
    if (!file->Open(path, RiffAccess::Read)) {
        return E_FAIL;
    }
    handle = std::move(file);
    if (ReadFormat() < 0) {
        format.reset();
        handle->Close();
        handle.reset();
        return E_FAIL;
    }
    // A missing "data" chunk leaves the file open; Close releases it.
    dataChunk = RiffChunk{};
    dataChunk.id = DataId;
    if (handle->Seek(static_cast<int64_t>(riffChunk.dataOffset + 4), SEEK_SET) < 0 ||
        !handle->Descend(&dataChunk, &riffChunk, RiffDescend::FindChunk)) {
        return E_FAIL;
    }
    // Recorders that are still writing (or were cut off) leave a size that
    // claims more than the file holds, often the placeholder 0xFFFFFFFF:
    // the data end where the file ends.
    const int64_t fileEnd = handle->Seek(0, SEEK_END);
    if (fileEnd < 0 || handle->Seek(static_cast<int64_t>(dataChunk.dataOffset), SEEK_SET) < 0) {
        return E_FAIL;
    }
    const uint64_t held = static_cast<uint64_t>(fileEnd) > dataChunk.dataOffset
                              ? static_cast<uint64_t>(fileEnd) - dataChunk.dataOffset
                              : 0;
    dataChunk.size = static_cast<uint32_t>(std::min<uint64_t>(dataChunk.size, held));
    dataSize = dataChunk.size;
    return S_OK;
}

int32_t WaveFile::ReadFormat() {
    riffChunk = RiffChunk{};
    if (!handle->Descend(&riffChunk, nullptr, RiffDescend::Here) || riffChunk.id != RiffId ||
        riffChunk.formType != WaveId) {
        return E_FAIL;
    }
    RiffChunk fmtChunk;
    fmtChunk.id = FmtId;
    if (!handle->Descend(&fmtChunk, &riffChunk, RiffDescend::FindChunk) ||
        fmtChunk.size < PcmRecordBytes) {
        return E_FAIL;
    }
    uint8_t record[FormatRecordBytes];
    if (handle->Read(record, PcmRecordBytes) != static_cast<int64_t>(PcmRecordBytes)) {
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
    if (fileFormat->formatTag != WaveFormatPcm && fmtChunk.size >= FormatRecordBytes) {
        if (handle->Read(record + PcmRecordBytes, 2) != 2) {
            return E_FAIL;
        }
        fileFormat->cbSize = LoadLe16(record + PcmRecordBytes);
        if (fileFormat->cbSize > fmtChunk.size - FormatRecordBytes) {
            return E_FAIL;
        }
        fileFormat->extra.resize(fileFormat->cbSize);
        if (handle->Read(fileFormat->extra.data(), fileFormat->cbSize) != fileFormat->cbSize) {
            return E_FAIL;
        }
    }
    if (!handle->Ascend(&fmtChunk)) {
        return E_FAIL;
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
    auto file = std::make_unique<RiffFile>();
    if (!file->Open(path, RiffAccess::Create)) {
        return E_FAIL;
    }
    handle = std::move(file);

    // Sized once: growing it after the fixed fields trips GCC's bounds
    // analysis in sanitizer builds.
    std::vector<uint8_t> record(isPcm ? PcmRecordBytes : FormatRecordBytes + fileFormat.cbSize);
    StoreLe16(&record[0], fileFormat.formatTag);
    StoreLe16(&record[2], fileFormat.channels);
    StoreLe32(&record[4], fileFormat.samplesPerSec);
    StoreLe32(&record[8], fileFormat.avgBytesPerSec);
    StoreLe16(&record[12], fileFormat.blockAlign);
    StoreLe16(&record[14], fileFormat.bitsPerSample);
    if (!isPcm) {
        StoreLe16(&record[16], fileFormat.cbSize);
        std::copy_n(fileFormat.extra.begin(), fileFormat.cbSize,
                    record.begin() + FormatRecordBytes);
    }
    uint8_t unknownCount[4];
    StoreLe32(unknownCount, 0xFFFFFFFFu);

    riffChunk = RiffChunk{};
    riffChunk.formType = WaveId;
    RiffChunk fmtChunk;
    fmtChunk.id = FmtId;
    fmtChunk.size = static_cast<uint32_t>(PcmRecordBytes);
    RiffChunk factChunk;
    factChunk.id = FactId;
    dataChunk = RiffChunk{};
    dataChunk.id = DataId;
    // The fmt and fact chunks are ascended with their true sizes; the RIFF and
    // data sizes stay 0 until Close.
    const bool ok =
        handle->CreateChunk(&riffChunk, RiffCreate::Riff) &&
        handle->CreateChunk(&fmtChunk, RiffCreate::Chunk) &&
        handle->Write(record.data(), record.size()) == static_cast<int64_t>(record.size()) &&
        handle->Ascend(&fmtChunk) && handle->CreateChunk(&factChunk, RiffCreate::Chunk) &&
        handle->Write(unknownCount, sizeof unknownCount) == 4 && handle->Ascend(&factChunk) &&
        handle->CreateChunk(&dataChunk, RiffCreate::Chunk);
    if (!ok) {
        handle->Close();
        handle.reset();
        return E_FAIL;
    }
    handle->GetInfo(&writeInfo);
    return S_OK;
}

int32_t WaveFile::Read(void* destination, uint32_t count, uint32_t* delivered) {
    if (!handle) {
        return CO_E_NOTINITIALIZED;
    }
    if (destination == nullptr || delivered == nullptr) {
        return E_INVALIDARG;
    }
    *delivered = 0;
    if (mode != WaveModeRead) {
        return E_FAIL;
    }
    const uint32_t wanted = std::min(count, dataChunk.size);
    dataChunk.size -= wanted;

    auto* out = static_cast<uint8_t*>(destination);
    RiffBufferInfo info;
    handle->GetInfo(&info);
    uint32_t copied = 0;
    while (copied < wanted) {
        if (info.next == info.endRead) {
            // An empty refill: the file ends before its data chunk does.
            if (!handle->Advance(&info, RiffAdvance::Read) || info.next == info.endRead) {
                handle->SetInfo(info);
                return E_FAIL;
            }
        }
        const size_t available = static_cast<size_t>(info.endRead - info.next);
        const size_t chunk = std::min<size_t>(wanted - copied, available);
        std::memcpy(out + copied, info.next, chunk);
        info.next += chunk;
        copied += static_cast<uint32_t>(chunk);
    }
    if (!handle->SetInfo(info)) {
        return E_FAIL;
    }
    *delivered = wanted;
    return S_OK;
}

int32_t WaveFile::Write(uint32_t count, const void* source, uint32_t* written) {
    if (!handle) {
        return CO_E_NOTINITIALIZED;
    }
    if (written == nullptr || source == nullptr) {
        return E_INVALIDARG;
    }
    *written = 0;
    if (mode != WaveModeWrite) {
        return E_FAIL;
    }
    const uint64_t overhead = dataChunk.dataOffset - riffChunk.dataOffset;
    if (RiffSizeFor(overhead, dataWritten + count) > MaxChunkSize) {
        return E_FAIL;
    }
    const auto* in = static_cast<const uint8_t*>(source);
    uint32_t stored = 0;
    while (stored < count) {
        if (writeInfo.next == writeInfo.endWrite) {
            if (!handle->Advance(&writeInfo, RiffAdvance::Write)) {
                writeFailed = true;
                dataWritten += stored;
                *written = stored;
                return E_FAIL;
            }
        }
        const size_t room = static_cast<size_t>(writeInfo.endWrite - writeInfo.next);
        const size_t chunk = std::min<size_t>(count - stored, room);
        std::memcpy(writeInfo.next, in + stored, chunk);
        writeInfo.next += chunk;
        writeInfo.flags |= RiffBufferDirty;
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
    if (handle) {
        handle->Close();
        handle.reset();
    }
    return S_OK;
}

int32_t WaveFile::FinishWrittenFile() {
    if (!handle) {
        return CO_E_NOTINITIALIZED;
    }
    writeInfo.flags |= RiffBufferDirty;
    bool ok =
        handle->SetInfo(writeInfo) && handle->Ascend(&dataChunk) && handle->Ascend(&riffChunk);
    if (ok) {
        // The sample count is unknown to this layer: 0 replaces the
        // "still being written" mark. A missing fact chunk is no failure.
        ok = handle->Seek(0, SEEK_SET) == 0 &&
             handle->Descend(&riffChunk, nullptr, RiffDescend::Here);
        RiffChunk factChunk;
        factChunk.id = FactId;
        if (ok && handle->Descend(&factChunk, &riffChunk, RiffDescend::FindChunk)) {
            const uint8_t zero[4] = {0, 0, 0, 0};
            ok = handle->Write(zero, sizeof zero) == 4 && handle->Ascend(&factChunk);
        }
        ok = ok && handle->Ascend(&riffChunk);
    }
    // The descriptor goes in every case: a failed close cannot be repaired by
    // trying again, and keeping it would leak one per failed run.
    ok = handle->Close() && ok && !writeFailed;
    handle.reset();
    writeInfo = RiffBufferInfo{};
    return ok ? S_OK : E_FAIL;
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
                              uint16_t bits) {
    output = std::make_unique<WaveFile>();
    outputOpen = true;
    const uint64_t blockAlign = uint64_t{channels} * (bits / 8u);
    const uint64_t byteRate = uint64_t{rate} * blockAlign;
    if (channels > std::numeric_limits<uint16_t>::max() ||
        blockAlign > std::numeric_limits<uint16_t>::max() || byteRate > MaxChunkSize) {
        outputOpen = false;
        return false;
    }
    WaveFormatEx pcm;
    pcm.formatTag = WaveFormatPcm;
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
