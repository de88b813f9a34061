// A second process for the IPC library tests.
//
//   ipc_test_peer serve IDENTITY SERVICE   echo server; prints "ready", runs until SIGTERM
//   ipc_test_peer ask IDENTITY SERVICE TEXT one request; prints the answer; exit code = result
//   ipc_test_peer watch IDENTITY SERVICE   prints its channel, then one line per notification
//                                          payload, until SIGTERM
// With PEER_UID set (as root), runs as that user and group.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "qor/ipc/hv_qor_ipc.h"

namespace {

uint32_t Echo(uint32_t, const uint8_t* bytes, uint32_t count, HvIpcMessage* message, void*) {
  HvIPC_MessageSetResponse(message, bytes, count);
  return 0;
}

void PrintNotification(uint32_t kind, const uint8_t* bytes, uint32_t count, void*) {
  if (kind == HV_IPC_KIND_DISCONNECTED) {
    printf("disconnected\n");
  } else {
    printf("%u:%.*s\n", kind, static_cast<int>(count), reinterpret_cast<const char*>(bytes));
  }
  fflush(stdout);
}

// SIGTERM is blocked in every thread (the library's ones inherit the mask)
// and taken here.
sigset_t Term() {
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  return term;
}

void WaitForTerm() {
  const sigset_t term = Term();
  int signal = 0;
  sigwait(&term, &signal);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 100;
  const sigset_t term = Term();
  pthread_sigmask(SIG_BLOCK, &term, nullptr);
  if (const char* uid = getenv("PEER_UID")) {
    const uid_t id = static_cast<uid_t>(strtoul(uid, nullptr, 10));
    if (setgid(id) != 0 || setuid(id) != 0) return 101;
  }
  const std::string mode = argv[1];
  if (mode == "serve") {
    HvIpcServer* server = nullptr;
    const uint32_t rc = HvIPC_RunServer(&server, argv[2], argv[3], HV_IPC_SERVER_DEFAULT_FLAGS, Echo, nullptr, 0);
    printf("%s\n", rc == HV_IPC_OK ? "ready" : ("failed " + std::to_string(rc)).c_str());
    fflush(stdout);
    if (rc != HV_IPC_OK) return static_cast<int>(rc);
    WaitForTerm();
    return static_cast<int>(HvIPC_StopServer(server));
  }
  if (mode == "ask" && argc >= 5) {
    HvIpcClient* client = nullptr;
    uint32_t rc = HvIPC_ClientConnect(&client, argv[2], argv[3], 5000, nullptr, nullptr);
    if (rc != HV_IPC_OK) return static_cast<int>(rc);
    uint8_t* response = nullptr;
    uint32_t count = 0;
    rc = HvIPC_ClientRequest(client, 1, reinterpret_cast<const uint8_t*>(argv[4]), static_cast<uint32_t>(strlen(argv[4])),
                             5000, &response, &count);
    if (rc == HV_IPC_OK) printf("%.*s\n", static_cast<int>(count), reinterpret_cast<const char*>(response));
    HvIPC_ClientFreeBuffer(response);
    HvIPC_ClientClose(client);
    return static_cast<int>(rc);
  }
  if (mode == "watch") {
    HvIpcClient* client = nullptr;
    const uint32_t rc = HvIPC_ClientConnect(&client, argv[2], argv[3], 5000, PrintNotification, nullptr);
    if (rc != HV_IPC_OK) return static_cast<int>(rc);
    printf("%s\n", HvIPC_ClientGetChannel(client));
    fflush(stdout);
    WaitForTerm();
    HvIPC_ClientClose(client);
    return 0;
  }
  return 100;
}
