// Orders 29 and 30 build gigabytes of tables. Their set-up and release run
// when asked for (TESSARO_HUGE_FFT_SETUP=1) and the machine has the memory;
// their transforms are checked up to order 30 by the opt-in large tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "primitives/sp.h"

namespace {

uint64_t AvailableBytes() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t kib = 0;
    while (meminfo >> key >> kib) {
        if (key == "MemAvailable:") return kib * 1024;
        meminfo.ignore(64, '\n');
    }
    return 0;
}

struct HugeOrder {
    int order;
    bool real;
    uint64_t peakBytes;  // as measured, with a tenth to spare
};

class FftHugeSetUp : public testing::TestWithParam<HugeOrder> {};

TEST_P(FftHugeSetUp, BuildsAndReleases) {
    const char* asked = std::getenv("TESSARO_HUGE_FFT_SETUP");
    if (asked == nullptr || std::string(asked) != "1") {
        GTEST_SKIP() << "set TESSARO_HUGE_FFT_SETUP=1 to run";
    }
    const HugeOrder c = GetParam();
    if (AvailableBytes() < c.peakBytes) GTEST_SKIP() << "needs " << (c.peakBytes >> 20) << " MiB";
    FftSpec* spec = nullptr;
    int bufferBytes = -1;
    InitPrimitiveDispatch();
    if (c.real) {
        ASSERT_EQ(spFFTInitAlloc_R_32f(&spec, c.order, FftScaleInverse, 0), StatusOk);
        ASSERT_NE(spec, nullptr);
        InitPrimitiveDispatch();
        EXPECT_EQ(spFFTGetBufSize_R_32f(spec, &bufferBytes), StatusOk);
        InitPrimitiveDispatch();
        EXPECT_EQ(spFFTFree_R_32f(spec), StatusOk);
    } else {
        ASSERT_EQ(spFFTInitAlloc_C_32fc(&spec, c.order, FftScaleInverse, 0), StatusOk);
        ASSERT_NE(spec, nullptr);
        InitPrimitiveDispatch();
        EXPECT_EQ(spFFTGetBufSize_C_32fc(spec, &bufferBytes), StatusOk);
        InitPrimitiveDispatch();
        EXPECT_EQ(spFFTFree_C_32fc(spec), StatusOk);
    }
    EXPECT_GT(bufferBytes, 0);
}

INSTANTIATE_TEST_SUITE_P(Orders29And30, FftHugeSetUp,
                         testing::Values(HugeOrder{29, false, 5775ull << 20},
                                         HugeOrder{29, true, 4331ull << 20},
                                         HugeOrder{30, false, 11547ull << 20},
                                         HugeOrder{30, true, 8659ull << 20}),
                         [](const testing::TestParamInfo<HugeOrder>& param) {
                             return std::string(param.param.real ? "real" : "complex") +
                                    std::to_string(param.param.order);
                         });

}  // namespace
