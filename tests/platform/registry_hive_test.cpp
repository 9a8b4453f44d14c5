#include "platform/registry_hive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/wav_fixture.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr std::string_view KeyPath = "Software\\Tessaro";

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> TextData(std::string_view text) {
    std::vector<uint8_t> data = Bytes(text);
    data.push_back(0);
    return data;
}

struct Entry {
    std::string name;
    uint32_t type = RegNone;
    std::vector<uint8_t> data;
    bool operator==(const Entry&) const = default;
};

void PrintTo(const Entry& entry, std::ostream* out) {
    *out << "{\"" << entry.name << "\" type " << entry.type << ", " << entry.data.size()
         << " bytes}";
}

// Every value of a key.
std::optional<std::vector<Entry>> ReadValues(const HiveRoot& root,
                                             std::string_view path = KeyPath) {
    HiveKey key = nullptr;
    if (HiveOpenKey(root, path, &key) != HiveOk) return std::nullopt;
    uint32_t count = 0;
    EXPECT_EQ(HiveQueryValueCount(key, &count), HiveOk);
    std::vector<Entry> entries;
    for (uint32_t index = 0; index < count; ++index) {
        char name[1024];
        uint32_t nameSize = sizeof name;
        uint32_t type = RegNone;
        std::vector<uint8_t> data(1 << 16);
        uint32_t dataSize = static_cast<uint32_t>(data.size());
        EXPECT_EQ(HiveEnumValue(key, index, name, &nameSize, &type, data.data(), &dataSize),
                  HiveOk);
        data.resize(dataSize);
        entries.push_back(Entry{std::string(name, nameSize), type, data});
    }
    HiveCloseKey(key);
    return entries;
}

HiveStatus SetValue(const HiveRoot& root, const Entry& entry, std::string_view path = KeyPath) {
    HiveKey key = nullptr;
    const HiveStatus opened = HiveCreateKey(root, path, &key);
    if (opened != HiveOk) return opened;
    const HiveStatus status = HiveSetValue(key, entry.name, entry.type, entry.data.data(),
                                           static_cast<uint32_t>(entry.data.size()));
    HiveCloseKey(key);
    return status;
}

HiveRoot RootAt(std::string machineDir, std::string userDir) {
    return HiveRoot{HiveLocations{std::move(machineDir), std::move(userDir)}};
}

// Machine-wide content, readable but not writable while this lives. Root
// passes every permission check, so as root file access runs as "nobody";
// otherwise the folder loses its write bits.
class UnwritableMachineFolder {
public:
    UnwritableMachineFolder(const testing::ScratchFolder& temp, const std::string& machineDir,
                            const std::string& userParent) {
        fs::create_directories(machineDir);
        fs::create_directories(userParent);
        if (geteuid() == 0) {
            chmod(temp.Path().c_str(), 0755);
            chmod(machineDir.c_str(), 0755);
            EXPECT_EQ(chown(userParent.c_str(), NobodyId, NobodyId), 0);
            setfsgid(NobodyId);
            setfsuid(NobodyId);
            actingAsNobody_ = setfsuid(NobodyId) == static_cast<int>(NobodyId);
        } else {
            chmod(machineDir.c_str(), 0555);
            machineDir_ = machineDir;
        }
        works_ = faccessat(AT_FDCWD, machineDir.c_str(), W_OK, AT_EACCESS) != 0;
    }
    ~UnwritableMachineFolder() {
        if (actingAsNobody_) {
            setfsuid(0);
            setfsgid(0);
        }
        if (!machineDir_.empty()) chmod(machineDir_.c_str(), 0755);
    }
    bool Works() const { return works_; }

private:
    static constexpr uid_t NobodyId = 65534;
    bool actingAsNobody_ = false;
    bool works_ = false;
    std::string machineDir_;
};

// A small hive as a person might have edited it: CRLF, comments, blank
// lines, other keys and hives, an unknown value form, wrapped hex data.
constexpr std::string_view EditedHive =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; settings of this machine\r\n"
    "[HKEY_CURRENT_USER\\Software\\Tessaro]\r\n"
    "\"MAT File\"=\"/not/this/one.mat\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n"
    "\"MAT File\"=\"/nor/this.mat\"\r\n"
    "\r\n"
    "[hkey_local_machine\\SOFTWARE\\tessaro]\r\n"
    "  ; a comment inside the key\r\n"
    "\"MAT File\"=\"C:\\\\Filters\\\\room \\\"A\\\".mat\"\r\n"
    "\"Typed Path\"=\"C:\\Temp\\x.mat\"\r\n"
    "@=\"default\"\r\n"
    "\"Count\" = DWORD:2A\r\n"
    "\"Blob\"=hex:01,02,\\\r\n"
    "  03,ff\r\n"
    "\"Expand\"=hex(2):25,00\r\n"
    "\"List\"=hex(7):61,00,62,63,00,00\r\n"
    "this line means nothing\r\n"
    "\"Removed\"=-\r\n"
    "\r\n";

TEST(RegistryHiveFile, HandEditedFileReadsItsValues) {
    testing::ScratchFolder temp;
    const HiveRoot root = RootAt(temp.File("machine"), temp.File("user"));
    testing::WriteFileText(temp.File("machine/machine.reg"), EditedHive);

    const std::vector<Entry> expected = {
        {"MAT File", RegSz, TextData("C:\\Filters\\room \"A\".mat")},
        {"Typed Path", RegSz, TextData("C:\\Temp\\x.mat")},
        {"", RegSz, TextData("default")},
        {"Count", RegDword, {0x2A, 0, 0, 0}},
        {"Blob", RegBinary, {1, 2, 3, 0xFF}},
        {"Expand", 2, {0x25, 0}},
        {"List", RegMultiSz, Bytes(std::string_view("a\0bc\0\0", 6))},
    };
    EXPECT_EQ(ReadValues(root), expected);
    EXPECT_EQ(ReadValues(root, "Software\\Other")->size(), 1u);
    EXPECT_EQ(ReadValues(root, "Software")->size(), 0u) << "a parent key exists, empty";
    EXPECT_FALSE(ReadValues(root, "Software\\Missing").has_value());
}

TEST(RegistryHiveFile, WritingKeepsEverythingElseOfAnEditedFile) {
    testing::ScratchFolder temp;
    const HiveRoot root = RootAt(temp.File("machine"), temp.File("user"));
    const std::string file = temp.File("machine/machine.reg");
    testing::WriteFileText(file, EditedHive);

    ASSERT_EQ(SetValue(root, {"mat file", RegSz, TextData("/new/path.mat")}), HiveOk);
    ASSERT_EQ(SetValue(root, {"Added", RegDword, {7, 0, 0, 0}}), HiveOk);

    std::string expected(EditedHive);
    const std::string oldLine = "\"MAT File\"=\"C:\\\\Filters\\\\room \\\"A\\\".mat\"\r\n";
    expected.replace(expected.find(oldLine), oldLine.size(), "\"MAT File\"=\"/new/path.mat\"\r\n");
    const std::string lastLine = "\"Removed\"=-\r\n";
    expected.insert(expected.find(lastLine) + lastLine.size(), "\"Added\"=dword:00000007\r\n");
    EXPECT_EQ(testing::ReadFileText(file), expected);
}

// Found by fuzzing: a file whose line ends differ (here the first ends in
// "\n", a later one in "\r\r\n") is written back with one kind of line
// end; a write must not turn a line the reader skipped into a value.
TEST(RegistryHiveFile, MixedLineEndsMeanTheSameAfterAWrite) {
    testing::ScratchFolder temp;
    const HiveRoot root = RootAt(temp.File("machine"), temp.File("user"));
    testing::WriteFileText(temp.File("machine/machine.reg"),
                           "Windows Registry Editor Version 5.00\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\r\n"
                           "\"Kept\"=\"yes\"\r\r\n");
    const auto before = ReadValues(root);
    ASSERT_EQ(SetValue(root, {"Added", RegDword, {7, 0, 0, 0}}), HiveOk);
    auto expected = before.value_or(std::vector<Entry>{});
    expected.push_back({"Added", RegDword, {7, 0, 0, 0}});
    EXPECT_EQ(ReadValues(root), expected);
    ASSERT_TRUE(before.has_value());
    EXPECT_EQ(before->size(), 1u);
}

TEST(RegistryHiveFile, AllValueFormsRoundTrip) {
    std::vector<uint8_t> longBinary(300);
    std::mt19937 random(7);
    for (uint8_t& byte : longBinary) byte = static_cast<uint8_t>(random());
    const std::vector<Entry> entries = {
        {"MAT File", RegSz, TextData("/home/ann/filters/room.mat")},
        {"Quotes \"and\" \\slashes\\", RegSz, TextData("say \"hi\" \\\\server\\share\\")},
        {"Ünïcode €", RegSz, TextData("Grüße 𝄞 ✓")},
        {"Empty text", RegSz, TextData("")},
        {"Line break", RegSz, TextData("two\nlines\r\n")},
        {"No terminator", RegSz, Bytes("raw")},
        {"Inner zero", RegSz, Bytes(std::string_view("a\0b\0", 4))},
        {"Not UTF-8", RegSz, {0xC3, 0x28, 0xFF, 0}},
        {"Zero", RegDword, {0, 0, 0, 0}},
        {"Answer", RegDword, {0x2A, 0, 0, 0}},
        {"Largest", RegDword, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"Short number", RegDword, {1, 2, 3}},
        {"One byte", RegBinary, {0x80}},
        {"No bytes", RegBinary, {}},
        {"Long binary", RegBinary, longBinary},
        {"List", RegMultiSz, Bytes(std::string_view("one\0two\0\0", 9))},
        {"Empty list", RegMultiSz, Bytes(std::string_view("\0\0", 2))},
        {"", RegSz, TextData("the default value")},
        {"Odd type", 0x1234ABCD, {9, 8, 7}},
    };
    testing::ScratchFolder temp;
    const HiveRoot root = RootAt(temp.File("machine"), temp.File("user"));
    for (const Entry& entry : entries) ASSERT_EQ(SetValue(root, entry), HiveOk) << entry.name;
    EXPECT_EQ(ReadValues(root), entries);

    const std::string text = testing::ReadFileText(temp.File("machine/machine.reg"));
    SCOPED_TRACE(text);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n\n", 0), 0u);
    for (const char* line : {
             "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n",
             "\"MAT File\"=\"/home/ann/filters/room.mat\"\n",
             "\"Quotes \\\"and\\\" \\\\slashes\\\\\"=\"say \\\"hi\\\" "
             "\\\\\\\\server\\\\share\\\\\"\n",
             "\"Ünïcode €\"=\"Grüße 𝄞 ✓\"\n",
             "\"Answer\"=dword:0000002a\n",
             "\"Largest\"=dword:ffffffff\n",
             "\"Short number\"=hex(4):01,02,03\n",
             "\"Line break\"=hex(1):74,77,6f,0a,6c,69,6e,65,73,0d,0a,00\n",
             "\"One byte\"=hex:80\n",
             "\"List\"=hex(7):6f,6e,65,00,74,77,6f,00,00\n",
             "@=\"the default value\"\n",
             "\"Odd type\"=hex(1234abcd):09,08,07\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    // Long data wrap as exports do, so the file stays readable.
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
}

TEST(RegistryHiveFile, ByteOrderMarkAndMissingFinalLineBreakAreRead) {
    const std::string utf8Body =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n"
        "\"MAT File\"=\"/tmp/é.mat\"\n";
    const struct {
        const char* label;
        std::string content;
    } cases[] = {
        {"UTF-8", utf8Body},
        {"UTF-8 with byte order mark", "\xEF\xBB\xBF" + utf8Body},
        {"no final line break", utf8Body.substr(0, utf8Body.size() - 1)},
    };
    for (const auto& hive : cases) {
        SCOPED_TRACE(hive.label);
        testing::ScratchFolder temp;
        const HiveRoot root = RootAt(temp.File("machine"), "");
        testing::WriteFileText(temp.File("machine/machine.reg"), hive.content);
        const std::vector<Entry> expected = {{"MAT File", RegSz, TextData("/tmp/é.mat")}};
        EXPECT_EQ(ReadValues(root), expected);
        ASSERT_EQ(SetValue(root, {"Second", RegDword, {1, 0, 0, 0}}), HiveOk);
        const std::vector<Entry> both = {expected[0], {"Second", RegDword, {1, 0, 0, 0}}};
        EXPECT_EQ(ReadValues(root), both);
    }
}

TEST(RegistryHiveFile, KeyPathsAndNamesIgnoreCase) {
    testing::ScratchFolder temp;
    const HiveRoot root = RootAt(temp.File("machine"), "");
    ASSERT_EQ(SetValue(root, {"MAT File", RegSz, TextData("/a.mat")}), HiveOk);
    ASSERT_EQ(SetValue(root, {"mat FILE", RegSz, TextData("/b.mat")}, "SOFTWARE\\tessaro"), HiveOk);
    const std::vector<Entry> expected = {{"MAT File", RegSz, TextData("/b.mat")}};
    EXPECT_EQ(ReadValues(root, "software\\TESSARO"), expected);
    const std::string text = testing::ReadFileText(temp.File("machine/machine.reg"));
    EXPECT_EQ(text.find("mat FILE"), std::string::npos) << "the first spelling stays";
    EXPECT_EQ(text.find("SOFTWARE"), std::string::npos) << "one section, not two";
}

TEST(RegistryHiveFile, DuplicateNamesReadAsTheLastOne) {
    testing::ScratchFolder temp;
    const HiveRoot root = RootAt(temp.File("machine"), "");
    const std::string file = temp.File("machine/machine.reg");
    testing::WriteFileText(file,
                           "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n\"A\"=\"1\"\n\"B\"=\"2\"\n"
                           "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n\"a\"=\"3\"\n");
    std::vector<Entry> expected = {{"a", RegSz, TextData("3")}, {"B", RegSz, TextData("2")}};
    EXPECT_EQ(ReadValues(root), expected);
    ASSERT_EQ(SetValue(root, {"A", RegSz, TextData("4")}), HiveOk);
    expected[0].data = TextData("4");
    EXPECT_EQ(ReadValues(root), expected);
}

TEST(RegistryHiveEnumeration, BufferSizesDecideWhatFits) {
    testing::ScratchFolder temp;
    const HiveRoot root = RootAt(temp.File("machine"), "");
    ASSERT_EQ(SetValue(root, {"Name5", RegBinary, {1, 2, 3, 4, 5, 6}}), HiveOk);
    HiveKey key = nullptr;
    ASSERT_EQ(HiveOpenKey(root, KeyPath, &key), HiveOk);
    const struct {
        uint32_t nameBuffer;
        uint32_t dataBuffer;
        HiveStatus status;
    } cases[] = {
        {6, 6, HiveOk},        {5, 6, HiveMoreData},  {6, 5, HiveMoreData},
        {64, 0, HiveMoreData}, {1, 64, HiveMoreData},
    };
    for (const auto& sizes : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "name buffer " << sizes.nameBuffer << ", data buffer " << sizes.dataBuffer);
        char name[64];
        uint8_t data[64] = {};
        uint32_t nameSize = sizes.nameBuffer;
        uint32_t dataSize = sizes.dataBuffer;
        uint32_t type = RegNone;
        EXPECT_EQ(HiveEnumValue(key, 0, name, &nameSize, &type, data, &dataSize), sizes.status);
        EXPECT_EQ(dataSize, 6u) << "the size needed is always told";
        EXPECT_EQ(type, RegBinary);
        if (sizes.status == HiveOk) {
            EXPECT_EQ(std::string(name), "Name5");
            EXPECT_EQ(nameSize, 5u);
            EXPECT_EQ(data[5], 6);
        }
    }
    char name[64];
    uint32_t nameSize = sizeof name;
    uint32_t dataSize = 0;
    EXPECT_EQ(HiveEnumValue(key, 0, name, &nameSize, nullptr, nullptr, &dataSize), HiveOk);
    EXPECT_EQ(dataSize, 6u) << "a null buffer asks for the size";
    nameSize = sizeof name;
    EXPECT_EQ(HiveEnumValue(key, 1, name, &nameSize, nullptr, nullptr, nullptr), HiveNoMoreItems);
    HiveCloseKey(key);
}

TEST(RegistryHiveKeys, RefusedCalls) {
    testing::ScratchFolder temp;
    const HiveRoot root = RootAt(temp.File("machine"), "");
    ASSERT_EQ(SetValue(root, {"A", RegSz, TextData("1")}), HiveOk);
    HiveKey key = nullptr;
    for (std::string_view path :
         {"\\Software", "Software\\", "Software\\\\Tessaro", "Soft\nware", "Soft\xFFware"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(HiveCreateKey(root, path, &key), HiveInvalidParameter);
        EXPECT_EQ(key, nullptr);
    }
    EXPECT_EQ(HiveOpenKey(root, "Software\\Missing", &key), HiveNotFound);
    EXPECT_EQ(key, nullptr);

    ASSERT_EQ(HiveOpenKey(root, KeyPath, &key), HiveOk);
    const uint8_t data[] = {'x', 0};
    EXPECT_EQ(HiveSetValue(key, "Line\nbreak", RegSz, data, 2), HiveInvalidParameter);
    EXPECT_EQ(HiveSetValue(key, "A", RegSz, nullptr, 2), HiveInvalidParameter);
    HiveCloseKey(key);

    uint32_t count = 0;
    EXPECT_EQ(HiveQueryValueCount(nullptr, &count), HiveInvalidHandle);
    const std::vector<Entry> unchanged = {{"A", RegSz, TextData("1")}};
    EXPECT_EQ(ReadValues(root), unchanged);
}

TEST(RegistryHiveKeys, CreatingAMissingKeyWritesAnEmptyKey) {
    testing::ScratchFolder temp;
    const HiveRoot root = RootAt(temp.File("state/machine"), "");
    HiveKey key = nullptr;
    ASSERT_EQ(HiveCreateKey(root, KeyPath, &key), HiveOk);
    HiveCloseKey(key);
    EXPECT_EQ(testing::ReadFileText(temp.File("state/machine/machine.reg")),
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n");
    EXPECT_EQ(ReadValues(root), std::vector<Entry>{});
}

TEST(RegistryHiveLocations, UserCopyTakesWritesWhenTheMachineFolderCannotBeWritten) {
    testing::ScratchFolder temp;
    testing::WriteFileText(temp.File("file"), "a regular file");
    const struct {
        const char* label;
        std::string machineDir;
    } unwritable[] = {
        {"under a regular file", temp.File("file/machine")},
        {"deep under a regular file", temp.File("file/a/b/machine")},
    };
    for (const auto& place : unwritable) {
        SCOPED_TRACE(place.label);
        const std::string userDir = temp.File(std::string("user ") + place.label);
        const HiveRoot root = RootAt(place.machineDir, userDir);
        const Entry entry = {"MAT File", RegSz, TextData("/x.mat")};
        ASSERT_EQ(SetValue(root, entry), HiveOk);
        EXPECT_EQ(ReadValues(root), std::vector<Entry>{entry});
        EXPECT_NE(testing::ReadFileText(userDir + "/machine.reg").find("\"MAT File\"=\"/x.mat\""),
                  std::string::npos);
    }
    EXPECT_EQ(testing::ReadFileText(temp.File("file")), "a regular file");
}

TEST(RegistryHiveLocations, NeitherWritableRefusesCreateAndWrites) {
    testing::ScratchFolder temp;
    testing::WriteFileText(temp.File("file"), "x");
    const HiveRoot root = RootAt(temp.File("file/machine"), temp.File("file/user"));
    HiveKey key = nullptr;
    EXPECT_EQ(HiveCreateKey(root, KeyPath, &key), HiveAccessDenied);
    EXPECT_EQ(HiveCreateKey(root, KeyPath, &key), HiveAccessDenied)
        << "creating a missing key is a write";
    EXPECT_EQ(HiveOpenKey(root, KeyPath, &key), HiveAccessDenied)
        << "every key is opened for writing";
    EXPECT_EQ(HiveCreateKey(RootAt(temp.File("file/machine"), ""), KeyPath, &key), HiveAccessDenied)
        << "no user folder at all";
    EXPECT_EQ(key, nullptr);
}

TEST(RegistryHiveLocations, UserCopyStartsFromMachineContentAndShadowsIt) {
    testing::ScratchFolder temp;
    const std::string machineDir = temp.File("machine");
    const std::string userDir = temp.File("home/state/tessaro");
    const std::string machineFile = machineDir + "/machine.reg";
    const std::string machineText =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n"
        "\"MAT File\"=\"/machine.mat\"\n\"Kept\"=dword:00000001\n";
    testing::WriteFileText(machineFile, machineText);
    const HiveRoot root = RootAt(machineDir, userDir);

    UnwritableMachineFolder locked(temp, machineDir, temp.File("home"));
    if (!locked.Works()) GTEST_SKIP() << "cannot make a folder unwritable here";

    const Entry machineValue = {"MAT File", RegSz, TextData("/machine.mat")};
    const Entry kept = {"Kept", RegDword, {1, 0, 0, 0}};
    EXPECT_EQ(ReadValues(root), (std::vector<Entry>{machineValue, kept}));
    EXPECT_FALSE(Exists(userDir + "/machine.reg")) << "reading copies nothing";

    HiveKey key = nullptr;
    ASSERT_EQ(HiveCreateKey(root, KeyPath, &key), HiveOk);
    const uint8_t path[] = "/user.mat";
    ASSERT_EQ(HiveSetValue(key, "MAT File", RegSz, path, sizeof path), HiveOk);
    HiveCloseKey(key);

    const Entry userValue = {"MAT File", RegSz, TextData("/user.mat")};
    EXPECT_EQ(ReadValues(root), (std::vector<Entry>{userValue, kept}));
    EXPECT_EQ(testing::ReadFileText(machineFile), machineText);

    // The copy shadows later machine-wide changes.
    testing::WriteFileText(userDir + "/machine.reg",
                           "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n\"Only\"=\"user\"\n");
    EXPECT_EQ(ReadValues(root), (std::vector<Entry>{{"Only", RegSz, TextData("user")}}));
}

TEST(RegistryHiveLocations, DefaultsFollowTheEnvironment) {
    struct Saved {
        const char* name;
        std::optional<std::string> value;
    };
    Saved saved[] = {{"XDG_STATE_HOME", std::nullopt}, {"HOME", std::nullopt}};
    for (Saved& variable : saved) {
        if (const char* value = std::getenv(variable.name)) variable.value = value;
    }
    const struct {
        const char* stateHome;
        const char* home;
        const char* userDir;
    } cases[] = {
        {"/state", "/home/ann", "/state/tessaro"},
        {nullptr, "/home/ann", "/home/ann/.local/state/tessaro"},
        {"relative/state", "/home/ann", "/home/ann/.local/state/tessaro"},
        {"", "/home/bob", "/home/bob/.local/state/tessaro"},
    };
    for (const auto& environment : cases) {
        SCOPED_TRACE(environment.userDir);
        if (environment.stateHome != nullptr) {
            setenv("XDG_STATE_HOME", environment.stateHome, 1);
        } else {
            unsetenv("XDG_STATE_HOME");
        }
        setenv("HOME", environment.home, 1);
        const HiveLocations locations = DefaultHiveLocations();
        EXPECT_EQ(locations.userDir, environment.userDir);
        EXPECT_FALSE(locations.machineDir.empty());
    }
    for (const Saved& variable : saved) {
        if (variable.value) {
            setenv(variable.name, variable.value->c_str(), 1);
        } else {
            unsetenv(variable.name);
        }
    }
}

TEST(RegistryHiveWriting, LeftoverTemporaryFileIsIgnored) {
    testing::ScratchFolder temp;
    const HiveRoot root = RootAt(temp.File("machine"), "");
    const Entry first = {"MAT File", RegSz, TextData("/a.mat")};
    ASSERT_EQ(SetValue(root, first), HiveOk);
    // A writer died halfway through its temporary file.
    testing::WriteFileText(
        temp.File("machine/machine.reg.tmp"),
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Tes");
    EXPECT_EQ(ReadValues(root), std::vector<Entry>{first});
    const Entry second = {"Second", RegDword, {2, 0, 0, 0}};
    ASSERT_EQ(SetValue(root, second), HiveOk);
    EXPECT_EQ(ReadValues(root), (std::vector<Entry>{first, second}));
    EXPECT_FALSE(Exists(temp.File("machine/machine.reg.tmp")));
}

TEST(RegistryHiveWriting, ConcurrentWritersLoseNothingAndReadersNeverSeeATornFile) {
    testing::ScratchFolder temp;
    const HiveRoot root = RootAt(temp.File("machine"), "");
    constexpr int WritersCount = 2;
    constexpr int ValuesPerWriter = 15;
    std::atomic<bool> writing{true};
    std::atomic<int> shrinkingReads{0};
    std::thread reader([&] {
        size_t seen = 0;
        while (writing.load()) {
            HiveKey key = nullptr;
            if (HiveOpenKey(root, KeyPath, &key) != HiveOk) continue;
            uint32_t count = 0;
            HiveQueryValueCount(key, &count);
            HiveCloseKey(key);
            if (count < seen) ++shrinkingReads;
            seen = count;
        }
    });
    std::vector<std::thread> writers;
    for (int writer = 0; writer < WritersCount; ++writer) {
        writers.emplace_back([&root, writer] {
            for (int index = 0; index < ValuesPerWriter; ++index) {
                const std::string name =
                    "Writer " + std::to_string(writer) + " value " + std::to_string(index);
                const uint8_t data[4] = {static_cast<uint8_t>(index), 0, 0, 0};
                HiveKey key = nullptr;
                if (HiveCreateKey(root, KeyPath, &key) == HiveOk) {
                    HiveSetValue(key, name, RegDword, data, 4);
                    HiveCloseKey(key);
                }
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    writing = false;
    reader.join();

    const std::optional<std::vector<Entry>> values = ReadValues(root);
    ASSERT_TRUE(values.has_value());
    EXPECT_EQ(values->size(), static_cast<size_t>(WritersCount * ValuesPerWriter));
    EXPECT_EQ(shrinkingReads.load(), 0);
}

TEST(RegistryHiveWriting, UnreadableHiveIsNeverReplaced) {
    testing::ScratchFolder temp;
    const HiveRoot root = RootAt(temp.File("machine"), "");
    fs::create_directories(temp.File("machine"));
    // Something that is no file: it must neither hang a read nor be replaced.
    ASSERT_EQ(mkfifo(temp.File("machine/machine.reg").c_str(), 0644), 0);
    EXPECT_FALSE(ReadValues(root).has_value());
    HiveKey key = nullptr;
    EXPECT_EQ(HiveCreateKey(root, KeyPath, &key), HiveIoFailed);
    struct stat info {};
    ASSERT_EQ(stat(temp.File("machine/machine.reg").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST(RegistryHiveFile, DamagedFilesReadWhatIsValidAndKeepTheRest) {
    const std::string good =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n"
        "\"MAT File\"=\"/a \\\"b\\\".mat\"\n\"N\"=dword:0000002a\n"
        "\"Blob\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\n"
        "  18,19\n\"L\"=hex(7):61,00,00\n";
    const std::vector<std::string> damaged = {
        "\"No\"=\"section\"\n[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n\"Yes\"=\"1\"\n",
        "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n\"Open\"=\"quote\n\"Yes\"=\"1\"\n",
        "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n\"B\"=hex:01,zz\n\"Yes\"=\"1\"\n",
        "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n\"B\"=hex:01,\\\n\"Yes\"=\"1\"\n",
        "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n\"D\"=dword:123456789\n\"Yes\"=\"1\"\n",
        "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n\"H\"=hex(:01\n\"Yes\"=\"1\"\n",
        "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n\"T\"=\"x\" trailing\n\"Yes\"=\"1\"\n",
        "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n\"\xFF\xFE\"=\"\x02\x01\"\n\"Yes\"=\"1\"\n",
        "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\n\0\0\n\"Yes\"=\"1\"\n"s,
    };
    testing::ScratchFolder temp;
    const HiveRoot root = RootAt(temp.File("machine"), "");
    const std::string file = temp.File("machine/machine.reg");
    for (const std::string& content : damaged) {
        SCOPED_TRACE(content);
        testing::WriteFileText(file, content);
        const std::optional<std::vector<Entry>> values = ReadValues(root);
        ASSERT_TRUE(values.has_value());
        ASSERT_FALSE(values->empty());
        EXPECT_EQ(values->back(), (Entry{"Yes", RegSz, TextData("1")}));
    }

    // Every prefix of a good file, as a crash of another editor could leave
    // it: whatever reads back, writing a value keeps every byte that was there.
    for (size_t length = 0; length <= good.size(); ++length) {
        SCOPED_TRACE(length);
        const std::string prefix = good.substr(0, length);
        testing::WriteFileText(file, prefix);
        ReadValues(root);
        if (length % 8 != 0 && length != good.size()) continue;
        ASSERT_EQ(SetValue(root, {"Added", RegSz, TextData("x")}), HiveOk);
        const std::string after = testing::ReadFileText(file);
        EXPECT_EQ(after.compare(0, prefix.size(), prefix), 0) << after;
        const std::optional<std::vector<Entry>> values = ReadValues(root);
        ASSERT_TRUE(values.has_value());
        ASSERT_FALSE(values->empty());
        EXPECT_EQ(values->back(), (Entry{"Added", RegSz, TextData("x")}));
    }
}

}  // namespace
}  // namespace tessaro
