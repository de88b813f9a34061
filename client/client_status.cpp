#include "client/client_status.h"

#include <fmt/format.h>

namespace velder {
namespace {

std::string_view DescribeClientError(ClientError error) {
  switch (error) {
    case ClientError::None: return "the service answered";
    case ClientError::InvalidArgument: return "the request cannot be sent as given";
    case ClientError::Unreachable: return "the settings service is not running or cannot be reached";
    case ClientError::AccessDenied: return "this user may not connect to the settings service";
    case ClientError::Timeout: return "the settings service did not answer in time";
    case ClientError::Disconnected: return "the connection to the settings service ended";
    case ClientError::NotHandled: return "the settings service refused to handle the request";
    case ClientError::BadResponse: return "the settings service sent an answer that cannot be read";
    case ClientError::UnexpectedType: return "the setting has another type than asked for";
    case ClientError::WrongThread: return "a request cannot be made from inside the notification handler";
    case ClientError::TooLarge: return "the message is larger than the channel allows";
    case ClientError::SystemError: return "a system call failed";
  }
  return "unknown failure";
}

}  // namespace

Status Status::FromCode(uint32_t code) {
  Status s;
  s.code_ = code;
  return s;
}

Status Status::FromError(ClientError error, std::string detail) {
  Status s;
  s.error_ = error;
  s.detail_ = std::move(detail);
  return s;
}

std::string_view Status::Name() const {
  if (error_ != ClientError::None) return ClientErrorName(error_);
  return ResultCodeName(code_);
}

std::string Status::Message() const {
  std::string text;
  if (error_ != ClientError::None) {
    text = fmt::format("{}: {}", ClientErrorName(error_), DescribeClientError(error_));
  } else if (ResultCodeName(code_) == "Unknown") {
    text = fmt::format("Unknown result code {}: {}", code_, DescribeResultCode(code_));
  } else {
    text = fmt::format("{}: {}", ResultCodeName(code_), DescribeResultCode(code_));
  }
  if (!detail_.empty()) text += fmt::format(" ({})", detail_);
  return text;
}

std::string_view ClientErrorName(ClientError error) {
  switch (error) {
    case ClientError::None: return "None";
    case ClientError::InvalidArgument: return "InvalidArgument";
    case ClientError::Unreachable: return "Unreachable";
    case ClientError::AccessDenied: return "AccessDenied";
    case ClientError::Timeout: return "Timeout";
    case ClientError::Disconnected: return "Disconnected";
    case ClientError::NotHandled: return "NotHandled";
    case ClientError::BadResponse: return "BadResponse";
    case ClientError::UnexpectedType: return "UnexpectedType";
    case ClientError::WrongThread: return "WrongThread";
    case ClientError::TooLarge: return "TooLarge";
    case ClientError::SystemError: return "SystemError";
  }
  return "Unknown";
}

std::string_view DescribeResultCode(uint32_t code) {
  switch (static_cast<ResultCode>(code)) {
    case ResultCode::Success: return "done";
    case ResultCode::GenericFailure: return "the service could not carry out the request";
    case ResultCode::InvalidParameters: return "the service refused the path, the user or the value";
    case ResultCode::ServerUnreachable: return "the settings server could not be reached";
    case ResultCode::AccessDenied: return "no right to this user's settings or to this operation";
    case ResultCode::NotFound: return "no such setting";
    case ResultCode::InvalidType: return "the value's type does not fit there";
    case ResultCode::NotAllowed: return "the setting is read-only or reserved to administrators";
    case ResultCode::SizeQuotaExceeded: return "the settings would grow past their size limit";
    case ResultCode::SchemaViolation: return "the value breaks the schema";
  }
  return "a result this client does not know";
}

}  // namespace velder
