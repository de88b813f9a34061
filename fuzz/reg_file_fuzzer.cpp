// A registry export file given to hvreg's import: parsed, and what parsed is
// written out again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hvreg/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<hvreg::RegFileKey> keys;
  std::string error;
  if (!hvreg::RegFile::Parse(std::string_view(reinterpret_cast<const char*>(data), size), keys, error)) return 0;
  (void)hvreg::RegFile::Format(keys);
  return 0;
}
