#pragma once
// Byte-sized aligned allocation shared by the spMalloc family and the FFT
// tables (whose sizes exceed what an int element count can express).

#include <cstddef>
#include <cstdint>

namespace sp::internal {

constexpr std::size_t BufferAlignment = 32;

// Uninitialised block of `bytes` bytes aligned to 32, or null when the size
// cannot be represented or memory is exhausted. Release with ReleaseAligned.
void* AllocateAligned(std::size_t bytes);
void ReleaseAligned(void* ptr);

// As AllocateAligned, but zero-filled by calloc: large blocks come as fresh
// pages that cost no memory until they are written. Also released by spFree.
void* AllocateAlignedZeroed(std::size_t bytes);

// count * elementSize, or false when it overflows.
bool CheckedBytes(std::size_t count, std::size_t elementSize, std::size_t* bytes);

}  // namespace sp::internal
