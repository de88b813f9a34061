// The byte layout of registry values, shared by the store and by hvreg:
// strings are UTF-16LE with a terminating NUL, multi-strings a NUL-terminated
// run of elements closed by one more NUL, DWORD and QWORD little-endian.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using RegistryBytes = std::vector<uint8_t>;

// UTF-16LE bytes of `text` followed by a NUL unit. False when `text` is not
// UTF-8.
bool EncodeRegistryString(std::string_view text, RegistryBytes& bytes);

// The text of string value bytes: an odd last byte is ignored and one
// trailing NUL unit is dropped (so a value stored without a terminator reads
// whole, and one stored with two keeps one NUL). False when the units are not
// valid UTF-16 (an unpaired surrogate).
bool DecodeRegistryString(const RegistryBytes& bytes, std::string& text);

// Each element followed by a NUL unit, then one more NUL; an empty list is two
// NULs. False for an empty element, an element holding a NUL, or text that is
// not UTF-8.
bool EncodeRegistryMultiString(const std::vector<std::string>& values, RegistryBytes& bytes);

// Splits the units at NULs, stopping at the first empty element; units after
// the last NUL are dropped. False when an element is not valid UTF-16.
bool DecodeRegistryMultiString(const RegistryBytes& bytes, std::vector<std::string>& values);

RegistryBytes EncodeRegistryDword(uint32_t value);
RegistryBytes EncodeRegistryQword(uint64_t value);
// Little-endian integer of exactly `sizeof(T)` bytes; false for another size.
bool DecodeRegistryDword(const RegistryBytes& bytes, uint32_t& value);
bool DecodeRegistryQword(const RegistryBytes& bytes, uint64_t& value);

}  // namespace platform
