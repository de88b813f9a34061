// A hive's change journal as found on disk after a crash: decoded and replayed
// over a local document; a replay of the same records again changes nothing,
// nor does a record of the replayed members made afresh.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
  // What the hive would journal now for the same members: one record that
  // reads back and, replayed, leaves the document as it is.
  for (const auto& record : scan.records) {
    std::vector<std::vector<std::string>> key_paths;
    for (const auto& change : record) key_paths.push_back(change[0].get<std::vector<std::string>>());
    const ChangeJournal::Scan again = ChangeJournal::Decode(ChangeJournal::EncodeSnapshots(document, key_paths));
    if (again.records.size() != 1 || again.tail != ChangeJournal::Scan::kClean) __builtin_trap();
    ChangeJournal::ApplyRecord(again.records[0], document);
    if (document != once) __builtin_trap();
  }
  return 0;
}
