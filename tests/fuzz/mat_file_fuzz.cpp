// Any bytes as a MAT file: open, read the three configuration variables the
// way the loader does, close. Must never crash, leak or read out of bounds.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/mat_file.h"

namespace {

// Where the input is written: one file per process, reused, removed at exit.
struct InputFile {
    std::string path;
    InputFile() {
        const char* folder = std::getenv("TMPDIR");
        path = std::string(folder != nullptr ? folder : "/tmp") + "/tessaro-mat-fuzz-" +
               std::to_string(getpid()) + ".mat";
    }
    ~InputFile() { unlink(path.c_str()); }
};

const std::string& InputPath() {
    static const InputFile file;
    return file.path;
}

bool WriteInput(const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(InputPath().c_str(), "wb");
    if (file == nullptr) return false;
    bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

// 7.3 files are HDF5 containers read by the HDF5 library, which the MAT
// layer does not check byte by byte; fuzzing them would fuzz HDF5.
bool IsHdf5Based(const uint8_t* data, size_t size) {
    if (size < 128) return false;
    bool little = data[126] == 'I' && data[127] == 'M';
    bool big = data[126] == 'M' && data[127] == 'I';
    unsigned version = little ? (data[124] | (data[125] << 8)) : ((data[124] << 8) | data[125]);
    return (little || big) && version == 0x0200;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (IsHdf5Based(data, size) || !WriteInput(data, size)) return 0;
    tessaro::MATFile* file = tessaro::matOpen(InputPath().c_str(), "r");
    if (file == nullptr) return 0;
    volatile double sink = 0;
    for (const char* name : {"H", "SR", "label"}) {
        tessaro::mxArray* array = tessaro::matGetVariable(file, name);
        if (array == nullptr) continue;
        size_t count = tessaro::mxGetNumberOfElements(array);
        size_t rows = tessaro::mxGetM(array);
        size_t columns = tessaro::mxGetN(array);
        if (const double* values = tessaro::mxGetPr(array)) {
            // Touch every element: all of them must be readable.
            for (size_t i = 0; i < count; ++i) sink = sink + values[i];
            if (rows * columns != count) std::abort();
        }
        char text[260];
        tessaro::mxGetString(array, text, sizeof text);
        for (char c : text) {
            if (c == '\0') break;
            sink = sink + c;
        }
        tessaro::mxDestroyArray(array);
    }
    tessaro::matClose(file);
    return 0;
}
