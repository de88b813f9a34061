// The settings manager tests' fixture: a real Storage in a temporary folder,
// a real notifier and a manager over them, and the tokens of the real
// client-authentication library (loaded from the build's library folder).
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "manager/settings_manager.h"
#include "notify/notification_sender.h"
#include "platform/maker_libraries.h"
#include "platform/sqlite_registry.h"
#include "server/server_test_log.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"
#include "wire/value_conversion.h"

namespace manager_testing {

using nlohmann::json;
using server_testing::LogCapture;

inline constexpr char kSystem[] = "S-1-5-18";
inline constexpr char kAlice[] = "S-1-22-1-1001";
inline constexpr char kBob[] = "S-1-22-1-1002";

// Points the delay loader at the build's libraries and the registry at the
// test's own; returns that registry folder.
inline const std::string& TestEnvironment() {
  [[maybe_unused]] static const int libraries = ::setenv("HALVERN_LIB_DIR", MAKER_LIBRARY_DIR, 1);
  return server_testing::TestRegistry();
}

// Stores (or, with an empty token, removes) the bearer token of `user`.
inline void SetToken(const std::string& user, const std::string& token) {
  SqliteRegistry registry(TestEnvironment());
  registry.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(registry.CreateKeyPath(QOR_CLIENT_AUTH_TOKENS_KEY));
  if (token.empty()) {
    registry.DeleteValue(QOR_CLIENT_AUTH_TOKENS_KEY, user);
  } else {
    ASSERT_TRUE(registry.SetString(QOR_CLIENT_AUTH_TOKENS_KEY, user, token));
  }
}

// Records every delivered notification; `delivered` is set by every delivery.
class RecordingSender : public NotificationSender {
 public:
  struct Sent {
    std::string channel;
    IpcMessage message;
  };

  uint32_t Send(const std::string&, const std::string& channel, std::span<const uint8_t> bytes) override {
    Sent sent{channel, IpcMessage()};
    EXPECT_TRUE(sent.message.Deserialize(bytes.data(), bytes.size()));
    std::lock_guard lock(mutex_);
    sent_.push_back(std::move(sent));
    delivered.Set();
    return kDelivered;
  }

  std::vector<Sent> Take() {
    std::lock_guard lock(mutex_);
    std::vector<Sent> taken;
    taken.swap(sent_);
    delivered.Reset();
    return taken;
  }

  platform::ManualResetEvent delivered;

 private:
  std::mutex mutex_;
  std::vector<Sent> sent_;
};

// A request envelope of `type` for `user` (empty: the sender's own hive).
inline IpcMessage Request(MessageType type, const std::string& user = "", const std::string& path = "") {
  IpcMessage request;
  request.set_message_type(type);
  request.set_name_space("test-ns");
  request.set_user(user);
  request.set_client("test-client");
  request.set_path(path);
  return request;
}

// A server connection whose random draw is always `r`, so that back-off times
// are known.
class FixedRandomServerComm : public ServerComm {
 public:
  FixedRandomServerComm(platform::ManualResetEvent& stop_event, uint32_t r)
      : ServerComm("test-identity", stop_event, SettingsManager::kUserAgent), r_(r) {}

 protected:
  uint32_t SecureRandom() override { return r_; }

 private:
  const uint32_t r_;
};

class ManagerTest : public testing::Test {
 protected:
  ManagerTest() : storage_(dir_.path().string()) { TestEnvironment(); }

  ~ManagerTest() override { stop_event_.Set(); }  // the notifier may still run after a failure

  void SetUp() override { MakeManager(); }

  // Replaces the manager by a `Manager`, with `server_comm` when given.
  template <typename Manager = SettingsManager>
  Manager& MakeManager(std::unique_ptr<ServerComm> server_comm = nullptr) {
    manager_.reset();
    sender_ = std::make_shared<RecordingSender>();
    auto notifier = std::make_unique<ChangeNotifier>(stop_event_, "test-identity", sender_);
    std::unique_ptr<Manager> manager =
        server_comm ? std::make_unique<Manager>(storage_, std::move(notifier), stop_event_, "test-identity",
                                                std::move(server_comm))
                    : std::make_unique<Manager>(storage_, std::move(notifier), stop_event_, "test-identity");
    Manager& made = *manager;
    manager_ = std::move(manager);
    return made;
  }

  // Sends `request` from `client_user` on `channel` and returns the response.
  IpcMessage Send(const IpcMessage& request, const std::string& client_user, bool admin = false,
                  const std::string& channel = "chan") {
    IpcMessage response;
    EXPECT_TRUE(manager_->HandleRequest(request, response, client_user, admin, channel));
    EXPECT_EQ(response.message_type(), MessageType::Response);
    return response;
  }
  uint32_t Result(const IpcMessage& request, const std::string& client_user, bool admin = false,
                  const std::string& channel = "chan") {
    return Send(request, client_user, admin, channel).result();
  }

  uint32_t SetValue(const std::string& user, const std::string& path, const json& value, const std::string& client,
                    bool admin = false, const std::string& channel = "chan") {
    IpcMessage request = Request(MessageType::SetValue, user, path);
    request.SetValue(ValueKind::Json, value.dump());
    return Result(request, client, admin, channel);
  }

  // The system setting `path` := `value` (of any type), written by an administrator.
  void SetSystemSetting(const std::string& path, const json& value) {
    Result(Request(MessageType::DeleteValue, kSystem, path), kSystem, true);
    ASSERT_EQ(SetValue(kSystem, path, value, kSystem, true), 0u) << path;
  }

  std::shared_ptr<Settings> FindHive(const std::string& user) {
    for (auto& hive : manager_->Hives()) {
      if (hive->user() == user) return hive;
    }
    return nullptr;
  }

  int64_t Now() const { return platform::CurrentClock().NowSeconds(); }

  testing_support::ScopedFakeClock clock_;
  testing_support::TempDir dir_;
  Storage storage_;
  platform::ManualResetEvent stop_event_;
  std::shared_ptr<RecordingSender> sender_;
  std::unique_ptr<SettingsManager> manager_;
};

}  // namespace manager_testing
