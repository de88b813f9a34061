// A library for the delay-load tests without a "QorDelayLoadDependencies"
// export: it must load all the same.
#include <atomic>

namespace {
std::atomic<int> initialize_calls{0};
}

extern "C" __attribute__((visibility("default"))) void DelayPlain_Initialize() { initialize_calls.fetch_add(1); }
extern "C" __attribute__((visibility("default"))) int DelayPlain_InitializeCalls() { return initialize_calls.load(); }
