// The plug-in and the maker libraries export their C functions and nothing
// else: no C++ symbol of ours (or of the registry store linked into them) may
// leak into the process that loads them, where it could bind to another
// library's copies.
#include <gtest/gtest.h>
#include <stdio.h>

#include <set>
#include <sstream>
#include <string>

namespace {

// The defined dynamic symbols of `library`, read with nm.
std::set<std::string> Exports(const std::string& library) {
  std::set<std::string> names;
  FILE* pipe = ::popen(("nm -D --defined-only '" + library + "' 2>&1").c_str(), "r");
  char line[4096];
  while (pipe && ::fgets(line, sizeof line, pipe)) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) names.insert(name);
  }
  EXPECT_EQ(pipe ? ::pclose(pipe) : -1, 0) << "nm failed for " << library;
  return names;
}

TEST(LibraryExports, OnlyTheirOwnCFunctions) {
  const struct {
    const char* library;
    std::set<std::string> expected;
  } cases[] = {
      {PLUGIN_LIBRARY, {"HosterPluginCreateContext"}},
      {PUSH_API_LIBRARY,
       {"QorPushApi_DelayLoadInitialize", "QorPushApi_RegisterCallbackUser", "QorPushApi_UnregisterCallback",
        "QorPushApi_SetServer", "QorPushApi_ErrorAsString"}},
      {PROXY_RESOLVER_LIBRARY,
       {"QorProxyResolver_DelayLoadInitialize", "QorProxyResolver_OpenSession", "QorProxyResolver_SetServer",
        "QorProxyResolver_GetProxy", "QorProxyResolver_ProxySucceeded", "QorProxyResolver_ProxyFailed",
        "QorProxyResolver_Reset", "QorProxyResolver_CloseSession", "QorProxyResolver_ErrorAsString"}},
      {CLIENT_AUTH_LIBRARY,
       {"QorClientAuth_GetBearerToken", "QorClientAuth_FreeString", "QorClientAuth_RefreshToken",
        "QorClientAuth_SetServer", "QorClientAuth_ErrorAsString"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Exports(c.library), c.expected) << c.library;
}

}  // namespace
