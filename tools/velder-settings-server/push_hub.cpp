#include "push_hub.h"

#include <vector>

namespace settings_server {

PushStream::PushStream(ClientKey client, std::chrono::milliseconds keepAlive)
    : client_(std::move(client)), keepAlive_(keepAlive), lastWrite_(std::chrono::steady_clock::now()) {}

PushStream::Next PushStream::Wait(std::string& text, std::chrono::milliseconds wait) {
  platform::MutexLock lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  const auto keepAliveAt = lastWrite_ + keepAlive_;
  const auto until = std::min(now + wait, keepAliveAt);
  while (!closed_ && queue_.empty() && wake_.WaitUntil(mutex_, until)) {
  }
  if (closed_) return Next::kClosed;
  if (!queue_.empty()) {
    text = std::move(queue_.front());
    queue_.pop_front();
  } else if (std::chrono::steady_clock::now() >= keepAliveAt) {
    text = PushHub::kKeepAlive;
  } else {
    return Next::kIdle;
  }
  lastWrite_ = std::chrono::steady_clock::now();
  return Next::kEvent;
}

bool PushStream::Push(std::string text) {
  platform::MutexLock lock(mutex_);
  if (closed_) return false;
  if (queue_.size() >= PushHub::kMaxQueuedEvents) {
    closed_ = true;
    wake_.NotifyAll();
    return false;
  }
  queue_.push_back(std::move(text));
  wake_.NotifyAll();
  return true;
}

void PushStream::Close() {
  platform::MutexLock lock(mutex_);
  closed_ = true;
  wake_.NotifyAll();
}

PushHub::PushHub(std::chrono::milliseconds keepAlive) : keepAlive_(keepAlive) {}

std::string PushHub::PnsIdEvent(const std::string& pnsId) { return "event: pns_id\ndata: " + pnsId + "\n\n"; }

std::string PushHub::MessageEvent(const nlohmann::json& message) {
  // dump() escapes control characters, so the data stays on one line.
  return "event: message\ndata: " + message.dump() + "\n\n";
}

std::shared_ptr<PushStream> PushHub::Open(const ClientKey& client, const std::string& pnsId) {
  std::shared_ptr<PushStream> stream(new PushStream(client, keepAlive_));
  stream->Push(PnsIdEvent(pnsId));
  platform::MutexLock lock(mutex_);
  if (shutDown_) return nullptr;
  streams_.emplace(client, stream);
  return stream;
}

void PushHub::Remove(const std::shared_ptr<PushStream>& stream) {
  platform::MutexLock lock(mutex_);
  auto [first, last] = streams_.equal_range(stream->client());
  for (auto it = first; it != last; ++it) {
    if (it->second == stream) {
      streams_.erase(it);
      break;
    }
  }
  removed_.NotifyAll();
}

bool PushHub::WaitUntilEmpty(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  platform::MutexLock lock(mutex_);
  while (!streams_.empty() && removed_.WaitUntil(mutex_, deadline)) {
  }
  return streams_.empty();
}

size_t PushHub::Publish(const ClientKey& client, const nlohmann::json& message) {
  const std::string event = MessageEvent(message);
  platform::MutexLock lock(mutex_);
  size_t reached = 0;
  auto [first, last] = streams_.equal_range(client);
  for (auto it = first; it != last; ++it) {
    if (it->second->Push(event)) ++reached;
  }
  return reached;
}

void PushHub::CloseClient(const ClientKey& client) {
  platform::MutexLock lock(mutex_);
  auto [first, last] = streams_.equal_range(client);
  for (auto it = first; it != last; ++it) it->second->Close();
}

size_t PushHub::StreamCount() const {
  platform::MutexLock lock(mutex_);
  return streams_.size();
}

size_t PushHub::StreamCount(const ClientKey& client) const {
  platform::MutexLock lock(mutex_);
  return streams_.count(client);
}

void PushHub::Shutdown() {
  platform::MutexLock lock(mutex_);
  shutDown_ = true;
  for (auto& [client, stream] : streams_) stream->Close();
}

}  // namespace settings_server
