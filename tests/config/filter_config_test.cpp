#include "config/filter_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/mat_writer.h"
#include "tests/support/wav_fixture.h"

namespace tessaro::testing {
namespace {

struct EngineDeleter {
    void operator()(ConvolutionEngine* engine) const { DestroyEngine(engine); }
};
using EnginePtr = std::unique_ptr<ConvolutionEngine, EngineDeleter>;

class FilterConfigTest : public ::testing::Test {
protected:
    FilterConfigTest()
        : left(CreateEngine(524288, 8192, 1)), right(CreateEngine(524288, 8192, 1)) {}

    // H of rows x 4 whose columns are 1.., 100.., 200.., 300.. plus the row.
    static std::vector<double> Columns(std::size_t rows, std::size_t columns = 4) {
        std::vector<double> h(rows * columns);
        for (std::size_t c = 0; c < columns; ++c) {
            for (std::size_t i = 0; i < rows; ++i) h[c * rows + i] = 100.0 * c + i + 1;
        }
        return h;
    }

    std::string Write(const MatWriter& writer, MatWriteVersion version = MatWriteVersion::Level5) {
        const std::string path = folder.File(std::to_string(files++) + ".mat");
        EXPECT_TRUE(writer.Write(path, version));
        return path;
    }

    bool EnginesEmpty() const {
        return left->partitionCounts[0] == 0 && right->partitionCounts[0] == 0;
    }

    ScratchFolder folder;
    EnginePtr left, right;
    int files = 0;
};

TEST_F(FilterConfigTest, LoadsEveryVersionAndNumericClass) {
    const struct {
        MatWriteVersion version;
        MatWriteClass hClass;
    } cases[] = {
        {MatWriteVersion::Level5, MatWriteClass::Double},
        {MatWriteVersion::Level5Compressed, MatWriteClass::Double},
        {MatWriteVersion::Hdf5, MatWriteClass::Double},
        {MatWriteVersion::Level4, MatWriteClass::Double},
        {MatWriteVersion::Level5, MatWriteClass::Single},
        {MatWriteVersion::Level5, MatWriteClass::Int16},
        {MatWriteVersion::Level5Compressed, MatWriteClass::UInt16},
        {MatWriteVersion::Hdf5, MatWriteClass::Int32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(MatWriteVersionName(c.version)) + " class " +
                     std::to_string(static_cast<int>(c.hClass)));
        MatWriter writer;
        writer.Text("label", "Living room")
            .Numeric("SR", MatWriteClass::Double, {1, 1}, {48000.7})
            .Numeric("H", c.hClass, {5, 4}, Columns(5));
        FilterConfig config(left.get(), right.get());
        const auto result = config.Load(Write(writer, c.version));
        ASSERT_TRUE(result.loaded);
        EXPECT_EQ(result.warning, nullptr);
        EXPECT_EQ(config.Label(), "Living room");
        EXPECT_EQ(config.SampleRate(), 48000);
        EXPECT_EQ(config.Length(), 5u);
        EXPECT_EQ(left->partitionCounts[0], 1u);
        EXPECT_EQ(right->partitionCounts[0], 1u);
    }
    // Destroying the record empties the engines.
    EXPECT_TRUE(EnginesEmpty());
}

TEST_F(FilterConfigTest, ColumnsBecomeTwoComplexResponses) {
    // Unit impulses at different delays in each column show where each
    // column ends up: real or imaginary part, left or right engine.
    std::vector<double> h(8 * 4, 0.0);
    h[0 * 8 + 0] = 1.0;  // H(1,1): left engine, real, delay 0
    h[1 * 8 + 1] = 2.0;  // H(2,2): left engine, imaginary, delay 1
    h[2 * 8 + 2] = 3.0;  // H(3,3): right engine, real, delay 2
    h[3 * 8 + 3] = 4.0;  // H(4,4): right engine, imaginary, delay 3
    MatWriter writer;
    writer.Text("label", "x").Double("SR", 1, 1, {44100}).Double("H", 8, 4, h);
    FilterConfig config(left.get(), right.get());
    ASSERT_TRUE(config.Load(Write(writer)).loaded);

    std::vector<float> impulse(4096, 0.0f);
    impulse[0] = 1.0f;
    std::vector<Complex32f> outLeft(4096), outRight(4096);
    ResetEngine(left.get());
    ResetEngine(right.get());
    ProcessBlock(left.get(), impulse.data(), outLeft.data());
    ProcessBlock(right.get(), impulse.data(), outRight.data());
    EXPECT_NEAR(outLeft[0].re, 1.0f, 1e-6);
    EXPECT_NEAR(outLeft[1].im, 2.0f, 1e-6);
    EXPECT_NEAR(outRight[2].re, 3.0f, 1e-6);
    EXPECT_NEAR(outRight[3].im, 4.0f, 1e-6);
    EXPECT_NEAR(outLeft[1].re, 0.0f, 1e-6);
    EXPECT_NEAR(outRight[3].re, 0.0f, 1e-6);
}

TEST_F(FilterConfigTest, RefusalsInTheirOrderAndTheStateLeft) {
    struct Case {
        const char* name;
        MatWriter writer;
        std::string label;
        int32_t rate;
        uint32_t length;
    };
    std::vector<Case> cases;
    auto add = [&](const char* name, MatWriter w, std::string label, int32_t rate,
                   uint32_t length) {
        cases.push_back({name, std::move(w), label, rate, length});
    };
    {
        MatWriter w;
        w.Double("SR", 1, 1, {44100}).Double("H", 2, 4, Columns(2));
        add("no label", w, "Label is not found", 0, 0);
    }
    {
        MatWriter w;
        w.Double("label", 1, 1, {3}).Double("SR", 1, 1, {44100}).Double("H", 2, 4, Columns(2));
        add("numeric label", w, "Label is not found", 0, 0);
    }
    {
        MatWriter w;
        w.Text("label", "L").Double("H", 2, 4, Columns(2));
        add("no SR", w, "L", 0, 0);
    }
    {
        MatWriter w;
        w.Text("label", "L").Text("SR", "44100").Double("H", 2, 4, Columns(2));
        add("text SR", w, "L", 0, 0);
    }
    {
        MatWriter w;
        w.Text("label", "L").Double("SR", 1, 1, {1e12}).Double("H", 2, 4, Columns(2));
        add("SR beyond 32 bits", w, "L", 0, 0);
    }
    {
        MatWriter w;
        w.Text("label", "L").Double("SR", 0, 0, {});
        add("empty SR", w, "L", 0, 0);
    }
    {
        MatWriter w;
        w.Text("label", "L").Double("SR", 1, 1, {44100});
        add("no H", w, "L", 44100, 0);
    }
    {
        MatWriter w;
        w.Text("label", "L").Double("SR", 1, 1, {44100}).Double("H", 0, 4, {});
        add("empty H", w, "L", 44100, 0);
    }
    {
        MatWriter w;
        w.Text("label", "L").Double("SR", 1, 1, {44100}).Double("H", 6, 3, Columns(6, 3));
        add("three columns", w, "L", 44100, 6);
    }
    {
        MatWriter w;
        w.Text("label", "L").Double("SR", 1, 1, {44100}).Complex("H", 2, 4, Columns(2), Columns(2));
        add("complex H", w, "L", 44100, 2);
    }
    {
        MatWriter w;
        w.Text("label", "L").Double("SR", 1, 1, {44100}).Sparse("H", 4, 4);
        add("sparse H", w, "L", 44100, 0);
    }
    {
        MatWriter w;
        w.Text("label", "L")
            .Double("SR", 1, 1, {44100})
            .Numeric("H", MatWriteClass::Double, {2, 4, 2}, Columns(2, 8));
        add("three-dimensional H", w, "L", 44100, 0);
    }
    {
        MatWriter w;
        w.Text("label", "L").Double("SR", 1, 1, {44100}).Cell("H", 4);
        add("cell H", w, "L", 44100, 0);
    }
    // One tap that the engines cannot hold as a finite float, in each column.
    const struct {
        const char* name;
        double tap;
        std::size_t index;
    } unusable[] = {
        {"NaN tap", std::nan(""), 1},
        {"infinite tap", HUGE_VAL, 4},
        {"negative infinite tap", -HUGE_VAL, 7},
        {"tap beyond the float range", 1e39, 10},
    };
    for (const auto& u : unusable) {
        std::vector<double> h = Columns(3);
        h[u.index] = u.tap;
        MatWriter w;
        w.Text("label", "L").Double("SR", 1, 1, {44100}).Double("H", 3, 4, h);
        add(u.name, w, "L", 44100, 3);
    }

    // A good load first: every refusal must leave the engines empty.
    MatWriter good;
    good.Text("label", "good").Double("SR", 1, 1, {44100}).Double("H", 3, 4, Columns(3));
    const std::string goodPath = Write(good);
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            FilterConfig first(left.get(), right.get());
            ASSERT_TRUE(first.Load(goodPath).loaded);
        }
        FilterConfig config(left.get(), right.get());
        const auto result = config.Load(Write(c.writer));
        EXPECT_FALSE(result.loaded);
        EXPECT_EQ(result.warning, nullptr);
        EXPECT_EQ(config.Label(), c.label);
        EXPECT_EQ(config.SampleRate(), c.rate);
        if (c.length != 0) {
            EXPECT_EQ(config.Length(), c.length);
        }
        EXPECT_TRUE(EnginesEmpty());
    }
}

TEST_F(FilterConfigTest, RateAndLabelEdges) {
    for (const auto& [rate, expected] :
         std::vector<std::pair<double, int32_t>>{{100.9, 100}, {-0.5, 0}, {-44100.9, -44100}}) {
        MatWriter w;
        w.Text("label", "L").Double("SR", 1, 1, {rate}).Double("H", 1, 4, {1, 0, 0, 1});
        FilterConfig config(left.get(), right.get());
        EXPECT_TRUE(config.Load(Write(w)).loaded);
        EXPECT_EQ(config.SampleRate(), expected) << rate;
    }
    // A 300-character label keeps its first 259; a multi-byte character
    // across the cut is dropped whole.
    const std::string longLabel(300, 'x');
    std::string wide(262, 'y');  // 258 bytes, then two 2-byte characters
    for (std::size_t i = 258; i < 262; i += 2) {
        wide[i] = '\xC3';
        wide[i + 1] = '\xA9';
    }
    for (const auto& [label, expected] : std::vector<std::pair<std::string, std::string>>{
             {longLabel, std::string(259, 'x')}, {wide, std::string(258, 'y')}}) {
        MatWriter w;
        w.Text("label", label).Double("SR", 1, 1, {1}).Double("H", 1, 4, {1, 0, 0, 1});
        FilterConfig config(left.get(), right.get());
        EXPECT_TRUE(config.Load(Write(w)).loaded);
        EXPECT_EQ(config.Label(), expected);
    }
}

TEST_F(FilterConfigTest, FilesThatAreNotConfigurations) {
    FilterConfig config(left.get(), right.get());
    auto result = config.Load("");
    EXPECT_FALSE(result.loaded);
    EXPECT_STREQ(result.warning, "Error!Invalid MAT file Name!");

    result = config.Load(folder.File("missing.mat"));
    EXPECT_STREQ(result.warning, "Error! Failed to Open the MAT file!");

    const std::string text = folder.File("text.mat");
    ASSERT_TRUE(WriteFileBytes(text, std::vector<uint8_t>(500, 'a')));
    result = config.Load(text);
    EXPECT_STREQ(result.warning, "Error! Failed to Open the MAT file!");

    // A good file cut short anywhere: refused one way or the other, never a
    // crash, and the engines stay empty.
    MatWriter good;
    good.Text("label", "good").Double("SR", 1, 1, {44100}).Double("H", 20, 4, Columns(20));
    const std::string path = Write(good);
    const auto bytes = ReadFileBytes(path);
    for (std::size_t size = 0; size < bytes.size(); size += 7) {
        ASSERT_TRUE(
            WriteFileBytes(path, std::vector<uint8_t>(bytes.begin(), bytes.begin() + size)));
        FilterConfig cut(left.get(), right.get());
        EXPECT_FALSE(cut.Load(path).loaded) << size;
        EXPECT_TRUE(EnginesEmpty());
    }
}

TEST_F(FilterConfigTest, LongFiltersKeepTheirLengthAndFillTheEngines) {
    const std::size_t rows = 524288 + 10;
    MatWriter w;
    w.Text("label", "long")
        .Double("SR", 1, 1, {44100})
        .Double("H", rows, 4, std::vector<double>(4 * rows, 1e-3));
    FilterConfig config(left.get(), right.get());
    ASSERT_TRUE(config.Load(Write(w, MatWriteVersion::Level5Compressed)).loaded);
    EXPECT_EQ(config.Length(), rows);
    EXPECT_EQ(left->partitionCounts[0], 128u);
}

}  // namespace
}  // namespace tessaro::testing
