#include "logging/source_name.h"

#include <optional>

namespace HvQorLogging {
namespace {

constexpr std::string_view kGccAnonymous = "{anonymous}";
constexpr std::string_view kClangAnonymous = "(anonymous namespace)";

bool IsOperatorSymbol(char c) {
  return std::string_view("+-*/%^&|~!=<>,[]").find(c) != std::string_view::npos;
}

// Reads a signature left to right, keeping the qualified name that stands
// before the parameter list and the names of lambdas and local classes that
// follow it.
class SignatureReader {
 public:
  explicit SignatureReader(std::string_view text) : s_(text) {}

  std::optional<std::string> Read() {
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (c == ' ') {
        if (EndsWithOperatorKeyword()) {
          ReadOperator();
        } else if (!conversion_operator_) {
          name_.clear();  // what came so far was a return type or a specifier
          ++i_;
        } else {
          name_ += c;
          ++i_;
        }
      } else if (c == '<') {
        if (EndsWithOperatorKeyword()) {
          ReadOperator();
        } else if (s_.substr(i_).starts_with("<lambda")) {
          name_ += "<lambda>";
          if (!SkipGroup()) return std::nullopt;
        } else if (!SkipGroup()) {  // template arguments
          return std::nullopt;
        }
      } else if (c == '(') {
        if (EndsWithOperatorKeyword()) {
          ReadOperator();
          continue;
        }
        // Clang's lambdas: "(lambda at file:line:column)", or in __PRETTY_FUNCTION__
        // of clang 14 "(anonymous class)".
        if (name_.ends_with("::") &&
            (s_.substr(i_).starts_with("(lambda") || s_.substr(i_).starts_with("(anonymous class)"))) {
          name_ += "<lambda>";
          if (!SkipGroup()) return std::nullopt;
          continue;
        }
        if (name_.empty() || name_.ends_with("::")) return std::nullopt;
        if (!SkipGroup()) return std::nullopt;  // the parameters
        conversion_operator_ = false;
        if (!s_.substr(i_).starts_with("::")) break;  // qualifiers follow
        name_ += "::";                                // a lambda or a local class follows
        i_ += 2;
      } else if (c == '[') {
        if (EndsWithOperatorKeyword()) {
          ReadOperator();
        } else if (!SkipGroup()) {  // an ABI tag such as [abi:cxx11]
          return std::nullopt;
        }
      } else if (EndsWithOperatorKeyword() && IsOperatorSymbol(c)) {
        ReadOperator();
      } else {
        name_ += c;
        ++i_;
      }
    }
    if (name_.empty()) return std::nullopt;
    return name_;
  }

 private:
  bool EndsWithOperatorKeyword() const {
    if (conversion_operator_ || !name_.ends_with("operator")) return false;
    return name_.size() == 8 || name_[name_.size() - 9] == ':';
  }

  // After "operator": either a symbol ("()", "<<", "[]", "->*") or, after a
  // space, a type or keyword ("operator bool", "operator new[]").
  void ReadOperator() {
    size_t j = i_;
    while (j < s_.size() && s_[j] == ' ') ++j;
    if (s_.substr(j).starts_with("()")) {
      name_ += "()";
      i_ = j + 2;
      return;
    }
    if (j < s_.size() && IsOperatorSymbol(s_[j])) {
      while (j < s_.size() && IsOperatorSymbol(s_[j])) name_ += s_[j++];
      i_ = j;
      return;
    }
    name_ += ' ';
    conversion_operator_ = true;
    i_ = j;
  }

  // Skips a bracketed group starting at s_[i_] ('<', '(' or '['), counting
  // every kind of bracket. False when it is not closed.
  bool SkipGroup() {
    int depth = 0;
    for (; i_ < s_.size(); ++i_) {
      const char c = s_[i_];
      if (c == '<' || c == '(' || c == '[') {
        ++depth;
      } else if (c == '>' || c == ')' || c == ']') {
        if (--depth == 0) {
          ++i_;
          return true;
        }
      }
    }
    return false;
  }

  std::string_view s_;
  size_t i_ = 0;
  std::string name_;
  bool conversion_operator_ = false;
};

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

}  // namespace

std::string ReduceFunctionSignature(std::string_view signature) {
  if (signature.find('(') == std::string_view::npos) return std::string(signature);
  std::string text(signature);
  ReplaceAll(text, kClangAnonymous, kGccAnonymous);
  // Template parameter bindings: "... [with T = int]".
  if (const size_t with = text.rfind(" [with "); with != std::string::npos && text.back() == ']') text.resize(with);

  std::optional<std::string> name = SignatureReader(text).Read();
  if (!name) return std::string(signature);
  std::string& n = *name;
  // An anonymous namespace at the front leaves the name's leading "::";
  // one further in disappears.
  if (n.starts_with("{anonymous}::")) n.erase(0, kGccAnonymous.size());
  ReplaceAll(n, "{anonymous}::", "");
  if (n.ends_with("<lambda>::operator()")) n.resize(n.size() - 12);
  return n;
}

std::string PrepareSource(std::string_view source) {
  if (source.empty()) return {};
  constexpr std::string_view kAnonymous = "`anonymous-namespace'";
  if (source.starts_with(kAnonymous)) source.remove_prefix(kAnonymous.size());
  std::string prepared(source);
  if (source.size() >= 8 && source.ends_with("()")) {
    if (const size_t lambda = source.find("<lambda_"); lambda != std::string_view::npos) {
      prepared.resize(lambda + 7);
      prepared += '>';
    }
  }
  prepared += ": ";
  return prepared;
}

}  // namespace HvQorLogging
