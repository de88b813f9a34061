// The change notifier: client channels subscribe to setting paths of a hive,
// hives report every changed value or constraint, and a thread of the
// notifier's own delivers one message per change to every channel that the
// change concerns.
//
// Delivery. A change of path P in the hive (product, user) goes to every
// channel with a subscription of that product and user whose path is a prefix
// of P (the empty path subscribes to the whole hive), except the channel whose
// request caused it. A channel with several matching subscriptions gets one
// message. Channels are served one after the other, in ascending order of
// their names as UTF-16 code units. A channel that the IPC library reports as
// gone loses all its subscriptions, once the whole notification was sent; one
// that only timed out keeps them.
//
// Producers never wait for delivery: Notify and NotifyConstraints only queue.
// The queue holds at most kMaxPendingNotifications; changes beyond it are
// dropped and counted in the log. The sender never waits either (a client
// that stops reading loses its connection in the IPC library), so one slow
// or dead client costs neither producers nor the other subscribers anything.
//
// Subscriptions: at most kMaxSubscriptionsPerChannel per channel; an equal
// one is found through an ordered index, not by scanning them all.
//
// Stopping. The stop event belongs to the plug-in and is shared by every loop
// of the service; the notifier only waits for it and never resets it. Once it
// is set, the thread ends after the notification in progress and the rest of
// the queue stays unsent (a later Start sends it).
//
// Threads: every public operation may be called from any thread. mutex_
// (recursive, because UnsubscribeAll and RemoveBadChannels call RemoveChannel
// under it) guards the queue and the subscriptions; thread_mutex_ guards the
// thread handle. Lock order: the settings manager's lock and a hive's lock
// come before mutex_; nothing is locked while the sender runs. Notification
// records are immutable once queued and shared by reference.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "notify/notification_sender.h"
#include "platform/manual_reset_event.h"
#include "platform/thread_annotations.h"
#include "store/change_sink.h"
#include "store/velder_path.h"

class ChangeNotifier : public ChangeSink {
 public:
  // One subscription of a channel to a path of a hive.
  struct Subscription {
    std::string product;
    std::string user;
    VelderPath::Path path;  // the empty path is the whole hive
    std::string channel;

    friend bool operator==(const Subscription&, const Subscription&) = default;
  };

  // One change of a hive.
  struct Notification {
    enum Kind : uint32_t {
      kValue = 0,       // the effective value changed
      kConstraints = 1  // the constraint bits changed
    };

    uint32_t kind = kValue;
    std::string product;
    std::string user;
    VelderPath::Path path;
    nlohmann::json value;      // kValue: the new value, null when the setting was removed; kConstraints: null
    uint32_t constraints = 0;  // kConstraints: the new bits; kValue: 0
    std::string origin;        // channel whose request caused the change; empty for none
  };

  // `stop_event` is the plug-in's and must outlive this object; `identity`
  // names the sender of every message; `sender` delivers them.
  ChangeNotifier(platform::ManualResetEvent& stop_event, std::string identity,
                 std::shared_ptr<NotificationSender> sender);
  // Ends the thread when Join was not called (without touching the stop
  // event) and waits for it.
  virtual ~ChangeNotifier();
  ChangeNotifier(const ChangeNotifier&) = delete;
  ChangeNotifier& operator=(const ChangeNotifier&) = delete;

  // Starts the notifier thread, which runs MainLoop. False when a thread is
  // already running, when there is no sender, or when the thread cannot be
  // created. A set stop event is left set: the thread then ends at once.
  virtual bool Start() EXCLUDES(thread_mutex_, mutex_);
  // Waits for the thread to end (the caller has set the stop event); does
  // nothing when none runs.
  virtual void Join() EXCLUDES(thread_mutex_);

  enum class SubscribeOutcome { kAdded, kExists, kChannelFull };
  // Adds a subscription unless an equal one exists or the channel has
  // kMaxSubscriptionsPerChannel already (nothing changed then).
  SubscribeOutcome AddSubscription(const std::string& product, const std::string& user,
                                   const VelderPath::Path& path, const std::string& channel) EXCLUDES(mutex_);
  // AddSubscription; true when the subscription was added.
  virtual bool Subscribe(const std::string& product, const std::string& user, const VelderPath::Path& path,
                         const std::string& channel) EXCLUDES(mutex_);
  // Removes the subscription equal to the given one; false when there is none.
  virtual bool Unsubscribe(const std::string& product, const std::string& user, const VelderPath::Path& path,
                           const std::string& channel) EXCLUDES(mutex_);
  // Removes every subscription of `channel`; false when it had none.
  virtual bool UnsubscribeAll(const std::string& channel) EXCLUDES(mutex_);

  // Queues a notification and wakes the thread.
  virtual void Enqueue(std::shared_ptr<const Notification> notification) EXCLUDES(mutex_);
  // Queues a constraint change of `path`.
  void NotifyConstraints(const std::string& product, const std::string& user, const VelderPath::Path& path,
                         uint32_t constraints, const std::string& origin) override EXCLUDES(mutex_);
  // Queues a value change of `path`; no value means the setting was removed.
  void Notify(const std::string& product, const std::string& user, const VelderPath::Path& path,
              std::optional<nlohmann::json> value, const std::string& origin) override EXCLUDES(mutex_);

  // True when a channel listens to any path of the hive (product, user).
  bool IsSubscribed(const std::string& product, const std::string& user) override EXCLUDES(mutex_);

  // How many notifications wait to be sent.
  size_t QueuedCount() EXCLUDES(mutex_);
  // The subscriptions, in the order they were added.
  std::vector<Subscription> Subscriptions() EXCLUDES(mutex_);

 protected:
  // The notifier thread: processes the queue whenever the wake event is set,
  // until the stop event is set or the wait fails.
  virtual void MainLoop() EXCLUDES(mutex_);
  // Sends queued notifications, oldest first, until the queue is empty or the
  // stop event is set; then resets the wake event.
  virtual void ProcessQueue() EXCLUDES(mutex_);
  // Sends `notification` to each of `targets` (sorted, no duplicates) and
  // appends the channels found gone to `bad_channels`. Runs without the lock.
  virtual void SendToChannels(const std::vector<std::string>& targets, const Notification& notification,
                              std::vector<std::string>& bad_channels) EXCLUDES(mutex_);
  // Logs and removes each of `bad_channels`.
  virtual void RemoveBadChannels(const std::vector<std::string>& bad_channels) REQUIRES(mutex_);
  // Erases every subscription of `channel`; true when there was one.
  virtual bool RemoveChannel(const std::string& channel) REQUIRES(mutex_);

  // Whether the thread should stop working: the stop event, or the destructor.
  bool StopRequested() const;

 private:
  platform::ManualResetEvent& stop_event_;  // the plug-in's; waited for, never reset here
  platform::ManualResetEvent wake_event_;   // set by Enqueue, reset by ProcessQueue once the queue is drained
  platform::ManualResetEvent quit_event_;   // set by the destructor only
  const std::string identity_;
  const std::shared_ptr<NotificationSender> sender_;

  std::recursive_mutex mutex_;
  std::deque<std::shared_ptr<const Notification>> queue_ GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<const Subscription>> subscriptions_ GUARDED_BY(mutex_);
  // Orders subscriptions by channel, product, user and path.
  struct SubscriptionLess {
    bool operator()(const Subscription* a, const Subscription* b) const;
  };
  // The same subscriptions as subscriptions_, for finding an equal one.
  std::set<const Subscription*, SubscriptionLess> index_ GUARDED_BY(mutex_);
  std::map<std::string, size_t> per_channel_ GUARDED_BY(mutex_);  // subscriptions of each channel
  size_t dropped_ GUARDED_BY(mutex_) = 0;  // changes not queued since the queue was last full

  std::mutex thread_mutex_;
  std::jthread thread_ GUARDED_BY(thread_mutex_);
};
