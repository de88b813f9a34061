#include "hvreg/reg_file.h"

#include <fmt/format.h>

#include <charconv>

#include "platform/registry_key_path.h"
#include "platform/registry_value_format.h"
#include "platform/utf.h"

namespace hvreg {
namespace {

constexpr size_t kLineWidth = 80;

// The file as UTF-8 text: UTF-16LE after its byte-order mark, else UTF-8 with
// an optional mark.
bool DecodeFile(std::string_view bytes, std::string& text) {
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
    bytes.remove_prefix(2);
    if (bytes.empty()) {
      text.clear();
      return true;
    }
    text = platform::Utf16LeBytesToUtf8(bytes);
    return !text.empty();
  }
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  text = std::string(bytes);
  return platform::IsValidUtf8(text);
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

// Reads a quoted string at the front of `s` (which starts with '"'),
// undoing the \\ and \" escapes; `s` is left after the closing quote.
bool TakeQuoted(std::string_view& s, std::string& out, std::string& error) {
  out.clear();
  for (size_t i = 1; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) {
        error = "a backslash in a quoted string must be followed by \\ or \"";
        return false;
      }
      out.push_back(s[++i]);
      continue;
    }
    out.push_back(c);
  }
  error = "missing closing quote";
  return false;
}

bool ParseHexList(std::string_view list, std::vector<uint8_t>& data, std::string& error) {
  data.clear();
  list = TrimLeft(TrimRight(list));
  if (list.empty()) return true;
  while (true) {
    list = TrimLeft(list);
    const size_t comma = list.find(',');
    const std::string_view item = TrimRight(list.substr(0, comma));
    unsigned value = 0;
    auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), value, 16);
    if (item.empty() || item.size() > 2 || ec != std::errc() || end != item.data() + item.size()) {
      error = fmt::format("'{}' is not a hex byte", item);
      return false;
    }
    data.push_back(static_cast<uint8_t>(value));
    if (comma == std::string_view::npos) return true;
    list.remove_prefix(comma + 1);
  }
}

bool ParseData(std::string_view s, RegFileValue& value, std::string& error) {
  s = TrimRight(s);
  if (s == "-") {
    value.remove = true;
    return true;
  }
  if (!s.empty() && s[0] == '"') {
    std::string text;
    if (!TakeQuoted(s, text, error)) return false;
    if (!TrimLeft(s).empty()) {
      error = "unexpected text after the closing quote";
      return false;
    }
    value.type = REG_SZ;
    if (!platform::EncodeRegistryString(text, value.data)) {
      error = "the string is not valid text";
      return false;
    }
    return true;
  }
  constexpr std::string_view kDword = "dword:";
  if (s.substr(0, kDword.size()) == kDword) {
    const std::string_view digits = s.substr(kDword.size());
    uint32_t number = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number, 16);
    if (digits.empty() || digits.size() > 8 || ec != std::errc() || end != digits.data() + digits.size()) {
      error = fmt::format("'{}' is not a DWORD of 1 to 8 hex digits", digits);
      return false;
    }
    value.type = REG_DWORD;
    value.data = platform::EncodeRegistryDword(number);
    return true;
  }
  if (s.substr(0, 4) == "hex:") {
    value.type = REG_BINARY;
    return ParseHexList(s.substr(4), value.data, error);
  }
  if (s.substr(0, 4) == "hex(") {
    const size_t close = s.find("):");
    const std::string_view digits = s.substr(4, close == std::string_view::npos ? 0 : close - 4);
    uint32_t type = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), type, 16);
    if (digits.empty() || digits.size() > 8 || ec != std::errc() || end != digits.data() + digits.size()) {
      error = "hex(...) needs a type number in hex, as in hex(2):";
      return false;
    }
    value.type = type;
    return ParseHexList(s.substr(close + 2), value.data, error);
  }
  error = "the data must be \"text\", dword:, hex:, hex(type): or -";
  return false;
}

bool ParseValueLine(std::string_view line, RegFileValue& value, std::string& error) {
  if (line[0] == '@') {
    line.remove_prefix(1);
  } else if (!TakeQuoted(line, value.name, error)) {
    return false;
  }
  line = TrimLeft(line);
  if (line.empty() || line[0] != '=') {
    error = "expected '=' after the value name";
    return false;
  }
  if (platform::CheckValueName(value.name) != RegistryError::Ok) {
    error = "the value name is too long or holds a NUL";
    return false;
  }
  return ParseData(TrimLeft(line.substr(1)), value, error);
}

// Splits `text` into logical lines: a line ending in a backslash continues on
// the next (the hex lists of long values). Keeps the number of the first
// physical line of each.
std::vector<std::pair<int, std::string>> LogicalLines(std::string_view text) {
  std::vector<std::pair<int, std::string>> lines;
  std::string pending;
  int pending_line = 0;
  int number = 0;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line = TrimRight(text.substr(start, end - start));
    ++number;
    start = end + 1;
    if (pending.empty()) {
      pending_line = number;
    } else {
      line = TrimLeft(line);
    }
    const std::string_view head = TrimLeft(line);
    const bool continued = !head.empty() && head.back() == '\\' &&
                           (!pending.empty() || (head[0] != ';' && head[0] != '['));
    if (continued) {
      pending.append(line.substr(0, line.size() - 1));
      if (end == text.size()) break;
      continue;
    }
    pending.append(line);
    lines.emplace_back(pending_line, std::move(pending));
    pending.clear();
    if (end == text.size()) break;
  }
  if (!pending.empty()) lines.emplace_back(pending_line, std::move(pending));
  return lines;
}

void AppendEscaped(std::string_view text, std::string& out) {
  out.push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

// True when a REG_SZ value's bytes are exactly what a quoted string imports
// as: well-formed text, one terminating NUL, no NUL or line break inside.
bool QuotableString(const std::vector<uint8_t>& data, std::string& text) {
  if (!platform::DecodeRegistryString(data, text)) return false;
  if (text.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos) return false;
  std::vector<uint8_t> again;
  return platform::EncodeRegistryString(text, again) && again == data;
}

}  // namespace

bool RegFile::Parse(std::string_view bytes, std::vector<RegFileKey>& keys, std::string& error) {
  keys.clear();
  std::string text;
  if (!DecodeFile(bytes, text)) {
    error = "the file is neither UTF-8 nor UTF-16LE text";
    return false;
  }
  std::vector<RegFileKey> parsed;
  bool header = false;
  for (auto& [number, line] : LogicalLines(text)) {
    const std::string_view view = TrimLeft(line);
    if (view.empty() || view[0] == ';') continue;
    auto fail = [&, n = number](const std::string& what) {
      error = fmt::format("line {}: {}", n, what);
      return false;
    };
    if (!header) {
      if (view != kHeader) return fail(fmt::format("the file must begin with \"{}\"", kHeader));
      header = true;
      continue;
    }
    if (view[0] == '[') {
      if (view.back() != ']') return fail("a key line must end with ']'");
      RegFileKey key;
      key.line = number;
      std::string_view name = view.substr(1, view.size() - 2);
      if (!name.empty() && name[0] == '-') {
        key.remove = true;
        name.remove_prefix(1);
      }
      std::string why;
      if (!ParseRegistryKeyName(name, key.key, why)) return fail(why);
      parsed.push_back(std::move(key));
      continue;
    }
    if (view[0] != '"' && view[0] != '@') return fail("expected a [key], a \"name\"= or @= line");
    if (parsed.empty()) return fail("a value before the first [key]");
    if (parsed.back().remove) return fail("a value under a key that is being deleted");
    RegFileValue value;
    std::string why;
    if (!ParseValueLine(view, value, why)) return fail(why);
    parsed.back().values.push_back(std::move(value));
  }
  if (!header) {
    error = fmt::format("the file must begin with \"{}\"", kHeader);
    return false;
  }
  keys = std::move(parsed);
  return true;
}

std::string RegFile::FormatData(uint32_t type, const std::vector<uint8_t>& data, size_t column) {
  std::string text;
  if (type == REG_SZ && QuotableString(data, text)) {
    std::string out;
    AppendEscaped(text, out);
    return out;
  }
  uint32_t number = 0;
  if (type == REG_DWORD && platform::DecodeRegistryDword(data, number)) return fmt::format("dword:{:08x}", number);
  std::string out = type == REG_BINARY ? "hex:" : fmt::format("hex({:x}):", type);
  column += out.size();
  for (size_t i = 0; i < data.size(); ++i) {
    out += fmt::format("{:02x}", data[i]);
    column += 2;
    if (i + 1 < data.size()) {
      out += ',';
      ++column;
      // Break long lists as the usual tools do, so that the file stays readable.
      if (column > kLineWidth - 4) {
        out += "\\\r\n  ";
        column = 2;
      }
    }
  }
  return out;
}

std::string RegFile::Format(const std::vector<RegFileKey>& keys) {
  std::string out = std::string(kHeader) + "\r\n\r\n";
  for (const RegFileKey& key : keys) {
    out += key.remove ? "[-" : "[";
    out += key.key.ToString() + "]\r\n";
    for (const RegFileValue& value : key.values) {
      std::string line;
      if (value.name.empty()) {
        line = "@";
      } else {
        AppendEscaped(value.name, line);
      }
      line += '=';
      line += value.remove ? "-" : FormatData(value.type, value.data, line.size());
      out += line + "\r\n";
    }
    out += "\r\n";
  }
  return out;
}

std::string RegFile::Encode(std::string_view text) {
  return "\xFF\xFE" + platform::Utf8ToUtf16LeBytes(text);
}

}  // namespace hvreg
