#pragma once
// A small persistent settings hive in the place of the platform registry.
//
// The machine-wide hive is one UTF-8 text file, "machine.reg", in the Windows
// ".reg" export format, so a person can read and edit it:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\Software\Tessaro]
//   "MAT File"="/home/ann/filters/room.mat"
//   "Count"=dword:0000002a
//   "Blob"=hex:01,02,ff
//   "Names"=hex(7):61,00,62,00,00
//
// Texts are quoted with \\ and \" escapes. hex(N) data are the value's bytes as
// stored (texts in UTF-8); a text that cannot be quoted on one line (line
// breaks, zero bytes, invalid UTF-8, no terminator) is written as hex(1).
// Lines that are not understood (comments, other hives, other forms) are kept
// as they are.
//
// When the machine folder cannot be written, a per-user copy in the user
// folder shadows it: that copy is read when it exists and is created from the
// machine-wide content on the first write. Every write re-reads the file under
// an flock on "machine.reg.lock", writes a temporary file, syncs it and renames
// it over the old one, so readers never see a torn file and concurrent writers
// lose nothing.

#include <cstdint>
#include <string>
#include <string_view>

namespace tessaro {

// Statuses, numbered as the platform registry numbers them: 0 is success.
using HiveStatus = int32_t;
constexpr HiveStatus HiveOk = 0;
constexpr HiveStatus HiveNotFound = 2;
constexpr HiveStatus HiveAccessDenied = 5;
constexpr HiveStatus HiveInvalidHandle = 6;
constexpr HiveStatus HiveInvalidParameter = 87;
constexpr HiveStatus HiveMoreData = 234;
constexpr HiveStatus HiveNoMoreItems = 259;
constexpr HiveStatus HiveIoFailed = 1016;

// Key paths and value names compare as the hive compares them: ASCII
// letters ignoring case, bytes of 0x80 and above exactly, so UTF-8
// sequences compare whole.
bool HiveNamesEqual(std::string_view a, std::string_view b);

// Value types.
constexpr uint32_t RegNone = 0;
constexpr uint32_t RegSz = 1;
constexpr uint32_t RegBinary = 3;
constexpr uint32_t RegDword = 4;
constexpr uint32_t RegMultiSz = 7;

// Folders of the machine-wide hive file and of its per-user shadow copy. An
// empty userDir means there is no per-user copy.
struct HiveLocations {
    std::string machineDir;
    std::string userDir;
};

// The build's machine folder (TESSARO_MACHINE_STATE_DIR) and
// $XDG_STATE_HOME/tessaro, or ~/.local/state/tessaro when XDG_STATE_HOME is
// unset or not absolute.
HiveLocations DefaultHiveLocations();

// The hive that key paths are relative to. Only the machine-wide hive
// (HKEY_LOCAL_MACHINE) exists; a root names where its files are.
struct HiveRoot {
    HiveLocations locations;
};

// The machine-wide hive at DefaultHiveLocations().
HiveRoot LocalMachineHive();

// An open key, or null. Each key is closed by HiveCloseKey and used by one
// thread at a time; separate keys may be used by separate threads.
struct HiveKeyData;
using HiveKey = HiveKeyData*;

// Open the key at path ("Software\Tessaro": components separated by
// backslashes, none empty, no control characters) for reading and writing,
// creating it when missing. Needs a writable hive (machine or per-user):
// HiveAccessDenied when neither is. *key is null on failure.
HiveStatus HiveCreateKey(const HiveRoot& root, std::string_view path, HiveKey* key);

// As HiveCreateKey, but a missing key gives HiveNotFound.
HiveStatus HiveOpenKey(const HiveRoot& root, std::string_view path, HiveKey* key);

// Number of values of the key as the hive holds it now; HiveInvalidHandle for
// a null key.
HiveStatus HiveQueryValueCount(HiveKey key, uint32_t* valueCount);

// The value at index, in the order the hive file holds them. nameSize is in:
// the name buffer's size with room for a terminator, out: the name's length
// when it fits.
// dataSize is in: the data buffer's size, out: the data's size (also when it
// does not fit). A name or data that does not fit gives HiveMoreData; an index
// past the last value HiveNoMoreItems. Null data with non-null dataSize asks
// for the size only; type may be null.
HiveStatus HiveEnumValue(HiveKey key, uint32_t index, char* name, uint32_t* nameSize,
                         uint32_t* type, uint8_t* data, uint32_t* dataSize);

// Sets a value (created when missing) to size bytes of data with the given
// type; a REG_SZ should include its terminator. The name may be empty (the
// key's default value) but holds no control characters and is valid UTF-8.
HiveStatus HiveSetValue(HiveKey key, std::string_view name, uint32_t type, const uint8_t* data,
                        uint32_t size);

// Closes an open key (or nothing, when null).
void HiveCloseKey(HiveKey key);

}  // namespace tessaro
