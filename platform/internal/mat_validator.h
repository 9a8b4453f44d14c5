#pragma once

// Structure check of MAT files before any byte of them reaches libmatio, which
// trusts the sizes it reads. Every declared size is compared with the bytes
// really present; element counts are computed through MultiplyChecked.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tessaro::internal {

// Class numbers as the MAT format stores them in the array flags (level 5).
enum MatClass : uint8_t {
    MatClassCell = 1,
    MatClassStruct = 2,
    MatClassObject = 3,
    MatClassChar = 4,
    MatClassSparse = 5,
    MatClassDouble = 6,
    MatClassSingle = 7,
    MatClassInt8 = 8,
    MatClassUInt8 = 9,
    MatClassInt16 = 10,
    MatClassUInt16 = 11,
    MatClassInt32 = 12,
    MatClassUInt32 = 13,
    MatClassInt64 = 14,
    MatClassUInt64 = 15,
    MatClassFunction = 16,
    MatClassOpaque = 17,
};

enum class MatVersion { Level4, Level5, Hdf5 };

constexpr size_t MatHeaderSize = 128;

// One top-level variable. offset/size delimit its whole element in the file
// (level 5: tag included; level 4: matrix header included).
struct MatVariable {
    std::string name;
    uint8_t classId = 0;
    bool isComplex = false;
    bool isLogical = false;
    std::vector<size_t> dims;
    uint64_t offset = 0;
    uint64_t size = 0;
    bool swapBytes = false;  // level 4: this matrix is in the other byte order
};

struct MatDirectory {
    MatVersion version = MatVersion::Level5;
    uint8_t header[MatHeaderSize] = {};  // level 5 and 7.3 only
    std::vector<MatVariable> variables;
};

// Random access to the bytes being checked (a file or an inflated buffer).
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual uint64_t Size() const = 0;
    // Copies count bytes at offset; false when they are not all present.
    virtual bool Read(uint64_t offset, void* destination, size_t count) const = 0;
};

class MemorySource final : public ByteSource {
public:
    MemorySource(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, void* destination, size_t count) const override;

private:
    const uint8_t* bytes_;
    size_t size_;
};

struct MatLimits {
    // Largest inflated size of one compressed variable.
    uint64_t maxInflatedBytes = uint64_t{1} << 30;
    // Deepest nesting of cells and structs.
    int maxDepth = 32;
};

// a * b into *product; false (product untouched) when it does not fit 64 bits.
bool MultiplyChecked(uint64_t a, uint64_t b, uint64_t* product);

// Tells the format from the first bytes the way libmatio does: a 128-byte
// header with version 0x0100 (level 5) or 0x0200 (7.3) and an "IM"/"MI"
// endian mark; anything else can only be level 4.
MatVersion DetectMatVersion(const ByteSource& source);

// Walks every element of a level 4 or level 5 file and lists its variables.
// False when anything is out of bounds or inconsistent: the file as a whole
// is then not to be handed to libmatio. A 7.3 file yields only its header.
bool ScanMatFile(const ByteSource& source, const MatLimits& limits, MatDirectory* directory);

// Checks one level-5 top-level element (tag at offset 0 of source, as copied
// out of a file) and describes it.
bool CheckLevel5Element(const ByteSource& source, bool swapBytes, const MatLimits& limits,
                        MatVariable* variable);

// Checks one level-4 matrix (header at offset 0 of source) and describes it.
bool CheckLevel4Matrix(const ByteSource& source, MatVariable* variable);

// True when the level-5 header marks big-endian content on this machine.
bool Level5SwapsBytes(const uint8_t* header);

}  // namespace tessaro::internal
