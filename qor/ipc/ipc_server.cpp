#include "qor/ipc/ipc_server.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "qor/ipc/channel_registry.h"
#include "qor/ipc/debug_log.h"
#include "qor/ipc/server_connection.h"

namespace qor_ipc {
namespace {

constexpr uint64_t kListenToken = 0;
constexpr uint64_t kWakeToken = 1;
constexpr uint32_t kKnownFlags = HV_IPC_SERVER_CONCURRENT | HV_IPC_SERVER_ALL_USERS | HV_IPC_SERVER_REPLACE_STALE;
// How long accepting pauses when the process is out of descriptors.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

size_t DefaultThreads() {
  const unsigned hw = std::thread::hardware_concurrency();
  return std::clamp<size_t>(size_t{2} * (hw ? hw : 2), 4, 32);
}

}  // namespace

uint32_t IpcServer::Start(const std::string& identity, const std::string& service, uint32_t flags,
                          HvIPC_MessageCallback callback, void* context, uint32_t threads, IpcServer** server) {
  if (!server || !callback || (flags & ~kKnownFlags) != 0) return HV_IPC_INVALID_PARAMETER;
  *server = nullptr;
  auto* s = new IpcServer(identity, service, flags, callback, context);
  const uint32_t rc = s->Open(threads);
  if (rc != HV_IPC_OK) {
    s->ReleaseResources();
    delete s;
    return rc;
  }
  *server = s;
  return HV_IPC_OK;
}

IpcServer::IpcServer(std::string identity, std::string service, uint32_t flags, HvIPC_MessageCallback callback,
                     void* context)
    : identity_(std::move(identity)),
      service_(std::move(service)),
      flags_(flags),
      callback_(callback),
      context_(context) {}

IpcServer::~IpcServer() = default;

uint32_t IpcServer::Open(uint32_t threads) {
  uint32_t rc = ServerLocation(identity_, service_, &location_);
  if (rc != HV_IPC_OK) return rc;
  rc = PrepareServerDirectories(location_);
  if (rc != HV_IPC_OK) {
    DebugLog("socket directory '{}' is not usable ({})", location_.identity_dir, rc);
    return rc;
  }
  rc = Listen();
  if (rc != HV_IPC_OK) return rc;

  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (epoll_fd_ < 0 || wake_fd_ < 0) return HV_IPC_ERROR;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kListenToken;
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &ev) != 0) return HV_IPC_ERROR;
  ev.data.u64 = kWakeToken;
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev) != 0) return HV_IPC_ERROR;

  const size_t pool_size = (flags_ & HV_IPC_SERVER_CONCURRENT) ? (threads ? threads : DefaultThreads()) : 1;
  try {
    pool_ = std::make_unique<WorkerPool>(pool_size);
    io_thread_ = std::thread([this] { IoLoop(); });
  } catch (const std::exception& e) {
    DebugLog("cannot start threads: {}", e.what());
    return HV_IPC_ERROR;
  }
  return HV_IPC_OK;
}

uint32_t IpcServer::Listen() {
  // The lock decides who owns the name, also against a server that is just
  // starting in another process; whatever socket file we find after taking it
  // was left by a server that is gone.
  lock_fd_ = ::open(location_.lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock_fd_ < 0) return errno == EACCES ? HV_IPC_ACCESS_DENIED : HV_IPC_ERROR;
  if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
    DebugLog("'{}' is served by a running server", location_.socket_path);
    return errno == EWOULDBLOCK ? HV_IPC_ALREADY_RUNNING : HV_IPC_ERROR;
  }
  struct stat st;
  if (::lstat(location_.socket_path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      DebugLog("'{}' exists and is not a socket", location_.socket_path);
      return HV_IPC_ERROR;
    }
    if ((flags_ & HV_IPC_SERVER_REPLACE_STALE) == 0) return HV_IPC_ALREADY_RUNNING;
    DebugLog("replacing the stale socket '{}'", location_.socket_path);
    if (::unlink(location_.socket_path.c_str()) != 0 && errno != ENOENT) return HV_IPC_ERROR;
  }

  listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return HV_IPC_ERROR;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, location_.socket_path.c_str(), location_.socket_path.size() + 1);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    DebugLog("bind '{}' failed, errno={}", location_.socket_path, errno);
    return errno == EADDRINUSE ? HV_IPC_ALREADY_RUNNING : HV_IPC_ERROR;
  }
  // Connecting needs write permission on the socket file; clients are told
  // apart by their credentials, not by who may reach the socket.
  const mode_t mode = (flags_ & HV_IPC_SERVER_ALL_USERS) ? 0666 : 0600;
  if (::chmod(location_.socket_path.c_str(), mode) != 0 || ::stat(location_.socket_path.c_str(), &st) != 0) {
    ::unlink(location_.socket_path.c_str());
    return HV_IPC_ERROR;
  }
  socket_dev_ = st.st_dev;
  socket_ino_ = st.st_ino;
  if (::listen(listen_fd_, SOMAXCONN) != 0) {
    ::unlink(location_.socket_path.c_str());
    socket_ino_ = 0;
    return HV_IPC_ERROR;
  }
  return HV_IPC_OK;
}

uint32_t IpcServer::Stop() {
  if (pool_ && pool_->OnPoolThread()) return HV_IPC_WRONG_THREAD;
  stopping_ = true;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof(one));
  if (io_thread_.joinable()) io_thread_.join();
  // No connection is accepted or read from now on. Close them all, so that
  // answers of callbacks still running go nowhere and senders stop waiting.
  for (auto& [token, connection] : connections_) {
    ChannelRegistry::Instance().Remove(identity_, connection->channel());
    connection->Close();
  }
  connections_.clear();
  // Queued requests are dropped; running callbacks are waited for.
  if (pool_) pool_->Stop();
  ReleaseResources();
  delete this;
  return HV_IPC_OK;
}

void IpcServer::ReleaseResources() {
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
  struct stat st;
  if (socket_ino_ != 0 && ::lstat(location_.socket_path.c_str(), &st) == 0 && st.st_ino == socket_ino_ &&
      st.st_dev == socket_dev_) {
    ::unlink(location_.socket_path.c_str());
  }
  socket_ino_ = 0;
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
  epoll_fd_ = wake_fd_ = -1;
  // Last: the name is free only once the socket file is gone.
  if (lock_fd_ >= 0) ::close(lock_fd_);
  lock_fd_ = -1;
}

void IpcServer::IoLoop() {
  epoll_event events[64];
  while (!stopping_) {
    int timeout = -1;
    if (accept_paused_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(accept_resume_ -
                                                                              std::chrono::steady_clock::now());
      timeout = static_cast<int>(std::max<int64_t>(0, left.count()));
    }
    const int n = ::epoll_wait(epoll_fd_, events, 64, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      DebugLog("epoll_wait failed, errno={}", errno);
      break;
    }
    for (int i = 0; i < n && !stopping_; ++i) {
      const uint64_t token = events[i].data.u64;
      if (token == kListenToken) {
        AcceptAll();
      } else if (token == kWakeToken) {
        uint64_t value;
        [[maybe_unused]] ssize_t r = ::read(wake_fd_, &value, sizeof(value));
      } else if (auto it = connections_.find(token); it != connections_.end()) {
        auto connection = it->second;  // keep it alive while it may be erased
        OnConnectionEvent(connection, events[i].events);
      }
    }
    if (accept_paused_ && std::chrono::steady_clock::now() >= accept_resume_) {
      accept_paused_ = false;
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u64 = kListenToken;
      ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, listen_fd_, &ev);
    }
  }
}

void IpcServer::AcceptAll() {
  while (!stopping_) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The pending connection stays in the backlog; retrying at once would
        // only spin.
        DebugLog("accept failed, errno={}; pausing", errno);
        PauseAccepting();
      }
      return;
    }
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof(peer)) {
      DebugLog("no credentials for a new connection, errno={}", errno);
      ::close(fd);
      continue;
    }
    const std::string channel = ChannelRegistry::Instance().NewChannelName(peer.pid);
    auto connection = std::make_shared<ServerConnection>(fd, epoll_fd_, next_token_++, peer, identity_, channel);
    if (!connection->Register()) continue;  // the connection's destructor closes fd
    connection->QueueFrame(MakeFrame(HV_IPC_FRAME_HELLO, {HV_IPC_PROTOCOL_VERSION}, channel));
    ChannelRegistry::Instance().Add(identity_, channel, connection);
    connections_.emplace(connection->token(), std::move(connection));
  }
}

void IpcServer::PauseAccepting() {
  accept_paused_ = true;
  accept_resume_ = std::chrono::steady_clock::now() + kAcceptPause;
  epoll_event ev{};
  ev.events = 0;
  ev.data.u64 = kListenToken;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, listen_fd_, &ev);
}

void IpcServer::OnConnectionEvent(const std::shared_ptr<ServerConnection>& connection, uint32_t events) {
  if (events & (EPOLLERR | EPOLLHUP)) {
    // The client is gone (or we shut the socket down): nobody is left to
    // answer, so requests still unread are not served.
    CloseConnection(connection);
    return;
  }
  if (events & (EPOLLIN | EPOLLRDHUP)) {
    std::vector<Frame> frames;
    const auto outcome = connection->ReadAvailable(&frames);
    if (outcome == ServerConnection::ReadOutcome::kError) {
      CloseConnection(connection);
      return;
    }
    for (auto& frame : frames) Dispatch(connection, std::move(frame));
    if (outcome == ServerConnection::ReadOutcome::kEnd) connection->NoteEnd();
  }
  if (events & EPOLLOUT) connection->OnWritable();
}

void IpcServer::Dispatch(const std::shared_ptr<ServerConnection>& connection, Frame frame) {
  connection->RequestAccepted();
  const bool posted = pool_->Post([this, connection, frame = std::move(frame)] {
    if (connection->IsClosed()) {
      connection->RequestDone(std::string());
      return;
    }
    Serve(connection.get(), frame);
  });
  if (!posted) connection->RequestDone(std::string());
}

void IpcServer::Serve(ServerConnection* connection, const Frame& frame) {
  const uint32_t request_id = GetU32(frame.body.data());
  const uint32_t kind = GetU32(frame.body.data() + 4);
  HvIpcMessage message;
  message.connection = connection;
  uint32_t handled = 1;
  try {
    handled = callback_(kind, reinterpret_cast<const uint8_t*>(frame.body.data() + 8),
                        static_cast<uint32_t>(frame.body.size() - 8), &message, context_);
  } catch (...) {
    // An exception must not end a pool thread; the request counts as refused.
    DebugLog("channel {}: the message callback threw", connection->channel());
    handled = 1;
  }
  uint32_t status = HV_IPC_OK;
  if (handled != 0) {
    status = HV_IPC_NOT_HANDLED;
    message.response.clear();
  } else if (message.response_too_large) {
    status = HV_IPC_TOO_LARGE;
    message.response.clear();
  }
  connection->RequestDone(MakeFrame(HV_IPC_FRAME_RESPONSE, {request_id, status}, message.response));
}

void IpcServer::CloseConnection(const std::shared_ptr<ServerConnection>& connection) {
  ChannelRegistry::Instance().Remove(identity_, connection->channel());
  connection->Close();
  connections_.erase(connection->token());
}

}  // namespace qor_ipc
