// FFT tables: sine table, bit-reversal swap list, radix-4 and quarter twiddle
// tables and the column twiddle matrices of the row/column decomposition.

#include "primitives/internal/fft_tables.h"

#include <algorithm>
#include <cmath>

#include "primitives/internal/aligned.h"

namespace sp::internal {
namespace {

template <typename T>
T* AllocateTable(std::size_t count) {
    std::size_t bytes = 0;
    if (!CheckedBytes(count, sizeof(T), &bytes)) return nullptr;
    return static_cast<T*>(AllocateAligned(bytes));
}

// w_L^l for 0 <= l < L from the sine table with stride t, by quadrant; only
// sines of the first quadrant are read, so all twiddles agree to the bit.
// With q the quadrant, o = l - qL/4, a = S[L/4 - o], b = S[o], the root is
// (a, -b), (-b, -a), (-a, b), (b, a) for q = 0, 1, 2, 3.
void QuadrantTwiddle(const float* sine, int order, std::size_t l, std::size_t stride, float* out) {
    const std::size_t quarter = (std::size_t{1} << order) / 4;
    const std::size_t quadrant = l >> (order - 2);
    const std::size_t offset = l & (quarter - 1);
    const float a = sine[(quarter - offset) * stride];
    const float b = sine[offset * stride];
    const bool odd = (quadrant & 1) != 0;
    const float re = odd ? b : a;
    const float im = odd ? a : b;
    out[0] = quadrant == 1 || quadrant == 2 ? -re : re;
    out[1] = quadrant <= 1 ? -im : im;
}

// Level `level` of the row/column decomposition of complex order `order`,
// rows first (they may decompose again), then the column tables.
bool BuildLevel(FftSpec* spec, int level, int order, const float* sine, int sineOrder) {
    const int columnOrder = SplitOrderTable[order];
    const int rowOrder = order - columnOrder;
    if (rowOrder <= MaxKernelOrder) {
        spec->radix4TwiddleTable = BuildRadix4TwiddleTable(rowOrder, sine, sineOrder);
        if (spec->radix4TwiddleTable == nullptr) return false;
    } else if (SplitOrderTable[rowOrder] != 0) {
        if (!BuildLevel(spec, level + 1, rowOrder, sine, sineOrder)) return false;
    } else {
        spec->quarterTwiddleTable = BuildQuarterTwiddleTable(rowOrder, sine, sineOrder);
        if (spec->quarterTwiddleTable == nullptr) return false;
        spec->radix4TwiddleTable = BuildRadix4TwiddleTable(BlockOrder, sine, sineOrder);
        if (spec->radix4TwiddleTable == nullptr) return false;
    }

    spec->columnRadix4Tables[level] = BuildRadix4TwiddleTable(columnOrder, sine, sineOrder);
    if (spec->columnRadix4Tables[level] == nullptr) return false;

    // Entry (g, r, j) = w_L^((g+j) rev(r)), stored group of four columns by
    // group, row by row, so the column pass reads the matrix once in order.
    const std::size_t length = std::size_t{1} << order;
    const std::size_t rows = std::size_t{1} << columnOrder;
    const std::size_t columns = std::size_t{1} << rowOrder;
    const std::size_t stride = std::size_t{1} << (sineOrder - order);
    float* matrix = AllocateTable<float>(2 * length);
    if (matrix == nullptr) return false;
    spec->columnTwiddleMatrices[level] = matrix;
    std::uint32_t reversedRow[1 << MaxKernelOrder];
    for (std::size_t r = 0; r < rows; ++r) {
        reversedRow[r] = ReverseBits(static_cast<std::uint32_t>(r), columnOrder);
    }
    float* out = matrix;
    for (std::size_t group = 0; group < columns; group += 4) {
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t j = 0; j < 4; ++j) {
                QuadrantTwiddle(sine, order, (group + j) * reversedRow[r], stride, out);
                out += 2;
            }
        }
    }
    spec->bufferSize = std::max<int32_t>(spec->bufferSize, static_cast<int32_t>(32 * rows));
    return true;
}

}  // namespace

float* BuildFftSineTable(int order) {
    const std::size_t length = std::size_t{1} << order;
    const std::size_t quarter = length / 4;
    float* sine = AllocateTable<float>(quarter + 1);
    if (sine == nullptr) return nullptr;
    const double step = 6.283185307179586 / static_cast<double>(length);
    const std::size_t eighth = length / 8;
    for (std::size_t j = 0; j <= eighth; ++j) {
        sine[j] = static_cast<float>(std::sin(static_cast<double>(j) * step));
    }
    for (std::size_t j = eighth + 1; j <= quarter; ++j) {
        sine[j] = static_cast<float>(std::cos(static_cast<double>(quarter - j) * step));
    }
    return sine;
}

int32_t* BuildBitReverseTable(int order) {
    const std::size_t quarter = std::size_t{1} << (order - 2);
    int32_t* table = AllocateTable<int32_t>(quarter + 1);
    if (table == nullptr) return nullptr;
    std::size_t front = 0;
    std::size_t back = quarter - 1;
    for (std::size_t k = 1; k < quarter; ++k) {
        const std::size_t d = ReverseBits(static_cast<std::uint32_t>(k), order - 2);
        if (k < d) {
            table[front++] = static_cast<int32_t>(4 * k);
            table[front++] = static_cast<int32_t>(4 * d);
        } else if (k == d) {
            table[back--] = static_cast<int32_t>(4 * k);
        }
    }
    // 2 * pairs + self-reversed = Q - 1, so the self-reversed entries fill
    // exactly the gap between these two terminators.
    table[front] = 0;
    table[quarter] = 0;
    return table;
}

float* BuildRadix4TwiddleTable(int order, const float* sine, int sineOrder) {
    const std::size_t length = std::size_t{1} << order;
    const std::size_t quarter = length / 4;
    const std::size_t half = length / 2;
    const std::size_t t = std::size_t{1} << (sineOrder - order);
    float* table = AllocateTable<float>(6 * (quarter + 1));
    if (table == nullptr) return nullptr;
    for (std::size_t k = 0; k <= quarter; ++k) {
        float* entry = table + 6 * k;
        entry[0] = sine[(quarter - k) * t];
        entry[1] = -sine[k * t];
        const std::size_t k2 = 2 * k;
        if (k2 <= quarter) {
            entry[2] = sine[(quarter - k2) * t];
            entry[3] = -sine[k2 * t];
        } else {
            entry[2] = -sine[(k2 - quarter) * t];
            entry[3] = -sine[(half - k2) * t];
        }
        const std::size_t k3 = 3 * k;
        if (k3 <= quarter) {
            entry[4] = sine[(quarter - k3) * t];
            entry[5] = -sine[k3 * t];
        } else if (k3 > half) {
            entry[4] = -sine[(3 * quarter - k3) * t];
            entry[5] = sine[(k3 - half) * t];
        } else {
            entry[4] = -sine[(k3 - quarter) * t];
            entry[5] = -sine[(half - k3) * t];
        }
    }
    return table;
}

float* BuildQuarterTwiddleTable(int order, const float* sine, int sineOrder) {
    const std::size_t quarter = (std::size_t{1} << order) / 4;
    const std::size_t t = std::size_t{1} << (sineOrder - order);
    float* table = AllocateTable<float>(2 * quarter);
    if (table == nullptr) return nullptr;
    for (std::size_t i = 0; i < quarter; ++i) {
        table[2 * i] = sine[(quarter - i) * t];
        table[2 * i + 1] = -sine[i * t];
    }
    return table;
}

bool BuildComplexTables(FftSpec* spec, int order, const float* sine, int sineOrder) {
    spec->bitReverseTable = BuildBitReverseTable(order);
    if (spec->bitReverseTable == nullptr) return false;
    spec->bufferSize = 0;
    if (order <= MaxKernelOrder) {
        spec->radix4TwiddleTable = BuildRadix4TwiddleTable(order, sine, sineOrder);
        return spec->radix4TwiddleTable != nullptr;
    }
    if (SplitOrderTable[order] == 0) {
        spec->quarterTwiddleTable = BuildQuarterTwiddleTable(order, sine, sineOrder);
        if (spec->quarterTwiddleTable == nullptr) return false;
        spec->radix4TwiddleTable = BuildRadix4TwiddleTable(BlockOrder, sine, sineOrder);
        if (spec->radix4TwiddleTable == nullptr) return false;
    } else if (!BuildLevel(spec, 0, order, sine, sineOrder)) {
        return false;
    }
    spec->bufferSize += WorkBufferSlack;
    return true;
}

bool BuildRealSplitTable(FftSpec* spec, int order, const float* sine) {
    const std::size_t quarter = (std::size_t{1} << order) / 4;
    float* table = AllocateTable<float>(2 * quarter);
    if (table == nullptr) return false;
    for (std::size_t k = 0; k < quarter; ++k) {
        table[2 * k] = 0.5f * sine[quarter - k];
        table[2 * k + 1] = 0.5f - 0.5f * sine[k];
    }
    spec->realSplitTable = table;
    return true;
}

void ReleaseSpec(FftSpec* spec) {
    if (spec == nullptr) return;
    ReleaseAligned(spec->bitReverseTable);
    ReleaseAligned(spec->radix4TwiddleTable);
    ReleaseAligned(spec->quarterTwiddleTable);
    ReleaseAligned(spec->realSplitTable);
    for (int level = 0; level < 3; ++level) {
        ReleaseAligned(spec->columnRadix4Tables[level]);
        ReleaseAligned(spec->columnTwiddleMatrices[level]);
    }
    // A stale pointer to a released spec then fails the kind check while the
    // block has not been reused.
    *static_cast<volatile int32_t*>(&spec->kind) = 0;
    ReleaseAligned(spec);
}

}  // namespace sp::internal
