// Programs of the build (velderctl above all) run as child processes, for
// tests that drive the real programs.
#pragma once

#include <string>
#include <vector>

#include "support/child_process.h"

namespace client_test {

using Program = testing_support::ChildProcess;

struct Ran {
  int rc;
  std::string out;
  std::string err;
};

// Runs the program `name` of the build with `args` to its end.
inline Ran RunProgram(const std::string& name, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {testing_support::BuildProgram(name)};
  argv.insert(argv.end(), args.begin(), args.end());
  Program p(argv);
  const int rc = p.Wait();
  return {rc, p.out(), p.err()};
}
inline Ran RunVelderctl(const std::vector<std::string>& args) { return RunProgram("velderctl", args); }

}  // namespace client_test
