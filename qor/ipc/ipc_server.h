// The server side of the library: one listening socket, one I/O thread that
// accepts and reads, and a pool of threads that run the message callback.
//
// Ownership: the server owns its connections (shared with pool tasks and with
// HvIPC_Send calls in progress, which may outlive the server: a closed
// connection only refuses them). Threads: Start and Stop on any thread but the
// server's own; the callback runs on pool threads.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

#include "qor/ipc/frame.h"
#include "qor/ipc/hv_qor_ipc.h"
#include "qor/ipc/socket_location.h"
#include "qor/ipc/worker_pool.h"

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
  void IoLoop();
  void AcceptAll();
  void PauseAccepting();
  void OnConnectionEvent(const std::shared_ptr<ServerConnection>& connection, uint32_t events);
  void Dispatch(const std::shared_ptr<ServerConnection>& connection, Frame frame);
  void Serve(ServerConnection* connection, const Frame& frame);
  void CloseConnection(const std::shared_ptr<ServerConnection>& connection);
  void ReleaseResources();

  const std::string identity_;
  const std::string service_;
  const uint32_t flags_;
  const HvIPC_MessageCallback callback_;
  void* const context_;
  SocketLocation location_;

  int lock_fd_ = -1;
  int listen_fd_ = -1;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  dev_t socket_dev_ = 0;
  ino_t socket_ino_ = 0;  // our socket file, so that Stop removes no one else's

  std::atomic<bool> stopping_{false};
  std::thread io_thread_;
  std::unique_ptr<WorkerPool> pool_;

  // I/O thread only while it runs; Stop after joining it.
  std::unordered_map<uint64_t, std::shared_ptr<ServerConnection>> connections_;
  uint64_t next_token_ = 2;
  bool accept_paused_ = false;
  std::chrono::steady_clock::time_point accept_resume_;
};

}  // namespace qor_ipc
