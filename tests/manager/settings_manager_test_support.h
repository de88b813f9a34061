// The settings manager tests' fixture: a real Storage in a temporary folder
// (whose calls for one user's files a test can hold, as a slow disk would),
// a real notifier and a manager over them, and tokens of the test's choosing.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "manager/settings_manager.h"
#include "notify/fake_sender.h"
#include "platform/mutex.h"
#include "wire/value_conversion.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace manager_testing {

using nlohmann::json;
using testing_support::LogCapture;

inline constexpr char kSystem[] = "S-1-5-18";
inline constexpr char kAlice[] = "S-1-22-1-1001";
inline constexpr char kBob[] = "S-1-22-1-1002";
using notify_testing::kHangGuard;  // how long a test waits for what comes at once unless a lock stalls it

// Tokens of the test's choosing: the code set for a user (0: a token), else "signed out".
class FakeTokenSource : public TokenSource {
 public:
  void SetServer(const std::string&, uint16_t, const std::string&) override {}
  uint32_t GetBearerToken(const std::string& user, std::string& token) override {
    platform::MutexLock lock(mutex_);
    const auto it = codes_.find(user);
    const uint32_t code = it == codes_.end() ? uint32_t{QOR_CLIENT_AUTH_NO_TOKEN} : it->second;
    if (code == QOR_CLIENT_AUTH_OK) token = "tok." + user;
    return code;
  }
  std::string ErrorText(uint32_t code) override { return "code " + std::to_string(code); }
  void RefreshToken(const std::string&) override {}
  void Answer(const std::string& user, uint32_t code) {
    platform::MutexLock lock(mutex_);
    codes_[user] = code;
  }

 private:
  platform::Mutex mutex_;
  std::map<std::string, uint32_t> codes_ GUARDED_BY(mutex_);
};

// A Storage whose reads (loads) or backups (saves) of the files of `user`
// wait while the test holds them, or whose loads fail.
class SlowStorage : public Storage {
 public:
  using Storage::Storage;
  enum Fault { kNone, kHoldLoads, kHoldSaves, kFailLoads };

  void Arm(const std::string& user, Fault fault) {
    platform::MutexLock lock(mutex_);
    user_ = user;
    fault_ = fault;
    held_ = 0;
  }
  // True once a call is held.
  bool AwaitHeld() {
    platform::MutexLock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    while (held_ == 0) {
      if (!changed_.WaitUntil(mutex_, deadline)) return false;
    }
    return true;
  }
  // Lets held calls go on; calls are still counted.
  void Release() {
    {
      platform::MutexLock lock(mutex_);
      fault_ = kNone;
    }
    changed_.NotifyAll();
  }
  int local_loads() {
    platform::MutexLock lock(mutex_);
    return local_loads_;
  }

  nlohmann::json LoadOnce(const std::string& path) override {
    {
      platform::MutexLock lock(mutex_);
      if (!user_.empty() && path.find(user_) != std::string::npos) {
        if (path.ends_with(".local.velder")) ++local_loads_;
        if (fault_ == kFailLoads) throw std::runtime_error("the disk is gone");
        if (fault_ == kHoldLoads) HoldLocked();
      }
    }
    return Storage::LoadOnce(path);
  }
  bool MakeBackupFile(const std::string& path) override {
    {
      platform::MutexLock lock(mutex_);
      if (fault_ == kHoldSaves && !user_.empty() && path.find(user_) != std::string::npos) HoldLocked();
    }
    return Storage::MakeBackupFile(path);
  }

 private:
  void HoldLocked() REQUIRES(mutex_) {
    ++held_;
    changed_.NotifyAll();
    while (fault_ != kNone) changed_.Wait(mutex_);
  }

  platform::Mutex mutex_;
  platform::CondVar changed_;
  std::string user_ GUARDED_BY(mutex_);
  Fault fault_ GUARDED_BY(mutex_) = kNone;
  int held_ GUARDED_BY(mutex_) = 0;
  int local_loads_ GUARDED_BY(mutex_) = 0;
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

class ManagerTest : public testing::Test {
 protected:
  ManagerTest() : storage_(dir_.path().string()) { testing_support::TestRegistry(); }
  ~ManagerTest() override { stop_event_.Set(); }  // the notifier may still run after a failure
  void SetUp() override { MakeManager(); }

  // Replaces the manager, with `server_comm` when given.
  void MakeManager(std::unique_ptr<ServerComm> server_comm = nullptr) {
    manager_.reset();
    auto tokens = std::make_unique<FakeTokenSource>();
    tokens_ = tokens.get();
    manager_ = std::make_unique<SettingsManager>(
        storage_,
        std::make_unique<ChangeNotifier>(stop_event_, "test-identity", std::make_shared<notify_testing::FakeSender>()),
        stop_event_, "test-identity", std::move(server_comm), std::move(tokens));
  }

  // Sends `request` from `client_user` on `channel` and returns the response.
  IpcMessage Send(const IpcMessage& request, const std::string& client_user, bool admin = false,
                  const std::string& channel = "chan") {
    IpcMessage response;
    EXPECT_TRUE(manager_->HandleRequest(request, response, client_user, admin, channel));
    return response;
  }
  uint32_t Result(const IpcMessage& request, const std::string& client_user, bool admin = false,
                  const std::string& channel = "chan") {
    return Send(request, client_user, admin, channel).result();
  }
  uint32_t SetValue(const std::string& user, const std::string& path, const json& value, const std::string& client,
                    bool admin = false) {
    IpcMessage request = Request(MessageType::SetValue, user, path);
    request.SetValue(ValueKind::Json, value.dump());
    return Result(request, client, admin);
  }
  // The system setting `path` := `value` (of any type; null removes it), written by an administrator.
  void SetSystemSetting(const std::string& path, const json& value) {
    Result(Request(MessageType::DeleteValue, kSystem, path), kSystem, true);
    if (!value.is_null()) {
      ASSERT_EQ(SetValue(kSystem, path, value, kSystem, true), 0u) << path;
    }
  }
  std::shared_ptr<Settings> FindHive(const std::string& user) {
    for (auto& hive : manager_->Hives()) {
      if (hive->user() == user) return hive;
    }
    return nullptr;
  }
  std::vector<std::string> Users() {
    std::vector<std::string> users;
    for (const auto& hive : manager_->Hives()) users.push_back(hive->user());
    return users;
  }
  int64_t Now() const { return platform::CurrentClock().NowSeconds(); }

  testing_support::ScopedFakeClock clock_;
  testing_support::TempDir dir_;
  SlowStorage storage_;
  platform::ManualResetEvent stop_event_;
  FakeTokenSource* tokens_ = nullptr;  // the manager's
  std::unique_ptr<SettingsManager> manager_;
};

}  // namespace manager_testing
