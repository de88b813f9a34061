#include "logging/source_name.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

// Functions that answer the compiler's signature of themselves, so that the
// reduction is checked against what the compiler really writes; other shapes
// are spelled by hand below.
namespace shapes {

class Storage {
 public:
  Storage() : constructed(__PRETTY_FUNCTION__) {}
  bool Save(const std::string& name, std::string* out) const noexcept {
    *out = __PRETTY_FUNCTION__;
    return !name.empty();
  }
  static std::map<int, std::vector<std::string>> Load(int) {
    return {{0, {__PRETTY_FUNCTION__}}};
  }
  std::string Lambda() {
    auto f = [](int) { return std::string(__PRETTY_FUNCTION__); };
    return f(1);
  }
  std::string operator()(int) { return __PRETTY_FUNCTION__; }
  std::string constructed;
};

}  // namespace shapes

namespace HvQorLogging {
namespace {

TEST(ReduceFunctionSignature, RealSignaturesOfEveryShape) {
  shapes::Storage storage;
  std::string saved;
  storage.Save("x", &saved);
  const struct { std::string signature; const char* name; } cases[] = {
      {storage.constructed, "shapes::Storage::Storage"},
      {saved, "shapes::Storage::Save"},
      {shapes::Storage::Load(1)[0][0], "shapes::Storage::Load"},
      {storage.Lambda(), "shapes::Storage::Lambda::<lambda>"},
      {storage(1), "shapes::Storage::operator()"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signature);
    EXPECT_EQ(ReduceFunctionSignature(c.signature), c.name);
  }
}

TEST(ReduceFunctionSignature, OtherSpellingsAndOddInput) {
  for (const auto& [signature, name] : std::vector<std::pair<std::string, std::string>>{
           // An anonymous namespace at the front leaves leading colons.
           {"void {anonymous}::Worker(int)", "::Worker"},
           {"void (anonymous namespace)::Worker(int)", "::Worker"},  // another compiler's spelling
           {"void a::{anonymous}::b::{anonymous}::F()", "a::b::F"},
           // Explicit names pass through unchanged.
           {"SettingsManager::HandleRequest", "SettingsManager::HandleRequest"},
           // Clang's lambdas.
           {"auto Foo::Bar()::(lambda at x.cpp:3:9)::operator()(int) const", "Foo::Bar::<lambda>"},
           // Templates with bindings, nested template arguments, return types with spaces.
           {"std::map<int, std::vector<char> > Cache<K, V>::Get(const K&) [with K = int; V = char]", "Cache::Get"},
           {"Foo<T>::Bar()::<lambda(int)> [with T = int]", "Foo::Bar::<lambda>"},
           {"std::ostream& operator<<(std::ostream&, const Foo&)", "operator<<"},
           {"Foo::operator const char*() const", "Foo::operator const char*"},
           {"std::string Storage::Tagged[abi:cxx11]() const", "Storage::Tagged"},  // an ABI tag
           // Not understood: returned as given rather than mangled further.
           {"std::string (* FunctionPointer())(int)", "std::string (* FunctionPointer())(int)"},
           {"void Broken(int", "void Broken(int"},
       }) {
    SCOPED_TRACE(signature);
    EXPECT_EQ(ReduceFunctionSignature(signature), name);
  }
}

}  // namespace
}  // namespace HvQorLogging
