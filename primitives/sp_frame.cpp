// Primitive library frame: aligned allocation, processor classification and
// the dispatch entries generated from the primitive list.

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "primitives/internal/aligned.h"
#include "primitives/internal/generic.h"
#include "primitives/internal/primitive_list.h"
#include "primitives/internal/processor.h"
#include "primitives/sp.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace sp::internal {

// The lead-in below the user area holds the whole address malloc returned,
// so it spans sizeof(void*) to sizeof(void*) + 31 bytes.
constexpr std::size_t LeadIn = sizeof(void*) + BufferAlignment - 1;

bool CheckedBytes(std::size_t count, std::size_t elementSize, std::size_t* bytes) {
    return !__builtin_mul_overflow(count, elementSize, bytes);
}

namespace {

// Places the user area in a block of bytes + LeadIn and records the base.
void* AlignWithin(void* base) {
    const auto baseAddress = reinterpret_cast<std::uintptr_t>(base);
    const std::uintptr_t user = (baseAddress + LeadIn) & ~std::uintptr_t{BufferAlignment - 1};
    std::memcpy(reinterpret_cast<void*>(user - sizeof(void*)), &base, sizeof(void*));
    return reinterpret_cast<void*>(user);
}

}  // namespace

void* AllocateAligned(std::size_t bytes) {
    std::size_t total = 0;
    if (__builtin_add_overflow(bytes, LeadIn, &total)) return nullptr;
    void* base = std::malloc(total);
    return base == nullptr ? nullptr : AlignWithin(base);
}

void* AllocateAlignedZeroed(std::size_t bytes) {
    std::size_t total = 0;
    if (__builtin_add_overflow(bytes, LeadIn, &total)) return nullptr;
    void* base = std::calloc(total, 1);
    return base == nullptr ? nullptr : AlignWithin(base);
}

void ReleaseAligned(void* ptr) {
    if (ptr == nullptr) return;
    void* base = nullptr;
    std::memcpy(&base, static_cast<char*>(ptr) - sizeof(void*), sizeof(void*));
    std::free(base);
}

namespace {

void* AllocateElements(int len, std::size_t elementSize) {
    if (len <= 0) return nullptr;
    std::size_t bytes = 0;
    if (!CheckedBytes(static_cast<std::size_t>(len), elementSize, &bytes)) return nullptr;
    return AllocateAligned(bytes);
}

#if defined(__x86_64__) || defined(__i386__)
// "GenuineIntel" as CPUID leaf 0 returns it in EBX, EDX, ECX.
constexpr unsigned VendorEbx = 0x756E6547;
constexpr unsigned VendorEdx = 0x49656E69;
constexpr unsigned VendorEcx = 0x6C65746E;

bool ReadVendorCheck(bool* cpuidAvailable) {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    *cpuidAvailable = __get_cpuid(0, &eax, &ebx, &ecx, &edx) != 0;
    return *cpuidAvailable && ebx == VendorEbx && edx == VendorEdx && ecx == VendorEcx;
}
#endif

}  // namespace

ProcessorIdentity ReadProcessorIdentity() {
    ProcessorIdentity id;
#if defined(__x86_64__) || defined(__i386__)
    id.expectedVendor = ReadVendorCheck(&id.cpuidAvailable);
    if (!id.expectedVendor) return id;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(1, eax, ebx, ecx, edx);
    id.family = static_cast<int32_t>((eax >> 8) & 0xF);
    id.mmx = (edx >> 23) & 1;
    id.sse = (edx >> 25) & 1;
    id.sse2 = (edx >> 26) & 1;
    id.sse3 = ecx & 1;
    id.multiThreading = ((edx >> 28) & 1) && ((ebx >> 16) & 0xFF) > 1;
    __cpuid(0x80000000, eax, ebx, ecx, edx);
    if (eax >= 0x80000001) {
        __cpuid(0x80000001, eax, ebx, ecx, edx);
        id.longMode = (edx >> 29) & 1;
    }
#endif
    return id;
}

int32_t ClassifyProcessor(const ProcessorIdentity& id) {
    if (!id.cpuidAvailable || !id.expectedVendor) return 0;
    switch (id.family) {
        case 7:
            return 16;
        case 15:
            if (!id.sse2) return 17;
            if (id.sse3) return id.longMode ? 32 : 8;
            return id.multiThreading ? 7 : 6;
        case 5:
            return id.mmx ? 2 : 1;
        case 6:
            if (id.sse2) return 9;
            if (id.sse) return 5;
            return id.mmx ? 4 : 3;
        default:
            return 0;
    }
}

int32_t VariantIndexForType(int32_t typeCode) {
    switch (typeCode) {
        case 5:
        case 16:
        case 17:
            return 2;
        case 6:
        case 7:
        case 9:
            return 3;
        case 8:
        case 32:
            return 4;
        default:
            return 1;
    }
}

}  // namespace sp::internal

namespace {

// The processor does not change under a running process, and CPUID is
// serialising (and traps to the hypervisor in a VM), so it is read once.
const sp::internal::ProcessorIdentity& Identity() {
    static const sp::internal::ProcessorIdentity identity = sp::internal::ReadProcessorIdentity();
    return identity;
}

// Written by the dialog and worker threads alike, always with the same value.
std::atomic<int32_t> activeVariant{1};

inline int32_t CurrentVariant() { return activeVariant.load(std::memory_order_relaxed); }

}  // namespace

namespace sp::generic {

uint8_t* spMalloc_8u(int len) {
    return static_cast<uint8_t*>(internal::AllocateElements(len, sizeof(uint8_t)));
}
int16_t* spMalloc_16s(int len) {
    return static_cast<int16_t*>(internal::AllocateElements(len, sizeof(int16_t)));
}
float* spMalloc_32f(int len) {
    return static_cast<float*>(internal::AllocateElements(len, sizeof(float)));
}
Complex32f* spMalloc_32fc(int len) {
    return static_cast<Complex32f*>(internal::AllocateElements(len, sizeof(Complex32f)));
}
void spFree(void* ptr) { internal::ReleaseAligned(ptr); }

}  // namespace sp::generic

extern "C" {

int32_t DetectProcessorType(void) { return sp::internal::ClassifyProcessor(Identity()); }

PrimitiveStatus InitPrimitiveDispatch(void) {
    const auto& id = Identity();
    activeVariant.store(sp::internal::VariantIndexForType(sp::internal::ClassifyProcessor(id)),
                        std::memory_order_relaxed);
    if (!id.cpuidAvailable || !id.expectedVendor) {
        activeVariant.store(1, std::memory_order_relaxed);
        return StatusUnidentifiedCpu;
    }
    return StatusOk;
}

int32_t ActiveVariantIndex(void) { return CurrentVariant(); }

}  // extern "C"

// Only the generic implementation exists, so it fills slots 1 to 4; slots 0
// and 5 stay empty and are never selected.
#define SP_DEFINE_ENTRY(name, ret, params, args)                 \
    namespace {                                                  \
    constexpr decltype(&sp::generic::name) name##Variants[6] = { \
        nullptr,           sp::generic::name, sp::generic::name, \
        sp::generic::name, sp::generic::name, nullptr};          \
    }                                                            \
    extern "C" ret name params { return name##Variants[CurrentVariant()] args; }
SP_PRIMITIVE_LIST(SP_DEFINE_ENTRY)
#undef SP_DEFINE_ENTRY
