// The server side of the library: one listening socket and a set of threads
// that all wait on one epoll set. The thread that receives a request runs the
// message callback itself, so a request costs no hand-over between threads.
// Further requests read in the same go are served by the same thread while
// callbacks are quick, else queued for the other threads, so that pipelined
// slow requests of one client still run at the same time.
//
// Ownership: the server owns its connections (shared with queued tasks and
// with HvIPC_Send calls in progress, which may outlive the server: a closed
// connection only refuses them). Threads: Start and Stop on any thread but the
// server's own; the callback runs on the server's threads.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/mutex.h"
#include "qor/ipc/frame.h"
#include "qor/ipc/hv_qor_ipc.h"
#include "qor/ipc/peer_limits.h"
#include "qor/ipc/socket_location.h"
#include "qor/ipc/task_queue.h"

namespace qor_ipc {
class ServerConnection;
}

// The handle the callback receives: valid while the callback runs.
struct HvIpcMessage {
  qor_ipc::ServerConnection* connection = nullptr;
  std::string response;
  bool response_too_large = false;
};

// The C handle is the server itself.
struct HvIpcServer {
  virtual ~HvIpcServer() = default;
};

namespace qor_ipc {

class IpcServer final : public HvIpcServer {
 public:
  // Creates and starts a server; on HV_IPC_OK *server owns it until Stop.
  static uint32_t Start(const std::string& identity, const std::string& service, uint32_t flags,
                        HvIPC_MessageCallback callback, void* context, uint32_t threads, IpcServer** server);

  // Stops and deletes the server (see HvIPC_StopServer). On
  // HV_IPC_WRONG_THREAD nothing happened and the server still runs.
  uint32_t Stop();

 private:
  IpcServer(std::string identity, std::string service, uint32_t flags, HvIPC_MessageCallback callback,
            void* context);
  ~IpcServer() override;

  uint32_t Open(uint32_t threads);
  uint32_t Listen();
  bool Watch(int fd, uint64_t token, uint32_t events, int op);
  void ServiceLoop();
  void AcceptAll();
  void ResumeAccepting();
  // Closes the connections that have run out of time (see ServerConnection::Expired).
  void CloseExpired();
  void OnConnectionEvent(uint64_t token, uint32_t events);
  void Serve(const std::shared_ptr<ServerConnection>& connection, const Frame& frame);
  void Skip(const std::shared_ptr<ServerConnection>& connection, size_t request_bytes);
  void CloseConnection(const std::shared_ptr<ServerConnection>& connection);
  void ReleaseResources();

  const std::string identity_;
  const std::string service_;
  const uint32_t flags_;
  const bool concurrent_;
  const HvIPC_MessageCallback callback_;
  void* const context_;
  SocketLocation location_;

  int lock_fd_ = -1;
  int listen_fd_ = -1;
  int epoll_fd_ = -1;
  int stop_fd_ = -1;   // eventfd, readable from Stop on: every thread sees it and ends
  int pause_fd_ = -1;  // timerfd that ends a pause of accepting (out of descriptors)
  int tick_fd_ = -1;   // periodic timerfd: time-outs of connections are checked
  std::chrono::milliseconds frame_timeout_;
  std::chrono::milliseconds idle_timeout_;
  std::shared_ptr<PeerLimits> limits_;
  dev_t socket_dev_ = 0;
  ino_t socket_ino_ = 0;  // our socket file, so that Stop removes no one else's

  std::atomic<bool> stopping_{false};
  // Recent callbacks' average duration in ns; starts as slow.
  std::atomic<int64_t> callback_ns_{1'000'000};
  TaskQueue tasks_;
  std::vector<std::thread> threads_;  // written by Open and Stop only

  // Read for every event, written when a client comes or goes.
  platform::SharedMutex connections_mu_;
  std::unordered_map<uint64_t, std::shared_ptr<ServerConnection>> connections_ GUARDED_BY(connections_mu_);
  std::atomic<uint64_t> next_token_{16};
};

}  // namespace qor_ipc
