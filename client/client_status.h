// The outcome of one call of the client library: either the service's answer
// (a result code, Success among them) or a failure on this side of the socket
// that kept the service from answering.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "store/result_code.h"

namespace velder {

// Why a call ended without an answer from the service. Whether a caller may
// retry is said per value.
enum class ClientError : uint8_t {
  None = 0,         // the service answered; see Status::code()
  InvalidArgument,  // refused before sending (text not UTF-8, a value no hive can store, a bad name); do not retry
  Unreachable,      // no service listens under the identity; retry once it runs
  AccessDenied,     // the socket or its directory may not be used by this user; do not retry
  Timeout,          // no answer within the time-out; the connection stays, retrying may help
  Disconnected,     // the connection ended; this client is of no further use, connect anew
  NotHandled,       // the service read the request and refused to answer it (no namespace, unknown kind)
  BadResponse,      // the answer was not a well-formed response envelope; the service and client disagree
  UnexpectedType,   // a typed call found a value of another type (GetBool on a string, ...)
  WrongThread,      // a request from inside this client's own notification handler, which would wait for ever
  TooLarge,         // a request or an answer over the channel's frame limit
  SystemError,      // a system call failed on this side (sockets, threads, memory)
};

// A small value; copy freely. A default Status is success.
class Status {
 public:
  Status() = default;

  // The service's answer; `code` is kept as sent, also when this client does
  // not know it.
  static Status FromCode(uint32_t code);
  static Status FromCode(ResultCode code) { return FromCode(static_cast<uint32_t>(code)); }
  // A failure on this side; `detail` says what exactly, for people.
  static Status FromError(ClientError error, std::string detail = {});

  // The same status with `detail` in place of its detail.
  Status WithDetail(std::string detail) const {
    Status s = *this;
    s.detail_ = std::move(detail);
    return s;
  }

  bool ok() const { return error_ == ClientError::None && code_ == 0; }
  ClientError error() const { return error_; }
  // The service's result code; meaningful when error() is None.
  uint32_t code() const { return code_; }
  const std::string& detail() const { return detail_; }

  // The failure's one-word name: a result code's name ("NotFound") or the
  // client error's ("Unreachable").
  std::string_view Name() const;
  // Name, a description in words and, when given, the detail:
  // "NotFound: no setting at this path".
  std::string Message() const;

  friend bool operator==(const Status& a, const Status& b) {
    return a.error_ == b.error_ && a.code_ == b.code_;
  }

 private:
  ClientError error_ = ClientError::None;
  uint32_t code_ = 0;
  std::string detail_;
};

// The one-word name of a client error ("Timeout").
std::string_view ClientErrorName(ClientError error);
// What a result code means to the one who sent the request.
std::string_view DescribeResultCode(uint32_t code);

}  // namespace velder
