#include "settings/registry_key.h"

#include <algorithm>
#include <charconv>

namespace tessaro {

namespace {

bool IsContinuationByte(char c) { return (static_cast<uint8_t>(c) & 0xC0) == 0x80; }

// At most maxBytes of text, never ending inside a UTF-8 character; bytes that
// are not UTF-8 are cut where they fall.
std::string_view CutText(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t cut = maxBytes;
    for (int step = 0; step < 3 && cut > 0 && IsContinuationByte(text[cut]); ++step) --cut;
    if (IsContinuationByte(text[cut])) cut = maxBytes;
    return text.substr(0, cut);
}

std::string_view UpToZero(std::string_view text) { return text.substr(0, text.find('\0')); }

}  // namespace

RegistryValue::RegistryValue(RegistryKey* owner, std::string_view valueName)
    : name(valueName), key(owner) {}

RegistryValue::~RegistryValue() = default;

void RegistryValue::WriteThrough(const void* data, uint32_t size) {
    if (key == nullptr || (key->options & RegistryKey::Loading) != 0 || name.empty() ||
        key->handle == nullptr) {
        return;
    }
    HiveSetValue(key->handle, name, type, static_cast<const uint8_t*>(data), size);
}

void RegistryValue::SetText(std::string_view newText) {
    // Copied before assigning: newText may view this entry's own text.
    std::string cut(CutText(UpToZero(newText), TextCapacity - 1));
    text = std::move(cut);
    type = RegSz;
    WriteThrough(text.c_str(), static_cast<uint32_t>(text.size() + 1));
}

void RegistryValue::SetNumber(uint32_t value) {
    type = RegDword;
    number = value;
    const uint8_t little[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                               static_cast<uint8_t>(value >> 16),
                               static_cast<uint8_t>(value >> 24)};
    WriteThrough(little, sizeof little);
}

void RegistryValue::SetBytes(const void* data, uint32_t size) {
    if (size == 0 || data == nullptr) return;
    const auto* first = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> copy(first, first + size);
    type = RegBinary;
    WriteThrough(copy.data(), size);
    bytes = std::move(copy);
}

void RegistryValue::SetList(const void* data, uint32_t size) {
    if (data == nullptr) size = 0;
    const std::string raw(static_cast<const char*>(data), size);
    type = RegMultiSz;
    texts.clear();
    if (raw.size() > 2) {
        size_t start = 0;
        while (start < raw.size()) {
            if (start == raw.size() - 1 && raw[start] == '\0') break;
            size_t end = raw.find('\0', start);
            if (end == std::string::npos) end = raw.size();
            texts.push_back(raw.substr(start, end - start));
            start = end + 1;
        }
    }
    WriteThrough(raw.data(), size);
}

const std::string& RegistryValue::AsText() {
    switch (type) {
        case RegSz:
            break;
        case RegDword: {
            // Locale-independent decimal.
            char digits[16];
            const auto result = std::to_chars(digits, digits + sizeof digits, number);
            text.assign(digits, result.ptr);
            break;
        }
        case RegBinary: {
            const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            text = CutText(UpToZero(raw), TextCapacity - 1);
            break;
        }
        case RegMultiSz: {
            std::string rendered;
            for (const std::string& item : texts) {
                const size_t room = TextCapacity - rendered.size();
                if (room == 0) break;
                const std::string_view piece = CutText(item, room - 1);
                rendered += piece;
                rendered += '\0';
                if (piece.size() < item.size()) break;
            }
            text = std::move(rendered);
            break;
        }
        default:
            text.clear();
            break;
    }
    return text;
}

RegistryKey::RegistryKey(uint32_t optionBits) : options(optionBits) {}

RegistryKey::~RegistryKey() { CloseKey(); }

void RegistryKey::CloseKey() {
    if (handle != nullptr) {
        HiveCloseKey(handle);
        handle = nullptr;
    }
}

bool RegistryKey::Open(std::string_view newPath, const HiveRoot& newRoot) {
    // Copied first: newPath may view the stored path dropped below.
    std::string requested(newPath);
    if (path.has_value() && !HiveNamesEqual(*path, requested)) {
        values.clear();
        path.reset();
    }
    if (!path.has_value()) path = std::move(requested);
    root = newRoot;
    CloseKey();

    HiveStatus status;
    if ((options & CreateMissing) != 0) {
        status = HiveCreateKey(root, *path, &handle);
    } else {
        status = HiveOpenKey(root, *path, &handle);
    }
    if (status != HiveOk) {
        handle = nullptr;
        return false;
    }
    return LoadAll();
}

bool RegistryKey::LoadAll() {
    uint32_t count = 0;
    if (HiveQueryValueCount(handle, &count) != HiveOk) return false;

    const uint32_t savedOptions = options;
    options |= Loading;
    values.reserve(values.size() + count);
    std::vector<uint8_t> data(DataBufferSize);
    char name[NameBufferSize];
    for (uint32_t index = 0; index < count; ++index) {
        uint32_t nameSize = NameBufferSize;
        uint32_t dataSize = DataBufferSize;
        uint32_t type = RegNone;
        if (HiveEnumValue(handle, index, name, &nameSize, &type, data.data(), &dataSize) !=
            HiveOk) {
            continue;
        }
        const std::string_view valueName(name, nameSize);
        switch (type) {
            case RegSz:
                // Stored texts may lack their terminator.
                Value(valueName).SetText(
                    std::string_view(reinterpret_cast<const char*>(data.data()), dataSize));
                break;
            case RegBinary:
                Value(valueName).SetBytes(data.data(), dataSize);
                break;
            case RegDword: {
                // A short number reads as its bytes present, zero above.
                uint32_t number = 0;
                for (uint32_t k = 0; k < std::min<uint32_t>(dataSize, 4); ++k) {
                    number |= static_cast<uint32_t>(data[k]) << (8 * k);
                }
                Value(valueName).SetNumber(number);
                break;
            }
            case RegMultiSz:
                Value(valueName).SetList(data.data(), dataSize);
                break;
            default:
                break;
        }
    }
    options = savedOptions;
    return true;
}

RegistryValue& RegistryKey::Value(std::string_view valueName) {
    for (auto entry = values.rbegin(); entry != values.rend(); ++entry) {
        if (HiveNamesEqual((*entry)->name, valueName)) return **entry;
    }
    values.push_back(std::make_unique<RegistryValue>(this, valueName));
    return *values.back();
}

}  // namespace tessaro
