// The binary interface between the host service (velder-host) and a plug-in
// library that it loads with dlopen.
//
// The host finds one exported C function, HosterPluginCreateContext, and
// gives it a buffer for the entry table: kEntryWords pointer-sized words, the
// first the plug-in's context, the others the functions below. It then calls
// Initialize with its own function table, Run on one thread, Stop from
// another while Run blocks, Uninitialize once Run has returned, and Destroy.
//
// The host function table is an array of kHostWords pointer-sized words:
//
//   word  content
//   0     the number of words in the table (read by nobody; for the host)
//   1     host context, the first argument of every host function
//   2     HostIdentityFunction
//   3     not used (0)
//   4     HostConfigFunction
//   5     HostReleaseFunction, for the strings of words 2 and 4
//   6     HostSubscribeFunction
//
// Strings crossing the tables are NUL-terminated UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hoster {

// Host function table words.
inline constexpr size_t kHostTableSize = 0;
inline constexpr size_t kHostContext = 1;
inline constexpr size_t kHostIdentity = 2;
inline constexpr size_t kHostConfig = 4;
inline constexpr size_t kHostRelease = 5;
inline constexpr size_t kHostSubscribe = 6;
inline constexpr size_t kHostWords = 7;

// Entry table words.
inline constexpr size_t kEntryContext = 0;
inline constexpr size_t kEntryInitialize = 1;
inline constexpr size_t kEntryRun = 2;
inline constexpr size_t kEntryStop = 3;
inline constexpr size_t kEntryUninitialize = 4;
inline constexpr size_t kEntryDestroy = 5;
inline constexpr size_t kEntryWords = 6;
inline constexpr size_t kEntryTableBytes = kEntryWords * sizeof(uintptr_t);

// The name of the exported entry.
inline constexpr char kCreateContextSymbol[] = "HosterPluginCreateContext";

extern "C" {

// ---- Host functions ----

// The plug-in's identity, released with the release function; may be null.
typedef const char* (*HostIdentityFunction)(void* host_context);
// A configuration string ("DataPath", "ToolPath", "ImportPath"), released
// with the release function; null when the host has none of that name.
typedef const char* (*HostConfigFunction)(void* host_context, const char* name);
typedef void (*HostReleaseFunction)(void* host_context, const char* text);
// What the host calls when an event of a subscribed category happens.
typedef void (*HostEventCallback)(void* plugin, uint32_t category, uint32_t code, void* data);
// Asks the host to call `callback` with `plugin` for every event of `category`.
typedef void (*HostSubscribeFunction)(void* host_context, uint32_t category, HostEventCallback callback,
                                      void* plugin);

// ---- Plug-in entries ----

// Returns 0 when the plug-in is ready to run, non-zero otherwise.
typedef uint32_t (*PluginInitializeEntry)(void* context, const uintptr_t* host_table);
// Blocks until a stop is requested; returns 0.
typedef uint32_t (*PluginRunEntry)(void* context, uintptr_t unused);
typedef void (*PluginStopEntry)(void* context);
typedef void (*PluginUninitializeEntry)(void* context, uintptr_t unused);
typedef void (*PluginDestroyEntry)(void* context);

// Creates a plug-in and copies the entry table into `buffer`, at most
// `size` bytes of it.
typedef void (*HosterPluginCreateContextFunction)(void* buffer, size_t size);

}  // extern "C"

}  // namespace hoster
