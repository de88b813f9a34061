// A server's response as the HTTP client keeps it: the header block is cut
// into lines the way libcurl hands them over, then read back as the update
// cycle reads it (header values, Content-Length, the body as text).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/http_request.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find("\r\n\r\n");
  split = split == std::string_view::npos ? input.size() : split + 4;
  std::string_view head = input.substr(0, split);

  std::vector<std::string> lines;
  while (!head.empty()) {
    const size_t end = head.find('\n');
    const size_t take = end == std::string_view::npos ? head.size() : end + 1;
    const std::string_view raw = head.substr(0, take);
    const bool status = HttpRequest::AddHeaderLine(lines, raw);
    head.remove_prefix(take);
    // A status line starts the kept lines afresh.
    Check(!status || lines.size() == 1);
  }
  for (const std::string& line : lines) {
    Check(!line.empty() && line.back() != '\n' && line.back() != '\r');
    std::string name, value;
    if (!HttpRequest::SplitHeader(line, name, value)) continue;
    Check(!name.empty() && name.find(':') == std::string::npos);
    Check(!value.empty() && value.front() != ' ');
    Check(line.size() >= name.size() + 1 + value.size() && line.ends_with(value));
  }
  const int64_t length = HttpRequest::ParseContentLength(lines);
  Check(length >= -1);

  const std::vector<uint8_t> body(data + split, data + size);
  if (HttpRequest::IsBodyText(body)) {
    // Text holds no NUL and none of the bytes that never occur in UTF-8.
    for (const uint8_t b : body) Check(b != 0 && b < 0xF8);
  }
  return 0;
}
