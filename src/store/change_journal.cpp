#include "store/change_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "logging/log.h"
#include "store/durable_file.h"

using nlohmann::json;

namespace {

// Appends join the sync of others that arrive within this time.
constexpr auto kGatherTime = std::chrono::milliseconds(100);

std::string ErrorText(int err) { return std::error_code(err, std::generic_category()).message(); }

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t GetU32(std::string_view bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
  return v;
}

const std::array<uint32_t, 256>& CrcTable() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? (c >> 1) ^ 0x82F63B78u : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

#if defined(__x86_64__)
// The CRC-32C instruction: the journal checksums every answered change.
__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(std::string_view bytes, uint32_t crc) {
  const char* p = bytes.data();
  size_t n = bytes.size();
  uint64_t c = crc;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    c = __builtin_ia32_crc32di(c, word);
  }
  crc = static_cast<uint32_t>(c);
  for (; n > 0; ++p, --n) crc = __builtin_ia32_crc32qi(crc, static_cast<unsigned char>(*p));
  return crc;
}
#endif

// Builds a record in one string: the payload is serialised straight from the
// values, the header filled in at the end.
class RecordWriter {
 public:
  RecordWriter()
      : record_(ChangeJournal::kHeaderSize, '\0'),
        // Invalid UTF-8 cannot reach a hive (clients' texts are checked), but
        // a record must never fail to encode.
        out_(nlohmann::detail::output_adapter<char, std::string>(record_), ' ', json::error_handler_t::replace) {
    record_ += '[';
  }
  void Add(const std::vector<std::string>& keys, const json* value) {
    if (record_.size() > ChangeJournal::kHeaderSize + 1) record_ += ',';
    record_ += "[[";
    for (size_t i = 0; i < keys.size(); ++i) {
      if (i > 0) record_ += ',';
      WriteKey(keys[i]);
    }
    record_ += ']';
    if (value != nullptr) {
      record_ += ',';
      out_.dump(*value, false, false, 0);
    }
    record_ += ']';
  }
  std::string Finish() {
    record_ += ']';
    const std::string_view text = std::string_view(record_).substr(ChangeJournal::kHeaderSize);
    std::string header;
    PutU32(header, static_cast<uint32_t>(text.size()));
    PutU32(header, ChangeJournal::Crc32c(text));
    PutU32(header, ChangeJournal::Crc32c(header));
    record_.replace(0, ChangeJournal::kHeaderSize, header);
    return std::move(record_);
  }

 private:
  void WriteKey(const std::string& key) {
    // Keys are mostly plain words: they need no escaping.
    const bool plain =
        std::all_of(key.begin(), key.end(), [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; });
    if (!plain) {
      out_.dump(json(key), false, false, 0);
      return;
    }
    record_ += '"';
    record_ += key;
    record_ += '"';
  }
  std::string record_;
  nlohmann::detail::serializer<json> out_;
};

const json* Find(const json& document, const std::vector<std::string>& keys) {
  const json* node = &document;
  for (const std::string& key : keys) {
    if (!node->is_object()) return nullptr;
    const auto it = node->find(key);
    if (it == node->end()) return nullptr;
    node = &*it;
  }
  return node;
}

// One change as stored: [keys] or [keys, value].
bool IsChange(const json& change) {
  if (!change.is_array() || change.empty() || change.size() > 2) return false;
  const json& keys = change[0];
  if (!keys.is_array()) return false;
  for (const json& key : keys) {
    if (!key.is_string()) return false;
  }
  // Removing the whole document is no change a hive makes.
  return change.size() == 2 || !keys.empty();
}

// The one thread that syncs the journals of every hive.
class Syncer {
 public:
  static Syncer& Get() {
    static Syncer syncer;
    return syncer;
  }
  void Schedule(std::shared_ptr<ChangeJournal> journal) {
    {
      platform::MutexLock lock(mutex_);
      pending_.push_back(std::move(journal));
      if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    }
    wake_.NotifyOne();
  }
  ~Syncer() {
    {
      platform::MutexLock lock(mutex_);
      stopping_ = true;
    }
    wake_.NotifyOne();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() EXCLUDES(mutex_) {
    for (;;) {
      std::vector<std::shared_ptr<ChangeJournal>> batch;
      {
        platform::MutexLock lock(mutex_);
        while (!stopping_ && pending_.empty()) wake_.Wait(mutex_);
        if (pending_.empty()) return;  // stopping
        if (!stopping_) {
          const auto deadline = std::chrono::steady_clock::now() + kGatherTime;
          while (!stopping_ && wake_.WaitUntil(mutex_, deadline)) {
          }
        }
        batch.swap(pending_);
      }
      for (const auto& journal : batch) journal->Sync();
      // Leaving the scope may close journals whose hives are gone, outside the lock.
    }
  }

  platform::Mutex mutex_;
  platform::CondVar wake_;
  std::vector<std::shared_ptr<ChangeJournal>> pending_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_ GUARDED_BY(mutex_);
};

}  // namespace

std::shared_ptr<ChangeJournal> ChangeJournal::ForLocalFile(const std::string& local_file) {
  static const bool enabled = [] {
    const char* setting = std::getenv("VELDER_JOURNAL");
    return setting == nullptr || std::strcmp(setting, "off") != 0;
  }();
  if (!enabled || local_file.empty()) return nullptr;
  return std::make_shared<ChangeJournal>(local_file + ".journal");
}

ChangeJournal::ChangeJournal(std::string path) : path_(std::move(path)) {}

ChangeJournal::~ChangeJournal() {
  if (fd_ >= 0) ::close(fd_);
}

uint32_t ChangeJournal::Crc32c(std::string_view bytes, uint32_t crc) {
  crc = ~crc;
#if defined(__x86_64__)
  static const bool hardware = __builtin_cpu_supports("sse4.2");
  if (hardware) return ~Crc32cHardware(bytes, crc);
#endif
  const auto& table = CrcTable();
  for (const char c : bytes) crc = table[(crc ^ static_cast<unsigned char>(c)) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::string ChangeJournal::EncodeRecord(const std::vector<Change>& changes) {
  RecordWriter writer;
  for (const Change& change : changes) writer.Add(change.keys, change.value ? &*change.value : nullptr);
  return writer.Finish();
}

std::string ChangeJournal::EncodeSnapshots(const json& document, const std::vector<std::vector<std::string>>& key_paths) {
  RecordWriter writer;
  for (const auto& keys : key_paths) writer.Add(keys, Find(document, keys));
  return writer.Finish();
}

ChangeJournal::Scan ChangeJournal::Decode(std::string_view bytes) {
  Scan scan;
  size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < kHeaderSize) {
      scan.tail = Scan::kTorn;
      break;
    }
    const uint32_t length = GetU32(bytes, at);
    if (GetU32(bytes, at + 8) != Crc32c(bytes.substr(at, 8)) || length == 0 || length > kMaxRecordSize) {
      scan.tail = Scan::kCorrupt;
      break;
    }
    if (bytes.size() - at - kHeaderSize < length) {
      scan.tail = Scan::kTorn;
      break;
    }
    const std::string_view text = bytes.substr(at + kHeaderSize, length);
    if (GetU32(bytes, at + 4) != Crc32c(text)) {
      scan.tail = Scan::kCorrupt;
      break;
    }
    json payload = json::parse(text.begin(), text.end(), nullptr, false);
    if (!payload.is_array() || payload.empty()) {
      scan.tail = Scan::kCorrupt;
      break;
    }
    bool valid = true;
    for (const json& change : payload) valid = valid && IsChange(change);
    if (!valid) {
      scan.tail = Scan::kCorrupt;
      break;
    }
    scan.records.push_back(std::move(payload));
    at += kHeaderSize + length;
    scan.good_bytes = at;
  }
  return scan;
}

bool ChangeJournal::ApplyRecord(const json& payload, json& document) {
  if (!payload.is_array()) return false;
  for (const json& change : payload) {
    if (!IsChange(change)) return false;
  }
  std::vector<Change> changes;
  changes.reserve(payload.size());
  for (const json& change : payload) {
    Change& c = changes.emplace_back();
    for (const json& key : change[0]) c.keys.push_back(key.get<std::string>());
    if (change.size() == 2) c.value = change[1];
  }
  ApplyChanges(changes, document);
  return true;
}

void ChangeJournal::ApplyChanges(const std::vector<Change>& changes, json& document) {
  for (const Change& change : changes) {
    if (!change.value && change.keys.empty()) continue;
    json* node = &document;
    if (change.value) {
      // The recorded value's parents were objects when it was recorded.
      for (const std::string& key : change.keys) {
        if (!node->is_object()) *node = json::object();
        node = &(*node)[key];
      }
      *node = *change.value;
      continue;
    }
    for (size_t i = 0; node != nullptr && i + 1 < change.keys.size(); ++i) {
      const auto it = node->is_object() ? node->find(change.keys[i]) : node->end();
      node = node->is_object() && it != node->end() ? &*it : nullptr;
    }
    if (node != nullptr && node->is_object()) node->erase(change.keys.back());
  }
}

std::vector<std::string> ChangeJournal::KeyPrefix(const VelderPath::Path& path) {
  std::vector<std::string> keys;
  for (const VelderPath::Element& element : path) {
    if (element.kind != VelderPath::Element::Key) break;
    keys.push_back(element.key);
  }
  return keys;
}

ChangeJournal::Change ChangeJournal::Snapshot(const json& document, std::vector<std::string> keys) {
  const json* node = Find(document, keys);
  if (node == nullptr) return {std::move(keys), std::nullopt};
  return {std::move(keys), *node};
}

size_t ChangeJournal::Replay(json& document) {
  platform::MutexLock lock(mutex_);
  std::string bytes;
  const int err = durable_file::ReadAll(path_, kMaxJournalSize + kMaxRecordSize + kHeaderSize, bytes);
  if (err == ENOENT) return 0;
  if (err != 0) {
    // What cannot be read is moved aside whole: appending after it would hide
    // the new records behind it, and emptying it would lose it.
    const std::string aside = path_ + ".corrupt";
    if (durable_file::RenameNoReplace(path_, aside) == 0) {
      HV_LOG_ERROR("Failed to read change journal '{}': {}; moved to '{}'", path_, ErrorText(err), aside);
    } else {
      HV_LOG_ERROR("Failed to read change journal '{}': {}; changes are not accepted", path_, ErrorText(err));
      broken_ = true;
      unreadable_ = true;
    }
    return 0;
  }
  Scan scan = Decode(bytes);
  for (const json& record : scan.records) ApplyRecord(record, document);
  if (scan.tail == Scan::kTorn) {
    HV_LOG_WARNING("Dropped the incomplete last record of change journal '{}' ({} bytes)", path_,
                   bytes.size() - scan.good_bytes);
  } else if (scan.tail == Scan::kCorrupt) {
    HV_LOG_ERROR("Change journal '{}' is damaged after {} records; {} bytes kept in '{}.corrupt'", path_,
                 scan.records.size(), bytes.size() - scan.good_bytes, path_);
    if (!KeepAside(bytes, scan.good_bytes)) {
      broken_ = true;
      return scan.records.size();
    }
  }
  if (scan.good_bytes < bytes.size()) {
    if (::truncate(path_.c_str(), static_cast<off_t>(scan.good_bytes)) != 0) {
      HV_LOG_ERROR("Failed to cut change journal '{}': {}; changes are not accepted", path_, ErrorText(errno));
      broken_ = true;
    }
  }
  return scan.records.size();
}

bool ChangeJournal::KeepAside(const std::string& bytes, size_t from) {
  const std::string aside = path_ + ".corrupt";
  const int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && WriteAll(fd, bytes.data() + from, bytes.size() - from) && ::fsync(fd) == 0;
  const int err = errno;
  if (fd >= 0) ok = ::close(fd) == 0 && ok;
  if (!ok) HV_LOG_ERROR("Failed to write '{}': {}; changes are not accepted", aside, ErrorText(err));
  return ok;
}

bool ChangeJournal::OpenForAppendLocked() {
  if (fd_ >= 0) return true;
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0) return false;
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  size_ = static_cast<uint64_t>(st.st_size);
  sync_folder_ = true;
  return true;
}

bool ChangeJournal::Append(const std::vector<Change>& changes) {
  if (changes.empty()) return true;
  return AppendRecord(EncodeRecord(changes));
}

bool ChangeJournal::AppendSnapshots(const json& document, const std::vector<std::vector<std::string>>& key_paths) {
  if (key_paths.empty()) return true;
  return AppendRecord(EncodeSnapshots(document, key_paths));
}

bool ChangeJournal::AppendRecord(const std::string& record) {
  {
    platform::MutexLock lock(mutex_);
    if (broken_) return false;
    if (record.size() - kHeaderSize > kMaxRecordSize || size_ + record.size() > kMaxJournalSize) {
      HV_LOG_ERROR("Change journal '{}' is full ({} bytes); the local file must be saved first", path_, size_);
      return false;
    }
    if (!OpenForAppendLocked()) {
      HV_LOG_ERROR("Failed to open change journal '{}': {}", path_, ErrorText(errno));
      return false;
    }
    if (!WriteAll(fd_, record.data(), record.size())) {
      const int err = errno;
      HV_LOG_ERROR("Failed to append to change journal '{}': {}", path_, ErrorText(err));
      // A partly written record would end the journal for the next reader.
      if (::ftruncate(fd_, static_cast<off_t>(size_)) != 0) broken_ = true;
      return false;
    }
    size_ += record.size();
  }
  if (!sync_scheduled_.exchange(true)) Syncer::Get().Schedule(shared_from_this());
  return true;
}

bool ChangeJournal::Truncate() {
  platform::MutexLock lock(mutex_);
  if (unreadable_) return false;
  if (fd_ < 0 && !broken_) {
    // Nothing appended by this object; a replayed journal is still on disk.
    if (::truncate(path_.c_str(), 0) != 0 && errno != ENOENT) {
      HV_LOG_ERROR("Failed to empty change journal '{}': {}", path_, ErrorText(errno));
      return false;
    }
    return true;
  }
  const int result = fd_ >= 0 ? ::ftruncate(fd_, 0) : ::truncate(path_.c_str(), 0);
  if (result != 0 && errno != ENOENT) {
    HV_LOG_ERROR("Failed to empty change journal '{}': {}", path_, ErrorText(errno));
    return false;
  }
  size_ = 0;
  broken_ = false;
  return true;
}

void ChangeJournal::Sync() {
  sync_scheduled_.store(false);
  int fd = -1;
  bool sync_folder = false;
  {
    platform::MutexLock lock(mutex_);
    if (fd_ < 0) return;
    fd = ::dup(fd_);
    sync_folder = std::exchange(sync_folder_, false);
  }
  if (fd < 0) return;
  if (::fdatasync(fd) != 0) HV_LOG_ERROR("Failed to sync change journal '{}': {}", path_, ErrorText(errno));
  ::close(fd);
  if (sync_folder) durable_file::SyncParentFolder(path_);
}
