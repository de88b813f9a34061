// Delay loading of the maker's libraries (IPC, push, proxy resolver, client
// authentication). The plug-in never links them: each is loaded on first need
// with dlopen from an absolute path, never from the loader's search path.
//
// Where a library comes from (LocateAndLoadLibrary), first match wins; every
// registry value lives below HKEY_LOCAL_MACHINE, is named by the library's file
// name ("libhv_qor_ipc.so") and holds the library's absolute path as REG_SZ,
// REG_EXPAND_SZ (used unexpanded) or REG_MULTI_SZ (its first string):
//   1. "SOFTWARE\Halvern\NS\<identity>\QOR\DelayLoad", when the identity is set;
//   2. "SOFTWARE\Halvern\QOR\Delay loading\<profile>" for the identities
//      "default" (100), "kv_default" (1400) and "mbt_default" (1500), compared
//      exactly;
//   3. for the identity "default" only, "hvapi32.dll" and "hvapi64.dll" (any
//      case) also under "SOFTWARE\Halvern\QOR\Delay loading\1400";
//   4. the installation's library directory (DelayLoadLibraryDirectory).
// A library that exports "QorDelayLoadDependencies" is then given a
// DelayLoadDependencies record, so that it can find its own dependencies in
// the same places.
//
// DelayLoad runs one library's initialisation entry (platform/delay_import.h)
// and turns a failure to load the library or find the entry into a code and
// the library's name, for the plug-in to log.
#pragma once

#include <cstdint>
#include <string>

#include "platform/mutex.h"

class DelayImportFunction;

// Codes of DelayLoad.
enum DelayLoadCode : uint32_t {
  kDelayLoadOk = 0,
  kDelayLoadLibraryNotFound = 1,
  kDelayLoadFunctionNotFound = 2,
  kDelayLoadInvalidParameter = 3,  // no entry, or an entry without library or function name
};

// What DelayLoad reports.
struct DelayLoadResult {
  uint32_t code;
  // The file name of the library that failed, NUL-terminated, cut to 259
  // bytes; empty on success and for kDelayLoadInvalidParameter.
  char library_name[260];
};

// The record given to a library's "QorDelayLoadDependencies" export. On a
// 64-bit system it is 24 bytes: two 32-bit fields and two pointers.
struct DelayLoadDependencies {
  uint32_t size;                 // sizeof(DelayLoadDependencies)
  uint32_t flags;                // 0
  const char* identity;          // the plug-in identity (UTF-8), null when none is set; valid during the call
  const char* search_directory;  // always null
};
extern "C" {
typedef void (*QorDelayLoadDependencies_t)(const DelayLoadDependencies* dependencies);
}

// The process-wide state of the delay loader: the identity that the last
// DelayLoad set, which later lazy loads (the client-authentication library)
// use to find their registry locations.
//
// Thread-safe. Lock order: run_mutex_, then a library's load lock
// (DelayImportLibrary), then state_mutex_.
class DelayLoadContext {
 public:
  // The one context, created on first use and destroyed at process exit.
  static DelayLoadContext& Get();

  DelayLoadContext(const DelayLoadContext&) = delete;
  DelayLoadContext& operator=(const DelayLoadContext&) = delete;

  std::string identity() const EXCLUDES(state_mutex_);

 private:
  friend uint32_t DelayLoad(const char* identity, const DelayImportFunction* entry, DelayLoadResult* result);

  DelayLoadContext() = default;
  void set_identity(std::string identity) EXCLUDES(state_mutex_);

  // Serialises DelayLoad calls.
  platform::Mutex run_mutex_ ACQUIRED_BEFORE(state_mutex_);
  // Guards identity_.
  mutable platform::Mutex state_mutex_;
  std::string identity_ GUARDED_BY(state_mutex_);
};

// Sets the context's identity to `identity` (null counts as empty), loads the
// library of `entry` and resolves the entry, then calls it. Returns (and
// stores in `result` when it is not null) kDelayLoadOk, or a failure code with
// the library's file name. Calls are serialised.
uint32_t DelayLoad(const char* identity, const DelayImportFunction* entry, DelayLoadResult* result);

// Loads the library file `library_name` (a bare file name: no "/", not "." or
// "..") from the first of the places listed above that yields a loadable
// library; null when none does. Each successful call takes a reference on the
// library (dlclose releases it). Thread-safe.
void* LocateAndLoadLibrary(const char* library_name);

// The installation's library directory: $HALVERN_LIB_DIR when set and not
// empty, else the directory fixed at build time.
std::string DelayLoadLibraryDirectory();
