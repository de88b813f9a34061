// A compiled regular expression for the "pattern" keyword of schemas.
//
// Patterns keep the meaning they have in the JavaScript grammar for what
// schemas use them for (unanchored search; "$" only at the very end; "\uXXXX";
// "[^]" matches anything, "[]" nothing), and work on UTF-8 code points. The
// engine backtracks on the heap, never on the stack, and every search runs
// under match, depth and heap limits, so a long subject or a pathological
// pattern ends with an error instead of exhausting the thread's stack or
// running for minutes.
//
// A compiled Regex is immutable: any number of threads may search with it at
// once (each search has its own match data).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct pcre2_real_code_8;
struct pcre2_real_match_context_8;

class Regex {
 public:
  enum class Outcome {
    kMatch,
    kNoMatch,
    kError,  // a limit was reached or the engine failed; `error` says which
  };

  // Limits of one search. The heap limit is in KiB.
  static constexpr uint32_t kMatchLimit = 1'000'000;
  static constexpr uint32_t kDepthLimit = 1'000'000;
  static constexpr uint32_t kHeapLimitKiB = 16 * 1024;

  // Compiles `pattern`; null, with the reason and offset in `error`, when it
  // is not a valid expression.
  static std::unique_ptr<const Regex> Compile(std::string_view pattern, std::string& error);

  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // Whether the pattern matches anywhere in `subject`. Invalid UTF-8 in the
  // subject is tolerated (it never matches a character).
  Outcome Search(std::string_view subject, std::string& error) const;

  const std::string& Pattern() const { return pattern_; }

 private:
  Regex(std::string pattern, pcre2_real_code_8* code, pcre2_real_match_context_8* context);

  std::string pattern_;
  pcre2_real_code_8* code_;
  pcre2_real_match_context_8* context_;
};
