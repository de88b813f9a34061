// Registry export files ("Windows Registry Editor Version 5.00"): the text
// that hvreg export writes and hvreg import reads.
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Halvern]
//   @="default value"
//   "Name"="text with \"quotes\" and \\ backslashes"
//   "Count"=dword:0000002a
//   "Blob"=hex:01,02,ff
//   "Path"=hex(2):25,00,48,00,00,00          (any type: hex(<type in hex>):)
//   "Gone"=-                                 (deletes the value)
//
//   [-HKEY_LOCAL_MACHINE\SOFTWARE\Old]       (deletes the key and its subkeys)
//
// Hex lists may continue on following lines after a trailing backslash;
// lines starting with ';' are comments. Files are read as UTF-16LE with a
// byte-order mark or as UTF-8 (with or without one) and written as UTF-16LE
// with a byte-order mark.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hvreg/registry_key_name.h"

namespace hvreg {

struct RegFileValue {
  std::string name;  // empty for the default value ("@")
  bool remove = false;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

struct RegFileKey {
  RegistryKeyName key;
  bool remove = false;
  int line = 0;  // where the section begins, for messages
  std::vector<RegFileValue> values;
};

class RegFile {
 public:
  static constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

  // Parses the bytes of a file. False with `error` naming the line for any
  // malformed content; nothing is half-parsed.
  static bool Parse(std::string_view bytes, std::vector<RegFileKey>& keys, std::string& error);

  // The text of a file holding `keys` (UTF-8, lines ending in CR LF).
  static std::string Format(const std::vector<RegFileKey>& keys);
  // `text` as UTF-16LE bytes with a byte-order mark.
  static std::string Encode(std::string_view text);

  // One value as it appears after "name"=, for a value of `type` and `data`.
  static std::string FormatData(uint32_t type, const std::vector<uint8_t>& data, size_t column);
};

}  // namespace hvreg
