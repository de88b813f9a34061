#include "store/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <fmt/format.h>

namespace {

std::string ErrorText(int code) {
  PCRE2_UCHAR buffer[256];
  if (pcre2_get_error_message(code, buffer, sizeof buffer) < 0) return fmt::format("error {}", code);
  return reinterpret_cast<const char*>(buffer);
}

// The JavaScript white space: its WhiteSpace and LineTerminator characters,
// in PCRE2's \uhhhh notation (PCRE2_ALT_BSUX).
constexpr std::string_view kJsWhiteSpace =
    "\\t\\n\\x0B\\f\\r \\u00A0\\u1680\\u2000-\\u200A\\u2028\\u2029\\u202F\\u205F\\u3000\\uFEFF";

// Spells \s and \S out as the JavaScript grammar means them. PCRE2's own
// are ASCII-only, and with PCRE2_UCP they would still miss U+FEFF while \d
// and \w turned Unicode-wide, which in JavaScript they are not. Inside a
// class \S becomes "not Unicode white space", which differs from JavaScript
// in U+0085 and U+FEFF only.
std::string SpellOutWhiteSpace(std::string_view pattern) {
  std::string out;
  out.reserve(pattern.size());
  bool in_class = false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\' && i + 1 < pattern.size()) {
      const char next = pattern[++i];
      if (next == 's') {
        out += in_class ? std::string(kJsWhiteSpace) : "[" + std::string(kJsWhiteSpace) + "]";
      } else if (next == 'S') {
        out += in_class ? std::string("\\P{Xsp}") : "[^" + std::string(kJsWhiteSpace) + "]";
      } else {
        out += c;
        out += next;
      }
      continue;
    }
    out += c;
    if (!in_class && c == '[') {
      in_class = true;
      // "[]" and "[^]" close at once, as in JavaScript.
      if (i + 1 < pattern.size() && pattern[i + 1] == '^') out += pattern[++i];
      if (i + 1 < pattern.size() && pattern[i + 1] == ']') {
        out += pattern[++i];
        in_class = false;
      }
    } else if (in_class && c == ']') {
      in_class = false;
    }
  }
  return out;
}

}  // namespace

std::unique_ptr<const Regex> Regex::Compile(std::string_view pattern, std::string& error) {
  pcre2_compile_context* compileContext = pcre2_compile_context_create(nullptr);
  if (compileContext == nullptr) {
    error = "out of memory";
    return nullptr;
  }
  // "." stops at CR and LF, as in the JavaScript grammar.
  pcre2_set_newline(compileContext, PCRE2_NEWLINE_ANYCRLF);
  constexpr uint32_t kOptions = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF | PCRE2_NEVER_BACKSLASH_C | PCRE2_ALT_BSUX |
                                PCRE2_DOLLAR_ENDONLY | PCRE2_ALLOW_EMPTY_CLASS;
  int errorCode = 0;
  PCRE2_SIZE errorOffset = 0;
  const std::string translated = SpellOutWhiteSpace(pattern);
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(translated.data()), translated.size(), kOptions,
                                   &errorCode, &errorOffset, compileContext);
  pcre2_compile_context_free(compileContext);
  if (code == nullptr) {
    error = fmt::format("{} at offset {}", ErrorText(errorCode), errorOffset);
    return nullptr;
  }
  pcre2_match_context* matchContext = pcre2_match_context_create(nullptr);
  if (matchContext == nullptr) {
    pcre2_code_free(code);
    error = "out of memory";
    return nullptr;
  }
  pcre2_set_match_limit(matchContext, kMatchLimit);
  pcre2_set_depth_limit(matchContext, kDepthLimit);
  pcre2_set_heap_limit(matchContext, kHeapLimitKiB);
  return std::unique_ptr<const Regex>(new Regex(std::string(pattern), code, matchContext));
}

Regex::Regex(std::string pattern, pcre2_code* code, pcre2_match_context* context)
    : pattern_(std::move(pattern)), code_(code), context_(context) {}

Regex::~Regex() {
  pcre2_match_context_free(context_);
  pcre2_code_free(code_);
}

Regex::Outcome Regex::Search(std::string_view subject, std::string& error) const {
  // One pair of offsets is enough to learn whether there is a match. Match
  // data is per search: it also holds the backtracking frames, which must
  // not outlive a large search.
  pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
  if (data == nullptr) {
    error = "out of memory";
    return Outcome::kError;
  }
  const int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0, data,
                             context_);
  pcre2_match_data_free(data);
  if (rc >= 0) return Outcome::kMatch;  // 0: a match whose offsets did not fit
  if (rc == PCRE2_ERROR_NOMATCH) return Outcome::kNoMatch;
  error = ErrorText(rc);
  return Outcome::kError;
}
