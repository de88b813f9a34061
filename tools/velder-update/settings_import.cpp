#include "tools/velder-update/settings_import.h"

#include <thread>

namespace velder_update {

velder::Status ConnectWithRetry(const velder::ClientOptions& options, std::chrono::milliseconds wait,
                                std::chrono::milliseconds interval, std::unique_ptr<velder::Client>* client) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    velder::Status s = velder::Client::Connect(options, client);
    if (s.ok() || s.error() != velder::ClientError::Unreachable) return s;
    if (std::chrono::steady_clock::now() + interval > deadline) return s;
    std::this_thread::sleep_for(interval);
  }
}

ImportOutcome DeliverSettings(velder::Client& client, const std::vector<ImportEntry>& entries) {
  ImportOutcome outcome;
  for (const ImportEntry& entry : entries) {
    const velder::Status s = client.SetValue(entry.path, entry.value);
    if (s.ok()) {
      ++outcome.accepted;
    } else if (s.error() == velder::ClientError::Disconnected) {
      outcome.connection = s;
      break;
    } else {
      outcome.refusals.push_back(Refusal{entry.path, s});
    }
  }
  return outcome;
}

}  // namespace velder_update
