// The settings server in this process, driven over real HTTPS by libcurl
// clients, each thread with its own persistent connection and its own client:
//
//   ConditionalGet: the common poll, GET with a matching If-None-Match (304)
//   Patch:          a change with If-Match and return-data=true (200)
//   ChangeToEvent:  an administrator's change of a product's values until the
//                   refresh event arrived on every one of 1,000 push streams
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "admin_client.h"
#include "settings_server.h"
#include "support/bench_folder.h"

namespace {

using nlohmann::json;
using namespace settings_server;

size_t Collect(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

size_t EtagHeader(char* data, size_t size, size_t n, void* out) {
  std::string_view line(data, size * n);
  if (line.size() > 6 && (line.starts_with("ETag:") || line.starts_with("etag:"))) {
    line.remove_prefix(5);
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    *static_cast<std::string*>(out) = std::string(line);
  }
  return size * n;
}

// One server for the whole program, with a product and a machine.
struct Fixture {
  Fixture() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ServerOptions options;
    options.listen = "127.0.0.1:0";
    options.adminListen = "127.0.0.1:0";
    options.dataDir = folder.path() + "/data";
    options.accessLogFile = "/dev/null";
    server = std::make_unique<SettingsServer>(options);
    std::string error;
    if (!server->Start(error)) std::abort();
    AdminClient::FromDataDir(options.dataDir, admin, error);
    admin.Call("PUT", "/admin/v1/products/tarn/schema",
               json::parse(R"({"app":{"type":"object","properties":{"n":{"type":"integer"},
                               "name":{"type":"string","maxLength":64}}}})"));
    admin.Call("PUT", "/admin/v1/products/tarn/values", json{{"app", {{"n", 0}, {"name", "bench"}}}});
    secret = admin.Call("POST", "/admin/v1/machines", json{{"name", "bench"}}).body["enrolment_secret"];
  }
  bench_support::BenchFolder folder;
  std::unique_ptr<SettingsServer> server;
  AdminClient admin{"", ""};
  std::string secret;
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

// A client with its own token and a kept-alive HTTPS connection.
class Client {
 public:
  explicit Client(int uid) : curl_(curl_easy_init()) {
    Fixture& f = Shared();
    curl_easy_setopt(curl_, CURLOPT_CAINFO, (f.folder.path() + "/data/server-cert.pem").c_str());
    curl_easy_setopt(curl_, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body_);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, EtagHeader);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &etag_);
    const json request = {{"enrolment_secret", f.secret}, {"sid", "S-1-22-1-" + std::to_string(uid)}};
    Perform("POST", "/velder/auth/v1/token", request.dump(), {});
    token_ = json::parse(body_)["access_token"];
    Perform("GET", "/velder/client-api/v3/clients/me/products/tarn/settings", "", {});
  }
  ~Client() { curl_easy_cleanup(curl_); }

  long Perform(const std::string& method, const std::string& path, const std::string& body,
               std::vector<std::string> headers) {
    body_.clear();
    headers.push_back("Content-Type: application/json; charset=UTF-8");
    headers.push_back("X-Transaction: bench");
    if (!token_.empty()) headers.push_back("Authorization: Bearer " + token_);
    curl_slist* list = nullptr;
    for (const std::string& h : headers) list = curl_slist_append(list, h.c_str());
    const std::string url = Shared().server->url() + path;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.empty() ? nullptr : body.c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPGET, body.empty() ? 1L : 0L);
    curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, method.c_str());
    long status = 0;
    if (curl_easy_perform(curl_) == CURLE_OK) curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(list);
    return status;
  }
  const std::string& etag() const { return etag_; }
  const std::string& token() const { return token_; }

 private:
  CURL* curl_;
  std::string body_, etag_, token_;
};

void BM_ConditionalGet(benchmark::State& state) {
  Client client(1000 + state.thread_index());
  const std::string match = "If-None-Match: " + client.etag();
  for (auto _ : state) {
    if (client.Perform("GET", "/velder/client-api/v3/clients/me/products/tarn/settings", "", {match}) != 304)
      state.SkipWithError("not 304");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConditionalGet)->Threads(1)->Threads(16)->UseRealTime();

void BM_Patch(benchmark::State& state) {
  Client client(2000 + state.thread_index());
  int64_t n = 0;
  for (auto _ : state) {
    const std::string body = json{{"values", {{"app", {{"n", ++n}}}}}}.dump();
    if (client.Perform("PATCH", "/velder/client-api/v3/clients/me/products/tarn/settings?return-data=true", body,
                       {"If-Match: " + client.etag()}) != 200)
      state.SkipWithError("not 200");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Patch)->Threads(1)->Threads(16)->UseRealTime();

// `count` push streams of as many clients, read by one curl multi loop.
class Streams {
 public:
  explicit Streams(int count) : seen_(count) {
    multi_ = curl_multi_init();
    Fixture& f = Shared();
    for (int i = 0; i < count; ++i) tokens_.push_back(Client(10000 + i).token());  // a client of the product
    for (int i = 0; i < count; ++i) {
      auto* slot = new Slot{this, static_cast<size_t>(i), {}, nullptr};
      slots_.emplace_back(slot);
      CURL* e = curl_easy_init();
      slot->headers = curl_slist_append(nullptr, ("Authorization: Bearer " + tokens_[i]).c_str());
      curl_easy_setopt(e, CURLOPT_URL, (f.server->url() + "/velder/push/v1/stream").c_str());
      curl_easy_setopt(e, CURLOPT_CAINFO, (f.folder.path() + "/data/server-cert.pem").c_str());
      curl_easy_setopt(e, CURLOPT_HTTPHEADER, slot->headers);
      curl_easy_setopt(e, CURLOPT_NOPROXY, "*");
      curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnData);
      curl_easy_setopt(e, CURLOPT_WRITEDATA, slot);
      curl_multi_add_handle(multi_, e);
      easies_.push_back(e);
    }
    loop_ = std::thread([this] {
      int running = 1;
      while (!stop_ && running > 0) {
        curl_multi_perform(multi_, &running);
        curl_multi_poll(multi_, nullptr, 0, 100, nullptr);
      }
    });
    WaitAll(0);  // every stream has its pns id
  }
  ~Streams() {
    stop_ = true;
    curl_multi_wakeup(multi_);
    loop_.join();
    for (CURL* e : easies_) {
      curl_multi_remove_handle(multi_, e);
      curl_easy_cleanup(e);
    }
    for (auto& s : slots_) curl_slist_free_all(s->headers);
    curl_multi_cleanup(multi_);
  }
  // Waits until every stream saw `events` refresh events (0: its pns id).
  bool WaitAll(int events) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(60), [&] {
      for (int s : seen_)
        if (s < events + 1) return false;
      return true;
    });
  }

 private:
  struct Slot {
    Streams* owner;
    size_t index;
    std::string text;
    curl_slist* headers;
  };
  static size_t OnData(char* data, size_t size, size_t n, void* user) {
    auto* slot = static_cast<Slot*>(user);
    slot->text.append(data, size * n);
    int events = 0;
    for (size_t at = 0; (at = slot->text.find("\n\n", at)) != std::string::npos; at += 2) ++events;
    // Keep-alive comments count too; only events matter.
    size_t keepAlives = 0;
    for (size_t at = 0; (at = slot->text.find(": keep-alive", at)) != std::string::npos; ++at) ++keepAlives;
    std::lock_guard lock(slot->owner->mutex_);
    slot->owner->seen_[slot->index] = events - static_cast<int>(keepAlives);
    slot->owner->changed_.notify_all();
    return size * n;
  }

  CURLM* multi_;
  std::vector<CURL*> easies_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::vector<std::string> tokens_;
  std::thread loop_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;  // guards seen_
  std::condition_variable changed_;
  std::vector<int> seen_;
};

void BM_ChangeToEvent(benchmark::State& state) {
  Streams streams(static_cast<int>(state.range(0)));
  int events = 0;
  int64_t n = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    Shared().admin.Call("PATCH", "/admin/v1/products/tarn/values", json{{"app", {{"name", std::to_string(++n)}}}});
    if (!streams.WaitAll(++events)) state.SkipWithError("an event did not arrive");
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}
BENCHMARK(BM_ChangeToEvent)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
