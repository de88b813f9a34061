// The push library through its C interface: argument checks, the pns id each
// registration receives on the library's thread, and the promise that no
// callback runs once Unregister has returned (so its context may be freed).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "qor/push_api/hv_qor_push_api.h"

namespace {

// What a registration's callback saw.
struct Inbox {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<uint32_t, std::string>> events;
  std::thread::id thread;

  static uint32_t Callback(uint32_t kind, const char* text, void* context) {
    auto* inbox = static_cast<Inbox*>(context);
    std::lock_guard lock(inbox->mutex);
    inbox->events.emplace_back(kind, text ? text : "(null)");
    inbox->thread = std::this_thread::get_id();
    inbox->changed.notify_all();
    return 0;
  }

  // Waits (without a deadline: a missing event hangs the test, which the
  // test runner's time-out reports) for the first event.
  std::pair<uint32_t, std::string> First() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return !events.empty(); });
    return events.front();
  }
};

uint32_t Register(uint32_t* handle, const char* identity, const char* user, Inbox& inbox) {
  return QorPushApi_RegisterCallbackUser(handle, identity, user, Inbox::Callback, &inbox);
}

TEST(PushApi, RefusesBadArguments) {
  Inbox inbox;
  struct Case {
    const char* title;
    const char* identity;
    const char* user;
    QorPushApi_Callback callback;
  };
  const Case cases[] = {
      {"null identity", nullptr, "S-1-5-18", Inbox::Callback},
      {"empty identity", "", "S-1-5-18", Inbox::Callback},
      {"identity not UTF-8", "svc\xff", "S-1-5-18", Inbox::Callback},
      {"null user", "svc", nullptr, Inbox::Callback},
      {"user not a SID", "svc", "bob", Inbox::Callback},
      {"user with a path in it", "svc", "S-1-5-18/../x", Inbox::Callback},
      {"null callback", "svc", "S-1-5-18", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    uint32_t handle = 99;
    EXPECT_EQ(QorPushApi_RegisterCallbackUser(&handle, c.identity, c.user, c.callback, &inbox),
              static_cast<uint32_t>(QOR_PUSH_API_INVALID_ARGUMENT));
    EXPECT_EQ(handle, 0u);
  }
  EXPECT_EQ(QorPushApi_RegisterCallbackUser(nullptr, "svc", "S-1-5-18", Inbox::Callback, &inbox),
            static_cast<uint32_t>(QOR_PUSH_API_INVALID_ARGUMENT));
  EXPECT_EQ(QorPushApi_UnregisterCallback(0), static_cast<uint32_t>(QOR_PUSH_API_UNKNOWN_REGISTRATION));
  EXPECT_STREQ(QorPushApi_ErrorAsString(12345), "Unknown push error");
  std::lock_guard lock(inbox.mutex);
  EXPECT_TRUE(inbox.events.empty());
}

TEST(PushApi, EachRegistrationGetsTheStablePnsIdOfItsUserOnce) {
  QorPushApi_DelayLoadInitialize();
  QorPushApi_DelayLoadInitialize();  // twice is harmless
  struct Case {
    const char* identity;
    const char* user;
  };
  const Case cases[] = {{"velder", "S-1-5-18"}, {"velder", "s-1-5-18"}, {"velder", "S-1-22-1-1000"},
                        {"other", "S-1-5-18"}};
  std::vector<std::unique_ptr<Inbox>> inboxes;
  std::vector<uint32_t> handles;
  for (const Case& c : cases) {
    inboxes.push_back(std::make_unique<Inbox>());
    uint32_t handle = 0;
    ASSERT_EQ(Register(&handle, c.identity, c.user, *inboxes.back()), static_cast<uint32_t>(QOR_PUSH_API_OK));
    ASSERT_NE(handle, 0u);
    for (uint32_t other : handles) EXPECT_NE(handle, other);
    handles.push_back(handle);
  }
  std::vector<std::string> ids;
  for (auto& inbox : inboxes) {
    const auto [kind, text] = inbox->First();
    EXPECT_EQ(kind, static_cast<uint32_t>(QOR_PUSH_API_KIND_PNS_ID));
    EXPECT_TRUE(std::regex_match(text, std::regex("hvpns-[0-9a-f]{16}"))) << text;
    EXPECT_NE(inbox->thread, std::this_thread::get_id()) << "delivered on the library's thread";
    ids.push_back(text);
  }
  // The same on every build and after a restart: a fixed function of identity and user.
  EXPECT_EQ(ids[0], "hvpns-a44e8a54bff41cf0");
  EXPECT_EQ(ids[1], ids[0]) << "SID case does not matter";
  EXPECT_EQ(ids[2], "hvpns-def1f23c7f8b5549");
  EXPECT_NE(ids[3], ids[0]) << "another service instance has another id";

  for (uint32_t handle : handles) EXPECT_EQ(QorPushApi_UnregisterCallback(handle), 0u);
  for (uint32_t handle : handles) {
    EXPECT_EQ(QorPushApi_UnregisterCallback(handle), static_cast<uint32_t>(QOR_PUSH_API_UNKNOWN_REGISTRATION));
  }
  for (auto& inbox : inboxes) {
    std::lock_guard lock(inbox->mutex);
    EXPECT_EQ(inbox->events.size(), 1u);
  }
}

// A registration whose callback runs a lambda.
struct Hook {
  std::function<void()> run;
  static uint32_t Callback(uint32_t, const char*, void* context) {
    static_cast<Hook*>(context)->run();
    return 0;
  }
};

TEST(PushApi, UnregisterWaitsForTheRunningCallback) {
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  Hook hook{[&] {
    entered.set_value();
    released.wait();
  }};
  uint32_t handle = 0;
  ASSERT_EQ(QorPushApi_RegisterCallbackUser(&handle, "svc", "S-1-22-1-7", Hook::Callback, &hook), 0u);
  entered.get_future().wait();
  auto unregistering = std::async(std::launch::async, [&] { return QorPushApi_UnregisterCallback(handle); });
  // A broken library could return later than this look, never sooner.
  EXPECT_EQ(unregistering.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  release.set_value();
  EXPECT_EQ(unregistering.get(), 0u);
}

TEST(PushApi, CallbackMayUnregisterItself) {
  uint32_t handle = 0;
  std::promise<uint32_t> result;
  Hook hook{[&] { result.set_value(QorPushApi_UnregisterCallback(handle)); }};
  ASSERT_EQ(QorPushApi_RegisterCallbackUser(&handle, "svc", "S-1-22-1-8", Hook::Callback, &hook), 0u);
  EXPECT_EQ(result.get_future().get(), 0u);
  EXPECT_EQ(QorPushApi_UnregisterCallback(handle), static_cast<uint32_t>(QOR_PUSH_API_UNKNOWN_REGISTRATION));
}

// Registrations come and go on many threads while the library delivers; each
// context is freed right after Unregister returns. A callback that ran late
// would write into freed memory (caught by the address sanitizer build) or
// count a delivery after the end.
TEST(PushApi, ContextMayBeFreedAsSoonAsUnregisterReturns) {
  struct Counter {
    std::atomic<int> calls{0};
    std::atomic<bool> ended{false};
    static uint32_t Callback(uint32_t, const char*, void* context) {
      auto* counter = static_cast<Counter*>(context);
      EXPECT_FALSE(counter->ended.load()) << "callback after Unregister returned";
      counter->calls.fetch_add(1);
      return 0;
    }
  };
  constexpr int kThreads = 6;
  constexpr int kRounds = 300;
  std::atomic<int> delivered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &delivered] {
      const std::string user = "S-1-22-1-" + std::to_string(2000 + t);
      for (int round = 0; round < kRounds; ++round) {
        auto counter = std::make_unique<Counter>();
        uint32_t handle = 0;
        ASSERT_EQ(QorPushApi_RegisterCallbackUser(&handle, "svc", user.c_str(), Counter::Callback, counter.get()),
                  0u);
        if (round % 3 == 0) std::this_thread::yield();
        ASSERT_EQ(QorPushApi_UnregisterCallback(handle), 0u);
        counter->ended = true;
        delivered += counter->calls.load();
        EXPECT_LE(counter->calls.load(), 1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  RecordProperty("delivered", delivered.load());
}

TEST(PushApi, RegistrationsAreBounded) {
  Inbox inbox;
  std::vector<uint32_t> handles;
  for (int i = 0; i < QOR_PUSH_API_MAX_REGISTRATIONS; ++i) {
    uint32_t handle = 0;
    ASSERT_EQ(Register(&handle, "svc", "S-1-22-1-3000", inbox), 0u) << i;
    handles.push_back(handle);
  }
  uint32_t handle = 5;
  EXPECT_EQ(Register(&handle, "svc", "S-1-22-1-3000", inbox),
            static_cast<uint32_t>(QOR_PUSH_API_TOO_MANY_REGISTRATIONS));
  EXPECT_EQ(handle, 0u);
  ASSERT_EQ(QorPushApi_UnregisterCallback(handles.back()), 0u);
  handles.pop_back();
  ASSERT_EQ(Register(&handle, "svc", "S-1-22-1-3000", inbox), 0u) << "room again after an unregistration";
  handles.push_back(handle);
  for (uint32_t h : handles) EXPECT_EQ(QorPushApi_UnregisterCallback(h), 0u);
}

}  // namespace
