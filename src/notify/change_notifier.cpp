#include "notify/change_notifier.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <system_error>
#include <utility>

#include "logging/log.h"
#include "platform/resource_limits.h"
#include "notify/utf16_order.h"
#include "wire/ipc_message.h"
#include "wire/value_conversion.h"

ChangeNotifier::ChangeNotifier(platform::ManualResetEvent& stop_event, std::string identity,
                               std::shared_ptr<NotificationSender> sender)
    : stop_event_(stop_event), identity_(std::move(identity)), sender_(std::move(sender)) {}

ChangeNotifier::~ChangeNotifier() {
  // The stop event is the plug-in's and other loops wait for it too, so a
  // notifier destroyed without Join ends its own thread through quit_event_.
  quit_event_.Set();
  Join();
}

bool ChangeNotifier::Start() {
  if (!sender_) {
    HV_LOG_ERROR("No sender for notifications");
    return false;
  }
  std::lock_guard thread_lock(thread_mutex_);
  if (thread_.joinable()) {
    HV_LOG_ERROR("The notifier thread is already running");
    return false;
  }
  {
    // Notifications left behind by an earlier stop are sent at once.
    std::lock_guard lock(mutex_);
    if (!queue_.empty()) wake_event_.Set();
  }
  try {
    thread_ = std::jthread([this] { MainLoop(); });
  } catch (const std::system_error& e) {
    HV_LOG_ERROR("Failed to start the notifier thread: {}", e.what());
    return false;
  }
  return true;
}

void ChangeNotifier::Join() {
  std::lock_guard thread_lock(thread_mutex_);
  if (thread_.joinable()) thread_.join();
}

bool ChangeNotifier::SubscriptionLess::operator()(const Subscription* a, const Subscription* b) const {
  if (int c = a->channel.compare(b->channel)) return c < 0;
  if (int c = a->product.compare(b->product)) return c < 0;
  if (int c = a->user.compare(b->user)) return c < 0;
  const size_t n = std::min(a->path.size(), b->path.size());
  for (size_t i = 0; i < n; ++i) {
    const VelderPath::Element& x = a->path[i];
    const VelderPath::Element& y = b->path[i];
    if (x.kind != y.kind) return x.kind < y.kind;
    if (x.kind == VelderPath::Element::Key) {
      if (int c = x.key.compare(y.key)) return c < 0;
    } else if (x.index != y.index) {
      return x.index < y.index;
    }
  }
  return a->path.size() < b->path.size();
}

ChangeNotifier::SubscribeOutcome ChangeNotifier::AddSubscription(const std::string& product, const std::string& user,
                                                                 const VelderPath::Path& path,
                                                                 const std::string& channel) {
  auto subscription = std::make_shared<const Subscription>(Subscription{product, user, path, channel});
  std::lock_guard lock(mutex_);
  if (index_.contains(subscription.get())) return SubscribeOutcome::kExists;
  size_t& count = per_channel_[channel];
  if (count >= resource_limits::kMaxSubscriptionsPerChannel) return SubscribeOutcome::kChannelFull;
  index_.insert(subscription.get());
  ++count;
  subscriptions_.push_back(std::move(subscription));
  return SubscribeOutcome::kAdded;
}

bool ChangeNotifier::Subscribe(const std::string& product, const std::string& user, const VelderPath::Path& path,
                               const std::string& channel) {
  return AddSubscription(product, user, path, channel) == SubscribeOutcome::kAdded;
}

bool ChangeNotifier::Unsubscribe(const std::string& product, const std::string& user, const VelderPath::Path& path,
                                 const std::string& channel) {
  const Subscription wanted{product, user, path, channel};
  std::lock_guard lock(mutex_);
  const auto found = index_.find(&wanted);
  if (found == index_.end()) return false;
  const Subscription* target = *found;
  index_.erase(found);
  if (--per_channel_[channel] == 0) per_channel_.erase(channel);
  std::erase_if(subscriptions_, [&](const auto& s) { return s.get() == target; });
  return true;
}

bool ChangeNotifier::UnsubscribeAll(const std::string& channel) {
  std::lock_guard lock(mutex_);
  return RemoveChannel(channel);
}

void ChangeNotifier::Enqueue(std::shared_ptr<const Notification> notification) {
  if (!notification) return;
  std::lock_guard lock(mutex_);
  if (queue_.size() >= resource_limits::kMaxPendingNotifications) {
    // Memory stays bounded whatever the producers do; the count is logged
    // once the queue has room again.
    if (dropped_++ == 0) {
      HV_LOG_ERROR("The notification queue holds {} changes; dropping further ones", queue_.size());
    }
    return;
  }
  if (dropped_ > 0) {
    HV_LOG_WARNING("{} changes were not notified: the notification queue was full", dropped_);
    dropped_ = 0;
  }
  queue_.push_back(std::move(notification));
  wake_event_.Set();
}

void ChangeNotifier::NotifyConstraints(const std::string& product, const std::string& user,
                                       const VelderPath::Path& path, uint32_t constraints,
                                       const std::string& origin) {
  auto notification = std::make_shared<Notification>();
  notification->kind = Notification::kConstraints;
  notification->product = product;
  notification->user = user;
  notification->path = path;
  notification->constraints = constraints;
  notification->origin = origin;
  Enqueue(std::move(notification));
}

void ChangeNotifier::Notify(const std::string& product, const std::string& user, const VelderPath::Path& path,
                            std::optional<nlohmann::json> value, const std::string& origin) {
  auto notification = std::make_shared<Notification>();
  notification->kind = Notification::kValue;
  notification->product = product;
  notification->user = user;
  notification->path = path;
  if (value) notification->value = std::move(*value);
  notification->origin = origin;
  Enqueue(std::move(notification));
}

bool ChangeNotifier::IsSubscribed(const std::string& product, const std::string& user) {
  std::lock_guard lock(mutex_);
  return std::any_of(subscriptions_.begin(), subscriptions_.end(),
                     [&](const auto& s) { return s->product == product && s->user == user; });
}

size_t ChangeNotifier::QueuedCount() {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

std::vector<ChangeNotifier::Subscription> ChangeNotifier::Subscriptions() {
  std::lock_guard lock(mutex_);
  std::vector<Subscription> copies;
  copies.reserve(subscriptions_.size());
  for (const auto& s : subscriptions_) copies.push_back(*s);
  return copies;
}

bool ChangeNotifier::RemoveChannel(const std::string& channel) {
  if (per_channel_.erase(channel) == 0) return false;
  std::erase_if(index_, [&](const Subscription* s) { return s->channel == channel; });
  std::erase_if(subscriptions_, [&](const auto& s) { return s->channel == channel; });
  return true;
}

bool ChangeNotifier::StopRequested() const { return stop_event_.IsSet() || quit_event_.IsSet(); }

void ChangeNotifier::MainLoop() {
  HV_LOG_DEBUG("entering");
  for (;;) {
    // The wake event comes first: with both set, the queue is looked at once
    // more, and ProcessQueue sends nothing when it sees the stop.
    const int which = platform::WaitForAny({&wake_event_, &stop_event_, &quit_event_}, std::chrono::milliseconds(-1));
    if (which != 0) break;
    ProcessQueue();
  }
  HV_LOG_DEBUG("exiting");
}

void ChangeNotifier::ProcessQueue() {
  std::unique_lock lock(mutex_);
  std::vector<std::string> targets;
  std::vector<std::string> bad_channels;
  while (!queue_.empty() && !StopRequested()) {
    targets.clear();
    bad_channels.clear();
    std::shared_ptr<const Notification> notification = std::move(queue_.front());
    queue_.pop_front();
    for (const auto& s : subscriptions_) {
      if (s->user == notification->user && s->product == notification->product &&
          VelderPath::StartsWith(notification->path, s->path) && s->channel != notification->origin) {
        targets.push_back(s->channel);
      }
    }
    lock.unlock();
    notify::SortUniqueUtf16(targets);
    try {
      SendToChannels(targets, *notification, bad_channels);
    } catch (const std::exception& e) {
      // Out of memory while building the envelope: this notification is lost,
      // the thread and the rest of the queue are not.
      HV_LOG_ERROR("Failed to send a notification of '{}': {}", VelderPath::ToString(notification->path), e.what());
    }
    lock.lock();
    RemoveBadChannels(bad_channels);
  }
  // Still under the lock that Enqueue sets the event under: no wake-up is lost.
  wake_event_.Reset();
}

void ChangeNotifier::RemoveBadChannels(const std::vector<std::string>& bad_channels) {
  for (const std::string& channel : bad_channels) {
    HV_LOG_WARNING("Bad channel '{}'", channel);
    RemoveChannel(channel);
  }
}

void ChangeNotifier::SendToChannels(const std::vector<std::string>& targets, const Notification& notification,
                                    std::vector<std::string>& bad_channels) {
  if (targets.empty()) return;
  const std::string path = VelderPath::ToString(notification.path);

  IpcMessage message;
  message.set_path(path);
  switch (notification.kind) {
    case Notification::kValue:
      message.set_message_type(MessageType::Notification);
      if (!IpcValue::FromJson(notification.value, &message)) {
        HV_LOG_ERROR("{}: bad JSON", path);
        return;
      }
      break;
    case Notification::kConstraints:
      message.set_message_type(MessageType::NotificationConstraints);
      // Zero-extended: bit 31 must not turn into a negative number.
      IpcValue::SetInteger(&message, static_cast<int64_t>(uint64_t{notification.constraints}));
      break;
    default:
      HV_LOG_ERROR("{}: unknown notification kind {}", path, notification.kind);
      return;
  }

  HV_LOG_DEBUG("[{}/{}]: {} - {} ({} listeners)", notification.product, notification.user, path,
               MessageTypeName(message.message_type()), targets.size());

  size_t count = 0;
  const uint8_t* bytes = message.Serialize(&count);
  if (!bytes) {
    HV_LOG_ERROR("{}: failed to serialize the notification", path);
    return;
  }
  const std::span<const uint8_t> envelope(bytes, count);
  std::vector<uint32_t> results;
  sender_->SendToChannels(identity_, targets, envelope, &results);
  for (size_t i = 0; i < targets.size(); ++i) {
    const std::string& channel = targets[i];
    const uint32_t result = i < results.size() ? results[i] : NotificationSender::kTimedOut;
    if (result == NotificationSender::kDelivered) continue;
    HvQorLogging::LogWriteFrom(HvQorLogging::kWarning, "PluginIpc::SendNotificationsToChannels",
                               "Sending notification to '{}' failed: {}", channel, result);
    if (result != NotificationSender::kTimedOut) bad_channels.push_back(channel);
  }
}
