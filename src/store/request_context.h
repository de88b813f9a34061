// What the request handler knows about one request when it calls a hive:
// which hive it addresses and what the caller may do there. Built once per
// request by the settings manager from the kernel's view of the client (never
// from what the client claims) and passed to every hive operation.
#pragma once

#include <string>

struct RequestContext {
  std::string product;  // "tarn" for every client request
  std::string user;     // the addressed hive: an upper-case SID text
  bool read = false;    // may read the hive
  bool write = false;   // may change values and ask for updates
  bool admin = false;   // administrator: may pass admin-only marks and set them
};
