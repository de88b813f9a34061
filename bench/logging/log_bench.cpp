// Costs of the logging calls every component makes: a call below the
// threshold, a line written to the log file, and the reduction of a
// compiler's function signature to the source name.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdlib>

#include <filesystem>
#include <string>

#include "logging/log.h"
#include "logging/source_name.h"
#include "platform/sqlite_registry.h"

namespace {

// A registry and log root in a temporary folder, and the process-wide log
// opened on it once.
void OpenLogOnce() {
  static const bool opened = [] {
    std::string dir = (std::filesystem::temp_directory_path() / "velder-log-bench-XXXXXX").string();
    if (!::mkdtemp(dir.data())) return false;
    static std::string folder = dir;
    // Registered before the log opens, so it runs after the log closed.
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(folder, ignored);
    });
    ::setenv("HALVERN_REGISTRY_DIR", (dir + "/registry").c_str(), 1);
    SqliteRegistry registry;
    const std::string key = "SOFTWARE\\Halvern\\QOR\\Logging";
    registry.CreateKeyPath(key);
    registry.SetString(key, "RootPath", dir);
    HvQorLogging::LogInit("bench", "QOR", "VelderPlugin", HvQorLogging::kInformation, 0);
    return true;
  }();
  (void)opened;
}

struct Request {
  int id = 42;
  std::string path = "windows.velder.poll_interval";
};

void BM_FilteredCall(benchmark::State& state) {
  OpenLogOnce();
  Request request;
  for (auto _ : state) {
    HV_LOG_DEBUG("entering, request {} for '{}'", request.id, request.path);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FilteredCall)->ThreadRange(1, 2);

void BM_WrittenLine(benchmark::State& state) {
  OpenLogOnce();
  Request request;
  for (auto _ : state) {
    HV_LOG_INFO("request {} for '{}' answered with {}", request.id, request.path, 0);
  }
}
BENCHMARK(BM_WrittenLine)->ThreadRange(1, 2);

void BM_ReduceSignature(benchmark::State& state) {
  const std::string signature =
      "std::map<int, std::__cxx11::basic_string<char> > SettingsManager::HandleRequest(const Request&, "
      "std::vector<std::__cxx11::basic_string<char> >&) const";
  for (auto _ : state) {
    benchmark::DoNotOptimize(HvQorLogging::PrepareSource(HvQorLogging::ReduceFunctionSignature(signature)));
  }
}
BENCHMARK(BM_ReduceSignature);

}  // namespace
