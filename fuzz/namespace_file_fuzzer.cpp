// An installation's "namespace.txt", read as the namespace resolver reads it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/namespace_resolver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string folder = [] {
    char pattern[] = "/tmp/velder-fuzz-ns-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return std::string(made != nullptr ? made : "/tmp");
  }();
  FILE* file = std::fopen((folder + "/namespace.txt").c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  NamespaceResolver resolver;
  (void)resolver.ReadNamespaceFile(folder);
  return 0;
}
