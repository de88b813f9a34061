#include "platform/utf.h"

#include <cstdint>

namespace platform {
namespace {

// Decodes one code point at `i`; returns false on any malformed sequence.
bool DecodeUtf8(std::string_view text, size_t& i, char32_t& out) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    out = lead;
    ++i;
    return true;
  }
  size_t extra;
  char32_t min;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, min = 0x80, out = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, min = 0x800, out = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, min = 0x10000, out = lead & 0x07;
  } else {
    return false;
  }
  if (text.size() - i <= extra) return false;
  for (size_t k = 1; k <= extra; ++k) {
    const unsigned char c = byte(i + k);
    if ((c & 0xC0) != 0x80) return false;
    out = (out << 6) | (c & 0x3F);
  }
  if (out < min || out > 0x10FFFF || (out >= 0xD800 && out <= 0xDFFF)) return false;
  i += extra + 1;
  return true;
}

void EncodeUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

template <typename Unit>
bool DecodeUtf16(Unit unit_at, size_t count, std::string& out) {
  for (size_t i = 0; i < count; ++i) {
    char32_t cp = unit_at(i);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= count) return false;
      const char32_t low = unit_at(i + 1);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return false;
    }
    EncodeUtf8(cp, out);
  }
  return true;
}

}  // namespace

size_t Utf8SequenceLength(std::string_view text) {
  size_t i = 0;
  char32_t cp;
  return !text.empty() && DecodeUtf8(text, i, cp) ? i : 0;
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  char32_t cp;
  while (i < text.size()) {
    if (!DecodeUtf8(text, i, cp)) return false;
  }
  return true;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  char32_t cp;
  while (i < text.size()) {
    if (!DecodeUtf8(text, i, cp)) return {};
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  if (!DecodeUtf16([&](size_t k) { return static_cast<char32_t>(text[k]); }, text.size(), out)) return {};
  return out;
}

std::string Utf16LeBytesToUtf8(std::string_view bytes) {
  if (bytes.size() % 2 != 0) return {};
  std::string out;
  out.reserve(bytes.size() / 2);
  const auto unit = [&](size_t k) {
    return static_cast<char32_t>(static_cast<unsigned char>(bytes[2 * k]) |
                                 (static_cast<unsigned char>(bytes[2 * k + 1]) << 8));
  };
  if (!DecodeUtf16(unit, bytes.size() / 2, out)) return {};
  return out;
}

std::string Utf8ToUtf16LeBytes(std::string_view text) {
  const std::u16string wide = Utf8ToUtf16(text);
  std::string out;
  out.reserve(wide.size() * 2);
  for (char16_t u : wide) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

}  // namespace platform
