#include "platform/delay_import.h"

#include <dlfcn.h>

#include "platform/delay_load.h"

void* DelayImportLibrary::Load() {
  if (void* handle = handle_.load(std::memory_order_acquire)) return handle;
  platform::MutexLock lock(load_mutex_);
  void* handle = handle_.load(std::memory_order_relaxed);
  if (!handle) {
    handle = LocateAndLoadLibrary(file_name_);
    if (handle) handle_.store(handle, std::memory_order_release);
  }
  return handle;
}

void* DelayImportFunction::Resolve(DelayImportFailure* failure) const {
  DelayImportFailure ignored;
  if (!failure) failure = &ignored;
  if (void* address = address_.load(std::memory_order_acquire)) {
    *failure = DelayImportFailure::kNone;
    return address;
  }
  if (!name_ || !*name_ || !library_.file_name() || !*library_.file_name()) {
    *failure = DelayImportFailure::kInvalidSlot;
    return nullptr;
  }
  void* handle = library_.Load();
  if (!handle) {
    *failure = DelayImportFailure::kLibraryNotFound;
    return nullptr;
  }
  void* address = ::dlsym(handle, name_);
  if (!address) {
    *failure = DelayImportFailure::kFunctionNotFound;
    return nullptr;
  }
  // Several threads may get here at once; they all find the same address.
  address_.store(address, std::memory_order_release);
  *failure = DelayImportFailure::kNone;
  return address;
}
