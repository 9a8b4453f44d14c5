#include "settings/registry_key.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/wav_fixture.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr std::string_view KeyPath = "Software\\Tessaro";
constexpr std::string_view HiveHeader =
    "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n";

// A machine hive in its own folder, with the per-user copy beside it.
struct TestHive {
    testing::ScratchFolder temp;
    HiveRoot root{HiveLocations{temp.File("machine"), temp.File("user")}};
    std::string File() const { return temp.File("machine/machine.reg"); }
    void Write(std::string_view values) const {
        testing::WriteFileText(File(), std::string(HiveHeader) + std::string(values));
    }
};

// The text a fresh store, opened as the dialog opens it, gives for a name.
std::string StoredText(const HiveRoot& root, std::string_view name = "MAT File") {
    RegistryKey key(RegistryKey::CreateMissing);
    if (!key.Open(KeyPath, root)) return "(not opened)";
    return key.Value(name).AsText();
}

TEST(RegistryKeyStartup, FreshMachineCreatesTheKeyEmptyAndRemembersALoad) {
    TestHive hive;
    {
        RegistryKey key(RegistryKey::CreateMissing);
        ASSERT_TRUE(key.Open(KeyPath, hive.root));
        EXPECT_EQ(key.Value("MAT File").AsText(), "");
        EXPECT_EQ(testing::ReadFileText(hive.File()), HiveHeader)
            << "the key exists, with no value";
        key.Value("MAT File").SetText("/home/ann/filters/room.mat");
    }
    EXPECT_EQ(testing::ReadFileText(hive.File()),
              std::string(HiveHeader) + "\"MAT File\"=\"/home/ann/filters/room.mat\"\n");
    EXPECT_EQ(StoredText(hive.root), "/home/ann/filters/room.mat");
}

TEST(RegistryKeyStartup, WithoutCreateAMissingKeyIsNotOpened) {
    TestHive hive;
    RegistryKey key(0);
    EXPECT_FALSE(key.Open(KeyPath, hive.root));
    EXPECT_EQ(key.handle, nullptr);
    key.Value("MAT File").SetText("/cached/only.mat");
    EXPECT_EQ(key.Value("MAT File").AsText(), "/cached/only.mat");
    EXPECT_FALSE(fs::exists(hive.File()));
}

TEST(RegistryKeyStartup, StoredValuesOfEachTypeReadAsText) {
    const struct {
        const char* label;
        std::string line;
        std::string text;
    } cases[] = {
        {"text", R"("MAT File"="C:\\filters\\a.mat")", "C:\\filters\\a.mat"},
        {"number", "\"MAT File\"=dword:0000002a", "42"},
        {"largest number", "\"MAT File\"=dword:ffffffff", "4294967295"},
        {"short number", "\"MAT File\"=hex(4):01,01", "257"},
        {"bytes up to a zero", "\"MAT File\"=hex:2f,61,00,62", "/a"},
        {"list", "\"MAT File\"=hex(7):61,00,62,63,00,00", "a\0bc\0"s},
        {"text without terminator", "\"MAT File\"=hex(1):2f,78", "/x"},
        {"text with an inner zero", "\"MAT File\"=hex(1):2f,78,00,79,00", "/x"},
        {"other type", "\"MAT File\"=hex(2):2f,78,00", ""},
        {"empty text", "\"MAT File\"=\"\"", ""},
    };
    for (const auto& stored : cases) {
        SCOPED_TRACE(stored.label);
        TestHive hive;
        hive.Write(stored.line + "\n");
        EXPECT_EQ(StoredText(hive.root), stored.text);
    }
}

TEST(RegistryKeyLoading, LimitsOnNamesAndDataSkipValues) {
    const std::string name259(259, 'n');
    const std::string name260(260, 'n');
    auto hexBytes = [](size_t count) {
        std::string line = "hex:";
        for (size_t k = 0; k < count; ++k) line += k + 1 < count ? "41," : "41";
        return line;
    };
    const struct {
        const char* label;
        std::string line;
        std::string name;
        size_t textSize;  // SIZE_MAX: skipped
    } cases[] = {
        {"name of 259 characters", "\"" + name259 + "\"=\"x\"", name259, 1},
        {"name of 260 characters", "\"" + name260 + "\"=\"x\"", name260, SIZE_MAX},
        {"text of 2047 bytes", "\"T\"=\"" + std::string(2047, 'a') + "\"", "T", 2047},
        {"text of 2048 bytes", "\"T\"=\"" + std::string(2048, 'a') + "\"", "T", SIZE_MAX},
        {"2048 bytes", "\"B\"=" + hexBytes(2048), "B", 2047},
        {"2049 bytes", "\"B\"=" + hexBytes(2049), "B", SIZE_MAX},
    };
    for (const auto& stored : cases) {
        SCOPED_TRACE(stored.label);
        TestHive hive;
        hive.Write(stored.line + "\n\"After\"=\"kept\"\n");
        RegistryKey key(RegistryKey::CreateMissing);
        ASSERT_TRUE(key.Open(KeyPath, hive.root));
        EXPECT_EQ(key.Value("After").AsText(), "kept") << "later values still load";
        const RegistryValue& value = key.Value(stored.name);
        if (stored.textSize == SIZE_MAX) {
            EXPECT_EQ(value.type, RegNone);
        } else {
            EXPECT_EQ(key.Value(stored.name).AsText().size(), stored.textSize);
        }
    }
}

TEST(RegistryKeyText, LongTextsAreKeptWholeUpToTheValueLimit) {
    const std::string deepPath = "/home/ann/" + std::string(600, 'd') + "/filters/room.mat";
    const std::string twoByteEnd = std::string(2046, 'a') + "é";
    const struct {
        const char* label;
        std::string text;
        std::string cached;
    } cases[] = {
        {"path longer than 260 characters", deepPath, deepPath},
        {"2047 bytes", std::string(2047, 'p'), std::string(2047, 'p')},
        {"2048 bytes", std::string(2048, 'p'), std::string(2047, 'p')},
        {"cut inside a two-byte character", twoByteEnd, std::string(2046, 'a')},
        {"cut inside a four-byte character", std::string(2044, 'a') + "𝄞", std::string(2044, 'a')},
        {"cut after a whole character", std::string(2045, 'a') + "éz",
         std::string(2045, 'a') + "é"},
        {"cut in bytes that are not UTF-8", std::string(2050, '\x80'), std::string(2047, '\x80')},
        {"text ends at a zero", "/a.mat\0/b.mat"s, "/a.mat"},
    };
    for (const auto& given : cases) {
        SCOPED_TRACE(given.label);
        TestHive hive;
        {
            RegistryKey key(RegistryKey::CreateMissing);
            ASSERT_TRUE(key.Open(KeyPath, hive.root));
            key.Value("MAT File").SetText(given.text);
            EXPECT_EQ(key.Value("MAT File").AsText(), given.cached);
        }
        EXPECT_EQ(StoredText(hive.root), given.cached) << "the next start reads it back whole";
    }
}

TEST(RegistryKeyText, NamesDifferingInCaseShareOneEntry) {
    TestHive hive;
    hive.Write("\"mat file\"=\"/stored.mat\"\n");
    RegistryKey key(RegistryKey::CreateMissing);
    RegistryValue& early = key.Value("MAT File");
    ASSERT_TRUE(key.Open(KeyPath, hive.root));
    EXPECT_EQ(&key.Value("MAT FILE"), &early) << "loading updates the entry in place";
    EXPECT_EQ(early.AsText(), "/stored.mat");
    EXPECT_EQ(early.name, "MAT File");
    EXPECT_EQ(key.values.size(), 1u);

    early.SetText("/new.mat");
    EXPECT_EQ(testing::ReadFileText(hive.File()),
              std::string(HiveHeader) + "\"mat file\"=\"/new.mat\"\n");
}

TEST(RegistryKeyLoading, LoadingWritesNothingBack) {
    TestHive hive;
    // Forms and contents a write would change: a short number, a text
    // without its terminator, unusual spellings.
    const std::string content = std::string(HiveHeader) +
                                "\"N\" = DWORD:2A\n\"B\"=HEX:01,02\n\"L\"=hex(7):61,00,00\n"
                                "\"T\"=\"C:\\plain\\backslashes\"\n\"S\"=hex(4):01,01\n"
                                "\"U\"=hex(1):2f,78\n";
    testing::WriteFileText(hive.File(), content);
    RegistryKey key(RegistryKey::CreateMissing);
    ASSERT_TRUE(key.Open(KeyPath, hive.root));
    EXPECT_EQ(key.Value("N").AsText(), "42");
    EXPECT_EQ(key.Value("T").AsText(), "C:\\plain\\backslashes");
    EXPECT_EQ(key.options, RegistryKey::CreateMissing) << "the loading bit is cleared again";
    EXPECT_TRUE(key.LoadAll());
    EXPECT_EQ(testing::ReadFileText(hive.File()), content);
}

TEST(RegistryKeyLoading, EntriesWhoseValueIsGoneStay) {
    TestHive hive;
    hive.Write("\"A\"=\"1\"\n\"B\"=\"2\"\n");
    RegistryKey key(RegistryKey::CreateMissing);
    ASSERT_TRUE(key.Open(KeyPath, hive.root));
    hive.Write("\"B\"=\"3\"\n");
    EXPECT_TRUE(key.LoadAll());
    EXPECT_EQ(key.Value("A").AsText(), "1");
    EXPECT_EQ(key.Value("B").AsText(), "3");
}

TEST(RegistryKeyWriting, EverySetterWritesThroughAndReadsBack) {
    TestHive hive;
    const uint8_t blob[] = {'/', 'b', 0, 9};
    const char list[] = "one\0two\0";  // with the literal's zero: two terminators
    {
        RegistryKey key(RegistryKey::CreateMissing);
        ASSERT_TRUE(key.Open(KeyPath, hive.root));
        key.Value("Text").SetText("/t.mat");
        key.Value("Number").SetNumber(4000000000u);
        key.Value("Bytes").SetBytes(blob, sizeof blob);
        key.Value("List").SetList(list, sizeof list);
    }
    RegistryKey key(RegistryKey::CreateMissing);
    ASSERT_TRUE(key.Open(KeyPath, hive.root));
    EXPECT_EQ(key.Value("Text").type, RegSz);
    EXPECT_EQ(key.Value("Text").AsText(), "/t.mat");
    EXPECT_EQ(key.Value("Number").type, RegDword);
    EXPECT_EQ(key.Value("Number").number, 4000000000u);
    EXPECT_EQ(key.Value("Number").AsText(), "4000000000");
    EXPECT_EQ(key.Value("Bytes").type, RegBinary);
    EXPECT_EQ(key.Value("Bytes").bytes, std::vector<uint8_t>(blob, blob + sizeof blob));
    EXPECT_EQ(key.Value("Bytes").AsText(), "/b");
    EXPECT_EQ(key.Value("List").type, RegMultiSz);
    EXPECT_EQ(key.Value("List").texts, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(key.Value("List").AsText(), "one\0two\0"s);
}

TEST(RegistryKeyWriting, ListsSplitAtZeroBytes) {
    const struct {
        std::string data;
        std::vector<std::string> texts;
    } cases[] = {
        {"a\0b\0\0"s, {"a", "b"}},
        {"a\0b\0"s, {"a", "b"}},
        {"a\0b"s, {"a", "b"}},
        {"a\0\0b\0\0"s, {"a", "", "b"}},
        {"ab\0"s, {"ab"}},
        {"a\0"s, {}},
        {"\0\0"s, {}},
        {"\0\0\0"s, {"", ""}},
        {"abc"s, {"abc"}},
    };
    for (const auto& given : cases) {
        SCOPED_TRACE(::testing::PrintToString(given.data));
        RegistryValue value(nullptr, "List");
        value.texts = {"stale"};
        value.SetList(given.data.data(), static_cast<uint32_t>(given.data.size()));
        EXPECT_EQ(value.type, RegMultiSz);
        EXPECT_EQ(value.texts, given.texts);
    }
}

TEST(RegistryKeyWriting, ListTextStaysWithinTheTextLimit) {
    RegistryValue value(nullptr, "List");
    const std::string list = std::string(1500, 'a') + "\0"s + std::string(1500, 'b') + "\0\0"s;
    value.SetList(list.data(), static_cast<uint32_t>(list.size()));
    const std::string& text = value.AsText();
    ASSERT_EQ(text.size(), RegistryValue::TextCapacity);
    EXPECT_EQ(text, std::string(1500, 'a') + "\0"s + std::string(546, 'b') + "\0"s);
}

TEST(RegistryKeyWriting, EmptyBytesAreIgnored) {
    TestHive hive;
    RegistryKey key(RegistryKey::CreateMissing);
    ASSERT_TRUE(key.Open(KeyPath, hive.root));
    const uint8_t data[] = {1};
    key.Value("B").SetBytes(data, 0);
    EXPECT_EQ(key.Value("B").type, RegNone);
    EXPECT_EQ(testing::ReadFileText(hive.File()), HiveHeader);
    std::vector<uint8_t> big(3000, 'x');
    key.Value("B").SetBytes(big.data(), static_cast<uint32_t>(big.size()));
    EXPECT_EQ(key.Value("B").AsText(), std::string(2047, 'x'));
}

TEST(RegistryKeyWriting, UnnamedAndDetachedValuesWriteNothing) {
    TestHive hive;
    RegistryKey key(RegistryKey::CreateMissing);
    ASSERT_TRUE(key.Open(KeyPath, hive.root));
    key.Value("").SetText("unnamed");
    RegistryValue detached(nullptr, "Detached");
    detached.SetText("nowhere");
    EXPECT_EQ(detached.AsText(), "nowhere");
    EXPECT_EQ(testing::ReadFileText(hive.File()), HiveHeader);
}

TEST(RegistryKeyWriting, TwoStoresWritingInTurnLoseNothing) {
    TestHive hive;
    RegistryKey first(RegistryKey::CreateMissing);
    RegistryKey second(RegistryKey::CreateMissing);
    ASSERT_TRUE(first.Open(KeyPath, hive.root));
    ASSERT_TRUE(second.Open(KeyPath, hive.root));
    first.Value("MAT File").SetText("/first.mat");
    second.Value("Other").SetText("second");
    first.Value("Third").SetNumber(3);
    second.Value("MAT File").SetText("/second.mat");

    RegistryKey reader(RegistryKey::CreateMissing);
    ASSERT_TRUE(reader.Open(KeyPath, hive.root));
    EXPECT_EQ(reader.Value("MAT File").AsText(), "/second.mat");
    EXPECT_EQ(reader.Value("Other").AsText(), "second");
    EXPECT_EQ(reader.Value("Third").AsText(), "3");
    EXPECT_EQ(reader.values.size(), 3u);
}

TEST(RegistryKeyOpen, AnotherPathDropsTheCacheTheSamePathKeepsIt) {
    TestHive hive;
    RegistryKey key(RegistryKey::CreateMissing);
    key.Value("Cached").SetText("x");
    ASSERT_TRUE(key.Open(KeyPath, hive.root));
    ASSERT_TRUE(key.Open("SOFTWARE\\TESSARO", hive.root));
    EXPECT_EQ(key.values.size(), 1u);
    EXPECT_EQ(*key.path, KeyPath) << "the first spelling is kept";
    ASSERT_TRUE(key.Open("Software\\Tessaro\\Other", hive.root));
    EXPECT_TRUE(key.values.empty());
    EXPECT_EQ(*key.path, "Software\\Tessaro\\Other");
    // The store's own path as the argument.
    ASSERT_TRUE(key.Open(std::string_view(*key.path).substr(0, 8), hive.root));
    EXPECT_EQ(*key.path, "Software");
}

TEST(RegistryKeyLocations, UnwritableMachineFolderFallsBackToTheUserCopy) {
    testing::ScratchFolder temp;
    testing::WriteFileText(temp.File("file"), "x");
    const HiveRoot root{HiveLocations{temp.File("file/machine"), temp.File("user")}};
    {
        RegistryKey key(RegistryKey::CreateMissing);
        ASSERT_TRUE(key.Open(KeyPath, root));
        key.Value("MAT File").SetText("/remembered.mat");
    }
    EXPECT_EQ(StoredText(root), "/remembered.mat");
    EXPECT_NE(testing::ReadFileText(temp.File("user/machine.reg")).find("/remembered.mat"),
              std::string::npos);
}

TEST(RegistryKeyLocations, NothingWritableRemembersNothing) {
    testing::ScratchFolder temp;
    testing::WriteFileText(temp.File("file"), "x");
    const HiveRoot root{HiveLocations{temp.File("file/machine"), temp.File("file/user")}};
    RegistryKey key(RegistryKey::CreateMissing);
    EXPECT_FALSE(key.Open(KeyPath, root));
    EXPECT_EQ(key.handle, nullptr);
    key.Value("MAT File").SetText("/only/cached.mat");
    EXPECT_EQ(key.Value("MAT File").AsText(), "/only/cached.mat");
    EXPECT_EQ(StoredText(root), "(not opened)");
    EXPECT_EQ(testing::ReadFileText(temp.File("file")), "x");
}

}  // namespace
}  // namespace tessaro
