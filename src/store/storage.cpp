#include "store/storage.h"

#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <utility>

#include "logging/log.h"
#include "platform/sid.h"
#include "platform/utf.h"
#include "store/durable_file.h"
#include "store/hive_file_parser.h"

namespace {

constexpr std::string_view kFileExtension = ".velder";
constexpr std::string_view kBackupSuffix = ".bck";
// The new text of a file waits here until it is complete on the disk.
constexpr std::string_view kTempSuffix = ".tmp";
constexpr std::string_view kLocalFileSuffix = ".local.velder";
// A current file that holds no document is moved here before a save, so that
// the save neither destroys it nor lets it push the good backup out.
constexpr std::string_view kUnreadableSuffix = ".unreadable";

bool IsValidProduct(std::string_view product) {
  return !product.empty() && std::all_of(product.begin(), product.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
  });
}

// The JSON text of a hive file: a UTF-8 byte-order mark is skipped; a UTF-16LE
// one makes the rest UTF-16LE text, converted into `converted`. False when
// that text is not UTF-16.
bool DocumentText(const std::string& bytes, std::string& converted, std::string_view& text) {
  text = bytes;
  if (text.starts_with("\xEF\xBB\xBF")) {
    text.remove_prefix(3);
  } else if (text.starts_with("\xFF\xFE")) {
    converted = platform::Utf16LeBytesToUtf8(text.substr(2));
    if (converted.empty() && text.size() > 2) return false;
    text = converted;
  }
  return true;
}

// Turns the bytes of a hive file into a document; false with the parser's
// message when they hold no JSON.
bool ParseDocument(const std::string& bytes, nlohmann::json& document, std::string& error) {
  std::string converted;
  std::string_view text;
  if (!DocumentText(bytes, converted, text)) {
    error = "invalid UTF-16LE text";
    return false;
  }
  try {
    document = HiveFileParser::ParseOrThrow(text);
    return true;
  } catch (const nlohmann::json::exception& e) {
    error = e.what();
    return false;
  }
}

// Checks a JSON text without building it: what LoadOnce would return a
// document for (any value but null).
class DocumentCheck final : public nlohmann::json_sax<nlohmann::json> {
 public:
  static bool HoldsDocument(const std::string& bytes) {
    std::string converted;
    std::string_view text;
    if (!DocumentText(bytes, converted, text)) return false;
    DocumentCheck check;
    return nlohmann::json::sax_parse(text.begin(), text.end(), &check) && !check.top_level_null_;
  }

  bool null() override { return Value(true); }
  bool boolean(bool) override { return Value(false); }
  bool number_integer(number_integer_t) override { return Value(false); }
  bool number_unsigned(number_unsigned_t) override { return Value(false); }
  bool number_float(number_float_t, const string_t&) override { return Value(false); }
  bool string(string_t&) override { return Value(false); }
  bool binary(binary_t&) override { return Value(false); }
  bool start_object(std::size_t) override { return Open(); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return Close(); }
  bool start_array(std::size_t) override { return Open(); }
  bool end_array() override { return Close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  bool Value(bool is_null) {
    if (depth_ == 0) top_level_null_ = is_null;
    return true;
  }
  bool Open() {
    ++depth_;
    return true;
  }
  bool Close() {
    --depth_;
    return true;
  }

  size_t depth_ = 0;
  bool top_level_null_ = false;
};

bool SplitLocalFileName(std::string_view name, std::string_view& user) {
  // "<product>.<user>.local.velder": exactly four parts.
  const size_t first = name.find('.');
  if (first == std::string_view::npos) return false;
  const size_t second = name.find('.', first + 1);
  if (second == std::string_view::npos) return false;
  if (name.substr(second) != kLocalFileSuffix) return false;
  user = name.substr(first + 1, second - first - 1);
  return true;
}

}  // namespace

ResultCode Storage::ToResultCode(uint32_t status) {
  static constexpr struct {
    uint32_t status;
    ResultCode result;
  } kResults[] = {
      {kStatusOk, ResultCode::Success},
      {kStatusFailed, ResultCode::GenericFailure},
  };
  for (const auto& row : kResults) {
    if (row.status == status) return row.result;
  }
  return ResultCode::GenericFailure;
}

class Storage::FileLock {
 public:
  FileLock(Storage& storage, std::string path) EXCLUDES(storage.busy_lock_) : storage_(storage), path_(std::move(path)) {
    platform::MutexLock lock(storage_.busy_lock_);
    while (storage_.busy_.contains(path_)) storage_.released_.Wait(storage_.busy_lock_);
    storage_.busy_.insert(path_);
  }
  ~FileLock() {
    {
      platform::MutexLock lock(storage_.busy_lock_);
      storage_.busy_.erase(path_);
    }
    storage_.released_.NotifyAll();
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  Storage& storage_;
  const std::string path_;
};

Storage::Storage(std::string data_folder) : data_folder_(std::move(data_folder)) {}

Storage::~Storage() = default;

nlohmann::json Storage::LoadBase(const std::string& product, const std::string& user) {
  return Load(GetFileName(product, user, "base"));
}

nlohmann::json Storage::LoadLocal(const std::string& product, const std::string& user) {
  return Load(GetFileName(product, user, "local"));
}

uint32_t Storage::SaveBase(const std::string& product, const std::string& user, const nlohmann::json& document) {
  return Save(GetFileName(product, user, "base"), document);
}

uint32_t Storage::SaveLocal(const std::string& product, const std::string& user, const nlohmann::json& document) {
  return Save(GetFileName(product, user, "local"), document);
}

bool Storage::DeleteBase(const std::string& product, const std::string& user) {
  const std::string path = GetFileName(product, user, "base");
  if (path.empty()) return false;
  FileLock lock(*this, path);
  // The backup stays when the file itself could not go: it may be the only
  // good copy left.
  return Delete(path) && Delete(GetBackupFileName(path));
}

bool Storage::CopyInitialBaseFile(const std::string& product, const std::string& user, const std::string& source) {
  const std::string destination = GetFileName(product, user, "base");
  if (destination.empty()) return false;
  FileLock lock(*this, destination);

  // Copy into a side file and publish it under the base name only if that name
  // is still free: a crash can never leave a partial base file that would block
  // every later copy, and a base file the server delivered is never replaced.
  int err = 0;
  struct stat st {};
  if (::lstat(destination.c_str(), &st) == 0) {
    err = EEXIST;
  } else {
    std::string bytes;
    err = durable_file::ReadAll(source, kMaxFileSize, bytes);
    if (err == 0) {
      const std::string temp = destination + std::string(kTempSuffix);
      bool opened = false;
      err = durable_file::WriteAndSync(temp, bytes, opened);
      if (err == 0) err = durable_file::RenameNoReplace(temp, destination);
      if (err != 0 && opened) durable_file::RemoveIfExists(temp);
      if (err == 0) err = durable_file::SyncParentFolder(destination);
    }
  }
  if (err == EEXIST) return false;
  if (err != 0) {
    HV_LOG_WARNING("Failed to copy '{}' -> '{}': {}", source, destination, err);
    return false;
  }
  return true;
}

uint32_t Storage::ListUsers(std::vector<UserEntry>& users) {
  std::vector<std::string> names;
  const uint32_t status = ListLocalFileUsers(names);
  if (status != kStatusOk) return status;
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  users.clear();
  users.reserve(names.size());
  for (std::string& name : names) users.push_back(UserEntry{std::move(name), 0});
  return kStatusOk;
}

std::string Storage::GetFileName(const std::string& product, const std::string& user, const std::string& kind) const {
  if (!IsValidProduct(product) || !platform::IsCanonicalSidText(user) || (kind != "base" && kind != "local")) {
    HV_LOG_ERROR("Refused a hive file name: product {:?}, user {:?}, kind {:?}", product, user, kind);
    return {};
  }
  std::string name = product + "." + user + "." + kind + std::string(kFileExtension);
  if (data_folder_.empty()) return name;
  return data_folder_.back() == '/' ? data_folder_ + name : data_folder_ + "/" + name;
}

nlohmann::json Storage::Load(const std::string& path) {
  // A refused file name has no backup either (".bck" alone would name a file
  // in the current folder).
  if (path.empty()) return nullptr;
  FileLock lock(*this, path);
  nlohmann::json result = LoadOnce(path);
  if (result.is_null()) {
    result = LoadOnce(GetBackupFileName(path));
    if (!result.is_null()) HV_LOG_WARNING("Backup of file '{}' used, some changes may be lost", path);
  }
  return result;
}

nlohmann::json Storage::LoadOnce(const std::string& path) {
  if (path.empty()) return nullptr;
  std::string bytes;
  const int err = durable_file::ReadAll(path, kMaxFileSize, bytes);
  if (err == ENOENT) return nullptr;  // a missing file is normal
  if (err != 0) {
    HV_LOG_WARNING("Failed to open file '{}', error={}", path, err);
    return nullptr;
  }
  nlohmann::json document;
  std::string error;
  if (!ParseDocument(bytes, document, error)) {
    HV_LOG_ERROR("Failed to parse file '{}'", path);
    HV_LOG_DEBUG("'{}': {}", path, error);
    return nullptr;
  }
  return document;
}

uint32_t Storage::Save(const std::string& path, const nlohmann::json& document) {
  if (path.empty()) {
    HV_LOG_ERROR("Failed to open '{}' for writing: {}", path, EINVAL);
    return kStatusFailed;
  }
  std::string text;
  try {
    text = document.dump();
  } catch (const nlohmann::json::exception& e) {
    // Strings that are not UTF-8 cannot be written as JSON.
    HV_LOG_ERROR("Failed to serialize the document for '{}': {}", path, e.what());
    return kStatusFailed;
  }

  if (text.size() > kMaxFileSize) {
    // Load would refuse it: the file and its backup stay as they are.
    HV_LOG_ERROR("Refused to write '{}': {} bytes, more than the {} a hive file may hold", path, text.size(),
                 kMaxFileSize);
    return kStatusFailed;
  }

  FileLock lock(*this, path);
  // The new text is complete on the disk before it takes the file's name, so
  // the name always stands for a whole document, old or new.
  const std::string temp = path + std::string(kTempSuffix);
  bool opened = false;
  int err = durable_file::WriteAndSync(temp, text, opened);
  if (err != 0) {
    if (!opened) {
      HV_LOG_ERROR("Failed to open '{}' for writing: {}", path, err);
    } else {
      HV_LOG_ERROR("Failed to write data to file '{}': {}", path, err);
      durable_file::RemoveIfExists(temp);
    }
    return kStatusFailed;
  }

  MakeBackupFile(path);

  if (::rename(temp.c_str(), path.c_str()) != 0) {
    err = errno;
    HV_LOG_ERROR("Failed to move '{}' to '{}', error={}", temp, path, err);
    durable_file::RemoveIfExists(temp);
    return kStatusFailed;
  }
  err = durable_file::SyncParentFolder(path);
  if (err != 0) {
    // The new file is in place and is what every reader gets: reporting a
    // failure would leave memory and disk disagreeing about what was saved.
    // Only its survival of a power loss is less certain.
    HV_LOG_WARNING("Saved '{}', but its folder could not be synced: {}", path, err);
  }
  return kStatusOk;
}

bool Storage::Delete(const std::string& path) {
  const int err = path.empty() ? EINVAL : durable_file::RemoveIfExists(path);
  if (err != 0) {
    HV_LOG_ERROR("Failed to delete '{}': {}", path, err);
    return false;
  }
  return true;
}

bool Storage::MakeBackupFile(const std::string& path) {
  if (path.empty()) return true;
  const std::string backup = GetBackupFileName(path);
  std::string bytes;
  int err = durable_file::ReadAll(path, kMaxFileSize, bytes);
  if (err == ENOENT) return true;  // the first save of a file: nothing to keep
  // Only a file that loads is worth keeping; a damaged one must not push the
  // last good copy out of the backup.
  if (err != 0 || !DocumentCheck::HoldsDocument(bytes)) {
    // It may still be worth something to a person (a file too large to
    // load, say): a regular file is kept aside instead of being overwritten.
    const std::string aside = path + std::string(kUnreadableSuffix);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::rename(path.c_str(), aside.c_str()) == 0) {
      HV_LOG_WARNING("File '{}' holds no document, its backup is kept; the file is kept as '{}'", path, aside);
    } else {
      HV_LOG_WARNING("File '{}' holds no document, its backup is kept", path);
    }
    return true;
  }

  err = durable_file::LinkReplacing(path, backup);
  if (err == EPERM || err == EOPNOTSUPP || err == EMLINK || err == EXDEV) {
    // No hard links here: write a copy of the bytes in hand instead.
    const std::string temp = backup + std::string(kTempSuffix);
    bool opened = false;
    err = durable_file::WriteAndSync(temp, bytes, opened);
    if (err == 0 && ::rename(temp.c_str(), backup.c_str()) != 0) err = errno;
    if (err != 0 && opened) durable_file::RemoveIfExists(temp);
  }
  if (err != 0) {
    HV_LOG_ERROR("Failed to move '{}' to '{}', error={}", path, backup, err);
    return false;
  }
  return true;
}

std::string Storage::GetBackupFileName(const std::string& path) const { return path + std::string(kBackupSuffix); }

uint32_t Storage::ListLocalFileUsers(std::vector<std::string>& users) {
  // A listing needs no file of its own: a file saved meanwhile is renamed
  // into place whole, so it is either listed or not.
  DIR* dir = ::opendir(data_folder_.empty() ? "." : data_folder_.c_str());
  if (!dir) {
    HV_LOG_WARNING("Failed to list '{}', error={}", data_folder_, errno);
    return kStatusFailed;
  }
  bool matched = false;
  int err = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (!entry) {
      err = errno;
      break;
    }
    const std::string_view name = entry->d_name;
    // What "*.*.local.velder" matches: a dot somewhere before the suffix.
    if (!name.ends_with(kLocalFileSuffix) ||
        name.substr(0, name.size() - kLocalFileSuffix.size()).find('.') == std::string_view::npos) {
      continue;
    }
    matched = true;
    std::string_view user;
    // Only hive files count: their user part is a SID text (GetFileName makes
    // no other). This also drops the old "SYSTEM" files and any name that
    // could not travel in a comma-separated list of users.
    if (SplitLocalFileName(name, user) && platform::IsCanonicalSidText(user)) users.emplace_back(user);
  }
  ::closedir(dir);
  if (err != 0) {
    HV_LOG_WARNING("Failed to list '{}', error={}", data_folder_, err);
    return kStatusFailed;
  }
  return matched ? kStatusOk : kStatusFailed;
}
