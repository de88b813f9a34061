#include "qor/ipc/ipc_server.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "qor/ipc/channel_registry.h"
#include "platform/resource_limits.h"
#include "qor/ipc/debug_log.h"
#include "qor/ipc/server_connection.h"

namespace qor_ipc {
namespace {

// epoll keys below the first connection's.
constexpr uint64_t kListenToken = 0;
constexpr uint64_t kStopToken = 1;
constexpr uint64_t kPauseToken = 2;
constexpr uint64_t kTaskToken = 3;
constexpr uint64_t kTickToken = 4;

constexpr uint32_t kKnownFlags = HV_IPC_SERVER_CONCURRENT | HV_IPC_SERVER_ALL_USERS | HV_IPC_SERVER_REPLACE_STALE;
// How long accepting pauses when the process is out of descriptors.
constexpr long kAcceptPauseNs = 100'000'000;

// The server whose thread this is, so that Stop can refuse to join itself.
thread_local const IpcServer* tls_server = nullptr;

// A time-out from the environment (tests shorten them), else `fallback`.
std::chrono::milliseconds TimeoutFromEnvironment(const char* name, uint32_t fallback) {
  const char* text = std::getenv(name);
  if (text != nullptr && *text != '\0') {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end == '\0' && value > 0 && value <= fallback) return std::chrono::milliseconds(value);
  }
  return std::chrono::milliseconds(fallback);
}

size_t DescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1u << 20;
  return static_cast<size_t>(limit.rlim_cur);
}

// One thread per core. A thread runs a request from its read to its answer
// without waiting for any client (answers and notifications go to bounded
// queues, never block), so threads beyond the cores only take turns on them:
// every extra one costs context switches and wake-ups, not throughput. At
// least two, so that one slow callback (a write that syncs a file) does not
// hold up every other client.
size_t DefaultThreads() {
  const unsigned hw = std::thread::hardware_concurrency();
  return std::clamp<size_t>(hw ? hw : 2, 2, 32);
}

// Callbacks faster than this (on recent average) are run one after the other
// on the thread that read their requests; slower ones are spread over the
// pool. A hand-over costs a wake-up of another thread, some 5-20 us.
constexpr int64_t kQuickCallbackNs = 50'000;
// The part of a read batch one thread serves itself before it hands the rest
// to the pool, so that a batch of quick requests cannot keep the others of
// the connection waiting for long.
constexpr int64_t kInlineBatchNs = 200'000;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

uint32_t IpcServer::Start(const std::string& identity, const std::string& service, uint32_t flags,
                          HvIPC_MessageCallback callback, void* context, uint32_t threads, IpcServer** server) {
  if (!server || !callback || (flags & ~kKnownFlags) != 0) return HV_IPC_INVALID_PARAMETER;
  *server = nullptr;
  auto* s = new IpcServer(identity, service, flags, callback, context);
  const uint32_t rc = s->Open(threads);
  if (rc != HV_IPC_OK) {
    s->stopping_ = true;
    const uint64_t one = 1;
    if (s->stop_fd_ >= 0) [[maybe_unused]] ssize_t n = ::write(s->stop_fd_, &one, sizeof(one));
    for (auto& t : s->threads_) t.join();
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
      concurrent_((flags & HV_IPC_SERVER_CONCURRENT) != 0),
      callback_(callback),
      context_(context),
      frame_timeout_(TimeoutFromEnvironment("HV_QOR_IPC_FRAME_TIMEOUT_MS", HV_IPC_FRAME_TIMEOUT_MS)),
      idle_timeout_(TimeoutFromEnvironment("HV_QOR_IPC_IDLE_TIMEOUT_MS", HV_IPC_IDLE_TIMEOUT_MS)),
      limits_(std::make_shared<PeerLimits>(resource_limits::kMaxConnectionsPerUid,
                                           PeerLimits::UserConnectionsFor(DescriptorLimit()),
                                           resource_limits::kMaxBufferedBytesPerUid)) {}

IpcServer::~IpcServer() = default;

bool IpcServer::Watch(int fd, uint64_t token, uint32_t events, int op) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = token;
  return ::epoll_ctl(epoll_fd_, op, fd, &ev) == 0;
}

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
  stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  pause_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  tick_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (epoll_fd_ < 0 || stop_fd_ < 0 || pause_fd_ < 0 || tick_fd_ < 0 || tasks_.fd() < 0) return HV_IPC_ERROR;
  // Time-outs are checked a few times per shortest time-out, at most once a second.
  const auto tick = std::clamp<std::chrono::milliseconds>(std::min(frame_timeout_, idle_timeout_) / 4,
                                                          std::chrono::milliseconds(20), std::chrono::seconds(1));
  itimerspec every{};
  every.it_interval.tv_sec = every.it_value.tv_sec = tick.count() / 1000;
  every.it_interval.tv_nsec = every.it_value.tv_nsec = (tick.count() % 1000) * 1'000'000;
  if (::timerfd_settime(tick_fd_, 0, &every, nullptr) != 0) return HV_IPC_ERROR;
  // One-shot: one thread accepts (or ends a pause) at a time and re-arms.
  // Level-triggered: the stop event reaches every thread, a queued task the
  // next free one.
  if (!Watch(listen_fd_, kListenToken, EPOLLIN | EPOLLONESHOT, EPOLL_CTL_ADD) ||
      !Watch(pause_fd_, kPauseToken, EPOLLIN | EPOLLONESHOT, EPOLL_CTL_ADD) ||
      !Watch(tick_fd_, kTickToken, EPOLLIN | EPOLLONESHOT, EPOLL_CTL_ADD) ||
      !Watch(stop_fd_, kStopToken, EPOLLIN, EPOLL_CTL_ADD) || !Watch(tasks_.fd(), kTaskToken, EPOLLIN, EPOLL_CTL_ADD)) {
    return HV_IPC_ERROR;
  }

  const size_t count = concurrent_ ? (threads ? threads : DefaultThreads()) : 1;
  try {
    for (size_t i = 0; i < count; ++i) threads_.emplace_back([this] { ServiceLoop(); });
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
  if (::listen(listen_fd_, SOMAXCONN) != 0) return HV_IPC_ERROR;
  return HV_IPC_OK;
}

uint32_t IpcServer::Stop() {
  if (tls_server == this) return HV_IPC_WRONG_THREAD;
  stopping_ = true;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(stop_fd_, &one, sizeof(one));
  {
    // Senders waiting for a client (perhaps inside a callback) give up now
    // instead of at their time-out, and clients learn at once.
    platform::ReaderLock lock(connections_mu_);
    for (auto& [token, connection] : connections_) connection->Abort();
  }
  // Each thread ends after what it is doing now; no callback starts later.
  for (auto& t : threads_) t.join();
  threads_.clear();
  tasks_.Clear();
  // Close every connection, so that senders stop waiting and clients learn
  // that the server is gone.
  std::unordered_map<uint64_t, std::shared_ptr<ServerConnection>> connections;
  {
    platform::WriterLock lock(connections_mu_);
    connections.swap(connections_);
  }
  for (auto& [token, connection] : connections) {
    ChannelRegistry::Instance().Remove(identity_, connection->channel());
    connection->Close();
  }
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
  for (int* fd : {&epoll_fd_, &stop_fd_, &pause_fd_, &tick_fd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  // Last: the name is free only once the socket file is gone.
  if (lock_fd_ >= 0) ::close(lock_fd_);
  lock_fd_ = -1;
}

void IpcServer::ServiceLoop() {
  tls_server = this;
  while (!stopping_) {
    epoll_event ev;
    const int n = ::epoll_wait(epoll_fd_, &ev, 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      DebugLog("epoll_wait failed, errno={}", errno);
      break;
    }
    if (n == 0 || stopping_) continue;
    switch (ev.data.u64) {
      case kStopToken:
        break;
      case kListenToken:
        AcceptAll();
        break;
      case kPauseToken:
        ResumeAccepting();
        break;
      case kTickToken:
        CloseExpired();
        break;
      case kTaskToken: {
        TaskQueue::Task task;
        if (tasks_.TryPop(&task)) task();
        break;
      }
      default:
        OnConnectionEvent(ev.data.u64, ev.events);
    }
  }
  tls_server = nullptr;
}

void IpcServer::AcceptAll() {
  while (!stopping_) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The pending connection stays in the backlog; accepting again at
        // once would only spin. The timer re-arms the socket later.
        DebugLog("accept failed, errno={}; pausing", errno);
        itimerspec pause{};
        pause.it_value.tv_nsec = kAcceptPauseNs;
        ::timerfd_settime(pause_fd_, 0, &pause, nullptr);
        Watch(pause_fd_, kPauseToken, EPOLLIN | EPOLLONESHOT, EPOLL_CTL_MOD);
        return;
      }
      break;  // EAGAIN: all accepted
    }
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof(peer)) {
      DebugLog("no credentials for a new connection, errno={}", errno);
      ::close(fd);
      continue;
    }
    if (!limits_->Admit(peer.uid)) {
      ::close(fd);
      Notice("Refused a connection of pid {}, uid {}: the uid has {} connections, or all users together have "
             "their most",
             peer.pid, peer.uid, limits_->Connections(peer.uid));
      continue;
    }
    std::shared_ptr<ServerConnection> connection;
    std::string channel;
    try {
      channel = ChannelRegistry::Instance().NewChannelName(peer.pid);
      connection =
          std::make_shared<ServerConnection>(fd, epoll_fd_, next_token_++, peer, identity_, channel, limits_);
    } catch (const std::bad_alloc&) {
      ::close(fd);
      limits_->Leave(peer.uid);
      Notice("Refused a connection of pid {}, uid {}: out of memory", peer.pid, peer.uid);
      continue;
    }
    // Known before its first event can arrive.
    {
      platform::WriterLock lock(connections_mu_);
      connections_.emplace(connection->token(), connection);
    }
    ChannelRegistry::Instance().Add(identity_, channel, connection);
    connection->QueueFrame(MakeFrame(HV_IPC_FRAME_HELLO, {HV_IPC_PROTOCOL_VERSION}, channel));
    if (!connection->Register()) CloseConnection(connection);
  }
  Watch(listen_fd_, kListenToken, EPOLLIN | EPOLLONESHOT, EPOLL_CTL_MOD);
}

void IpcServer::ResumeAccepting() {
  uint64_t expirations;
  [[maybe_unused]] ssize_t n = ::read(pause_fd_, &expirations, sizeof(expirations));
  Watch(listen_fd_, kListenToken, EPOLLIN | EPOLLONESHOT, EPOLL_CTL_MOD);
}

void IpcServer::CloseExpired() {
  uint64_t expirations;
  [[maybe_unused]] ssize_t n = ::read(tick_fd_, &expirations, sizeof(expirations));
  const auto now = std::chrono::steady_clock::now();
  std::vector<std::pair<std::shared_ptr<ServerConnection>, std::string>> expired;
  try {
    platform::ReaderLock lock(connections_mu_);
    for (const auto& [token, connection] : connections_) {
      std::string why = connection->Expired(now, frame_timeout_, idle_timeout_);
      if (!why.empty()) expired.emplace_back(connection, std::move(why));
    }
  } catch (const std::bad_alloc&) {
    // Checked again at the next tick.
  }
  Watch(tick_fd_, kTickToken, EPOLLIN | EPOLLONESHOT, EPOLL_CTL_MOD);
  for (const auto& [connection, why] : expired) {
    Notice("Closed the connection of pid {}, uid {} (channel {}): {}", connection->pid(), connection->uid(),
           connection->channel(), why);
    // Its next event is a hang-up, which a handler turns into the close.
    connection->Abort();
  }
}

void IpcServer::OnConnectionEvent(uint64_t token, uint32_t events) {
  std::shared_ptr<ServerConnection> connection;
  {
    platform::ReaderLock lock(connections_mu_);
    auto it = connections_.find(token);
    if (it == connections_.end()) return;
    connection = it->second;
  }
  if (!connection->BeginHandling()) return;
  if (events & (EPOLLERR | EPOLLHUP)) {
    // The client is gone (or we shut the socket down): nobody is left to
    // answer, so requests still unread are not served.
    CloseConnection(connection);
    return;
  }
  std::vector<Frame> frames;
  auto outcome = ServerConnection::ReadOutcome::kOpen;
  if (events & (EPOLLIN | EPOLLRDHUP)) {
    try {
      outcome = connection->ReadAvailable(&frames, (events & EPOLLRDHUP) != 0);
    } catch (const std::bad_alloc&) {
      // Out of memory costs this one client its connection, not the service.
      Notice("Closed the connection of pid {}, uid {} (channel {}): out of memory while reading", connection->pid(),
             connection->uid(), connection->channel());
      outcome = ServerConnection::ReadOutcome::kError;
    }
    if (outcome == ServerConnection::ReadOutcome::kError) {
      CloseConnection(connection);
      return;
    }
  }
  // Counted before the registration is armed, so that it reads no further
  // while too many requests of this client are waiting, and before the end
  // of the stream is noted, which shuts the connection down once nothing is
  // in flight.
  for (size_t i = 0; i < frames.size(); ++i) connection->RequestAccepted();
  if (events & EPOLLOUT) connection->OnWritable();
  if (outcome == ServerConnection::ReadOutcome::kEnd) connection->NoteEnd();
  connection->EndHandling();

  if (concurrent_) {
    // This thread serves the first request itself. While callbacks are quick
    // it serves the others of the batch as well (a hand-over would cost more
    // than the callback), up to kInlineBatchNs; otherwise, or beyond that,
    // they go to the other threads so that they run at the same time. A
    // server starts out counting its callbacks as slow.
    const bool quick = callback_ns_.load(std::memory_order_relaxed) < kQuickCallbackNs;
    const int64_t batch_start = quick ? NowNs() : 0;
    size_t served = 0;
    while (served < frames.size()) {
      if (served > 0 && (!quick || NowNs() - batch_start > kInlineBatchNs)) break;
      const Frame& frame = frames[served++];
      if (stopping_) {
        Skip(connection, kFrameHeaderSize + frame.body.size());
      } else if (!quick && served == 1) {
        // Slow callbacks: the rest go to the pool before this one starts.
        for (size_t i = 1; i < frames.size(); ++i) {
          tasks_.Push([this, connection, frame = std::move(frames[i])] {
            if (stopping_) return Skip(connection, kFrameHeaderSize + frame.body.size());
            Serve(connection, frame);
          });
        }
        served = frames.size();
        Serve(connection, frame);
      } else {
        Serve(connection, frame);
      }
    }
    for (size_t i = served; i < frames.size(); ++i) {
      tasks_.Push([this, connection, frame = std::move(frames[i])] {
        if (stopping_) return Skip(connection, kFrameHeaderSize + frame.body.size());
        Serve(connection, frame);
      });
    }
  } else {
    // One thread: the client's requests are served in their order.
    for (const Frame& frame : frames) {
      if (stopping_) {
        Skip(connection, kFrameHeaderSize + frame.body.size());
      } else {
        Serve(connection, frame);
      }
    }
  }
}

void IpcServer::Serve(const std::shared_ptr<ServerConnection>& connection, const Frame& frame) {
  const size_t request_bytes = kFrameHeaderSize + frame.body.size();
  if (connection->IsClosed()) return Skip(connection, request_bytes);  // nobody to answer
  const uint32_t request_id = GetU32(frame.body.data());
  const uint32_t kind = GetU32(frame.body.data() + 4);
  HvIpcMessage message;
  message.connection = connection.get();
  uint32_t handled = 1;
  const int64_t start = NowNs();
  try {
    handled = callback_(kind, reinterpret_cast<const uint8_t*>(frame.body.data() + 8),
                        static_cast<uint32_t>(frame.body.size() - 8), &message, context_);
  } catch (...) {
    // An exception (out of memory, say) must not end a server thread; the
    // request counts as refused.
    DebugLog("channel {}: the message callback threw", connection->channel());
    handled = 1;
  }
  // A moving average over some eight callbacks; races between threads only
  // lose a sample.
  const int64_t average = callback_ns_.load(std::memory_order_relaxed);
  callback_ns_.store(average + (NowNs() - start - average) / 8, std::memory_order_relaxed);
  uint32_t status = HV_IPC_OK;
  if (handled != 0) {
    status = HV_IPC_NOT_HANDLED;
    message.response.clear();
  } else if (message.response_too_large) {
    status = HV_IPC_TOO_LARGE;
    message.response.clear();
  }
  std::string response;
  try {
    response = MakeFrame(HV_IPC_FRAME_RESPONSE, {request_id, status}, message.response);
  } catch (const std::bad_alloc&) {
    message.response.clear();
    message.response.shrink_to_fit();
    try {
      response = MakeFrame(HV_IPC_FRAME_RESPONSE, {request_id, HV_IPC_ERROR}, {});
    } catch (const std::bad_alloc&) {
    }
  }
  connection->RequestDone(std::move(response), request_bytes);
}

void IpcServer::Skip(const std::shared_ptr<ServerConnection>& connection, size_t request_bytes) {
  connection->RequestDone(std::string(), request_bytes);
}

void IpcServer::CloseConnection(const std::shared_ptr<ServerConnection>& connection) {
  ChannelRegistry::Instance().Remove(identity_, connection->channel());
  connection->Close();
  size_t erased = 0;
  {
    platform::WriterLock lock(connections_mu_);
    erased = connections_.erase(connection->token());
  }
  if (erased != 0) limits_->Leave(connection->uid());
}

}  // namespace qor_ipc
