// The delay-import slots of the maker's libraries: one DelayImportLibrary per
// library file and one DelayImportFunction per function called in it. A slot
// resolves on first use (the library through LocateAndLoadLibrary, the
// function through dlsym) and publishes the result atomically; every later use
// is one atomic load. A failure is not remembered: the next use tries again,
// so a library installed later is picked up.
//
// Thread-safe. Concurrent first uses of one library load it once: the load
// runs under the library's load lock, and the handle is published only after
// the library has been given its dependency record.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/mutex.h"

// Why a slot could not be resolved.
enum class DelayImportFailure : uint32_t {
  kNone = 0,
  kLibraryNotFound = 1,
  kFunctionNotFound = 2,
  kInvalidSlot = 3,  // no library or function name
};

class DelayImportLibrary {
 public:
  // `file_name` must outlive the slot (a literal). Constant-initialised when
  // defined at namespace scope, so a slot is usable during static start-up.
  explicit constexpr DelayImportLibrary(const char* file_name) : file_name_(file_name) {}
  DelayImportLibrary(const DelayImportLibrary&) = delete;
  DelayImportLibrary& operator=(const DelayImportLibrary&) = delete;

  const char* file_name() const { return file_name_; }

  // The library's handle, loading it on first use; null when it cannot be
  // loaded now. A loaded library stays loaded until the process ends.
  void* Load() EXCLUDES(load_mutex_);

 private:
  const char* const file_name_;
  std::atomic<void*> handle_{nullptr};
  // Serialises first loads. Taken after DelayLoadContext's run lock.
  platform::Mutex load_mutex_;
};

class DelayImportFunction {
 public:
  // Both must outlive the slot.
  constexpr DelayImportFunction(DelayImportLibrary& library, const char* name) : library_(library), name_(name) {}
  DelayImportFunction(const DelayImportFunction&) = delete;
  DelayImportFunction& operator=(const DelayImportFunction&) = delete;

  DelayImportLibrary& library() const { return library_; }
  const char* name() const { return name_; }

  // The function's address; null when it cannot be resolved now, with the
  // reason in `*failure` (when not null).
  void* Resolve(DelayImportFailure* failure) const;

 private:
  DelayImportLibrary& library_;
  const char* const name_;
  mutable std::atomic<void*> address_{nullptr};
};

// A slot typed by its function pointer type `Fn`.
template <typename Fn>
class DelayImport : public DelayImportFunction {
 public:
  using DelayImportFunction::DelayImportFunction;
  Fn Get(DelayImportFailure* failure) const { return reinterpret_cast<Fn>(Resolve(failure)); }
};
