// A library for the delay-load tests. Every copy loaded from another path is a
// library of its own, with its own counters; a test finds out which copy it
// got from the address of a resolved function.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/delay_load.h"

namespace {
std::atomic<int> initialize_calls{0};
std::atomic<int> dependency_calls{0};
std::mutex record_mutex;
DelayLoadDependencies record{};
std::string identity;
bool identity_was_null = true;
}  // namespace

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

PROBE_EXPORT void DelayProbe_Initialize() { initialize_calls.fetch_add(1); }
PROBE_EXPORT int DelayProbe_InitializeCalls() { return initialize_calls.load(); }
PROBE_EXPORT int DelayProbe_DependencyCalls() { return dependency_calls.load(); }

// Copies what the loader handed over: the pointers are only valid during the call.
PROBE_EXPORT void QorDelayLoadDependencies(const DelayLoadDependencies* dependencies) {
  std::lock_guard lock(record_mutex);
  record = *dependencies;
  identity_was_null = dependencies->identity == nullptr;
  identity = dependencies->identity ? dependencies->identity : "";
  dependency_calls.fetch_add(1);
}

// The record last received; its identity pointer is replaced by a copy.
PROBE_EXPORT DelayLoadDependencies DelayProbe_Record() {
  std::lock_guard lock(record_mutex);
  DelayLoadDependencies copy = record;
  copy.identity = identity_was_null ? nullptr : identity.c_str();
  return copy;
}
