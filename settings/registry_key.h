#pragma once
// The settings store: one registry key whose values are read into a cache of
// RegistryValue entries and written through to the hive when assigned.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_hive.h"

namespace tessaro {

class RegistryKey;

// One cached value. Names compare ignoring case.
class RegistryValue {
public:
    // Cached text holds at most this many bytes including its terminator.
    static constexpr size_t TextCapacity = 2048;

    RegistryValue(RegistryKey* owner, std::string_view valueName);
    virtual ~RegistryValue();
    RegistryValue(const RegistryValue&) = delete;
    RegistryValue& operator=(const RegistryValue&) = delete;

    // Caches text up to its first zero byte as REG_SZ, cut to 2047 bytes at
    // a UTF-8 character boundary, and writes it through with its terminator.
    void SetText(std::string_view newText);
    // Caches a REG_DWORD and writes it through as four little-endian bytes.
    void SetNumber(uint32_t value);
    // Caches size bytes as REG_BINARY and writes them through; size 0 is
    // ignored entirely.
    void SetBytes(const void* data, uint32_t size);
    // Caches a REG_MULTI_SZ: data split into texts at each zero byte, a final
    // zero not starting another text (size 2 or less holds none), and writes
    // the raw data through.
    void SetList(const void* data, uint32_t size);

    // The cached content as text, rendered in `text`: REG_SZ as is; REG_DWORD
    // in decimal; REG_BINARY up to its first zero byte; REG_MULTI_SZ as the
    // texts one after another, each followed by a zero byte (read as C text:
    // the first); nothing cached yet: empty. At most 2047 bytes, plus the
    // terminator within TextCapacity for lists.
    const std::string& AsText();

    std::string name;
    uint32_t type = RegNone;
    RegistryKey* key;  // the owner, not owned; null for a free-standing value
    uint32_t number = 0;
    std::string text;
    std::vector<uint8_t> bytes;
    std::vector<std::string> texts;

private:
    // Writes the value unless the key is loading, closed or absent, or the
    // name is empty. A failed write is not reported.
    void WriteThrough(const void* data, uint32_t size);
};

// An open registry key with the cache of its values. Nothing is written at
// destruction.
class RegistryKey {
public:
    // Option bits.
    static constexpr uint32_t CreateMissing = 1;  // create the key when it is missing
    static constexpr uint32_t Loading = 8;        // set inside LoadAll: writes suppressed

    // Value names and data this long or longer are skipped at load.
    static constexpr uint32_t NameBufferSize = 260;
    static constexpr uint32_t DataBufferSize = 2048;

    explicit RegistryKey(uint32_t optionBits);
    virtual ~RegistryKey();
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens (with CreateMissing: creates or opens) the key at path under root
    // for reading and writing and loads its values. A path other
    // than the stored one (ignoring case) drops the cache first. False when
    // the key cannot be opened (it then stays closed) or loaded.
    bool Open(std::string_view newPath, const HiveRoot& newRoot);

    // Reads every value of the open key into the cache without writing any
    // back. Entries of the same name are updated in place; entries whose value
    // is gone stay; names of 260 bytes or more, data over 2048 bytes and types
    // other than REG_SZ, REG_BINARY, REG_DWORD and REG_MULTI_SZ are skipped.
    bool LoadAll();

    // The cache entry for name (ignoring case), created empty when missing.
    RegistryValue& Value(std::string_view valueName);

    HiveKey handle = nullptr;
    uint32_t options;
    HiveRoot root;
    std::optional<std::string> path;
    std::vector<std::unique_ptr<RegistryValue>> values;

private:
    void CloseKey();
};

}  // namespace tessaro
