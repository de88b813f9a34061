#include "logging/file_context.h"

#include <cerrno>
#include <chrono>

#include "logging/log.h"
#include "platform/clock.h"
#include "platform/registry.h"

namespace HvQorLogging {
namespace {

constexpr const char* kLoggingKey = "SOFTWARE\\Halvern\\QOR\\Logging";
constexpr uint32_t kAbsent = 0xFFFFFFFF;

bool ReadDword(Registry& registry, const std::string& key, const char* name, uint32_t& value) {
  std::vector<uint8_t> data;
  uint32_t type = REG_NONE;
  if (!registry.GetRawValue(key, name, data, type) || type != REG_DWORD || data.size() != 4) return false;
  value = uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 | uint32_t{data[3]} << 24;
  return true;
}

}  // namespace

FileContext::FileContext(std::unique_ptr<FileSystem::Path> path, std::string identity, std::string framework,
                         std::string component, int default_level, uint32_t options)
    : FileContextBase(std::move(path), std::move(identity), std::move(framework), std::move(component), options),
      default_level_(default_level),
      file_(path_->NewFile()) {}

FileContext::~FileContext() = default;

bool FileContext::LookupDword(const char* name, uint32_t& value) const {
  std::unique_ptr<Registry> registry = OpenRegistry();
  registry->SetRootKey(HKEY_LOCAL_MACHINE);
  registry->SetView(KEY_WOW64_32KEY);
  const std::string base = kLoggingKey;
  const std::string keys[] = {base + "\\" + framework_ + "\\" + component_, base + "\\" + framework_};
  for (const std::string& key : keys) {
    if (ReadDword(*registry, key, name, value) && value != kAbsent) return true;
  }
  return ReadDword(*registry, base, name, value);
}

int FileContext::GetLogLevel() const {
  uint32_t level = 0;
  return LookupDword("LogLevel", level) ? static_cast<int>(level) : default_level_;
}

bool FileContext::GetDebugOutput() const {
  uint32_t on = 0;
  return LookupDword("DebugOutputLogging", on) && on != 0;
}

bool FileContext::Open() {
  uint32_t kb = kDefaultMaxSizeKB;
  LookupDword("LogMaxSizeKB", kb);
  // 64-bit: a limit of 4 GiB or more must not wrap to a tiny one.
  size_limit_ = std::max<uint64_t>(3, uint64_t{kb} * 1024);
  if (initialized_) return false;
  if (!Initialize()) return false;
  if (file_prefix_.empty()) return true;
  lock_ = (options_ & kOptionPrivateLock) ? LogFileLock::Private()
                                          : LogFileLock::Shared(GetLockName(), permissions_.exact);
  return true;
}

std::string FileContext::GetLockName() const { return file_prefix_.empty() ? std::string() : file_prefix_ + ".lock"; }

bool FileContext::OpenCurrentFile() { return file_->Open(GetFilePath(0), permissions_); }

void FileContext::EnsureFileReady() {
  if (file_->IsOpen()) {
    uint64_t size = 0;
    if (file_->IsAt(GetFilePath(0), &size) && size < size_limit_) return;
    file_->Close();
  }
  if (file_prefix_.empty()) return;
  if (!OpenCurrentFile()) {
    if (file_->last_error() == ENOENT) RebuildDirectory();
    Rotate(kRotationCount);
    if (!OpenCurrentFile()) return;
  }
  if (!file_->IsNarrow() || file_->SeekEnd() >= size_limit_) {
    file_->Close();
    Rotate(kRotationCount);
    OpenCurrentFile();
  }
}

bool FileContext::Lock() {
  if (!lock_) return false;
  const auto timeout = std::chrono::milliseconds(kLockTimeoutMs);
  LogFileLock::Result result = lock_->TryAcquire(timeout);
  // A directory removed behind our back is made again rather than leaving
  // the process without a log until it restarts.
  if (result == LogFileLock::Result::kUnavailable && RebuildDirectory()) result = lock_->TryAcquire(timeout);
  return result == LogFileLock::Result::kAcquired;
}

void FileContext::AppendLine(std::string_view line) {
  if (!Lock()) return;
  EnsureFileReady();
  file_->Append(line.data(), line.size());
  lock_->Release();
}

void FileContext::Flush() {
  if (!Lock()) return;
  file_->Flush();
  lock_->Release();
}

void FileContext::DeleteLogFile(const std::string& path) {
  const std::string aside = path + "__delete_" + std::to_string(platform::CurrentClock().TickCountMs() & 0xFFFFFFFF);
  path_->DeleteFile(path_->MoveFile(path, aside) ? aside : path);
}

void FileContext::DropAfterFork() {
  if (lock_) lock_->DropAfterFork();
}

}  // namespace HvQorLogging
