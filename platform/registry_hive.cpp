#include "platform/registry_hive.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
    uint32_t access = 0;
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

// One part of the file: a [key] line, a value (with its continuation lines)
// or any other line, kept as it was read.
struct HiveItem {
    enum class Kind { Other, Section, Value };
    Kind kind = Kind::Other;
    std::vector<std::string> lines;
    bool machineKey = false;  // a section under HKEY_LOCAL_MACHINE
    std::string keyPath;      // sections and values: the key below the root
    std::string name;
    uint32_t type = RegNone;
    std::vector<uint8_t> data;
};

struct HiveDocument {
    bool byteOrderMark = false;
    bool crlf = false;
    std::vector<HiveItem> items;
};

bool IsBlank(const HiveItem& item) {
    return item.kind == HiveItem::Kind::Other && item.lines.size() == 1 &&
           Trim(item.lines[0]).empty();
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

std::vector<std::string> SplitLines(std::string_view text, bool* crlf) {
    std::vector<std::string> lines;
    *crlf = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const bool lastLine = end == std::string_view::npos;
        if (lastLine) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
            if (lines.empty()) *crlf = true;
        }
        lines.emplace_back(line);
        start = end + 1;
    }
    return lines;
}

HiveDocument ParseHive(std::string_view content) {
    HiveDocument document;
    std::string decoded;
    if (content.size() >= 3 && content.substr(0, 3) == "\xEF\xBB\xBF") {
        document.byteOrderMark = true;
        content.remove_prefix(3);
    } else if (content.size() >= 2 && content.substr(0, 2) == "\xFF\xFE") {
        decoded = Utf16LeToUtf8(content.substr(2));
        content = decoded;
    }
    std::vector<std::string> lines = SplitLines(content, &document.crlf);

    bool inMachineKey = false;
    std::string currentKey;
    size_t i = 0;
    while (i < lines.size()) {
        HiveItem item;
        const std::string_view trimmed = Trim(lines[i]);
        if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
            item.kind = HiveItem::Kind::Section;
            const std::string_view inner = trimmed.substr(1, trimmed.size() - 2);
            const size_t slash = inner.find('\\');
            const std::string_view rootName = inner.substr(0, slash);
            item.machineKey =
                HiveNamesEqual(rootName, MachineRootName) || HiveNamesEqual(rootName, "HKLM");
            if (item.machineKey && slash != std::string_view::npos) {
                std::string_view path = inner.substr(slash + 1);
                while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
                item.keyPath = path;
            }
            inMachineKey = item.machineKey;
            currentKey = item.keyPath;
            item.lines.push_back(std::move(lines[i]));
            document.items.push_back(std::move(item));
            ++i;
            continue;
        }

        size_t lineCount = 1;
        size_t dataStart = 0;
        if (inMachineKey && ParseValueName(lines[i], &item.name, &dataStart)) {
            std::string logical = lines[i];
            // Hex data continue on the next line after a trailing backslash.
            if (StartsWithIgnoreCase(std::string_view(logical).substr(dataStart), "hex")) {
                while (i + lineCount < lines.size() && IsContinuation(lines[i + lineCount])) {
                    const std::string_view current = Trim(logical);
                    if (current.empty() || current.back() != '\\') break;
                    logical.resize(static_cast<size_t>(current.data() - logical.data()) +
                                   current.size() - 1);
                    logical += TrimLeft(lines[i + lineCount]);
                    ++lineCount;
                }
                const std::string_view current = Trim(logical);
                if (!current.empty() && current.back() == '\\') {
                    logical.resize(static_cast<size_t>(current.data() - logical.data()) +
                                   current.size() - 1);
                }
            }
            if (ParseValueData(std::string_view(logical).substr(dataStart), &item.type,
                               &item.data)) {
                item.kind = HiveItem::Kind::Value;
                item.keyPath = currentKey;
            }
        }
        for (size_t k = 0; k < lineCount; ++k) item.lines.push_back(std::move(lines[i + k]));
        document.items.push_back(std::move(item));
        i += lineCount;
    }
    return document;
}

std::string SerializeHive(const HiveDocument& document) {
    std::string out;
    if (document.byteOrderMark) out += "\xEF\xBB\xBF";
    const std::string_view lineEnd = document.crlf ? "\r\n" : "\n";
    for (const HiveItem& item : document.items) {
        for (const std::string& line : item.lines) {
            out += line;
            out += lineEnd;
        }
    }
    return out;
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
        constexpr char Digits[] = "0123456789abcdef";
        std::string typeDigits;
        uint32_t rest = type;
        do {
            typeDigits.insert(typeDigits.begin(), Digits[rest & 0x0F]);
            rest >>= 4;
        } while (rest != 0);
        line += "hex(" + typeDigits + "):";
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

bool KeyExists(const HiveDocument& document, std::string_view path) {
    if (path.empty()) return true;
    for (const HiveItem& item : document.items) {
        if (item.kind != HiveItem::Kind::Section || !item.machineKey) continue;
        const std::string_view section = item.keyPath;
        if (HiveNamesEqual(section, path)) return true;
        // A subkey's section implies its parents.
        if (section.size() > path.size() && section[path.size()] == '\\' &&
            StartsWithIgnoreCase(section, path)) {
            return true;
        }
    }
    return false;
}

// The values of a key, each name once, in the order names first appear; a
// name given twice takes its last data, as an import would.
std::vector<const HiveItem*> KeyValues(const HiveDocument& document, std::string_view path) {
    std::vector<const HiveItem*> values;
    for (const HiveItem& item : document.items) {
        if (item.kind != HiveItem::Kind::Value || !HiveNamesEqual(item.keyPath, path)) continue;
        bool replaced = false;
        for (const HiveItem*& known : values) {
            if (HiveNamesEqual(known->name, item.name)) {
                known = &item;
                replaced = true;
                break;
            }
        }
        if (!replaced) values.push_back(&item);
    }
    return values;
}

// Where a new value of the key goes: after the last non-blank line of the
// key's last section, which is appended at the end when the key has none.
size_t KeyInsertPosition(HiveDocument* document, std::string_view path) {
    std::vector<HiveItem>& items = document->items;
    size_t section = items.size();
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].kind == HiveItem::Kind::Section && items[i].machineKey &&
            HiveNamesEqual(items[i].keyPath, path)) {
            section = i;
        }
    }
    if (section < items.size()) {
        size_t last = section;
        for (size_t i = section + 1; i < items.size(); ++i) {
            if (items[i].kind == HiveItem::Kind::Section) break;
            if (!IsBlank(items[i])) last = i;
        }
        return last + 1;
    }

    auto appendLine = [&](HiveItem::Kind kind, std::string line) {
        HiveItem item;
        item.kind = kind;
        item.lines.push_back(std::move(line));
        items.push_back(std::move(item));
    };
    if (items.empty()) appendLine(HiveItem::Kind::Other, std::string(HeaderLine));
    if (!IsBlank(items.back())) appendLine(HiveItem::Kind::Other, "");
    std::string header = "[" + std::string(MachineRootName);
    if (!path.empty()) header += "\\" + std::string(path);
    appendLine(HiveItem::Kind::Section, header + "]");
    items.back().machineKey = true;
    items.back().keyPath = path;
    return items.size();
}

// Each returns whether the document changed.
bool CreateKeyIn(HiveDocument* document, std::string_view path) {
    if (KeyExists(*document, path)) return false;
    KeyInsertPosition(document, path);
    return true;
}

bool SetValueIn(HiveDocument* document, std::string_view path, std::string_view name, uint32_t type,
                const std::vector<uint8_t>& data) {
    HiveItem* existing = nullptr;
    for (HiveItem& item : document->items) {
        if (item.kind == HiveItem::Kind::Value && HiveNamesEqual(item.keyPath, path) &&
            HiveNamesEqual(item.name, name)) {
            existing = &item;
        }
    }
    if (existing != nullptr) {
        if (existing->type == type && existing->data == data) return false;
        // The name keeps the spelling the file already has.
        existing->lines = FormatValue(existing->name, type, data);
        existing->type = type;
        existing->data = data;
        return true;
    }
    const size_t position = KeyInsertPosition(document, path);
    HiveItem item;
    item.kind = HiveItem::Kind::Value;
    item.keyPath = path;
    item.name = name;
    item.type = type;
    item.data = data;
    item.lines = FormatValue(name, type, data);
    document->items.insert(document->items.begin() + static_cast<std::ptrdiff_t>(position),
                           std::move(item));
    return true;
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
HiveDocument LoadHive(const HiveLocations& locations) {
    std::string content;
    if (ReadWholeFile(ReadPath(locations), &content) != FileRead::Read) return {};
    return ParseHive(content);
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
    HiveDocument document = ParseHive(content);
    if (!change(&document)) return HiveOk;
    return ReplaceFile(dir, file, SerializeHive(document));
}

HiveStatus OpenOrCreateKey(const HiveRoot& root, std::string_view path, uint32_t access,
                           HiveKey* key, bool create) {
    if (key == nullptr) return HiveInvalidParameter;
    *key = nullptr;
    if (!IsValidKeyPath(path)) return HiveInvalidParameter;
    const bool writable = !WriteFolder(root.locations).empty();
    if ((access & (KeySetValue | KeyCreateSubKey)) != 0 && !writable) return HiveAccessDenied;
    if (!KeyExists(LoadHive(root.locations), path)) {
        if (!create) return HiveNotFound;
        if (!writable) return HiveAccessDenied;
        const HiveStatus status = UpdateHive(
            root.locations, [&](HiveDocument* document) { return CreateKeyIn(document, path); });
        if (status != HiveOk) return status;
    }
    *key = new HiveKeyData{root.locations, std::string(path), access, std::nullopt};
    return HiveOk;
}

void TakeSnapshot(HiveKey key) {
    const HiveDocument document = LoadHive(key->locations);
    std::vector<HiveValueCopy> copies;
    for (const HiveItem* item : KeyValues(document, key->path)) {
        copies.push_back(HiveValueCopy{item->name, item->type, item->data});
    }
    key->snapshot = std::move(copies);
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

HiveStatus HiveCreateKey(const HiveRoot& root, std::string_view path, uint32_t access,
                         HiveKey* key) {
    return OpenOrCreateKey(root, path, access, key, true);
}

HiveStatus HiveOpenKey(const HiveRoot& root, std::string_view path, uint32_t access, HiveKey* key) {
    return OpenOrCreateKey(root, path, access, key, false);
}

HiveStatus HiveQueryValueCount(HiveKey key, uint32_t* valueCount) {
    if (key == nullptr) return HiveInvalidHandle;
    if (valueCount == nullptr) return HiveInvalidParameter;
    if ((key->access & KeyQueryValue) == 0) return HiveAccessDenied;
    TakeSnapshot(key);
    *valueCount = static_cast<uint32_t>(key->snapshot->size());
    return HiveOk;
}

HiveStatus HiveEnumValue(HiveKey key, uint32_t index, char* name, uint32_t* nameSize,
                         uint32_t* type, uint8_t* data, uint32_t* dataSize) {
    if (key == nullptr) return HiveInvalidHandle;
    if (name == nullptr || nameSize == nullptr || (data != nullptr && dataSize == nullptr)) {
        return HiveInvalidParameter;
    }
    if ((key->access & KeyQueryValue) == 0) return HiveAccessDenied;
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
        if (data != nullptr) {
            if (value.data.size() > *dataSize) {
                status = HiveMoreData;
            } else {
                std::copy(value.data.begin(), value.data.end(), data);
            }
        }
        *dataSize = static_cast<uint32_t>(value.data.size());
    }
    return status;
}

HiveStatus HiveSetValue(HiveKey key, std::string_view name, uint32_t type, const uint8_t* data,
                        uint32_t size) {
    if (key == nullptr) return HiveInvalidHandle;
    if ((key->access & KeySetValue) == 0) return HiveAccessDenied;
    if ((data == nullptr && size != 0) || !IsValidName(name)) return HiveInvalidParameter;
    std::vector<uint8_t> bytes;
    if (size != 0) bytes.assign(data, data + size);
    key->snapshot.reset();
    return UpdateHive(key->locations, [&](HiveDocument* document) {
        return SetValueIn(document, key->path, name, type, bytes);
    });
}

HiveStatus HiveCloseKey(HiveKey key) {
    if (key == nullptr) return HiveInvalidHandle;
    delete key;
    return HiveOk;
}

bool HiveNamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

}  // namespace tessaro
