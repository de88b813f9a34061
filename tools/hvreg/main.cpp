// hvreg: query, add, delete, export and import registry keys and values.
#include <unistd.h>

#include <iostream>

#include "hvreg/hvreg_commands.h"
#include "hvreg/hvreg_options.h"
#include "platform/sqlite_registry.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  hvreg::HvregOptions options;
  std::string error;
  if (!hvreg::ParseHvregOptions(args, options, error)) {
    std::cerr << "hvreg: " << error << "\nRun 'hvreg --help' for the usage.\n";
    return hvreg::kExitUsage;
  }
  if (options.help) {
    std::cout << hvreg::HvregUsage();
    return hvreg::kExitOk;
  }
  SqliteRegistry registry;
  hvreg::HvregCommands commands(registry, std::cout, std::cerr, std::cin, ::isatty(STDIN_FILENO) != 0);
  const int code = commands.Run(options);
  std::cout.flush();
  return code;
}
