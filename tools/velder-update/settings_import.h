// Delivering the writes of an import file to the settings service, as an
// ordinary client of it.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "client/velder_client.h"
#include "tools/velder-update/import_document.h"

namespace velder_update {

// A write the service (or the client library, for a value no hive can store)
// did not accept.
struct Refusal {
  std::string path;
  velder::Status status;
};

struct ImportOutcome {
  size_t accepted = 0;
  std::vector<Refusal> refusals;
  // Not ok when the connection ended part way: the writes after it were not
  // tried (and are neither accepted nor refused).
  velder::Status connection;
  bool complete() const { return connection.ok() && refusals.empty(); }
};

// Connects to the service. The plug-in starts this tool right after its IPC
// server is up, so a service that is not (yet) listening is asked again every
// `interval` until `wait` has passed; other failures are returned at once.
velder::Status ConnectWithRetry(const velder::ClientOptions& options, std::chrono::milliseconds wait,
                                std::chrono::milliseconds interval, std::unique_ptr<velder::Client>* client);

// Writes every entry in order, going on past refusals so that each is
// reported; stops when the connection ends. Called by one thread per client.
ImportOutcome DeliverSettings(velder::Client& client, const std::vector<ImportEntry>& entries);

}  // namespace velder_update
