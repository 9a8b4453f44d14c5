#include "platform/registry_hive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

#ifndef TESSARO_MACHINE_STATE_DIR
#define TESSARO_MACHINE_STATE_DIR "/var/lib/tessaro"
#endif

namespace tessaro {

struct HiveValueCopy {
    std::string name;
    uint32_t type = RegNone;
    std::vector<uint8_t> data;
};

struct HiveKeyData {
    HiveLocations locations;
    std::string path;
    // The values as the last count saw them; enumeration reads these, so that
    // a loop over the count is one pass over one state of the file.
    std::optional<std::vector<HiveValueCopy>> snapshot;
};

namespace {

constexpr std::string_view HeaderLine = "Windows Registry Editor Version 5.00";
constexpr std::string_view MachineRootName = "HKEY_LOCAL_MACHINE";
// A larger file is not ours: it is neither read nor ever replaced.
constexpr size_t MaxHiveFileBytes = size_t{64} << 20;
// Hex data lines wrap after this many characters, as exports do.
constexpr size_t HexWrapColumn = 76;

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && HiveNamesEqual(text.substr(0, prefix.size()), prefix);
}

// A stray carriage return (a line that ended in "\r\r\n", or "\r\n" in a
// file whose first line ended in "\n" alone) counts as white space: a write
// may change how lines end, and must not change what they mean.
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view TrimLeft(std::string_view text) {
    while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
    return text;
}

std::string_view Trim(std::string_view text) {
    text = TrimLeft(text);
    while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
    return text;
}

// Shortest forms only, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<uint8_t>(text[i]);
        const size_t length = lead < 0x80   ? 1
                              : lead < 0xC2 ? 0
                              : lead < 0xE0 ? 2
                              : lead < 0xF0 ? 3
                              : lead < 0xF5 ? 4
                                            : 0;
        if (length == 0 || text.size() - i < length) return false;
        uint32_t codePoint = length == 1 ? lead : lead & (0x3Fu >> (length - 1));
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        constexpr uint32_t Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < Smallest[length] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

// A name or text must survive a round trip through one quoted UTF-8 line.
bool IsValidName(std::string_view name) {
    return IsValidUtf8(name) && std::none_of(name.begin(), name.end(), [](char c) {
               return static_cast<uint8_t>(c) < 0x20 || c == 0x7F;
           });
}

bool IsValidKeyPath(std::string_view path) {
    return IsValidName(path) && path.find("\\\\") == std::string_view::npos &&
           (path.empty() || (path.front() != '\\' && path.back() != '\\'));
}

// 1 to 8 hex digits, nothing else.
bool ParseHexNumber(std::string_view text, uint32_t* value) {
    const char* end = text.data() + text.size();
    return !text.empty() && text.size() <= 8 &&
           std::from_chars(text.data(), end, *value, 16).ptr == end;
}

void AppendHexByte(uint8_t byte, std::string* out) {
    constexpr char Digits[] = "0123456789abcdef";
    out->push_back(Digits[byte >> 4]);
    out->push_back(Digits[byte & 0x0F]);
}

// Reads a quoted text starting at text[*pos] == '"'. \\ and \" are escapes; a
// backslash before anything else stands for itself, as people type paths.
bool ParseQuoted(std::string_view text, size_t* pos, std::string* out) {
    out->clear();
    for (size_t i = *pos + 1; i < text.size(); ++i) {
        if (text[i] == '"') {
            *pos = i + 1;
            return true;
        }
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
            ++i;
        }
        out->push_back(text[i]);
    }
    return false;
}

// The name and '=' of a value line: "name"= or @=. *dataStart is where the
// data begin.
bool ParseValueName(std::string_view line, std::string* name, size_t* dataStart) {
    size_t pos = line.size() - TrimLeft(line).size();
    if (pos < line.size() && line[pos] == '@') {
        name->clear();
        ++pos;
    } else if (pos >= line.size() || line[pos] != '"' || !ParseQuoted(line, &pos, name)) {
        return false;
    }
    const std::string_view rest = TrimLeft(line.substr(pos));
    if (rest.empty() || rest[0] != '=') return false;
    *dataStart = line.size() - TrimLeft(rest.substr(1)).size();
    return true;
}

// Comma-separated bytes of one or two hex digits; a trailing comma is allowed.
bool ParseHexBytes(std::string_view text, std::vector<uint8_t>* out) {
    out->clear();
    text = Trim(text);
    while (!text.empty()) {
        const size_t comma = std::min(text.find(','), text.size());
        uint32_t value = 0;
        const std::string_view token = Trim(text.substr(0, comma));
        if (token.size() > 2 || !ParseHexNumber(token, &value)) return false;
        out->push_back(static_cast<uint8_t>(value));
        text.remove_prefix(std::min(comma + 1, text.size()));
    }
    return true;
}

bool ParseValueData(std::string_view data, uint32_t* type, std::vector<uint8_t>* bytes) {
    if (!data.empty() && data[0] == '"') {
        size_t pos = 0;
        std::string text;
        if (!ParseQuoted(data, &pos, &text) || !Trim(data.substr(pos)).empty()) return false;
        *type = RegSz;
        bytes->assign(text.c_str(), text.c_str() + text.size() + 1);
        return true;
    }
    uint32_t value = 0;
    if (StartsWithIgnoreCase(data, "dword:")) {
        if (!ParseHexNumber(Trim(data.substr(6)), &value)) return false;
        *type = RegDword;
        bytes->resize(4);
        for (int k = 0; k < 4; ++k) (*bytes)[k] = static_cast<uint8_t>(value >> (8 * k));
        return true;
    }
    if (StartsWithIgnoreCase(data, "hex:")) {
        *type = RegBinary;
        return ParseHexBytes(data.substr(4), bytes);
    }
    const size_t close = data.find("):");
    return StartsWithIgnoreCase(data, "hex(") && close != std::string_view::npos &&
           ParseHexNumber(data.substr(4, close - 4), type) &&
           ParseHexBytes(data.substr(close + 2), bytes);
}

// The file as lines, each without its line end. Writes keep the byte order
// mark and the line end of the first line.
struct HiveLines {
    bool byteOrderMark = false;
    bool crlf = false;
    std::vector<std::string> lines;
};

HiveLines SplitHive(std::string_view content) {
    HiveLines file;
    file.byteOrderMark = content.substr(0, 3) == "\xEF\xBB\xBF";
    if (file.byteOrderMark) content.remove_prefix(3);
    while (!content.empty()) {
        const size_t end = std::min(content.find('\n'), content.size());
        std::string_view line = content.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
            if (file.lines.empty()) file.crlf = true;
        }
        file.lines.emplace_back(line);
        content.remove_prefix(std::min(end + 1, content.size()));
    }
    return file;
}

std::string JoinHive(const HiveLines& file) {
    std::string out = file.byteOrderMark ? "\xEF\xBB\xBF" : "";
    for (const std::string& line : file.lines) out.append(line).append(file.crlf ? "\r\n" : "\n");
    return out;
}

// Reads the value starting at lines[first]. *lineCount is how many lines it
// spans (hex data continue after a trailing backslash, never into a line that
// starts a value, a key or a comment), also when false is returned.
bool ParseValueLines(const std::vector<std::string>& lines, size_t first, size_t* lineCount,
                     HiveValueCopy* value) {
    *lineCount = 1;
    size_t dataStart = 0;
    if (!ParseValueName(lines[first], &value->name, &dataStart)) return false;
    std::string logical = lines[first];
    auto dropTrailingBackslash = [&logical] {
        const std::string_view current = Trim(logical);
        if (current.empty() || current.back() != '\\') return false;
        logical.resize(static_cast<size_t>(current.data() - logical.data()) + current.size() - 1);
        return true;
    };
    auto continues = [&](size_t index) {
        const std::string_view next = TrimLeft(lines[index]);
        return !next.empty() && std::string_view("\"@[;").find(next[0]) == std::string_view::npos;
    };
    if (StartsWithIgnoreCase(std::string_view(logical).substr(dataStart), "hex")) {
        while (first + *lineCount < lines.size() && continues(first + *lineCount) &&
               dropTrailingBackslash()) {
            logical += TrimLeft(lines[first + *lineCount]);
            ++*lineCount;
        }
        dropTrailingBackslash();
    }
    return ParseValueData(std::string_view(logical).substr(dataStart), &value->type, &value->data);
}

// A value of the key and the lines [first, end) of its last occurrence.
struct FoundValue {
    HiveValueCopy value;
    size_t first = 0;
    size_t end = 0;
};

// What one pass over the file finds about a key.
struct KeyScan {
    bool exists = false;
    // Each name once, in the order names first appear; a name given twice
    // takes its last data, as an import would.
    std::vector<FoundValue> values;
    // After the last non-blank line of the key's last section, where a new
    // value goes; npos when the key has no section of its own.
    size_t sectionEnd = std::string_view::npos;
};

KeyScan ScanKey(const HiveLines& file, std::string_view path) {
    KeyScan scan;
    scan.exists = path.empty();
    bool inKey = false;
    size_t lineCount = 1;
    for (size_t i = 0; i < file.lines.size(); i += lineCount) {
        lineCount = 1;
        const std::string_view trimmed = Trim(file.lines[i]);
        if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
            const std::string_view inner = trimmed.substr(1, trimmed.size() - 2);
            const size_t slash = std::min(inner.find('\\'), inner.size());
            const std::string_view rootName = inner.substr(0, slash);
            const bool machineKey =
                HiveNamesEqual(rootName, MachineRootName) || HiveNamesEqual(rootName, "HKLM");
            std::string_view section = inner.substr(std::min(slash + 1, inner.size()));
            while (!section.empty() && section.back() == '\\') section.remove_suffix(1);
            inKey = machineKey && HiveNamesEqual(section, path);
            if (inKey) scan.sectionEnd = i + 1;
            // A subkey's section implies its parents.
            const bool subkey = section.size() > path.size() && section[path.size()] == '\\' &&
                                StartsWithIgnoreCase(section, path);
            scan.exists = scan.exists || inKey || (machineKey && subkey);
            continue;
        }
        if (!inKey) continue;
        FoundValue found;
        if (ParseValueLines(file.lines, i, &lineCount, &found.value)) {
            found.first = i;
            found.end = i + lineCount;
            auto known = std::find_if(scan.values.begin(), scan.values.end(), [&](auto& value) {
                return HiveNamesEqual(value.value.name, found.value.name);
            });
            if (known == scan.values.end()) {
                scan.values.push_back(std::move(found));
            } else {
                *known = std::move(found);
            }
        }
        if (!trimmed.empty()) scan.sectionEnd = i + lineCount;
    }
    return scan;
}

// Where a new value of the key goes; a section for the key is appended at the
// end when it has none.
size_t SectionEnd(HiveLines* file, const KeyScan& scan, std::string_view path) {
    if (scan.sectionEnd != std::string_view::npos) return scan.sectionEnd;
    std::vector<std::string>& lines = file->lines;
    if (lines.empty()) lines.emplace_back(HeaderLine);
    if (!Trim(lines.back()).empty()) lines.emplace_back();
    lines.push_back("[" + std::string(MachineRootName) + (path.empty() ? "" : "\\") +
                    std::string(path) + "]");
    return lines.size();
}

std::string QuoteText(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

// A REG_SZ is written as a quoted line only when reading it back gives the
// same bytes: one terminator at the end, printable UTF-8 before it; other
// texts are written as hex(1).
std::vector<std::string> FormatValue(std::string_view name, uint32_t type,
                                     const std::vector<uint8_t>& data) {
    std::string line = (name.empty() ? std::string("@") : QuoteText(name)) + "=";
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    if (type == RegSz && !data.empty() && data.back() == 0 &&
        IsValidName(text.substr(0, text.size() - 1))) {
        return {line + QuoteText(text.substr(0, text.size() - 1))};
    }
    if (type == RegDword && data.size() == 4) {
        line += "dword:";
        for (size_t k = 4; k-- > 0;) AppendHexByte(data[k], &line);
        return {line};
    }
    char typeDigits[8];
    const auto typeEnd = std::to_chars(typeDigits, typeDigits + 8, type, 16).ptr;
    line += type == RegBinary ? "hex:" : "hex(" + std::string(typeDigits, typeEnd) + "):";
    std::vector<std::string> lines;
    for (size_t k = 0; k < data.size(); ++k) {
        AppendHexByte(data[k], &line);
        if (k + 1 == data.size()) break;
        line += ',';
        if (line.size() > HexWrapColumn) {
            lines.push_back(line + "\\");
            line = "  ";
        }
    }
    lines.push_back(std::move(line));
    return lines;
}

std::string HiveFilePath(const std::string& dir) { return dir + "/machine.reg"; }

class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : fd(descriptor) {}
    ~FileDescriptor() {
        if (fd >= 0) close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    const int fd;
};

enum class FileRead { Missing, Read, Failed };

FileRead ReadWholeFile(const std::string& path, std::string* content) {
    content->clear();
    // Non-blocking, so a FIFO put in the file's place cannot hang us.
    const FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.fd < 0)
        return (errno == ENOENT || errno == ENOTDIR) ? FileRead::Missing : FileRead::Failed;
    struct stat info {};
    if (fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) return FileRead::Failed;
    char buffer[16384];
    ssize_t got = 0;
    while ((got = read(file.fd, buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || content->size() + static_cast<size_t>(got) > MaxHiveFileBytes) {
            return FileRead::Failed;
        }
        content->append(buffer, static_cast<size_t>(got));
    }
    return FileRead::Read;
}

// Whether dir could be written: it is a writable folder, or the nearest
// existing folder above it is, so that it can be created. Asked without
// creating anything; root passes unless the file system is read-only.
bool FolderWritable(const std::string& dir) {
    if (dir.empty()) return false;
    std::filesystem::path folder(dir);
    struct stat info {};
    while (!folder.empty() && stat(folder.c_str(), &info) != 0) {
        if (errno != ENOENT || folder == folder.parent_path()) return false;
        folder = folder.parent_path();
    }
    if (folder.empty()) folder = ".";
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// The folder writes go to: the machine folder, else the user folder, else
// none (empty).
std::string WriteFolder(const HiveLocations& locations) {
    if (FolderWritable(locations.machineDir)) return locations.machineDir;
    if (FolderWritable(locations.userDir)) return locations.userDir;
    return {};
}

// What cannot be read reads as an empty hive. The per-user copy shadows the
// machine file whenever the machine folder cannot be written and the copy
// exists.
HiveLines LoadHive(const HiveLocations& locations) {
    std::string content;
    FileRead read = FileRead::Missing;
    if (!locations.userDir.empty() && !FolderWritable(locations.machineDir)) {
        read = ReadWholeFile(HiveFilePath(locations.userDir), &content);
    }
    if (read == FileRead::Missing)
        read = ReadWholeFile(HiveFilePath(locations.machineDir), &content);
    return read == FileRead::Read ? SplitHive(content) : HiveLines{};
}

// Replaces file with content through a synced temporary file in its folder;
// the caller holds the folder's lock, so the temporary name is ours.
HiveStatus ReplaceFile(const std::string& dir, const std::string& file, std::string_view content) {
    const std::string temporary = file + ".tmp";
    unlink(temporary.c_str());
    const int output =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (output < 0) return HiveIoFailed;
    struct stat old {};
    if (stat(file.c_str(), &old) == 0 && S_ISREG(old.st_mode)) fchmod(output, old.st_mode & 07777);
    while (!content.empty()) {
        const ssize_t step = write(output, content.data(), content.size());
        if (step < 0 && errno == EINTR) continue;
        if (step <= 0) break;
        content.remove_prefix(static_cast<size_t>(step));
    }
    const bool synced = content.empty() && fsync(output) == 0;
    // A delayed write error shows only at close.
    const bool closed = close(output) == 0;
    if (!synced || !closed || rename(temporary.c_str(), file.c_str()) != 0) {
        unlink(temporary.c_str());
        return HiveIoFailed;
    }
    const FileDescriptor folder(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd >= 0) fsync(folder.fd);
    return HiveOk;
}

// Applies change to the current hive under the folder's lock and writes the
// result. change returns whether it changed anything.
template <typename Change>
HiveStatus UpdateHive(const HiveLocations& locations, Change change) {
    const std::string dir = WriteFolder(locations);
    if (dir.empty()) return HiveAccessDenied;
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    const std::string file = HiveFilePath(dir);
    const FileDescriptor lock(
        open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (error || lock.fd < 0) return HiveIoFailed;
    while (flock(lock.fd, LOCK_EX) != 0) {
        if (errno != EINTR) return HiveIoFailed;
    }
    std::string content;
    FileRead current = ReadWholeFile(file, &content);
    // The per-user copy starts as the machine-wide content. The machine file
    // is only ever replaced whole, so no lock is needed to read it.
    if (current == FileRead::Missing && dir != locations.machineDir) {
        current = ReadWholeFile(HiveFilePath(locations.machineDir), &content);
        if (current != FileRead::Read) content.clear();
    } else if (current == FileRead::Failed) {
        // Replacing a file we could not read would lose it.
        return HiveIoFailed;
    }
    HiveLines lines = SplitHive(content);
    if (!change(&lines)) return HiveOk;
    return ReplaceFile(dir, file, JoinHive(lines));
}

HiveStatus OpenOrCreateKey(const HiveRoot& root, std::string_view path, HiveKey* key, bool create) {
    *key = nullptr;
    if (!IsValidKeyPath(path)) return HiveInvalidParameter;
    if (WriteFolder(root.locations).empty()) return HiveAccessDenied;
    if (!ScanKey(LoadHive(root.locations), path).exists) {
        if (!create) return HiveNotFound;
        const HiveStatus status = UpdateHive(root.locations, [&](HiveLines* file) {
            const KeyScan scan = ScanKey(*file, path);
            if (!scan.exists) SectionEnd(file, scan, path);
            return !scan.exists;
        });
        if (status != HiveOk) return status;
    }
    *key = new HiveKeyData{root.locations, std::string(path), std::nullopt};
    return HiveOk;
}

void TakeSnapshot(HiveKey key) {
    key->snapshot.emplace();
    for (FoundValue& found : ScanKey(LoadHive(key->locations), key->path).values) {
        key->snapshot->push_back(std::move(found.value));
    }
}

// Sets the value in file; false when it already holds these data.
bool SetValueIn(HiveLines* file, std::string_view path, std::string_view name, uint32_t type,
                const std::vector<uint8_t>& data) {
    const KeyScan scan = ScanKey(*file, path);
    auto lineAt = [file](size_t index) {
        return file->lines.begin() + static_cast<std::ptrdiff_t>(index);
    };
    auto found = std::find_if(scan.values.begin(), scan.values.end(), [&](const FoundValue& value) {
        return HiveNamesEqual(value.value.name, name);
    });
    if (found == scan.values.end()) {
        const std::vector<std::string> lines = FormatValue(name, type, data);
        file->lines.insert(lineAt(SectionEnd(file, scan, path)), lines.begin(), lines.end());
        return true;
    }
    if (found->value.type == type && found->value.data == data) return false;
    // The name keeps the spelling the file already has.
    const std::vector<std::string> lines = FormatValue(found->value.name, type, data);
    file->lines.erase(lineAt(found->first), lineAt(found->end));
    file->lines.insert(lineAt(found->first), lines.begin(), lines.end());
    return true;
}

}  // namespace

HiveLocations DefaultHiveLocations() {
    HiveLocations locations{TESSARO_MACHINE_STATE_DIR, {}};
    // Relative XDG paths are invalid and ignored.
    const char* stateHome = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (stateHome != nullptr && stateHome[0] == '/') {
        locations.userDir = std::string(stateHome) + "/tessaro";
    } else if (home != nullptr && home[0] == '/') {
        locations.userDir = std::string(home) + "/.local/state/tessaro";
    }
    return locations;
}

HiveRoot LocalMachineHive() { return HiveRoot{DefaultHiveLocations()}; }

HiveStatus HiveCreateKey(const HiveRoot& root, std::string_view path, HiveKey* key) {
    return OpenOrCreateKey(root, path, key, true);
}

HiveStatus HiveOpenKey(const HiveRoot& root, std::string_view path, HiveKey* key) {
    return OpenOrCreateKey(root, path, key, false);
}

HiveStatus HiveQueryValueCount(HiveKey key, uint32_t* valueCount) {
    if (key == nullptr) return HiveInvalidHandle;
    TakeSnapshot(key);
    *valueCount = static_cast<uint32_t>(key->snapshot->size());
    return HiveOk;
}

HiveStatus HiveEnumValue(HiveKey key, uint32_t index, char* name, uint32_t* nameSize,
                         uint32_t* type, uint8_t* data, uint32_t* dataSize) {
    if (!key->snapshot.has_value()) TakeSnapshot(key);
    if (index >= key->snapshot->size()) return HiveNoMoreItems;
    const HiveValueCopy& value = (*key->snapshot)[index];
    HiveStatus status = HiveOk;
    if (value.name.size() >= *nameSize) {
        status = HiveMoreData;
    } else {
        *std::copy(value.name.begin(), value.name.end(), name) = '\0';
        *nameSize = static_cast<uint32_t>(value.name.size());
    }
    if (type != nullptr) *type = value.type;
    if (dataSize != nullptr) {
        if (data != nullptr && value.data.size() > *dataSize) {
            status = HiveMoreData;
        } else if (data != nullptr) {
            std::copy(value.data.begin(), value.data.end(), data);
        }
        *dataSize = static_cast<uint32_t>(value.data.size());
    }
    return status;
}

HiveStatus HiveSetValue(HiveKey key, std::string_view name, uint32_t type, const uint8_t* data,
                        uint32_t size) {
    if ((data == nullptr && size != 0) || !IsValidName(name)) return HiveInvalidParameter;
    const std::vector<uint8_t> bytes(data, data + size);
    key->snapshot.reset();
    return UpdateHive(key->locations, [&](HiveLines* file) {
        return SetValueIn(file, key->path, name, type, bytes);
    });
}

void HiveCloseKey(HiveKey key) { delete key; }

bool HiveNamesEqual(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

}  // namespace tessaro
