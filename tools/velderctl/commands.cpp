#include "tools/velderctl/commands.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <fmt/format.h>

#include "platform/manual_reset_event.h"
#include "platform/sid.h"
#include "store/velder_path.h"
#include "tools/velderctl/exit_code.h"
#include "tools/velderctl/value_argument.h"

namespace velderctl {
namespace {

using velder::Status;

// The path as people read it in messages; the root has no text of its own.
std::string Shown(std::string_view path) { return path.empty() ? "(root)" : fmt::format("'{}'", path); }

// Blocks SIGINT and SIGTERM in this thread, and so in every thread started
// after it, and reads them from a descriptor instead; restores on destruction.
class SignalReader {
 public:
  SignalReader() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, &old_);
    fd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
  }
  ~SignalReader() {
    if (fd_ >= 0) ::close(fd_);
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  int fd() const { return fd_; }
  // Takes the pending signal, which would otherwise strike as soon as the
  // mask is restored.
  void Consume() {
    signalfd_siginfo info;
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
  }

 private:
  sigset_t set_;
  sigset_t old_;
  int fd_ = -1;
};

}  // namespace

Commands::Commands(GlobalOptions options, std::FILE* out, std::FILE* err)
    : options_(std::move(options)), format_(options_.json), out_(out), err_(err) {}

void Commands::Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

int Commands::Fail(std::string_view command, const Status& status) {
  fmt::print(err_, "velderctl: {}: {}\n", command, status.Message());
  std::fflush(err_);
  return ExitCodeFor(status);
}

int Commands::FailAt(std::string_view command, std::string_view path, const Status& status) {
  fmt::print(err_, "velderctl: {} {}: {}\n", command, Shown(path), status.Message());
  std::fflush(err_);
  return ExitCodeFor(status);
}

int Commands::Usage(std::string_view command, const std::string& message) {
  fmt::print(err_, "velderctl: {}: {}\n", command, message);
  std::fflush(err_);
  return kExitUsage;
}

bool Commands::CheckPath(std::string_view command, const std::string& path, int* rc) {
  VelderPath::Path parsed;
  if (VelderPath::Parse(path, parsed)) return true;
  *rc = Usage(command, fmt::format("'{}' is not a setting path: dotted keys (a letter, then letters, digits, '_' or "
                                   "'-') and array indices, such as app.window.0.width",
                                   path));
  return false;
}

int Commands::Connect(std::string_view command, std::unique_ptr<velder::Client>* client,
                      velder::NotificationHandler handler) {
  if (!options_.user.empty() && !platform::IsValidSidText(options_.user)) {
    return Usage(command, fmt::format("--user '{}' is not a SID such as S-1-22-1-1000", options_.user));
  }
  velder::ClientOptions o;
  o.identity = options_.identity;
  o.user = options_.user;
  o.client_name = options_.client_name;
  o.request_timeout_ms = options_.timeout_ms;
  o.on_notification = std::move(handler);
  const Status s = velder::Client::Connect(std::move(o), client);
  if (!s.ok()) {
    Fail(command, s);
    // Refused before any byte was sent: the identity on the command line.
    return s.error() == velder::ClientError::InvalidArgument ? kExitUsage : ExitCodeFor(s);
  }
  return kExitSuccess;
}

template <typename Call>
int Commands::Simple(std::string_view command, const std::string& path, Call call) {
  int rc = kExitSuccess;
  if (!CheckPath(command, path, &rc)) return rc;
  std::unique_ptr<velder::Client> client;
  if ((rc = Connect(command, &client)) != kExitSuccess) return rc;
  const Status s = call(*client);
  return s.ok() ? kExitSuccess : FailAt(command, path, s);
}

int Commands::Get(const std::string& path) {
  int rc = kExitSuccess;
  if (!CheckPath("get", path, &rc)) return rc;
  std::unique_ptr<velder::Client> client;
  if ((rc = Connect("get", &client)) != kExitSuccess) return rc;
  const auto r = client->GetValue(path);
  if (!r.ok()) return FailAt("get", path, r.status);
  Print(format_.Value(r.value));
  return kExitSuccess;
}

int Commands::Set(const std::string& path, const std::string& value, const std::string& type) {
  int rc = kExitSuccess;
  if (!CheckPath("set", path, &rc)) return rc;
  ValueArgumentType t = ValueArgumentType::Infer;
  if (!type.empty() && !ParseValueArgumentType(type, &t)) {
    return Usage("set", fmt::format("--type '{}' is none of bool, int, string, json", type));
  }
  nlohmann::json parsed;
  std::string error;
  if (!ParseValueArgument(value, t, &parsed, &error)) {
    fmt::print(err_, "velderctl: set {}: {}\n", Shown(path), error);
    return kExitBadValue;
  }
  std::unique_ptr<velder::Client> client;
  if ((rc = Connect("set", &client)) != kExitSuccess) return rc;
  const Status s = client->SetValue(path, parsed);
  return s.ok() ? kExitSuccess : FailAt("set", path, s);
}

int Commands::Remove(const std::string& path) {
  return Simple("rm", path, [&](velder::Client& c) { return c.DeleteValue(path); });
}

int Commands::List(const std::string& path) {
  int rc = kExitSuccess;
  if (!CheckPath("ls", path, &rc)) return rc;
  std::unique_ptr<velder::Client> client;
  if ((rc = Connect("ls", &client)) != kExitSuccess) return rc;
  const auto r = client->Enumerate(path);
  if (!r.ok()) return FailAt("ls", path, r.status);
  Print(format_.Entries(r.value));
  return kExitSuccess;
}

int Commands::Meta(const std::string& path) {
  int rc = kExitSuccess;
  if (!CheckPath("meta", path, &rc)) return rc;
  std::unique_ptr<velder::Client> client;
  if ((rc = Connect("meta", &client)) != kExitSuccess) return rc;
  const auto r = client->GetMetaData(path);
  if (!r.ok()) return FailAt("meta", path, r.status);
  Print(format_.Meta(r.value));
  return kExitSuccess;
}

int Commands::Lock(const std::string& path) {
  return Simple("lock", path, [&](velder::Client& c) { return c.SetMetaData(path, velder::kConstraintAdminOnly); });
}

int Commands::Unlock(const std::string& path) {
  return Simple("unlock", path, [&](velder::Client& c) {
    Status s = c.SetMetaData(path, 0);
    if (!s.ok()) return s;
    // The service removes only the mark on this very path; a mark above it
    // still holds, and saying nothing would leave the caller believing the
    // path is free.
    const auto meta = c.GetMetaData(path);
    if (meta.ok() && meta.value.admin_only()) {
      fmt::print(err_, "velderctl: unlock {}: still admin-only: a path above it is locked\n", Shown(path));
    }
    return s;
  });
}

int Commands::Watch(const std::vector<std::string>& paths) {
  std::vector<std::string> targets = paths.empty() ? std::vector<std::string>{""} : paths;
  int rc = kExitSuccess;
  for (const auto& p : targets) {
    if (!CheckPath("watch", p, &rc)) return rc;
  }
  // Before the client's threads exist, so that they inherit the mask and the
  // signals reach the descriptor instead of ending the process mid-line.
  SignalReader signals;
  if (signals.fd() < 0) {
    fmt::print(err_, "velderctl: watch: cannot wait for signals, errno={}\n", errno);
    return kExitInternal;
  }
  platform::ManualResetEvent gone;
  std::unique_ptr<velder::Client> client;  // declared last: destroyed before what its handler uses
  auto handler = [&](const velder::Notification& n) {
    using Kind = velder::Notification::Kind;
    if (n.kind == Kind::Disconnected) {
      gone.Set();
      return;
    }
    if (n.kind == Kind::Malformed) {
      fmt::print(err_, "velderctl: watch: ignored a malformed notification: {}\n", n.error);
      std::fflush(err_);
      return;
    }
    Print(format_.Change(n));
  };
  if ((rc = Connect("watch", &client, handler)) != kExitSuccess) return rc;
  for (const auto& p : targets) {
    const Status s = client->Subscribe(p);
    if (!s.ok()) return FailAt("watch", p, s);
  }

  pollfd fds[2] = {{signals.fd(), POLLIN, 0}, {gone.fd(), POLLIN, 0}};
  for (;;) {
    const int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      fmt::print(err_, "velderctl: watch: poll failed, errno={}\n", errno);
      return kExitInternal;
    }
    if (fds[1].revents != 0) break;
    if (fds[0].revents != 0) {
      signals.Consume();
      // Asked to stop: leave the service without subscriptions for this channel.
      client->UnsubscribeAll();
      return kExitSuccess;
    }
  }
  client.reset();
  return Fail("watch", Status::FromError(velder::ClientError::Disconnected));
}

int Commands::Sync() {
  std::unique_ptr<velder::Client> client;
  int rc = Connect("sync", &client);
  if (rc != kExitSuccess) return rc;
  const Status s = client->Synchronize();
  return s.ok() ? kExitSuccess : Fail("sync", s);
}

int Commands::ReloadBase() {
  std::unique_ptr<velder::Client> client;
  int rc = Connect("reload-base", &client);
  if (rc != kExitSuccess) return rc;
  const Status s = client->ReloadBaseFile();
  return s.ok() ? kExitSuccess : Fail("reload-base", s);
}

int Commands::ShowStatus() {
  std::unique_ptr<velder::Client> client;
  int rc = Connect("status", &client);
  if (rc != kExitSuccess) return rc;
  const auto connected = client->CheckConnected();
  if (!connected.ok()) return Fail("status", connected.status);
  const auto recorded = client->GetValue(velder::kStatusPath);
  std::optional<nlohmann::json> status;
  if (recorded.ok()) {
    status = recorded.value;
  } else if (recorded.status != Status::FromCode(ResultCode::NotFound)) {
    return Fail("status", recorded.status);
  }
  Print(format_.ConnectionStatus(connected.value, status));
  return kExitSuccess;
}

int Commands::Users() {
  std::unique_ptr<velder::Client> client;
  int rc = Connect("users", &client);
  if (rc != kExitSuccess) return rc;
  const auto r = client->EnumerateUsers();
  if (r.ok()) {
    Print(format_.Users(r.value));
    return kExitSuccess;
  }
  if (r.status == Status::FromCode(ResultCode::GenericFailure)) {
    // The service gives the same answer when no user has settings yet.
    return Fail("users", r.status.WithDetail("also the answer when no user has local settings yet"));
  }
  return Fail("users", r.status);
}

}  // namespace velderctl
