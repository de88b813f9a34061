// Setting paths as clients send them: a path that parses prints as a text
// that parses to the same path.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "store/velder_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  VelderPath::Path path;
  if (!VelderPath::Parse(text, path)) return 0;
  VelderPath::Path again;
  if (!VelderPath::Parse(VelderPath::ToString(path), again) || !(again == path)) __builtin_trap();
  nlohmann::json document;
  bool type_mismatch = false;
  if (VelderPath::SetAt(path, document, nlohmann::json(1), type_mismatch) && VelderPath::Find(path, document) == nullptr) {
    __builtin_trap();
  }
  VelderPath::EraseAt(path, document);
  return 0;
}
