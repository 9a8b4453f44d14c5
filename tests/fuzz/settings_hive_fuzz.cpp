// Any bytes as the machine-wide hive file "machine.reg": open every key its
// sections name, read every value, then write one value and read everything
// again. The write must change that value only: every other value of every
// key reads as before, and the written one reads as written. Any difference
// aborts.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_hive.h"
#include "tests/fuzz/fuzz_file.h"

namespace {

using namespace tessaro;

void Check(bool condition) {
    if (!condition) std::abort();
}

struct Value {
    std::string name;
    uint32_t type = RegNone;
    std::vector<uint8_t> data;
    bool operator==(const Value&) const = default;
};

// Key paths as a section line names them, for the machine root only. The
// hive has no key enumeration; the sections are where keys come from.
std::vector<std::string> SectionKeys(std::string_view text) {
    std::vector<std::string> keys;
    size_t start = 0;
    while (start < text.size() && keys.size() < 16) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() &&
               (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (line.size() < 2 || line.front() != '[' || line.back() != ']') continue;
        line = line.substr(1, line.size() - 2);
        const size_t slash = line.find('\\');
        const std::string_view root = line.substr(0, slash);
        if (!HiveNamesEqual(root, "HKEY_LOCAL_MACHINE") && !HiveNamesEqual(root, "HKLM")) continue;
        std::string_view path = slash == std::string_view::npos ? "" : line.substr(slash + 1);
        while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
        keys.emplace_back(path);
    }
    keys.push_back("Software\\Tessaro");
    return keys;
}

// Every value of the key, or nothing when the key cannot be opened.
std::optional<std::vector<Value>> ReadKey(const HiveRoot& root, const std::string& path) {
    HiveKey key = nullptr;
    const HiveStatus opened = HiveOpenKey(root, path, &key);
    if (opened != HiveOk) {
        Check(key == nullptr);
        return std::nullopt;
    }
    uint32_t count = 0;
    Check(HiveQueryValueCount(key, &count) == HiveOk);
    std::vector<Value> values;
    for (uint32_t index = 0; index < count; ++index) {
        // Sizes first, then the value itself into buffers just big enough.
        char probe[1];
        uint32_t nameSize = sizeof probe;
        uint32_t dataSize = 0;
        HiveStatus status =
            HiveEnumValue(key, index, probe, &nameSize, nullptr, nullptr, &dataSize);
        Check(status == HiveOk || status == HiveMoreData);
        Value value;
        std::vector<char> name(4096);
        nameSize = static_cast<uint32_t>(name.size());
        value.data.resize(dataSize);
        uint32_t gotSize = dataSize;
        status = HiveEnumValue(key, index, name.data(), &nameSize, &value.type, value.data.data(),
                               &gotSize);
        if (status == HiveMoreData) continue;  // a name longer than any the program uses
        Check(status == HiveOk && gotSize == dataSize && nameSize < name.size());
        Check(name[nameSize] == '\0');
        value.name.assign(name.data(), nameSize);
        values.push_back(std::move(value));
    }
    uint32_t nameSize = 8;
    char name[8];
    Check(HiveEnumValue(key, count, name, &nameSize, nullptr, nullptr, nullptr) == HiveNoMoreItems);
    HiveCloseKey(key);
    return values;
}

using Snapshot = std::vector<std::optional<std::vector<Value>>>;

Snapshot ReadAll(const HiveRoot& root, const std::vector<std::string>& keys) {
    Snapshot snapshot;
    for (const std::string& path : keys) snapshot.push_back(ReadKey(root, path));
    return snapshot;
}

bool SameKey(std::string_view a, std::string_view b) { return HiveNamesEqual(a, b); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = tessaro::fuzz::Scratch().File("machine");
    static const bool made = [] {
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
        return true;
    }();
    (void)made;
    const HiveRoot root{HiveLocations{folder, ""}};
    tessaro::fuzz::WriteWholeFile(folder + "/machine.reg", data, size);

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> keys = SectionKeys(text);
    const Snapshot before = ReadAll(root, keys);
    // Reading changes nothing.
    Check(ReadAll(root, keys) == before);

    // The value to write, chosen by the input: an existing value of some key
    // (its data replaced) or a new name, with data of every kind.
    uint64_t hash = tessaro::fuzz::InputHash(data, size);
    size_t keyIndex = hash % keys.size();
    hash /= keys.size();
    if (!before[keyIndex]) return 0;
    const std::vector<Value>& values = *before[keyIndex];
    Value written;
    const size_t valueIndex = hash % (values.size() + 1);
    hash /= values.size() + 1;
    written.name = valueIndex < values.size() ? values[valueIndex].name : "Fuzz \"Name\\";
    static constexpr uint32_t Types[] = {RegSz, RegDword, RegBinary, RegMultiSz, RegNone, 0x2a};
    written.type = Types[hash % std::size(Types)];
    hash /= std::size(Types);
    const size_t length = std::min<size_t>(size, hash % 300);
    written.data.assign(data + size - length, data + size);
    if (written.type == RegDword && hash % 2 == 0) written.data.resize(4);

    HiveKey key = nullptr;
    Check(HiveOpenKey(root, keys[keyIndex], &key) == HiveOk);
    const HiveStatus set = HiveSetValue(key, written.name, written.type, written.data.data(),
                                        static_cast<uint32_t>(written.data.size()));
    HiveCloseKey(key);

    const Snapshot after = ReadAll(root, keys);
    Check(after.size() == before.size());
    for (size_t k = 0; k < keys.size(); ++k) {
        // Keys are never lost by a write.
        Check(before[k].has_value() == after[k].has_value());
        if (!before[k]) continue;
        if (set != HiveOk || !SameKey(keys[k], keys[keyIndex])) {
            Check(before[k] == after[k]);
            continue;
        }
        // The written key: the same values in the same order, but for the
        // written one, which is replaced in place or added at the end.
        std::vector<Value> expected = *before[k];
        auto same = std::find_if(expected.begin(), expected.end(), [&](const Value& v) {
            return HiveNamesEqual(v.name, written.name);
        });
        if (same != expected.end()) {
            same->type = written.type;
            same->data = written.data;
        } else {
            expected.push_back(written);
        }
        Check(*after[k] == expected);
    }
    return 0;
}
