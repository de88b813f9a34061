// A hive's change journal as found on disk after a crash: decoded and replayed
// over a local document; a replay of the same records again changes nothing.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "store/change_journal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ChangeJournal::Scan scan = ChangeJournal::Decode(std::string_view(reinterpret_cast<const char*>(data), size));
  if (scan.good_bytes > size) __builtin_trap();
  nlohmann::json document = {{"patch", {{"a", 1}}}, {"local", nullptr}};
  for (const auto& record : scan.records) {
    if (!ChangeJournal::ApplyRecord(record, document)) __builtin_trap();
  }
  const nlohmann::json once = document;
  for (const auto& record : scan.records) ChangeJournal::ApplyRecord(record, document);
  if (document != once) __builtin_trap();
  return 0;
}
