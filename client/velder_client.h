// The client library of the settings service: one connection to the service's
// channel "VELDER_SERVICE", one call per request, typed values, and a handler
// for the changes the service reports to subscribers.
//
//   velder::ClientOptions options;             // own user, namespace "tarn"
//   std::unique_ptr<velder::Client> client;
//   velder::Status s = velder::Client::Connect(options, &client);
//   if (!s.ok()) { std::cerr << s.Message() << "\n"; return 1; }
//   client->SetInt("app.window.width", 800);
//   velder::Result<int64_t> width = client->GetInt("app.window.width");
//
// Nothing throws: every call returns a Status (or a Result holding one), which
// is either the service's result code or a failure on this side of the socket.
//
// Threads: every request call may be made from any number of threads at once
// on one client; they travel pipelined on the one connection. Notifications
// arrive on a thread of the library (see NotificationHandler). Only the
// destruction of a client must not overlap a call on it.
#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Beside this file both in the source tree and in an installation
// (include/velder/).
#include "client_status.h"
#include "notification.h"
#include "store/value_type.h"

struct HvIpcClient;
class IpcMessage;
enum class MessageType : uint8_t;

namespace velder {

// The channel every settings service listens on, under its identity.
inline constexpr char kServiceName[] = "VELDER_SERVICE";
// The identity of the service that velder-host runs when given none.
inline constexpr char kDefaultIdentity[] = "velder";
// Overrides kDefaultIdentity when ClientOptions::identity is empty.
inline constexpr char kIdentityVariable[] = "VELDER_IDENTITY";
// The product namespace of every setting the service keeps.
inline constexpr char kDefaultNamespace[] = "tarn";
// Where a hive records its connection to the settings server.
inline constexpr char kStatusPath[] = "status.windows.velder";

// The JSON type of a setting, as GetMetaData and Enumerate report it, and
// its name ("object", "array", "string", "number", "boolean", "other").
using ::ValueType;
using ::ValueTypeName;

// What GetMetaData reports of a path.
struct MetaData {
  ValueType type = ValueType::Other;
  uint32_t constraints = 0;  // kConstraintReadOnly | kConstraintAdminOnly
  bool read_only() const { return (constraints & kConstraintReadOnly) != 0; }
  bool admin_only() const { return (constraints & kConstraintAdminOnly) != 0; }
};

// One child of an enumerated setting: a member name, or an array index in decimal.
struct Entry {
  std::string name;
  ValueType type = ValueType::Other;
  friend bool operator==(const Entry&, const Entry&) = default;
};

// A Status and, when it is ok(), the value.
template <typename T>
struct Result {
  Status status;
  T value{};
  bool ok() const { return status.ok(); }
};

struct ClientOptions {
  // The service's identity; empty: $VELDER_IDENTITY, else kDefaultIdentity.
  std::string identity;
  std::string name_space = kDefaultNamespace;
  // The SID text of the user whose settings are meant; empty: the user this
  // process runs as. Only administrators may address other users (everyone
  // may read the system hive, "S-1-5-18").
  std::string user;
  // The name the service writes into its log lines; empty: the program's name.
  std::string client_name;
  // Longest wait for the connection, and for each answer; 0 waits for ever.
  uint32_t connect_timeout_ms = 5000;
  uint32_t request_timeout_ms = 30000;
  // Receives the notifications of this client's subscriptions and, last, the
  // end of the connection. May be empty.
  NotificationHandler on_notification;
};

// The identity a client with `identity` in its options connects to.
std::string ResolveIdentity(std::string_view identity);

class Client {
 public:
  // Connects to the service. On success *client is the new client; otherwise
  // it is reset and the status says why (Unreachable when no service runs).
  static Status Connect(ClientOptions options, std::unique_ptr<Client>* client);

  // Disconnects; the notification handler is not called any more once this
  // returns (unless this runs inside the handler, which is allowed).
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Success when this client may read the addressed user's settings.
  Status AccessCheck();

  // The effective value at `path` ("" is the whole document). Numbers arrive
  // as 64-bit integers: the service truncates a fraction toward zero.
  Result<nlohmann::json> GetValue(std::string_view path);
  // As GetValue; UnexpectedType when the value has another type.
  Result<bool> GetBool(std::string_view path);
  Result<int64_t> GetInt(std::string_view path);
  Result<std::string> GetString(std::string_view path);

  // Writes `value` at `path`. InvalidArgument, without asking the service,
  // for a value no hive can store (null, see ValueCodec::EncodeRequestValue).
  Status SetValue(std::string_view path, const nlohmann::json& value);
  Status SetBool(std::string_view path, bool value);
  Status SetInt(std::string_view path, int64_t value);
  Status SetString(std::string_view path, std::string_view value);
  // `text` is a JSON document; InvalidArgument with the parser's message when
  // it does not parse.
  Status SetJsonText(std::string_view path, std::string_view text);

  Status DeleteValue(std::string_view path);

  // The type of the value at `path` and the path's constraint bits.
  Result<MetaData> GetMetaData(std::string_view path);
  // Administrators only: kConstraintAdminOnly marks `path` as writable by
  // administrators alone, 0 removes the mark. Read-only comes only from the
  // schema; asking for it is NotAllowed.
  Status SetMetaData(std::string_view path, uint32_t constraints);

  // The children of the object or array at `path`, objects' members by name.
  Result<std::vector<Entry>> Enumerate(std::string_view path);
  // Administrators only: the SID texts of the users that have local settings.
  // The service answers GenericFailure when there is none.
  Result<std::vector<std::string>> EnumerateUsers();

  // Changes at or below `path` ("" for everything) of the addressed user's
  // hive are sent to this client's handler, except those this client made.
  // Subscribing twice is one subscription.
  Status Subscribe(std::string_view path);
  // NotFound when there was no such subscription.
  Status Unsubscribe(std::string_view path);
  // Ends every subscription of this client; NotFound when it had none.
  Status UnsubscribeAll();

  // Asks for an exchange with the settings server now; returns at once.
  Status Synchronize();
  // Whether the hive holds a copy from the settings server.
  Result<bool> CheckConnected();
  // Forgets the hive's connection to the settings server (needs write rights).
  Status Logout();

  // Administrators only: has the service apply the system's late-bound base
  // file again (the one the installation names). Success once the service
  // took the request; NotHandled when it refused it (not an administrator).
  // Whether a file was found and applied shows only in the service's log.
  Status ReloadBaseFile();

  // False once the connection has ended; every later call fails with Disconnected.
  bool connected() const { return connected_.load(std::memory_order_acquire); }
  // The name the service knows this connection by.
  const std::string& channel() const { return channel_; }
  const ClientOptions& options() const { return options_; }
  const std::string& identity() const { return identity_; }

 private:
  explicit Client(ClientOptions options);

  static void OnNotification(uint32_t kind, const uint8_t* bytes, uint32_t count, void* context);

  // Sends `request` (type, path and value set by the caller; the rest here)
  // and reads the answer into *response. The status is the service's result
  // code, or what kept it from answering.
  Status Exchange(IpcMessage& request, IpcMessage* response);
  // A request without a value whose answer carries nothing but a result code.
  Status Simple(MessageType type, std::string_view path);
  template <typename T>
  Result<T> Typed(std::string_view path, const char* wanted);

  const ClientOptions options_;
  const std::string identity_;
  // Shared with the notification thread, which keeps it alive while the
  // handler runs even when the handler destroys the client.
  const std::shared_ptr<const NotificationHandler> handler_;
  HvIpcClient* handle_ = nullptr;  // set once by Connect
  std::string channel_;            // set once by Connect
  std::atomic<bool> connected_{true};
};

}  // namespace velder
