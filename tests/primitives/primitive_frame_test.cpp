#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "primitives/internal/aligned.h"
#include "primitives/internal/processor.h"
#include "primitives/sp.h"

namespace {

using sp::internal::ClassifyProcessor;
using sp::internal::ProcessorIdentity;
using sp::internal::VariantIndexForType;

TEST(AlignedAllocation, RefusesNonPositiveLengths) {
    EXPECT_EQ(spMalloc_32f(0), nullptr);
    EXPECT_EQ(spMalloc_32f(-5), nullptr);
    EXPECT_EQ(spMalloc_8u(0), nullptr);
    EXPECT_EQ(spMalloc_16s(-1), nullptr);
    EXPECT_EQ(spMalloc_32fc(std::numeric_limits<int>::min()), nullptr);
    spFree(nullptr);
}

TEST(AlignedAllocation, EveryBufferIsAlignedAndFullyWritable) {
    // Many sizes so that the heap hands out blocks at every offset mod 32.
    std::vector<void*> buffers;
    for (int len = 1; len < 300; ++len) {
        SCOPED_TRACE(len);
        auto* bytes = spMalloc_8u(len);
        auto* shorts = spMalloc_16s(len);
        auto* floats = spMalloc_32f(len);
        auto* complex = spMalloc_32fc(len);
        for (void* p : {static_cast<void*>(bytes), static_cast<void*>(shorts),
                        static_cast<void*>(floats), static_cast<void*>(complex)}) {
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 32, 0u);
            buffers.push_back(p);
        }
        // Writing the whole user area must not disturb the stored base
        // address: spFree below would crash or ASan would object.
        std::memset(bytes, 0xA5, static_cast<std::size_t>(len));
        std::memset(shorts, 0xA5, static_cast<std::size_t>(len) * 2);
        std::memset(floats, 0xA5, static_cast<std::size_t>(len) * 4);
        std::memset(complex, 0xA5, static_cast<std::size_t>(len) * 8);
    }
    for (void* p : buffers) spFree(p);
}

TEST(AlignedAllocation, LargeElementCountsAreNotTruncated) {
    // 2^28 complex elements = 2 GiB: more than a 32-bit byte count can hold.
    // Either the allocation fails or the whole area is there; never a short one.
    const int len = 1 << 28;
    Complex32f* p = spMalloc_32fc(len);
    if (p != nullptr) {
        p[len - 1] = Complex32f{1.0f, 2.0f};
        EXPECT_EQ(p[len - 1].im, 2.0f);
        spFree(p);
    }
}

TEST(AlignedAllocation, ZeroedBlocksAreAlignedZeroAndFreedBySpFree) {
    // Small blocks come from reused heap memory, large ones from fresh pages:
    // both must read as zero.
    for (std::size_t bytes :
         {std::size_t{1}, std::size_t{100}, std::size_t{64} << 10, std::size_t{9} << 20}) {
        void* dirty = sp::internal::AllocateAligned(bytes);
        ASSERT_NE(dirty, nullptr);
        std::memset(dirty, 0x5A, bytes);
        spFree(dirty);
        auto* zeroed = static_cast<unsigned char*>(sp::internal::AllocateAlignedZeroed(bytes));
        ASSERT_NE(zeroed, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(zeroed) % 32, 0u);
        for (std::size_t i = 0; i < bytes; i += 97) ASSERT_EQ(zeroed[i], 0) << i;
        EXPECT_EQ(zeroed[bytes - 1], 0);
        spFree(zeroed);
    }
    EXPECT_EQ(sp::internal::AllocateAlignedZeroed(std::numeric_limits<std::size_t>::max()),
              nullptr);
}

TEST(AlignedAllocation, ByteSizesThatOverflowAreRefused) {
    std::size_t bytes = 0;
    EXPECT_FALSE(
        sp::internal::CheckedBytes(std::numeric_limits<std::size_t>::max() / 2 + 1, 2, &bytes));
    EXPECT_EQ(sp::internal::AllocateAligned(std::numeric_limits<std::size_t>::max() - 8), nullptr);
    EXPECT_EQ(sp::internal::AllocateAligned(std::numeric_limits<std::size_t>::max()), nullptr);
}

ProcessorIdentity Intel(int family) {
    ProcessorIdentity id;
    id.cpuidAvailable = true;
    id.expectedVendor = true;
    id.family = family;
    return id;
}

TEST(ProcessorClassification, SelectsVariantByFamilyAndFeatures) {
    struct Row {
        const char* name;
        ProcessorIdentity id;
        int32_t index;
    };
    auto with = [](ProcessorIdentity id, auto change) {
        change(id);
        return id;
    };
    const Row rows[] = {
        {"family 15, SSE3, 64-bit",
         with(Intel(15), [](auto& i) { i.sse = i.sse2 = i.sse3 = i.longMode = true; }), 4},
        {"family 15, SSE3, 32-bit", with(Intel(15), [](auto& i) { i.sse2 = i.sse3 = true; }), 4},
        {"family 15, SSE2 only, multi-threading",
         with(Intel(15), [](auto& i) { i.sse2 = i.multiThreading = true; }), 3},
        {"family 15, SSE2 only", with(Intel(15), [](auto& i) { i.sse2 = true; }), 3},
        {"family 15 without SSE2", with(Intel(15), [](auto& i) { i.sse = true; }), 2},
        {"family 6 with SSE2", with(Intel(6), [](auto& i) { i.sse = i.sse2 = true; }), 3},
        {"family 6 with SSE only", with(Intel(6), [](auto& i) { i.sse = i.mmx = true; }), 2},
        {"family 6 with MMX only", with(Intel(6), [](auto& i) { i.mmx = true; }), 1},
        {"family 6 bare", Intel(6), 1},
        {"family 7", Intel(7), 2},
        {"family 5 with MMX", with(Intel(5), [](auto& i) { i.mmx = true; }), 1},
        {"family 5", Intel(5), 1},
        {"family 4", Intel(4), 1},
        {"other vendor with SSE3",
         with(Intel(15),
              [](auto& i) {
                  i.expectedVendor = false;
                  i.sse2 = i.sse3 = i.longMode = true;
              }),
         1},
        {"no CPUID", ProcessorIdentity{}, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(VariantIndexForType(ClassifyProcessor(row.id)), row.index);
    }
}

TEST(ProcessorClassification, TypeCodesOfTheTable) {
    EXPECT_EQ(ClassifyProcessor(Intel(7)), 16);
    EXPECT_EQ(ClassifyProcessor(Intel(15)), 17);
    EXPECT_EQ(ClassifyProcessor(Intel(3)), 0);
    for (int32_t code : {0, 1, 2, 3, 4, 10, 15, 18, 31, 33, 100}) {
        EXPECT_EQ(VariantIndexForType(code), 1) << code;
    }
}

TEST(PrimitiveDispatch, StoresTheSameIndexOnEveryCallAndThread) {
    const PrimitiveStatus first = InitPrimitiveDispatch();
    const int32_t index = ActiveVariantIndex();
    EXPECT_GE(index, 1);
    EXPECT_LE(index, 4);
    EXPECT_TRUE(first == StatusOk || first == StatusUnidentifiedCpu);
    if (first == StatusUnidentifiedCpu) {
        EXPECT_EQ(index, 1);
    }
    EXPECT_EQ(VariantIndexForType(DetectProcessorType()), first == StatusOk ? index : 1);

    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                EXPECT_EQ(InitPrimitiveDispatch(), first);
                EXPECT_EQ(ActiveVariantIndex(), index);
            }
        });
    }
    for (auto& thread : threads) thread.join();
}

}  // namespace
