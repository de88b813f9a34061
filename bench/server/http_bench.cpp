// Small GET requests against a local HTTPS server with keep-alive: the HTTP
// client (unpinned and pinned) against curl's command-line tool making the
// same requests in one process; and how long a cancel or the stop event takes
// to end a request that is never answered.
//
// Latency percentiles are reported as counters p50_us and p99_us.
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/manual_reset_event.h"
#include "server/http_request.h"
#include "server/http_session.h"
#include "support/bench_folder.h"
#include "support/test_tls.h"

namespace {

using testing_support::TestCertificate;
using Clock = std::chrono::steady_clock;

struct Fixture {
  bench_support::BenchFolder folder;
  TestCertificate ca = TestCertificate::Make("Bench CA", nullptr);
  TestCertificate leaf = TestCertificate::Make("localhost", &ca, "DNS:localhost,IP:127.0.0.1");
  testing_support::TlsTestServer server{leaf};
  std::string ca_file = folder.path() + "/ca.pem";
  int port = 0;

  Fixture() {
    ca.WritePem(ca_file);
    server.http().Get("/small", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"data":{"values":{"a":1}}})", "application/json");
    });
    port = server.Start();
  }
  static Fixture& Get() {
    static Fixture* fixture = new Fixture();
    return *fixture;
  }
};

void ReportPercentiles(benchmark::State& state, std::vector<double>& micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

void RunSmallGets(benchmark::State& state, bool pinned) {
  Fixture& f = Fixture::Get();
  auto session = HttpSession::OpenSession("velder-bench");
  const std::vector<uint8_t> pin = f.leaf.Der();
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = Clock::now();
    auto request = HttpRequest::Create(*session);
    request->SetServer("127.0.0.1", static_cast<uint16_t>(f.port), true);
    request->SetPath("/small");
    request->AddTransactionId();
    if (pinned) {
      request->SetCertVerifier([&pin](const uint8_t* der, size_t size) {
        return size == pin.size() && std::equal(pin.begin(), pin.end(), der);
      });
    } else {
      request->SetCaFile(f.ca_file);
    }
    platform::ManualResetEvent done;
    request->Start([&done](HttpRequest&) { done.Set(); });
    done.Wait();
    if (request->GetResult() != HttpResult::Ok) {
      state.SkipWithError(request->GetErrorText().c_str());
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  state.SetItemsProcessed(state.iterations());
  ReportPercentiles(state, micros);
}

void BM_SmallGet_Unpinned(benchmark::State& state) { RunSmallGets(state, false); }
void BM_SmallGet_Pinned(benchmark::State& state) { RunSmallGets(state, true); }

// curl's own tool: `requests` GETs over one kept connection in one process
// (`-K` with one url per request). Reports the time per request.
void BM_SmallGet_CurlTool(benchmark::State& state) {
  Fixture& f = Fixture::Get();
  const int requests = static_cast<int>(state.range(0));
  const std::string config = f.folder.path() + "/curl.conf";
  {
    std::ofstream out(config);
    for (int i = 0; i < requests; ++i) {
      out << "url = \"https://127.0.0.1:" << f.port << "/small\"\noutput = \"/dev/null\"\n";
    }
  }
  const std::string command = "curl -s -f --cacert " + f.ca_file + " -K " + config;
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("curl failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * requests);
}

// From Cancel (or setting the stop event) to the completion of a request
// that a silent server never answers.
void RunCancel(benchmark::State& state, bool by_stop_event) {
  testing_support::RawTcpServer silent([](int fd, int) {
    char buffer[4096];
    (void)::recv(fd, buffer, sizeof buffer, 0);
  });
  platform::ManualResetEvent stop;
  auto session = HttpSession::OpenSession("velder-bench", &stop);
  std::vector<double> micros;
  for (auto _ : state) {
    state.PauseTiming();
    stop.Reset();
    auto request = HttpRequest::Create(*session);
    request->SetServer("127.0.0.1", static_cast<uint16_t>(silent.port()), false);
    platform::ManualResetEvent done;
    request->Start([&done](HttpRequest&) { done.Set(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // connected and waiting
    state.ResumeTiming();
    const auto start = Clock::now();
    if (by_stop_event) {
      stop.Set();
    } else {
      request->Cancel();
    }
    done.Wait();
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (request->GetResult() != HttpResult::Cancelled) state.SkipWithError("not cancelled");
  }
  ReportPercentiles(state, micros);
}

void BM_Cancel(benchmark::State& state) { RunCancel(state, false); }
void BM_StopEvent(benchmark::State& state) { RunCancel(state, true); }

BENCHMARK(BM_SmallGet_Unpinned)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_SmallGet_Pinned)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_SmallGet_CurlTool)->Arg(200)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Cancel)->UseRealTime()->Iterations(200);
BENCHMARK(BM_StopEvent)->UseRealTime()->Iterations(200);

}  // namespace
