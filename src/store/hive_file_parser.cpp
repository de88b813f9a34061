#include "store/hive_file_parser.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/utf.h"

namespace HiveFileParser {

namespace {

using nlohmann::json;

// Deeper documents go to the general parser, which keeps its own stack
// instead of recursing.
constexpr int kMaxDepth = 256;

class Reader {
 public:
  explicit Reader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool Document(json& document) {
    // The general parser skips one byte-order mark itself.
    if (end_ - p_ >= 3 && static_cast<unsigned char>(p_[0]) == 0xEF && static_cast<unsigned char>(p_[1]) == 0xBB &&
        static_cast<unsigned char>(p_[2]) == 0xBF) {
      p_ += 3;
    }
    SkipSpace();
    if (!Value(document, 0)) return false;
    SkipSpace();
    return p_ == end_;
  }

 private:
  void SkipSpace() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool Literal(std::string_view word) {
    if (static_cast<size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) return false;
    p_ += word.size();
    return true;
  }

  bool Value(json& out, int depth) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '{': return Object(out, depth + 1);
      case '[': return Array(out, depth + 1);
      case '"': {
        std::string text;
        if (!String(text)) return false;
        out = std::move(text);
        return true;
      }
      case 't':
        if (!Literal("true")) return false;
        out = true;
        return true;
      case 'f':
        if (!Literal("false")) return false;
        out = false;
        return true;
      case 'n':
        if (!Literal("null")) return false;
        out = nullptr;
        return true;
      default: return Number(out);
    }
  }

  // Steps over the opening bracket; true when `close` follows at once.
  bool Empty(char close) {
    ++p_;
    SkipSpace();
    if (p_ == end_ || *p_ != close) return false;
    ++p_;
    return true;
  }

  // After a member or element: at ',' another follows (`more`), at `close`
  // the container ends; anything else is no JSON.
  bool Next(char close, bool& more) {
    SkipSpace();
    if (p_ == end_) return false;
    more = *p_ == ',';
    if (!more && *p_ != close) return false;
    ++p_;
    if (more) SkipSpace();
    return true;
  }

  bool Object(json& out, int depth) {
    if (depth > kMaxDepth) return false;
    out = json::object();
    auto& members = out.get_ref<json::object_t&>();
    std::string key;
    for (bool more = !Empty('}'); more;) {
      if (p_ == end_ || *p_ != '"') return false;
      key.clear();
      if (!String(key)) return false;
      SkipSpace();
      if (p_ == end_ || *p_ != ':') return false;
      ++p_;
      SkipSpace();
      // Saved files hold their members in order, so each goes to the end;
      // a repeated name takes the later value, as the general parser does.
      json* slot = nullptr;
      if (members.empty() || members.rbegin()->first < key) {
        slot = &members.emplace_hint(members.end(), key, nullptr)->second;
      } else {
        slot = &members[key];
      }
      if (!Value(*slot, depth) || !Next('}', more)) return false;
    }
    return true;
  }

  bool Array(json& out, int depth) {
    if (depth > kMaxDepth) return false;
    out = json::array();
    auto& elements = out.get_ref<json::array_t&>();
    for (bool more = !Empty(']'); more;) {
      elements.emplace_back();
      if (!Value(elements.back(), depth) || !Next(']', more)) return false;
    }
    return true;
  }

  static int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // Four hex digits after "\u".
  bool Unit(uint32_t& unit) {
    if (end_ - p_ < 4) return false;
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = Hex(p_[i]);
      if (digit < 0) return false;
      unit = unit * 16 + static_cast<uint32_t>(digit);
    }
    p_ += 4;
    return true;
  }

  bool Escape(std::string& out) {
    if (p_ == end_) return false;
    const char c = *p_++;
    switch (c) {
      case '"': out.push_back('"'); return true;
      case '\\': out.push_back('\\'); return true;
      case '/': out.push_back('/'); return true;
      case 'b': out.push_back('\b'); return true;
      case 'f': out.push_back('\f'); return true;
      case 'n': out.push_back('\n'); return true;
      case 'r': out.push_back('\r'); return true;
      case 't': out.push_back('\t'); return true;
      case 'u': break;
      default: return false;
    }
    // \u0000 is left to the general parser; a high surrogate needs its low
    // one next, and a surrogate alone gives no text.
    std::u16string units;
    uint32_t unit = 0;
    if (!Unit(unit) || unit == 0) return false;
    units.push_back(static_cast<char16_t>(unit));
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
      p_ += 2;
      if (!Unit(unit)) return false;
      units.push_back(static_cast<char16_t>(unit));
    }
    const std::string text = platform::Utf16ToUtf8(units);
    if (text.empty()) return false;
    out += text;
    return true;
  }

  // One UTF-8 sequence of two to four bytes, as RFC 3629 allows them.
  bool Utf8(std::string& out) {
    const size_t length = platform::Utf8SequenceLength(std::string_view(p_, static_cast<size_t>(end_ - p_)));
    if (length < 2) return false;
    out.append(p_, length);
    p_ += length;
    return true;
  }

  // A string after its opening quote has been seen at p_.
  bool String(std::string& out) {
    ++p_;  // '"'
    for (;;) {
      const char* run = p_;
      while (p_ < end_ && static_cast<unsigned char>(*p_) >= 0x20 && static_cast<unsigned char>(*p_) < 0x80 &&
             *p_ != '"' && *p_ != '\\') {
        ++p_;
      }
      out.append(run, static_cast<size_t>(p_ - run));
      if (p_ == end_) return false;
      const unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c == '\\') {
        ++p_;
        if (!Escape(out)) return false;
      } else if (c < 0x20 || !Utf8(out)) {
        return false;
      }
    }
  }

  static bool Digit(char c) { return c >= '0' && c <= '9'; }

  // The number grammar exactly; integers become unsigned (or, with a sign,
  // signed) numbers as the general parser makes them, everything else a
  // double. What does not fit is left to the general parser.
  bool Number(json& out) {
    const char* start = p_;
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_ || !Digit(*p_)) return false;
    if (*p_ == '0') {
      ++p_;
      if (p_ < end_ && Digit(*p_)) return false;
    } else {
      while (p_ < end_ && Digit(*p_)) ++p_;
    }
    bool integer = true;
    if (p_ < end_ && *p_ == '.') {
      integer = false;
      ++p_;
      if (p_ == end_ || !Digit(*p_)) return false;
      while (p_ < end_ && Digit(*p_)) ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      integer = false;
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !Digit(*p_)) return false;
      while (p_ < end_ && Digit(*p_)) ++p_;
    }
    if (integer) {
      if (negative) {
        int64_t value = 0;
        const auto [end, error] = std::from_chars(start, p_, value);
        if (error != std::errc() || end != p_) return false;
        out = value;
      } else {
        uint64_t value = 0;
        const auto [end, error] = std::from_chars(start, p_, value);
        if (error != std::errc() || end != p_) return false;
        out = value;
      }
      return true;
    }
    // Correctly rounded, as strtod is; out of range (either way) is left to
    // the general parser.
    double value = 0;
    const auto [end, error] = std::from_chars(start, p_, value);
    if (error != std::errc() || end != p_ || !std::isfinite(value)) return false;
    out = value;
    return true;
  }

  const char* p_;
  const char* const end_;
};

}  // namespace

bool Parse(std::string_view text, json& document) { return Reader(text).Document(document); }

json ParseOrThrow(std::string_view text) {
  json document;
  if (Parse(text, document)) return document;
  return json::parse(text.begin(), text.end());
}

bool SameDocument(const json& a, const json& b) {
  if (a.type() != b.type()) return false;
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
      if (x.key() != y.key() || !SameDocument(*x, *y)) return false;
    }
    return true;
  }
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (!SameDocument(a[i], b[i])) return false;
    }
    return true;
  }
  if (a.is_number_float() && std::signbit(a.get<double>()) != std::signbit(b.get<double>())) return false;
  return a == b;
}

}  // namespace HiveFileParser
