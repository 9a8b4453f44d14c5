// FFT tables and the permutation they drive: the swap list realises the bit
// reversal, twiddles are the unit roots they stand for, and a real spec's
// half-length tables are those of the complex spec of half the length.

#include "primitives/internal/fft_tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numeric>
#include <vector>

#include "primitives/internal/aligned.h"
#include "primitives/internal/fft_kernels.h"
#include "primitives/internal/fft_spec.h"
#include "tests/primitives/fft_reference.h"

namespace {

using sp::internal::ReleaseAligned;

std::size_t ReverseBits(std::size_t n, int bits) {
    std::size_t r = 0;
    for (int b = 0; b < bits; ++b) r |= ((n >> b) & 1) << (bits - 1 - b);
    return r;
}

TEST(BitReverseTable, SmallOrdersHoldTheListedEntries) {
    int32_t* order3 = sp::internal::BuildBitReverseTable(3);
    ASSERT_NE(order3, nullptr);
    EXPECT_EQ(std::vector<int32_t>(order3, order3 + 3), (std::vector<int32_t>{0, 4, 0}));
    ReleaseAligned(order3);
    int32_t* order4 = sp::internal::BuildBitReverseTable(4);
    ASSERT_NE(order4, nullptr);
    EXPECT_EQ(std::vector<int32_t>(order4, order4 + 5), (std::vector<int32_t>{4, 8, 0, 12, 0}));
    ReleaseAligned(order4);
}

// Elements are tagged with their index, so after the permutation position n
// must hold rev(n), in place and as a copy.
TEST(BitReversePermutation, MovesEveryElementToItsReversedIndex) {
    for (int order = 3; order <= 16; ++order) {
        SCOPED_TRACE(order);
        const std::size_t length = std::size_t{1} << order;
        int32_t* table = sp::internal::BuildBitReverseTable(order);
        ASSERT_NE(table, nullptr);
        std::vector<float> src(2 * length);
        for (std::size_t n = 0; n < length; ++n) {
            src[2 * n] = static_cast<float>(n);
            src[2 * n + 1] = -static_cast<float>(n);
        }
        std::vector<float> copy(2 * length, -1.0f);
        sp::internal::BitReversePermute(src.data(), copy.data(), order, table);
        std::vector<float> inPlace = src;
        sp::internal::BitReversePermute(inPlace.data(), inPlace.data(), order, table);
        ReleaseAligned(table);
        EXPECT_EQ(copy, inPlace);
        for (std::size_t n = 0; n < length; ++n) {
            const auto expected = static_cast<float>(ReverseBits(n, order));
            ASSERT_EQ(copy[2 * n], expected) << n;
            ASSERT_EQ(copy[2 * n + 1], -expected) << n;
        }
    }
}

// Every twiddle is one rounding of the exact root (within an ulp of 1).
TEST(Radix4TwiddleTable, HoldsThePowersOfTheRoot) {
    for (int order = 3; order <= 10; ++order) {
        SCOPED_TRACE(order);
        const std::size_t length = std::size_t{1} << order;
        float* sine = sp::internal::BuildFftSineTable(order);
        ASSERT_NE(sine, nullptr);
        float* table = sp::internal::BuildRadix4TwiddleTable(order, sine, order);
        ASSERT_NE(table, nullptr);
        double worst = 0;
        for (std::size_t k = 0; k <= length / 4; ++k) {
            for (std::size_t power = 1; power <= 3; ++power) {
                const float* w = table + 6 * k + 2 * (power - 1);
                const fft_test::ComplexD exact = fft_test::UnitRoot(power * k, length, -1);
                worst = std::max(worst, std::abs(fft_test::ComplexD(w[0], w[1]) - exact));
            }
        }
        EXPECT_LE(worst, 2 * fft_test::FloatEpsilon);
        if (order == 3) {
            // Entry 1 of length 8: w8, w8^2 = (0, -1) exactly, w8^3 = (-c, -c).
            const float* entry = table + 6;
            EXPECT_EQ(entry[2], 0.0f);
            EXPECT_EQ(entry[3], -1.0f);
            EXPECT_EQ(entry[4], -entry[0]);
            EXPECT_EQ(entry[5], entry[1]);
            EXPECT_EQ(entry[0], -entry[1]);
        }
        ReleaseAligned(table);
        ReleaseAligned(sine);
    }
}

// Bytes of each table of a complex path of order m, following the same
// decomposition the transforms walk.
struct TableSizes {
    std::size_t radix4 = 0;
    std::size_t quarter = 0;
    std::size_t columnRadix4[3] = {};
    std::size_t matrix[3] = {};
};

std::size_t Radix4Bytes(int order) { return 24 * ((std::size_t{1} << order) / 4 + 1); }

void WalkLevel(int order, int level, TableSizes* sizes) {
    const int columnOrder = sp::internal::SplitOrderTable[order];
    const int rowOrder = order - columnOrder;
    if (rowOrder <= 10) {
        sizes->radix4 = Radix4Bytes(rowOrder);
    } else if (sp::internal::SplitOrderTable[rowOrder] != 0) {
        WalkLevel(rowOrder, level + 1, sizes);
    } else {
        sizes->quarter = 2 * (std::size_t{1} << rowOrder);
        sizes->radix4 = Radix4Bytes(10);
    }
    sizes->columnRadix4[level] = Radix4Bytes(columnOrder);
    sizes->matrix[level] = 8 * (std::size_t{1} << order);
}

TableSizes ComplexPathSizes(int order) {
    TableSizes sizes;
    if (order <= 10) {
        sizes.radix4 = Radix4Bytes(order);
    } else if (sp::internal::SplitOrderTable[order] == 0) {
        sizes.quarter = 2 * (std::size_t{1} << order);
        sizes.radix4 = Radix4Bytes(10);
    } else {
        WalkLevel(order, 0, &sizes);
    }
    return sizes;
}

bool SameTable(const void* a, const void* b, std::size_t bytes) {
    if (bytes == 0) return a == nullptr && b == nullptr;
    return a != nullptr && b != nullptr && std::memcmp(a, b, bytes) == 0;
}

// The real spec (of order 5 and up; a complex spec below order 4 has no
// tables) reads its half-length tables from a sine table twice as long
// with stride 2; the numbers must be those of a complex spec built directly.
TEST(RealSpecTables, EqualTheComplexTablesOfHalfTheLength) {
    for (int order : {5, 6, 11, 12, 13, 14, 20, 21, 24}) {
        SCOPED_TRACE(order);
        FftSpec* real = nullptr;
        FftSpec* complex = nullptr;
        ASSERT_EQ(spFFTInitAlloc_R_32f(&real, order, FftScaleNone, 1), StatusOk);
        ASSERT_EQ(spFFTInitAlloc_C_32fc(&complex, order - 1, FftScaleNone, 1), StatusOk);
        const TableSizes sizes = ComplexPathSizes(order - 1);
        const std::size_t bitBytes = 4 * ((std::size_t{1} << (order - 3)) + 1);
        EXPECT_TRUE(SameTable(real->bitReverseTable, complex->bitReverseTable, bitBytes));
        EXPECT_TRUE(SameTable(real->radix4TwiddleTable, complex->radix4TwiddleTable, sizes.radix4));
        EXPECT_TRUE(
            SameTable(real->quarterTwiddleTable, complex->quarterTwiddleTable, sizes.quarter));
        for (int level = 0; level < 3; ++level) {
            SCOPED_TRACE(level);
            EXPECT_TRUE(SameTable(real->columnRadix4Tables[level],
                                  complex->columnRadix4Tables[level], sizes.columnRadix4[level]));
            EXPECT_TRUE(SameTable(real->columnTwiddleMatrices[level],
                                  complex->columnTwiddleMatrices[level], sizes.matrix[level]));
        }
        EXPECT_EQ(real->bufferSize, complex->bufferSize);
        EXPECT_EQ(complex->realSplitTable, nullptr);
        ASSERT_NE(real->realSplitTable, nullptr);
        EXPECT_EQ(spFFTFree_R_32f(real), StatusOk);
        EXPECT_EQ(spFFTFree_C_32fc(complex), StatusOk);
    }
}

}  // namespace
