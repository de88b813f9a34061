// A hive file as found on disk (UTF-8 or UTF-16LE, with or without a byte-order
// mark), read and checked as a base document. The input as JSON text also goes
// to both parsers: where the fast hive file parser takes it, the general parser
// must give exactly the same document.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "store/hive_file_parser.h"
#include "store/schema_base.h"
#include "store/storage.h"

using nlohmann::json;

namespace {

const std::string& Folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/velder-fuzz-hive-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return std::string(made != nullptr ? made : "/tmp");
  }();
  return folder;
}

void CompareParsers(std::string_view text) {
  json fast;
  if (!HiveFileParser::Parse(text, fast)) return;
  try {
    if (HiveFileParser::SameDocument(fast, json::parse(text.begin(), text.end()))) return;
  } catch (const json::exception&) {
  }
  std::abort();  // taken by the fast parser only, or read differently
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CompareParsers(std::string_view(reinterpret_cast<const char*>(data), size));
  static Storage storage(Folder());
  const std::string path = storage.GetFileName("tarn", "S-1-5-18", "base");
  // A plain write: syncing each input would make the run crawl.
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  (void)Schema::IsValidBase(storage.LoadOnce(path));
  return 0;
}
