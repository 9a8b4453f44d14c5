#include "platform/mat_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/mat_writer.h"
#include "tests/support/wav_fixture.h"

namespace tessaro::testing {

// Readable parameter values in test output.
void PrintTo(MatWriteVersion version, std::ostream* stream) {
    *stream << MatWriteVersionName(version);
}

}  // namespace tessaro::testing

namespace {

using tessaro::matClose;
using tessaro::MATFile;
using tessaro::matGetVariable;
using tessaro::matOpen;
using tessaro::mxArray;
using tessaro::mxDestroyArray;
using tessaro::mxGetM;
using tessaro::mxGetN;
using tessaro::mxGetPr;
using tessaro::mxGetString;
using tessaro::testing::Bytes;
using tessaro::testing::Concat;
using tessaro::testing::Level4Matrix;
using tessaro::testing::Level5Builder;
using tessaro::testing::MatWriteClass;
using tessaro::testing::MatWriter;
using tessaro::testing::MatWriteVersion;
using tessaro::testing::MatWriteVersionName;
using tessaro::testing::ReadFileBytes;
using tessaro::testing::ScratchFolder;
using tessaro::testing::WriteFileBytes;
namespace mat = tessaro::testing;

// What a reader sees of one variable, copied out before the handles go.
struct Seen {
    bool present = false;
    size_t rows = 0;
    size_t columns = 0;
    std::vector<size_t> dims;
    bool hasValues = false;
    std::vector<double> values;
    int stringResult = -1;
    std::string text;
    bool isChar = false, isNumeric = false, isDouble = false, isLogical = false;
    bool isComplex = false, isSparse = false, isCell = false, isStruct = false;
};

Seen Inspect(const mxArray* array, size_t buflen = 260) {
    Seen seen;
    if (array == nullptr) return seen;
    seen.present = true;
    seen.rows = mxGetM(array);
    seen.columns = mxGetN(array);
    const size_t* dims = tessaro::mxGetDimensions(array);
    seen.dims.assign(dims, dims + tessaro::mxGetNumberOfDimensions(array));
    if (const double* values = mxGetPr(array)) {
        seen.hasValues = true;
        seen.values.assign(values, values + tessaro::mxGetNumberOfElements(array));
    }
    std::vector<char> buffer(buflen + 1, '#');
    seen.stringResult = mxGetString(array, buffer.data(), buflen);
    seen.text = buffer.data();
    seen.isChar = tessaro::mxIsChar(array);
    seen.isNumeric = tessaro::mxIsNumeric(array);
    seen.isDouble = tessaro::mxIsDouble(array);
    seen.isLogical = tessaro::mxIsLogical(array);
    seen.isComplex = tessaro::mxIsComplex(array);
    seen.isSparse = tessaro::mxIsSparse(array);
    seen.isCell = tessaro::mxIsCell(array);
    seen.isStruct = tessaro::mxIsStruct(array);
    return seen;
}

// Opens path, reads name, closes. fileOpened tells whether matOpen worked.
Seen ReadVariable(const std::string& path, const char* name, bool* fileOpened = nullptr,
                  size_t buflen = 260) {
    MATFile* file = matOpen(path.c_str(), "r");
    if (fileOpened != nullptr) *fileOpened = file != nullptr;
    if (file == nullptr) return {};
    mxArray* array = matGetVariable(file, name);
    EXPECT_EQ(matClose(file), 0);
    // Arrays outlive their file.
    Seen seen = Inspect(array, buflen);
    mxDestroyArray(array);
    return seen;
}

bool Opens(const std::string& path) {
    MATFile* file = matOpen(path.c_str(), "r");
    if (file == nullptr) return false;
    matClose(file);
    return true;
}

std::vector<double> RandomTaps(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<double> distribution(-1.0, 1.0);
    std::vector<double> taps(count);
    for (double& tap : taps) tap = distribution(generator);
    return taps;
}

// True when text is well-formed UTF-8.
bool IsUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        auto lead = static_cast<uint8_t>(text[i]);
        size_t length = lead < 0x80             ? 1
                        : (lead & 0xE0) == 0xC0 ? 2
                        : (lead & 0xF0) == 0xE0 ? 3
                        : (lead & 0xF8) == 0xF0 ? 4
                                                : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

const MatWriteVersion AllVersions[] = {MatWriteVersion::Level4, MatWriteVersion::Level5,
                                       MatWriteVersion::Level5Compressed, MatWriteVersion::Hdf5};
const MatWriteVersion Level5AndLater[] = {MatWriteVersion::Level5,
                                          MatWriteVersion::Level5Compressed, MatWriteVersion::Hdf5};

std::string VersionName(const ::testing::TestParamInfo<MatWriteVersion>& info) {
    return MatWriteVersionName(info.param);
}

// ---------------------------------------------------------------------------
// Round trips through libmatio-written files.

class MatFileRoundTrip : public ::testing::TestWithParam<MatWriteVersion> {
protected:
    std::string Write(const MatWriter& writer) {
        std::string path = folder.File("round_trip.mat");
        EXPECT_TRUE(writer.Write(path, GetParam()));
        return path;
    }
    ScratchFolder folder;
};

TEST_P(MatFileRoundTrip, ConfigurationVariablesReadBackExactly) {
    std::vector<double> taps = RandomTaps(37 * 4, 11);
    std::string path = Write(MatWriter()
                                 .Text("label", "Left speaker, 48 kHz")
                                 .Numeric("SR", MatWriteClass::Double, {1, 1}, {48000.5})
                                 .Double("H", 37, 4, taps));
    Seen h = ReadVariable(path, "H");
    ASSERT_TRUE(h.present);
    EXPECT_EQ(h.rows, 37u);
    EXPECT_EQ(h.columns, 4u);
    ASSERT_TRUE(h.hasValues);
    EXPECT_EQ(h.values, taps);  // column-major, bit for bit
    EXPECT_TRUE(h.isDouble && h.isNumeric);
    EXPECT_FALSE(h.isChar || h.isComplex || h.isSparse || h.isLogical);
    EXPECT_EQ(h.stringResult, 1) << "not a char array";
    EXPECT_EQ(h.text, "");

    Seen rate = ReadVariable(path, "SR");
    ASSERT_TRUE(rate.hasValues);
    EXPECT_EQ(rate.values, std::vector<double>{48000.5});

    Seen label = ReadVariable(path, "label");
    ASSERT_TRUE(label.present);
    EXPECT_TRUE(label.isChar);
    EXPECT_FALSE(label.hasValues);
    EXPECT_EQ(label.stringResult, 0);
    EXPECT_EQ(label.text, "Left speaker, 48 kHz");
    EXPECT_EQ(label.rows, 1u);
    EXPECT_EQ(label.columns, 20u);
}

// Each open file has its own reader: two files open at once read their own
// values, closing one leaves the other working, and a read that fails (a
// variable the file does not hold) leaves the next read of the same file
// working. Closing in either order returns at once.
TEST_P(MatFileRoundTrip, TwoOpenFilesAndAFailedReadBetweenGoodOnes) {
    const std::string first = Write(MatWriter().Double("H", 1, 4, {1, 2, 3, 4}));
    const std::string second = folder.File("second.mat");
    ASSERT_TRUE(MatWriter().Double("H", 1, 4, {5, 6, 7, 8}).Write(second, GetParam()));
    for (const bool closeFirstFirst : {true, false}) {
        SCOPED_TRACE(closeFirstFirst);
        MATFile* files[2] = {matOpen(first.c_str(), "r"), matOpen(second.c_str(), "r")};
        ASSERT_NE(files[0], nullptr);
        ASSERT_NE(files[1], nullptr);
        for (int round = 0; round < 2; ++round) {
            for (int f = 0; f < 2; ++f) {
                EXPECT_EQ(matGetVariable(files[f], "missing"), nullptr);
                mxArray* h = matGetVariable(files[f], "H");
                ASSERT_NE(h, nullptr);
                EXPECT_EQ(mxGetPr(h)[0], f == 0 ? 1.0 : 5.0);
                mxDestroyArray(h);
            }
        }
        EXPECT_EQ(matClose(files[closeFirstFirst ? 0 : 1]), 0);
        mxArray* h = matGetVariable(files[closeFirstFirst ? 1 : 0], "H");
        EXPECT_NE(h, nullptr);
        mxDestroyArray(h);
        EXPECT_EQ(matClose(files[closeFirstFirst ? 1 : 0]), 0);
    }
}

TEST_P(MatFileRoundTrip, MissingVariableIsNull) {
    std::string path = Write(MatWriter().Double("H", 1, 4, {1, 2, 3, 4}));
    MATFile* file = matOpen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(matGetVariable(file, "label"), nullptr);
    EXPECT_EQ(matGetVariable(file, "h"), nullptr) << "names are case sensitive";
    EXPECT_EQ(matGetVariable(file, ""), nullptr);
    EXPECT_EQ(matGetVariable(file, nullptr), nullptr);
    mxArray* h = matGetVariable(file, "H");
    EXPECT_NE(h, nullptr);
    mxDestroyArray(h);
    EXPECT_EQ(matClose(file), 0);
}

TEST_P(MatFileRoundTrip, LongLabelIsCutToTheBuffer) {
    std::string label;
    for (int i = 0; i < 300; ++i) label.push_back(static_cast<char>('a' + i % 26));
    std::string path = Write(MatWriter().Text("label", label));
    Seen seen = ReadVariable(path, "label");
    EXPECT_EQ(seen.stringResult, 1) << "cut";
    EXPECT_EQ(seen.text, label.substr(0, 259));
    Seen whole = ReadVariable(path, "label", nullptr, 301);
    EXPECT_EQ(whole.stringResult, 0);
    EXPECT_EQ(whole.text, label);
}

TEST_P(MatFileRoundTrip, EmptyMatrixHasNoValues) {
    std::string path = Write(MatWriter().Double("H", 0, 4, {}));
    Seen seen = ReadVariable(path, "H");
    ASSERT_TRUE(seen.present);
    EXPECT_EQ(seen.rows, 0u);
    EXPECT_EQ(seen.columns, 4u);
    EXPECT_FALSE(seen.hasValues);
}

TEST_P(MatFileRoundTrip, ComplexAndSparseGiveNoRealData) {
    std::string path =
        Write(MatWriter().Complex("c", 2, 1, {1.0, 2.0}, {3.0, 4.0}).Sparse("s", 5, 3));
    Seen complex = ReadVariable(path, "c");
    ASSERT_TRUE(complex.present);
    EXPECT_TRUE(complex.isComplex);
    EXPECT_FALSE(complex.hasValues);
    EXPECT_EQ(complex.rows, 2u);
    EXPECT_EQ(complex.columns, 1u);
    Seen sparse = ReadVariable(path, "s");
    ASSERT_TRUE(sparse.present);
    EXPECT_TRUE(sparse.isSparse);
    EXPECT_FALSE(sparse.hasValues);
    // libmatio gives a level-4 sparse matrix the shape of its triplet table.
    if (GetParam() != MatWriteVersion::Level4) {
        EXPECT_EQ(sparse.rows, 5u);
        EXPECT_EQ(sparse.columns, 3u);
    }
    EXPECT_EQ(sparse.stringResult, 1);
}

INSTANTIATE_TEST_SUITE_P(EachVersion, MatFileRoundTrip, ::testing::ValuesIn(AllVersions),
                         VersionName);

class MatFileLevel5RoundTrip : public MatFileRoundTrip {};

TEST_P(MatFileLevel5RoundTrip, EveryNumericClassIsConvertedExactly) {
    struct Case {
        MatWriteClass valueClass;
        std::vector<double> values;
    };
    // Extremes of each class, all exactly representable as doubles.
    const Case cases[] = {
        {MatWriteClass::Single, {-1.5, 0.1f, 3.4028234663852886e38, 0x1p-149}},
        {MatWriteClass::Int8, {-128, 127, 0, -1}},
        {MatWriteClass::UInt8, {0, 255, 1, 128}},
        {MatWriteClass::Int16, {-32768, 32767, 0, -2}},
        {MatWriteClass::UInt16, {0, 65535, 7, 40000}},
        {MatWriteClass::Int32, {-2147483648.0, 2147483647.0, 44100, -3}},
        {MatWriteClass::UInt32, {0, 4294967295.0, 48000, 9}},
        {MatWriteClass::Int64, {-9007199254740992.0, 9007199254740992.0, -1, 96000}},
        {MatWriteClass::UInt64, {0, 18446744073709549568.0, 1, 192000}},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(static_cast<int>(item.valueClass));
        std::string path = Write(MatWriter().Numeric("v", item.valueClass, {2, 2}, item.values));
        Seen seen = ReadVariable(path, "v");
        ASSERT_TRUE(seen.hasValues);
        EXPECT_EQ(seen.values, item.values);
        EXPECT_TRUE(seen.isNumeric);
        EXPECT_FALSE(seen.isDouble);
    }
}

TEST_P(MatFileLevel5RoundTrip, LogicalValuesAreZeroAndOne) {
    std::string path = Write(MatWriter().Logical("b", {1, 4}, {1, 0, 0, 1}));
    Seen seen = ReadVariable(path, "b");
    ASSERT_TRUE(seen.hasValues);
    EXPECT_EQ(seen.values, (std::vector<double>{1, 0, 0, 1}));
    EXPECT_TRUE(seen.isLogical);
    EXPECT_FALSE(seen.isNumeric);
}

TEST_P(MatFileLevel5RoundTrip, ThreeDimensionalArrayCountsTrailingDimsAsColumns) {
    std::vector<double> values = RandomTaps(2 * 3 * 4, 5);
    std::string path = Write(MatWriter().Numeric("H", MatWriteClass::Double, {2, 3, 4}, values));
    Seen seen = ReadVariable(path, "H");
    EXPECT_EQ(seen.dims, (std::vector<size_t>{2, 3, 4}));
    EXPECT_EQ(seen.rows, 2u);
    EXPECT_EQ(seen.columns, 12u);
    EXPECT_EQ(seen.values, values);
}

TEST_P(MatFileLevel5RoundTrip, CellsAndStructsGiveNoRealData) {
    std::string path = Write(MatWriter().Cell("cell", 3).Struct("st").Double("H", 1, 1, {7}));
    Seen cell = ReadVariable(path, "cell");
    ASSERT_TRUE(cell.present);
    EXPECT_TRUE(cell.isCell);
    EXPECT_FALSE(cell.hasValues || cell.isNumeric || cell.isChar);
    EXPECT_EQ(cell.columns, 3u);
    Seen st = ReadVariable(path, "st");
    ASSERT_TRUE(st.present);
    EXPECT_TRUE(st.isStruct);
    EXPECT_FALSE(st.hasValues);
    EXPECT_EQ(st.stringResult, 1);
    // Variables after them still read.
    EXPECT_EQ(ReadVariable(path, "H").values, std::vector<double>{7});
}

TEST_P(MatFileLevel5RoundTrip, MultiByteTextIsCutAtACharacterBoundary) {
    // 2-, 3- and 4-byte characters (the last a UTF-16 surrogate pair) after
    // every ASCII prefix length, so the 259-byte limit falls inside each.
    const std::string wide[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9D\x84\x9E"};
    for (const std::string& character : wide) {
        for (size_t prefix = 250; prefix < 260; ++prefix) {
            SCOPED_TRACE(testing::Message() << character.size() << "-byte after " << prefix);
            std::string label(prefix, 'x');
            for (int i = 0; i < 10; ++i) label += character;
            std::string path = Write(MatWriter().Text("label", label));
            Seen seen = ReadVariable(path, "label");
            ASSERT_EQ(seen.stringResult, 1);
            EXPECT_LE(seen.text.size(), 259u);
            EXPECT_GT(seen.text.size(), 259u - character.size());
            EXPECT_TRUE(IsUtf8(seen.text));
            EXPECT_EQ(seen.text, label.substr(0, seen.text.size()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EachVersion, MatFileLevel5RoundTrip, ::testing::ValuesIn(Level5AndLater),
                         VersionName);

// ---------------------------------------------------------------------------
// Files as other writers make them, built field by field.

class MatFileLayouts : public ::testing::Test {
protected:
    std::string Put(const Bytes& bytes) {
        std::string path = folder.File("layout.mat");
        EXPECT_TRUE(WriteFileBytes(path, bytes));
        return path;
    }
    ScratchFolder folder;
    Level5Builder little;
};

TEST_F(MatFileLayouts, Utf8TextAsSciPyWritesIt) {
    // SciPy: dims count characters, data is the UTF-8 bytes.
    std::string text = "h\xC3\xA9llo\xE2\x82\xAC\xF0\x9D\x84\x9E";
    std::string path = Put(Concat({little.Header(), little.Utf8Matrix("label", 7, text)}));
    Seen seen = ReadVariable(path, "label");
    EXPECT_EQ(seen.stringResult, 0);
    EXPECT_EQ(seen.text, text);
    // Cut inside the 4-byte character: it is left out whole.
    Seen cut = ReadVariable(path, "label", nullptr, 12);
    EXPECT_EQ(cut.text, "h\xC3\xA9llo\xE2\x82\xAC");
}

TEST_F(MatFileLayouts, MalformedTextBytesBecomeReplacementCharacters) {
    std::string path = Put(Concat({little.Header(), little.Utf8Matrix("label", 3, "a\xFF\xC3")}));
    Seen seen = ReadVariable(path, "label");
    EXPECT_EQ(seen.text, "a\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST_F(MatFileLayouts, CompactStorageOfDoublesAsMatlabWritesIt) {
    // MATLAB stores doubles that fit as small integers; SR as a small element.
    Bytes h = little.Matrix({little.ArrayFlags(6), little.Dims({1, 4}), little.Name("H"),
                             little.Element(mat::MiUInt8, {0, 1, 200, 255})});
    Bytes rate = little.Matrix({little.ArrayFlags(6), little.Dims({1, 1}),
                                little.SmallElement(mat::MiInt8, {'S', 'R'}),
                                little.SmallElement(mat::MiInt32, little.U32(44100))});
    std::string path = Put(Concat({little.Header(), h, little.Compressed(rate)}));
    Seen seen = ReadVariable(path, "H");
    EXPECT_EQ(seen.values, (std::vector<double>{0, 1, 200, 255}));
    EXPECT_TRUE(seen.isDouble);
    EXPECT_EQ(ReadVariable(path, "SR").values, std::vector<double>{44100});
}

// A compressed H is decoded from the one pass that checks its stream: in
// either byte order, stored as doubles or compacted to integers, it reads
// as libmatio reads the same element uncompressed.
TEST_F(MatFileLayouts, CompressedTapsInEitherByteOrderAndStorage) {
    const std::vector<double> taps = RandomTaps(6, 5);
    for (const bool bigEndian : {false, true}) {
        const Level5Builder b(bigEndian);
        const Bytes flags = b.ArrayFlags(6);
        const Bytes dims = b.Dims({3, 2});
        const Bytes name = b.Name("H");
        const std::vector<std::pair<Bytes, std::vector<double>>> stored = {
            {b.Element(mat::MiDouble, b.Doubles(taps)), taps},
            {b.Element(mat::MiUInt16, b.UInt16s({0, 1, 300, 65535, 7, 9})),
             {0, 1, 300, 65535, 7, 9}},
        };
        for (const auto& [data, values] : stored) {
            SCOPED_TRACE(bigEndian);
            const Bytes matrix = b.Matrix({flags, dims, name, data});
            const std::string plain = Put(Concat({b.Header(), matrix}));
            EXPECT_EQ(ReadVariable(plain, "H").values, values);
            const std::string packed = Put(Concat({b.Header(), b.Compressed(matrix)}));
            EXPECT_EQ(ReadVariable(packed, "H").values, values);
        }
    }
}

TEST_F(MatFileLayouts, BigEndianFile) {
    Level5Builder big(true);
    std::vector<double> taps = RandomTaps(8, 3);
    Bytes label = big.Matrix({big.ArrayFlags(4), big.Dims({1, 3}), big.Name("label"),
                              big.Element(mat::MiUInt16, big.UInt16s({'a', 0x20AC, 'z'}))});
    std::string path =
        Put(Concat({big.Header(), big.DoubleMatrix("H", 2, 4, taps), big.Compressed(label)}));
    Seen h = ReadVariable(path, "H");
    EXPECT_EQ(h.values, taps);
    EXPECT_EQ(ReadVariable(path, "label").text,
              "a\xE2\x82\xAC"
              "z");
}

TEST_F(MatFileLayouts, Level4TextKeepsCodesBeyondEightBits) {
    std::string path =
        Put(Concat({Level4Matrix(1, 1, 3, 0, "label", little.Doubles({104, 8364, 0x1D11E})),
                    Level4Matrix(10, 1, 2, 0, "SR", Bytes{0, 0, 0x80, 0x3F, 0, 0, 0, 0x40})}));
    EXPECT_EQ(ReadVariable(path, "label").text, "h\xE2\x82\xAC\xF0\x9D\x84\x9E");
    // Single-precision level-4 data arrives as double.
    EXPECT_EQ(ReadVariable(path, "SR").values, (std::vector<double>{1.0, 2.0}));
}

TEST_F(MatFileLayouts, FirstOfTwoSameNamedVariablesWins) {
    std::string path = Put(Concat({little.Header(), little.DoubleMatrix("H", 1, 1, {1}),
                                   little.DoubleMatrix("H", 1, 1, {2})}));
    EXPECT_EQ(ReadVariable(path, "H").values, std::vector<double>{1});
}

TEST_F(MatFileLayouts, HeaderOnlyFileOpensWithoutVariables) {
    std::string path = Put(little.Header());
    bool opened = false;
    EXPECT_FALSE(ReadVariable(path, "H", &opened).present);
    EXPECT_TRUE(opened);
}

// ---------------------------------------------------------------------------
// Files that are not MAT files, or damaged ones.

TEST(MatFileOpening, RefusesWhatIsNotAReadableMatFile) {
    ScratchFolder folder;
    EXPECT_EQ(matOpen(folder.File("missing.mat").c_str(), "r"), nullptr);
    EXPECT_EQ(matOpen(folder.Path().c_str(), "r"), nullptr) << "a folder";
    EXPECT_EQ(matOpen(nullptr, "r"), nullptr);
    std::string path = folder.File("text.mat");
    ASSERT_TRUE(MatWriter().Double("H", 1, 1, {1}).Write(path, MatWriteVersion::Level5));
    EXPECT_EQ(matOpen(path.c_str(), nullptr), nullptr);
    EXPECT_EQ(matOpen(path.c_str(), "w"), nullptr) << "read only";
    EXPECT_EQ(matOpen(path.c_str(), "u"), nullptr);

    const std::string texts[] = {"", "x", "This is a plain text file, not a MAT file.\n",
                                 std::string(4096, 'M')};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.size());
        ASSERT_TRUE(WriteFileBytes(path, Bytes(text.begin(), text.end())));
        EXPECT_FALSE(Opens(path));
    }
    // A 7.3 header over something that is not HDF5.
    ASSERT_TRUE(WriteFileBytes(path, Concat({Level5Builder().Header(0x0200), Bytes(2048, 0x11)})));
    EXPECT_FALSE(Opens(path));
    // A WAV file picked by mistake.
    ASSERT_TRUE(WriteFileBytes(path, tessaro::testing::Stereo16WavImage(44100, {1, 2, 3, 4})));
    EXPECT_FALSE(Opens(path));
}

TEST(MatFileOpening, HugeArrayFailsCleanly) {
    // 10^12 doubles: more than any memory; the file itself is small.
    ScratchFolder folder;
    std::string path = folder.File("huge.mat");
    ASSERT_TRUE(tessaro::testing::WriteUnfilledHdf5Matrix(path, "H", 1000000, 1000000));
    bool opened = false;
    Seen seen = ReadVariable(path, "H", &opened);
    EXPECT_TRUE(opened);
    EXPECT_FALSE(seen.hasValues);
    // A small one written the same way reads as zeros.
    ASSERT_TRUE(tessaro::testing::WriteUnfilledHdf5Matrix(path, "H", 3, 4));
    EXPECT_EQ(ReadVariable(path, "H").values, std::vector<double>(12, 0.0));
}

// ---------------------------------------------------------------------------
// 7.3 files are parsed by HDF5 in child processes: damaged ones can crash it.

size_t OpenDescriptorCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// True when no child process is left, finished or not.
bool NoChildrenLeft() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

std::string WriteSmallConfiguration(const std::string& path, const std::vector<double>& taps,
                                    MatWriteVersion version) {
    EXPECT_TRUE(MatWriter()
                    .Text("label", "Hall \xC3\xA9t\xC3\xA9")
                    .Numeric("SR", MatWriteClass::Double, {1, 1}, {48000})
                    .Double("H", 3, 4, taps)
                    .Write(path, version));
    return path;
}

TEST(MatFileHdf5Isolation, FlippedBytesNeverCrashTheReader) {
    ScratchFolder folder;
    std::vector<double> taps = RandomTaps(3 * 4, 5);
    Bytes original = ReadFileBytes(
        WriteSmallConfiguration(folder.File("original.mat"), taps, MatWriteVersion::Hdf5));
    size_t descriptorsBefore = OpenDescriptorCount();
    std::string path = folder.File("flipped.mat");
    // Past the 512-byte block MATLAB reserves: superblock, object headers,
    // B-trees, heaps and attributes, where HDF5 crashed on damage before.
    // Each trial forks up to four children, so the offsets are spread and
    // the flip patterns take turns; then the spots where HDF5 1.10.8 read out
    // of bounds (attribute messages, B-tree and heap entries of this layout).
    const uint8_t masks[] = {0xFF, 0x80, 0x01};
    std::vector<std::pair<size_t, uint8_t>> flips;
    for (size_t offset = 512; offset < original.size(); offset += 29) {
        flips.emplace_back(offset, masks[flips.size() % std::size(masks)]);
    }
    for (size_t offset : {1478, 1541, 1926, 2158, 2430}) flips.emplace_back(offset, 0x80);
    size_t opened = 0;
    for (auto [offset, mask] : flips) {
        SCOPED_TRACE(::testing::Message() << "offset " << offset << " mask " << int{mask});
        ASSERT_LT(offset, original.size());
        Bytes damaged = original;
        damaged[offset] ^= mask;
        ASSERT_TRUE(WriteFileBytes(path, damaged));
        MATFile* file = matOpen(path.c_str(), "r");
        if (file == nullptr) continue;
        ++opened;
        mxArray* label = matGetVariable(file, "label");
        mxArray* h = matGetVariable(file, "H");
        EXPECT_EQ(matGetVariable(file, "nothing"), nullptr);
        EXPECT_EQ(matClose(file), 0);
        Seen labelSeen = Inspect(label);
        Seen hSeen = Inspect(h);
        mxDestroyArray(label);
        mxDestroyArray(h);
        if (labelSeen.present) {
            EXPECT_TRUE(IsUtf8(labelSeen.text));
        }
        if (hSeen.hasValues) {
            EXPECT_EQ(hSeen.values.size(), hSeen.rows * hSeen.columns);
        }
    }
    // Damage in raw data or unused space leaves files that still open.
    EXPECT_GT(opened, 0u);
    EXPECT_LT(opened, flips.size());
    EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore);
    EXPECT_TRUE(NoChildrenLeft());
}

void IgnoreSignal(int) {}

// Signals arriving while the reader waits for its child or for I/O must not
// turn a good read into a failure.
TEST(MatFileHdf5Isolation, ReadsSurviveInterruptingSignals) {
    ScratchFolder folder;
    std::vector<double> taps = RandomTaps(3 * 4, 8);
    struct sigaction action {};
    action.sa_handler = IgnoreSignal;
    sigemptyset(&action.sa_mask);
    // Without SA_RESTART, blocking calls return EINTR.
    action.sa_flags = 0;
    struct sigaction previousAlarm {};
    struct sigaction previousChild {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previousAlarm), 0);
    ASSERT_EQ(sigaction(SIGCHLD, &action, &previousChild), 0);
    itimerval every{{0, 200}, {0, 200}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every, nullptr), 0);
    for (MatWriteVersion version : AllVersions) {
        SCOPED_TRACE(MatWriteVersionName(version));
        std::string path = folder.File(std::string(MatWriteVersionName(version)) + ".mat");
        WriteSmallConfiguration(path, taps, version);
        for (int round = 0; round < 5; ++round) {
            EXPECT_EQ(ReadVariable(path, "H").values, taps);
            EXPECT_EQ(ReadVariable(path, "SR").values, std::vector<double>{48000});
        }
    }
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previousAlarm, nullptr);
    sigaction(SIGCHLD, &previousChild, nullptr);
    EXPECT_TRUE(NoChildrenLeft());
}

TEST(MatFileOpening, OverwrittenDimsNeverGiveOtherValues) {
    ScratchFolder folder;
    std::string path = folder.File("dims.mat");
    const std::vector<double> taps = RandomTaps(8, 1);
    ASSERT_TRUE(MatWriter().Double("H", 2, 4, taps).Write(path, MatWriteVersion::Level5));
    ASSERT_TRUE(Opens(path));
    // Tag, array flags element, dims tag, then the two dimensions.
    constexpr size_t DimsOffset = 128 + 8 + 16 + 8;
    const std::vector<int32_t> replacements[] = {{2, 5}, {0x7FFFFFFF, 0x7FFFFFFF}, {-2, 4}, {0, 4}};
    Bytes original = ReadFileBytes(path);
    for (const auto& dims : replacements) {
        SCOPED_TRACE(dims[0]);
        ASSERT_TRUE(WriteFileBytes(path, original));
        ASSERT_TRUE(
            tessaro::testing::OverwriteFileBytes(path, DimsOffset, Level5Builder().Int32s(dims)));
        Seen h = ReadVariable(path, "H");
        EXPECT_TRUE(!h.hasValues || (h.rows == 2 && h.columns == 4 && h.values == taps));
    }
}

TEST(MatFileOpening, EmptyNameFindsNothing) {
    ScratchFolder folder;
    std::string path = folder.File("unnamed.mat");
    Level5Builder b;
    ASSERT_TRUE(WriteFileBytes(path, Concat({b.Header(), b.DoubleMatrix("", 1, 1, {5})})));
    bool opened = false;
    EXPECT_FALSE(ReadVariable(path, "", &opened).present);
    EXPECT_TRUE(opened);
}

TEST(MatFileOpening, CloseAndDestroyAcceptNull) {
    EXPECT_EQ(matClose(nullptr), EOF);
    mxDestroyArray(nullptr);
    EXPECT_EQ(mxGetM(nullptr), 0u);
    EXPECT_EQ(mxGetN(nullptr), 0u);
    EXPECT_EQ(mxGetPr(nullptr), nullptr);
    char buffer[4] = "abc";
    EXPECT_EQ(mxGetString(nullptr, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(mxGetString(nullptr, nullptr, 10), 1);
}

// Every prefix of a small file either reads nothing or the values written:
// a cut element never comes back with made-up values.
class MatFileTruncation : public ::testing::TestWithParam<MatWriteVersion> {};

TEST_P(MatFileTruncation, EveryPrefixIsRefusedOrReadsTrueValues) {
    ScratchFolder folder;
    std::string original = folder.File("original.mat");
    std::vector<double> taps = RandomTaps(3 * 4, 21);
    ASSERT_TRUE(MatWriter()
                    .Text("label", "ok")
                    .Numeric("SR", MatWriteClass::Double, {1, 1}, {44100})
                    .Double("H", 3, 4, taps)
                    .Write(original, GetParam()));
    Bytes bytes = ReadFileBytes(original);
    bool hdf5 = GetParam() == MatWriteVersion::Hdf5;
    ASSERT_LT(bytes.size(), hdf5 ? 8000u : 2000u);
    // Each read is a child process, and HDF5 is slow to refuse, so only
    // some cuts are tried; the whole file is the last.
    size_t step = hdf5 ? 61 : 3;
    std::string path = folder.File("prefix.mat");
    int whole = 0;
    for (size_t size = 0; size <= bytes.size();
         size = size == bytes.size() ? size + 1 : std::min(bytes.size(), size + step)) {
        SCOPED_TRACE(size);
        ASSERT_TRUE(WriteFileBytes(path, bytes));
        ASSERT_TRUE(tessaro::testing::TruncateFileTo(path, size));
        Seen h = ReadVariable(path, "H");
        if (h.present) {
            EXPECT_EQ(h.values, taps);
            ++whole;
        }
        Seen label = ReadVariable(path, "label");
        if (label.present) {
            EXPECT_EQ(label.text, "ok");
        }
    }
    EXPECT_GE(whole, 1);
}

INSTANTIATE_TEST_SUITE_P(EachVersion, MatFileTruncation, ::testing::ValuesIn(AllVersions),
                         VersionName);

// One damaged element (level 5) or matrix (level 4), placed after a sound
// "SR" so that the file is damaged only there.
struct DamagedCase {
    const char* what;
    Bytes element;
};

class MatFileDamage : public ::testing::Test {
protected:
    std::vector<DamagedCase> Cases() const {
        const Level5Builder& b = little;
        Bytes flags = b.ArrayFlags(6);
        Bytes name = b.Name("H");
        Bytes four = b.Element(mat::MiDouble, b.Doubles({1, 2, 3, 4}));
        Bytes nested = b.DoubleMatrix("", 1, 1, {1});
        auto deep = [&](int depth) {
            Bytes inner = b.DoubleMatrix("", 1, 1, {1});
            for (int i = 0; i < depth; ++i) {
                inner = b.Matrix(
                    {b.ArrayFlags(1), b.Dims({1, 1}), b.Name(i + 1 == depth ? "H" : ""), inner});
            }
            return inner;
        };
        auto opaque = [&](int depth) {
            Bytes chain;
            for (int i = 0; i < depth; ++i) chain = b.Element(mat::MiMatrix, chain);
            return b.Matrix({b.ArrayFlags(17), b.Name("H"), chain});
        };
        Bytes garbage(40, 0x5A);
        return {
            {"tag size past the end of file",
             b.ElementClaiming(mat::MiMatrix, 4000,
                                               Concat({flags, b.Dims({1, 4}), name, four}))},
            {"data size past the end of the matrix",
             b.Matrix({flags, b.Dims({1, 4}), name,
                                       b.ElementClaiming(mat::MiDouble, 64, b.Doubles({1, 2, 3, 4}))})},
            {"dims larger than the data", b.Matrix({flags, b.Dims({2, 4}), name, four})},
            {"dims smaller than the data", b.Matrix({flags, b.Dims({1, 3}), name, four})},
            {"huge dims", b.Matrix({flags, b.Dims({0x7FFFFFFF, 0x7FFFFFFF}), name, four})},
            {"dims whose product overflows",
             b.Matrix({flags, b.Dims({0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF}),
                                       name, four})},
            {"negative dims", b.Matrix({flags, b.Dims({-1, -4}), name, four})},
            {"one dimension", b.Matrix({flags, b.Dims({4}), name, four})},
            {"no array flags", b.Matrix({b.Dims({1, 4}), name, four})},
            {"name stored as miUINT8",
             b.Matrix({flags, b.Dims({1, 4}), b.Element(mat::MiUInt8, {'H'}), four})},
            {"unknown class", b.Matrix({b.ArrayFlags(40), b.Dims({1, 4}), name, four})},
            {"text data in a double", b.Matrix({flags, b.Dims({1, 4}), name,
                                                                b.Element(mat::MiUtf8, Bytes(32, 'a'))})},
            {"imaginary part missing",
             b.Matrix({b.ArrayFlags(6, true), b.Dims({1, 4}), name, four})},
            {"trailing element in a matrix", b.Matrix({flags, b.Dims({1, 4}), name, four, four})},
            {"small element claiming 6 bytes",
             b.Matrix({flags, b.Dims({1, 1}), b.U32((6u << 16) | mat::MiInt8), b.U32(0),
                                       b.Element(mat::MiDouble, b.Doubles({1}))})},
            {"cell shorter than its dims",
             b.Matrix({b.ArrayFlags(1), b.Dims({1, 3}), name, nested, nested})},
            {"struct fields past the end",
             b.Matrix({b.ArrayFlags(2), b.Dims({1, 1}), name, b.SmallElement(mat::MiInt32, b.U32(8)),
                                       b.Element(mat::MiInt8, Bytes(32, 'f')), nested})},
            {"nesting too deep", deep(40)},
            {"opaque nesting too deep", opaque(40)},
            {"opaque nesting deeper than any stack", [&] {
                 // Each tag claims all the tags after it.
                 constexpr uint32_t Depth = 300000;
                 Bytes chain;
                 chain.reserve(Depth * 8);
                 for (uint32_t i = 0; i < Depth; ++i) {
                     Bytes tag = b.ElementClaiming(mat::MiMatrix, (Depth - 1 - i) * 8, {});
                     chain.insert(chain.end(), tag.begin(), tag.end());
                 }
                 return b.Matrix({b.ArrayFlags(17), b.Name("H"), chain});
             }()},
            {"text shorter than its dims",
             b.Matrix({b.ArrayFlags(4), b.Dims({1, 8}), name,
                                       b.Element(mat::MiUInt16, b.UInt16s({'a', 'b'}))})},
            {"compressed garbage", b.ElementClaiming(mat::MiCompressed, 40, garbage)},
            {"compressed stream cut short", [&] {
                 Bytes element = b.Compressed(b.DoubleMatrix("H", 1, 4, {1, 2, 3, 4}));
                 element.erase(element.end() - 6, element.end());
                 Bytes fixed = b.ElementClaiming(mat::MiCompressed, static_cast<uint32_t>(element.size() - 8),
                                                 Bytes(element.begin() + 8, element.end()));
                 return fixed;
             }()},
            {"compressed bad dims", b.Compressed(b.Matrix({flags, b.Dims({9, 4}), name, four}))},
            {"compressed content longer than its tag", [&] {
                 Bytes inner = b.DoubleMatrix("H", 1, 4, {1, 2, 3, 4});
                 inner.resize(inner.size() + 64, 0);
                 return b.Compressed(inner);
             }()},
            {"real part claiming more than its matrix holds",
             b.Matrix({flags, b.Dims({1, 4}), name,
                       b.ElementClaiming(mat::MiDouble, 32, b.Doubles({1, 2}))})},
            {"compressed real part claiming more than its matrix holds",
             b.Compressed(b.Matrix({flags, b.Dims({1, 4}), name,
                                    b.ElementClaiming(mat::MiDouble, 32, b.Doubles({1, 2}))}))},
            {"compressed element that is not a matrix",
             b.Compressed(b.Element(mat::MiDouble, b.Doubles({1, 2})))},
            {"half a tag at the end", Concat({b.DoubleMatrix("H", 1, 4, {1, 2, 3, 4}), Bytes(4, 0)})},
            {"level 4 data past the end", Level4Matrix(0, 100, 4, 0, "H", b.Doubles({1, 2, 3, 4}))},
            {"level 4 unterminated name", [&] {
                 Bytes m = Level4Matrix(0, 1, 1, 0, "H", b.Doubles({1}));
                 m[21] = 'x';
                 return m;
             }()},
            {"level 4 negative rows", Level4Matrix(0, -1, 4, 0, "H", b.Doubles({1, 2, 3, 4}))},
            {"level 4 bad type code", Level4Matrix(3, 1, 1, 0, "H", b.Doubles({1}))},
            {"level 4 name length past the end", [&] {
                 Bytes m = Level4Matrix(0, 1, 1, 0, "H", b.Doubles({1}));
                 m[16] = 0xFF;
                 return m;
             }()},
            {"level 4 sparse size row not integral",
             Level4Matrix(2, 2, 3, 0, "H", b.Doubles({1, 2.5, 1, 3, 7, 0}))},
        };
    }
    Level5Builder little;
};

// Values the damaged element really holds, in order: 1, 2, 3, 4.
bool TrueValuesOrNone(const Seen& h) {
    for (size_t i = 0; i < h.values.size(); ++i) {
        if (h.values[i] != static_cast<double>(i + 1)) return false;
    }
    return h.values.empty() || h.values.size() == h.rows * h.columns;
}

// A damaged "H" never comes back with values the file does not hold, and the
// sound "SR" before it is still read: nothing else in the file is lost.
TEST_F(MatFileDamage, DamagedVariableNeverGivesMadeUpValues) {
    ScratchFolder folder;
    std::string path = folder.File("damaged.mat");
    for (const DamagedCase& item : Cases()) {
        SCOPED_TRACE(item.what);
        bool level4 = std::string(item.what).rfind("level 4", 0) == 0;
        Bytes file =
            level4
                ? Concat({Level4Matrix(0, 1, 1, 0, "SR", little.Doubles({44100})), item.element})
                : Concat({little.Header(), little.DoubleMatrix("SR", 1, 1, {44100}), item.element});
        ASSERT_TRUE(WriteFileBytes(path, file));
        Seen h = ReadVariable(path, "H");
        EXPECT_TRUE(TrueValuesOrNone(h)) << ::testing::PrintToString(h.values);
        Seen rate = ReadVariable(path, "SR");
        EXPECT_TRUE(rate.present && rate.values == std::vector<double>{44100});
    }
}

// Files as MATLAB and SciPy write them can hold variables of kinds nobody
// here reads; the configuration beside them is still read.
// Found by fuzzing: a level-4 file whose sizes make libmatio allocate and
// zero gigabytes. The reading child's memory is capped, so each read ends
// promptly with nothing rather than taking the machine's memory.
TEST(MatFileOpening, SizesClaimingGigabytesEndTheReadWithNothing) {
    const Bytes file = {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x48, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                        0xff, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf0, 0xbf, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0xd0, 0xbf, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00,
                        0x00, 0x70, 0xe7, 0x40, 0x31, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                        0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00,
                        0x6c, 0x61, 0x62, 0x65, 0x6c, 0x00, 0x52, 0x6f, 0x6f, 0x6d, 0x20, 0x31};
    ScratchFolder folder;
    const std::string path = folder.File("gigabytes.mat");
    ASSERT_TRUE(WriteFileBytes(path, file));
    EXPECT_FALSE(ReadVariable(path, "label").present);
    EXPECT_FALSE(ReadVariable(path, "SR").present);
}

TEST(MatFileOtherVariables, NeverHideTheConfiguration) {
    const Level5Builder b;
    auto twoNames = [&] {
        Bytes names(16, 0);
        names[0] = names[8] = 'a';
        return names;
    };
    const struct {
        const char* what;
        Bytes element;
    } cases[] = {
        {"logical sparse matrix", b.Matrix({b.ArrayFlags(5, false, true, 1), b.Dims({3, 3}),
                                            b.Name("ls"), b.Element(mat::MiInt32, b.Int32s({0})),
                                            b.Element(mat::MiInt32, b.Int32s({0, 1, 1, 1})),
                                            b.Element(mat::MiDouble, b.Doubles({1}))})},
        {"dimensions stored as miUINT32",
         b.Matrix({b.ArrayFlags(6), b.Element(mat::MiUInt32, b.Int32s({1, 2})), b.Name("d"),
                   b.Element(mat::MiDouble, b.Doubles({1, 2}))})},
        {"name stored as miUTF8",
         b.Matrix({b.ArrayFlags(6), b.Dims({1, 1}), b.Element(mat::MiUtf8, {'u'}),
                   b.Element(mat::MiDouble, b.Doubles({1}))})},
        {"struct with duplicate field names",
         b.Matrix({b.ArrayFlags(2), b.Dims({1, 1}), b.Name("st"),
                   b.SmallElement(mat::MiInt32, b.U32(8)), b.Element(mat::MiInt8, twoNames()),
                   b.DoubleMatrix("", 1, 1, {1}), b.DoubleMatrix("", 1, 1, {2})})},
    };
    const std::vector<double> taps = RandomTaps(8, 4);
    ScratchFolder folder;
    const std::string path = folder.File("matlab.mat");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(WriteFileBytes(
            path, Concat({b.Header(), c.element, b.DoubleMatrix("H", 2, 4, taps),
                          b.DoubleMatrix("SR", 1, 1, {48000}), b.Utf8Matrix("label", 2, "ok")})));
        bool opened = false;
        EXPECT_EQ(ReadVariable(path, "H", &opened).values, taps);
        EXPECT_TRUE(opened);
        EXPECT_EQ(ReadVariable(path, "SR").values, std::vector<double>{48000});
        EXPECT_EQ(ReadVariable(path, "label").text, "ok");
    }
}

TEST_F(MatFileDamage, TheSameLayoutsUndamagedDoOpen) {
    // Guards the damage cases above: each differs from these in one field.
    ScratchFolder folder;
    std::string path = folder.File("sound.mat");
    const Level5Builder& b = little;
    Bytes nested = b.DoubleMatrix("", 1, 1, {1});
    const Bytes files[] = {
        Concat({b.Header(), b.DoubleMatrix("H", 1, 4, {1, 2, 3, 4})}),
        Concat({b.Header(), b.Compressed(b.DoubleMatrix("H", 1, 4, {1, 2, 3, 4}))}),
        Concat({b.Header(),
                b.Matrix({b.ArrayFlags(1), b.Dims({1, 3}), b.Name("H"), nested, nested, nested})}),
        Concat({b.Header(), b.Matrix({b.ArrayFlags(2), b.Dims({1, 1}), b.Name("H"),
                                      b.SmallElement(mat::MiInt32, b.U32(8)),
                                      b.Element(mat::MiInt8, Bytes(8, 'f')), nested})}),
        Level4Matrix(2, 2, 3, 0, "H", b.Doubles({1, 2, 1, 3, 7, 0})),
    };
    for (const Bytes& file : files) {
        SCOPED_TRACE(&file - files);
        ASSERT_TRUE(WriteFileBytes(path, file));
        bool opened = false;
        Seen seen = ReadVariable(path, "H", &opened);
        EXPECT_TRUE(opened);
        EXPECT_TRUE(seen.present);
    }
}

TEST(MatFuzzCorpus, SeedsAreSmallAndReadable) {
    ScratchFolder folder;
    ASSERT_TRUE(tessaro::testing::WriteMatFuzzSeeds(folder.Path()));
    int opened = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
        SCOPED_TRACE(entry.path().string());
        EXPECT_LE(entry.file_size(), 4096u);
        opened += Opens(entry.path().string()) ? 1 : 0;
    }
    EXPECT_GE(opened, 8);
}

}  // namespace
