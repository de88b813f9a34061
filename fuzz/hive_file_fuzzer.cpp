// A hive file as found on disk (UTF-8 or UTF-16LE, with or without a byte-order
// mark), read as a base document and given to the schema application.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "store/schema_base.h"
#include "store/schema_effective.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Storage storage(Folder());
  const std::string path = storage.GetFileName("tarn", "S-1-5-18", "base");
  // A plain write: syncing each input would make the run crawl.
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  json document = storage.LoadOnce(path);
  if (!Schema::IsValidBase(document)) return 0;
  const json& values = document["data"].contains("values") ? document["data"]["values"] : json::object();
  const json effective = Schema::ComputeEffective(document["data"]["eff_schema"], values, json::object(), false);
  (void)effective.dump();
  return 0;
}
