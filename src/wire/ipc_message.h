// The binary envelope of every request, response and change notification that
// travels over the IPC channel.
//
// Wire layout, little-endian, no padding:
//
//   offset  size  content
//   0       1     format version, always 1
//   1       1     message type (MessageType)
//   2       1     value kind (ValueKind)
//   3       4     result (ResultCode); 0 in requests
//   7       4     byte length of the namespace
//   11      4     byte length of the user
//   15      4     byte length of the client
//   19      4     byte length of the path
//   23      4     byte length of the value
//   27            namespace, user, client (UTF-16LE, no terminator), path
//                 (UTF-8, no terminator), value; back to back in this order
//
// In memory the three UTF-16 fields are UTF-8 like every other text of the
// service; the conversion happens only here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/result_code.h"

// Message types; the numbers are part of the wire format. An envelope may
// carry any other number too (the enumeration's 8 bits hold it): such a
// request is answered with InvalidParameters.
enum class MessageType : uint8_t {
  AccessCheck = 1,
  GetValue = 2,
  SetValue = 3,
  DeleteValue = 4,
  GetMetaData = 5,
  SetMetaData = 6,  // logged as "Unknown"
  Enumerate = 7,
  EnumerateUsers = 8,
  Subscribe = 9,
  Unsubscribe = 10,
  UnsubscribeAll = 11,
  Synchronize = 12,
  CheckConnected = 13,
  Response = 14,
  Notification = 15,
  NotificationConstraints = 16,
  Logout = 17,  // logged as "Unknown"
};

// The name of a message type in log lines; "Unknown" for 6, 17 and every
// number without a type. (Which types a client may send is the request
// dispatch table's to say: manager/request_handlers.cpp.)
std::string_view MessageTypeName(MessageType type);

// How the value bytes are to be read; the numbers are part of the wire format.
enum class ValueKind : uint8_t {
  None = 0,     // no bytes
  Boolean = 1,  // 1 byte, 0 or 1
  Integer = 2,  // 8 bytes, signed 64-bit little-endian
  String = 3,   // UTF-8 text
  Json = 4,     // a JSON document as UTF-8 text
  Pair = 5,     // 8 bytes: two unsigned 32-bit words
  List = 6,     // u32 count n; n type-code bytes; n names joined with ","
};

// One envelope. Not thread-safe: each request and each notification has its
// own message, used by one thread at a time.
class IpcMessage {
 public:
  static constexpr uint8_t kFormatVersion = 1;
  static constexpr size_t kHeaderSize = 27;

  // Every text and the value empty, type, kind and result 0.
  IpcMessage() = default;
  virtual ~IpcMessage() = default;
  IpcMessage(const IpcMessage&) = default;
  IpcMessage& operator=(const IpcMessage&) = default;

  // Replaces the message with the envelope in `bytes`. Accepted only with at
  // least kHeaderSize bytes, format version 1 and a total of exactly
  // kHeaderSize plus the five lengths; otherwise false, and the message is left
  // without a value. A UTF-16 field of odd byte length loses its last byte (the
  // next field still starts after its full length); one that is not valid
  // UTF-16 reads as empty.
  virtual bool Deserialize(const uint8_t* bytes, size_t count);

  // The envelope's bytes, owned by the message until the next Serialize,
  // Deserialize or its destruction; *count receives their number. Null with a
  // count of 0 when the message cannot be written: a text that is not valid
  // UTF-8 where UTF-16 is due, or a field longer than 32 bits can count.
  virtual const uint8_t* Serialize(size_t* count);

  MessageType message_type() const { return message_type_; }
  void set_message_type(MessageType type) { message_type_ = type; }

  uint8_t value_kind() const { return value_kind_; }
  const std::string& value() const { return value_; }
  // The value's bytes and how to read them.
  void SetValue(ValueKind kind, std::string bytes);
  void SetValue(uint8_t kind, std::string bytes);
  // Kind None, no bytes.
  void ClearValue();

  uint32_t result() const { return result_; }
  void set_result(uint32_t result) { result_ = result; }
  void set_result(ResultCode result) { result_ = static_cast<uint32_t>(result); }

  // The product namespace the client names; required in requests.
  const std::string& name_space() const { return namespace_; }
  void set_name_space(std::string text) { namespace_ = std::move(text); }
  // The SID text of the user whose hive is meant; empty: the sender's own.
  const std::string& user() const { return user_; }
  void set_user(std::string text) { user_ = std::move(text); }
  // The name the client gives itself, for log lines.
  const std::string& client() const { return client_; }
  void set_client(std::string text) { client_ = std::move(text); }
  // A setting path (or, for Enumerate, the path text as the client wrote it).
  const std::string& path() const { return path_; }
  void set_path(std::string text) { path_ = std::move(text); }

 private:
  MessageType message_type_{};
  uint8_t value_kind_ = 0;
  uint32_t result_ = 0;
  std::string namespace_;
  std::string user_;
  std::string client_;
  std::string path_;
  std::string value_;  // bytes
  std::vector<uint8_t> serialized_;
};
