#pragma once
// Fuzz inputs that the code under test reads from disk: one scratch folder
// per process, reused by every input and removed at exit.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace tessaro::fuzz {

class ScratchFolder {
public:
    ScratchFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/tessaro-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("tessaro fuzz: cannot make a scratch folder");
            std::abort();
        }
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline const ScratchFolder& Scratch() {
    static const ScratchFolder folder;
    return folder;
}

// Replaces path with the bytes; a failure to write is the machine's fault,
// not the input's, so it stops the run.
inline void WriteWholeFile(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    const bool ok = file != nullptr && (size == 0 || std::fwrite(data, 1, size, file) == size);
    if (file == nullptr || std::fclose(file) != 0 || !ok) {
        std::perror(("tessaro fuzz: cannot write " + path).c_str());
        std::abort();
    }
}

// FNV-1a: lets an input choose block sizes and filter shapes deterministically.
inline uint64_t InputHash(const uint8_t* data, size_t size) {
    uint64_t hash = 0xcbf29ce484222325u;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3u;
    return hash;
}

}  // namespace tessaro::fuzz
