// The result codes that hive operations return and that responses carry to
// clients. The numbers are part of the wire format; gaps are unused codes.
#pragma once

#include <cstdint>
#include <string_view>

enum class ResultCode : uint32_t {
  Success = 0,
  GenericFailure = 1,
  InvalidParameters = 2,
  ServerUnreachable = 3,
  AccessDenied = 5,
  NotFound = 10,
  InvalidType = 11,
  NotAllowed = 12,
  SizeQuotaExceeded = 13,
  SchemaViolation = 14,
};

// The name used in log lines; "Unknown" for any other number.
constexpr std::string_view ResultCodeName(uint32_t code) {
  switch (static_cast<ResultCode>(code)) {
    case ResultCode::Success: return "Success";
    case ResultCode::GenericFailure: return "GenericFailure";
    case ResultCode::InvalidParameters: return "InvalidParameters";
    case ResultCode::ServerUnreachable: return "ServerUnreachable";
    case ResultCode::AccessDenied: return "AccessDenied";
    case ResultCode::NotFound: return "NotFound";
    case ResultCode::InvalidType: return "InvalidType";
    case ResultCode::NotAllowed: return "NotAllowed";
    case ResultCode::SizeQuotaExceeded: return "SizeQuotaExceeded";
    case ResultCode::SchemaViolation: return "SchemaViolation";
  }
  return "Unknown";
}

constexpr std::string_view ResultCodeName(ResultCode code) { return ResultCodeName(static_cast<uint32_t>(code)); }
