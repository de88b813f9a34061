// velderctl run as a child process, for tests that drive the real program.
#pragma once

#include <string>
#include <vector>

#include "support/child_process.h"

namespace client_test {

using testing_support::BuildProgram;
using Program = testing_support::ChildProcess;

struct Ran {
  int rc;
  std::string out;
  std::string err;
};

// Runs velderctl with `args` to its end.
inline Ran RunVelderctl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {BuildProgram("velderctl")};
  argv.insert(argv.end(), args.begin(), args.end());
  Program p(argv);
  const int rc = p.Wait();
  return {rc, p.out(), p.err()};
}

}  // namespace client_test
