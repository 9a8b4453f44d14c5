#include "platform/registry_hive.h"

#include <fcntl.h>
#include <pwd.h>
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

constexpr std::string_view HiveFileName = "machine.reg";
constexpr std::string_view HeaderLine = "Windows Registry Editor Version 5.00";
constexpr std::string_view MachineRootName = "HKEY_LOCAL_MACHINE";

// A hive file larger than this is not read, and so never replaced: it is
// not ours, and holding it in memory is not worth the risk.
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

bool IsValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        uint32_t codePoint = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        const bool overlong = (length == 2 && codePoint < 0x80) ||
                              (length == 3 && codePoint < 0x800) ||
                              (length == 4 && codePoint < 0x10000);
        if (overlong || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

bool HasControlCharacter(std::string_view text) {
    for (char c : text) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}

// A name must survive a round trip through one quoted line of the file.
bool IsValidName(std::string_view name) { return IsValidUtf8(name) && !HasControlCharacter(name); }

bool IsValidKeyPath(std::string_view path) {
    if (!IsValidName(path)) return false;
    if (path.empty()) return true;
    size_t start = 0;
    while (true) {
        const size_t end = path.find('\\', start);
        if (end == start || start == path.size()) return false;
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

void AppendUtf8(uint32_t codePoint, std::string* out) {
    if (codePoint < 0x80) {
        out->push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

// Exports saved by Windows tools are UTF-16LE with a byte order mark; they are
// read as such and written back as UTF-8. Unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() / 2);
    const size_t unitCount = bytes.size() / 2;
    auto unitAt = [&](size_t index) {
        return static_cast<uint32_t>(static_cast<uint8_t>(bytes[2 * index])) |
               (static_cast<uint32_t>(static_cast<uint8_t>(bytes[2 * index + 1])) << 8);
    };
    for (size_t i = 0; i < unitCount; ++i) {
        uint32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < unitCount) {
            const uint32_t low = unitAt(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), &out);
                ++i;
                continue;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) unit = 0xFFFD;
        AppendUtf8(unit, &out);
    }
    return out;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = AsciiLower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// 1 to 8 hex digits, nothing else.
bool ParseHexNumber(std::string_view text, uint32_t* value) {
    if (text.empty() || text.size() > 8) return false;
    uint32_t result = 0;
    for (char c : text) {
        const int digit = HexDigitValue(c);
        if (digit < 0) return false;
        result = (result << 4) | static_cast<uint32_t>(digit);
    }
    *value = result;
    return true;
}

void AppendHexByte(uint8_t byte, std::string* out) {
    constexpr char Digits[] = "0123456789abcdef";
    out->push_back(Digits[byte >> 4]);
    out->push_back(Digits[byte & 0x0F]);
}

// Reads a quoted text starting at text[*pos] == '"'. \\ and \" are escapes; a
// backslash before anything else stands for itself, as people type paths.
bool ParseQuoted(std::string_view text, size_t* pos, std::string* out) {
    size_t i = *pos + 1;
    out->clear();
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
            out->push_back(text[i + 1]);
            i += 2;
            continue;
        }
        out->push_back(c);
        ++i;
    }
    return false;
}

// Parses the name and '=' of a value line; *dataStart is where the data begin.
bool ParseValueName(std::string_view line, std::string* name, size_t* dataStart) {
    const size_t start = line.size() - TrimLeft(line).size();
    size_t pos = start;
    if (pos >= line.size()) return false;
    if (line[pos] == '@') {
        name->clear();
        ++pos;
    } else if (line[pos] != '"' || !ParseQuoted(line, &pos, name)) {
        return false;
    }
    while (pos < line.size() && IsSpace(line[pos])) ++pos;
    if (pos >= line.size() || line[pos] != '=') return false;
    ++pos;
    while (pos < line.size() && IsSpace(line[pos])) ++pos;
    *dataStart = pos;
    return true;
}

// Comma-separated bytes of one or two hex digits; a trailing comma is allowed.
bool ParseHexBytes(std::string_view text, std::vector<uint8_t>* out) {
    out->clear();
    text = Trim(text);
    if (text.empty()) return true;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view token = Trim(text.substr(start, end - start));
        if (token.empty()) return end == text.size() && !out->empty();
        uint32_t value = 0;
        if (token.size() > 2 || !ParseHexNumber(token, &value)) return false;
        out->push_back(static_cast<uint8_t>(value));
        if (end == text.size()) break;
        start = end + 1;
    }
    return true;
}

bool ParseValueData(std::string_view data, uint32_t* type, std::vector<uint8_t>* bytes) {
    if (!data.empty() && data[0] == '"') {
        size_t pos = 0;
        std::string text;
        if (!ParseQuoted(data, &pos, &text) || !Trim(data.substr(pos)).empty()) return false;
        *type = RegSz;
        bytes->assign(text.begin(), text.end());
        bytes->push_back(0);
        return true;
    }
    if (StartsWithIgnoreCase(data, "dword:")) {
        uint32_t value = 0;
        if (!ParseHexNumber(Trim(data.substr(6)), &value)) return false;
        *type = RegDword;
        bytes->assign({static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                       static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
        return true;
    }
    if (StartsWithIgnoreCase(data, "hex:")) {
        *type = RegBinary;
        return ParseHexBytes(data.substr(4), bytes);
    }
    if (StartsWithIgnoreCase(data, "hex(")) {
        const size_t close = data.find("):");
        if (close == std::string_view::npos || !ParseHexNumber(data.substr(4, close - 4), type)) {
            return false;
        }
        return ParseHexBytes(data.substr(close + 2), bytes);
    }
    return false;
}

// A line that starts a value, a key or a comment never continues hex data,
// even after a stray trailing backslash.
bool IsContinuation(std::string_view line) {
    const std::string_view trimmed = TrimLeft(line);
    return !trimmed.empty() &&
           (trimmed[0] != '"' && trimmed[0] != '@' && trimmed[0] != '[' && trimmed[0] != ';');
}

// The file as lines, each without its line end. Writes keep the byte order
// mark and the line end of the first line; UTF-16 files are written as UTF-8.
struct HiveLines {
    bool byteOrderMark = false;
    bool crlf = false;
    std::vector<std::string> lines;
};

HiveLines SplitHive(std::string_view content) {
    HiveLines file;
    std::string decoded;
    if (content.substr(0, 3) == "\xEF\xBB\xBF") {
        file.byteOrderMark = true;
        content.remove_prefix(3);
    } else if (content.substr(0, 2) == "\xFF\xFE") {
        decoded = Utf16LeToUtf8(content.substr(2));
        content = decoded;
    }
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string_view::npos) end = content.size();
        std::string_view line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
            if (file.lines.empty()) file.crlf = true;
        }
        file.lines.emplace_back(line);
        start = end + 1;
    }
    return file;
}

std::string JoinHive(const HiveLines& file) {
    std::string out = file.byteOrderMark ? "\xEF\xBB\xBF" : "";
    const std::string_view lineEnd = file.crlf ? "\r\n" : "\n";
    for (const std::string& line : file.lines) {
        out += line;
        out += lineEnd;
    }
    return out;
}

// Reads the value starting at lines[first] into value. *lineCount is how many
// lines it spans (hex data continue after a trailing backslash), also when
// the data are not understood and false is returned.
bool ParseValueLines(const std::vector<std::string>& lines, size_t first, size_t* lineCount,
                     HiveValueCopy* value) {
    *lineCount = 1;
    size_t dataStart = 0;
    if (!ParseValueName(lines[first], &value->name, &dataStart)) return false;
    std::string logical = lines[first];
    if (StartsWithIgnoreCase(std::string_view(logical).substr(dataStart), "hex")) {
        auto dropTrailingBackslash = [&logical] {
            const std::string_view current = Trim(logical);
            if (current.empty() || current.back() != '\\') return false;
            logical.resize(static_cast<size_t>(current.data() - logical.data()) + current.size() -
                           1);
            return true;
        };
        while (first + *lineCount < lines.size() && IsContinuation(lines[first + *lineCount]) &&
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
            const size_t slash = inner.find('\\');
            const std::string_view rootName = inner.substr(0, slash);
            const bool machineKey =
                HiveNamesEqual(rootName, MachineRootName) || HiveNamesEqual(rootName, "HKLM");
            std::string_view section;
            if (slash != std::string_view::npos) section = inner.substr(slash + 1);
            while (!section.empty() && section.back() == '\\') section.remove_suffix(1);
            inKey = machineKey && HiveNamesEqual(section, path);
            if (inKey) scan.sectionEnd = i + 1;
            // A subkey's section implies its parents.
            if (machineKey && section.size() > path.size() && section[path.size()] == '\\' &&
                StartsWithIgnoreCase(section, path)) {
                scan.exists = true;
            }
            scan.exists = scan.exists || inKey;
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
    std::string header = "[" + std::string(MachineRootName);
    if (!path.empty()) header.append("\\").append(path);
    lines.push_back(header.append("]"));
    return lines.size();
}

std::string QuoteText(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// A REG_SZ is written as a quoted line only when reading it back gives the
// same bytes: one terminator at the end, printable UTF-8 before it.
bool IsQuotableText(const std::vector<uint8_t>& data) {
    if (data.empty() || data.back() != 0) return false;
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size() - 1);
    return IsValidUtf8(text) && !HasControlCharacter(text);
}

std::vector<std::string> FormatValue(std::string_view name, uint32_t type,
                                     const std::vector<uint8_t>& data) {
    std::string line = name.empty() ? std::string("@") : QuoteText(name);
    line += '=';
    if (type == RegSz && IsQuotableText(data)) {
        line += QuoteText(
            std::string_view(reinterpret_cast<const char*>(data.data()), data.size() - 1));
        return {line};
    }
    if (type == RegDword && data.size() == 4) {
        line += "dword:";
        for (size_t k = 4; k-- > 0;) AppendHexByte(data[k], &line);
        return {line};
    }
    if (type == RegBinary) {
        line += "hex:";
    } else {
        char typeDigits[8];
        const auto typeEnd = std::to_chars(typeDigits, typeDigits + 8, type, 16).ptr;
        line.append("hex(").append(typeDigits, typeEnd).append("):");
    }
    std::vector<std::string> lines;
    for (size_t k = 0; k < data.size(); ++k) {
        AppendHexByte(data[k], &line);
        if (k + 1 < data.size()) {
            line += ',';
            if (line.size() > HexWrapColumn) {
                line += '\\';
                lines.push_back(std::move(line));
                line = "  ";
            }
        }
    }
    lines.push_back(std::move(line));
    return lines;
}

std::string HiveFilePath(const std::string& dir) { return dir + "/" + std::string(HiveFileName); }

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return fd_; }
    // Closes now, reporting the failure a delayed write error shows as.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return close(fd) == 0;
    }

private:
    int fd_;
};

enum class FileRead { Missing, Read, Failed };

FileRead ReadWholeFile(const std::string& path, std::string* content) {
    content->clear();
    // Non-blocking, so a FIFO put in the file's place cannot hang us.
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.Get() < 0) {
        return (errno == ENOENT || errno == ENOTDIR) ? FileRead::Missing : FileRead::Failed;
    }
    struct stat info {};
    if (fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) > MaxHiveFileBytes) {
        return FileRead::Failed;
    }
    char buffer[16384];
    while (true) {
        const ssize_t got = read(file.Get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return FileRead::Failed;
        }
        if (got == 0) break;
        if (content->size() + static_cast<size_t>(got) > MaxHiveFileBytes) return FileRead::Failed;
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
    for (int depth = 0; depth < 4096; ++depth) {
        struct stat info {};
        if (stat(folder.c_str(), &info) == 0) {
            return S_ISDIR(info.st_mode) &&
                   faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
        }
        if (errno != ENOENT) return false;
        std::filesystem::path parent = folder.parent_path();
        if (parent.empty()) parent = ".";
        if (parent == folder) return false;
        folder = std::move(parent);
    }
    return false;
}

// The folder writes go to: the machine folder, else the user folder, else
// none (empty).
std::string WriteFolder(const HiveLocations& locations) {
    if (FolderWritable(locations.machineDir)) return locations.machineDir;
    if (FolderWritable(locations.userDir)) return locations.userDir;
    return {};
}

// The file reads come from: the per-user copy shadows the machine file
// whenever the machine folder cannot be written and the copy exists.
std::string ReadPath(const HiveLocations& locations) {
    if (!FolderWritable(locations.machineDir) && !locations.userDir.empty()) {
        const std::string userFile = HiveFilePath(locations.userDir);
        struct stat info {};
        if (stat(userFile.c_str(), &info) == 0) return userFile;
    }
    return HiveFilePath(locations.machineDir);
}

// What cannot be read reads as an empty hive.
HiveLines LoadHive(const HiveLocations& locations) {
    std::string content;
    if (ReadWholeFile(ReadPath(locations), &content) != FileRead::Read) return {};
    return SplitHive(content);
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// Replaces file with content through a synced temporary file in its folder;
// the caller holds the folder's lock, so the temporary name is ours.
HiveStatus ReplaceFile(const std::string& dir, const std::string& file, std::string_view content) {
    const std::string temporary = file + ".tmp";
    unlink(temporary.c_str());
    FileDescriptor output(
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (output.Get() < 0) return HiveIoFailed;
    struct stat old {};
    if (stat(file.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        fchmod(output.Get(), old.st_mode & 07777);
    }
    if (!WriteAll(output.Get(), content) || fsync(output.Get()) != 0 || !output.Close() ||
        rename(temporary.c_str(), file.c_str()) != 0) {
        unlink(temporary.c_str());
        return HiveIoFailed;
    }
    FileDescriptor folder(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() >= 0) fsync(folder.Get());
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
    if (error) return HiveIoFailed;

    const std::string file = HiveFilePath(dir);
    const std::string lockPath = file + ".lock";
    FileDescriptor lock(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (lock.Get() < 0) return HiveIoFailed;
    while (flock(lock.Get(), LOCK_EX) != 0) {
        if (errno != EINTR) return HiveIoFailed;
    }

    std::string content;
    const FileRead current = ReadWholeFile(file, &content);
    // Replacing a file we could not read would lose it.
    if (current == FileRead::Failed) return HiveIoFailed;
    if (current == FileRead::Missing && dir != locations.machineDir) {
        // The per-user copy starts as the machine-wide content. The machine
        // file is only ever replaced whole, so no lock is needed to read it.
        if (ReadWholeFile(HiveFilePath(locations.machineDir), &content) != FileRead::Read) {
            content.clear();
        }
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
            if (scan.exists) return false;
            SectionEnd(file, scan, path);
            return true;
        });
        if (status != HiveOk) return status;
    }
    *key = new HiveKeyData{root.locations, std::string(path), std::nullopt};
    return HiveOk;
}

void TakeSnapshot(HiveKey key) {
    std::vector<HiveValueCopy> copies;
    for (FoundValue& found : ScanKey(LoadHive(key->locations), key->path).values) {
        copies.push_back(std::move(found.value));
    }
    key->snapshot = std::move(copies);
}

// Sets the value in file; false when it already holds these data.
bool SetValueIn(HiveLines* file, std::string_view path, std::string_view name, uint32_t type,
                const std::vector<uint8_t>& data) {
    const KeyScan scan = ScanKey(*file, path);
    auto lineAt = [file](size_t index) {
        return file->lines.begin() + static_cast<std::ptrdiff_t>(index);
    };
    for (const FoundValue& found : scan.values) {
        if (!HiveNamesEqual(found.value.name, name)) continue;
        if (found.value.type == type && found.value.data == data) return false;
        // The name keeps the spelling the file already has.
        const std::vector<std::string> lines = FormatValue(found.value.name, type, data);
        file->lines.erase(lineAt(found.first), lineAt(found.end));
        file->lines.insert(lineAt(found.first), lines.begin(), lines.end());
        return true;
    }
    const std::vector<std::string> lines = FormatValue(name, type, data);
    const size_t position = SectionEnd(file, scan, path);
    file->lines.insert(lineAt(position), lines.begin(), lines.end());
    return true;
}

}  // namespace

HiveLocations DefaultHiveLocations() {
    HiveLocations locations;
    locations.machineDir = TESSARO_MACHINE_STATE_DIR;
    // Relative XDG paths are invalid and ignored.
    const char* stateHome = std::getenv("XDG_STATE_HOME");
    if (stateHome != nullptr && stateHome[0] == '/') {
        locations.userDir = std::string(stateHome) + "/tessaro";
        return locations;
    }
    std::string home;
    const char* homeVariable = std::getenv("HOME");
    if (homeVariable != nullptr && homeVariable[0] == '/') {
        home = homeVariable;
    } else {
        struct passwd entry {};
        struct passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
            home = found->pw_dir;
        }
    }
    if (!home.empty()) locations.userDir = home + "/.local/state/tessaro";
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
        value.name.copy(name, value.name.size());
        name[value.name.size()] = '\0';
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
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

}  // namespace tessaro
