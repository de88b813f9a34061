#include "tools/velderctl/exit_code.h"

namespace velderctl {

int ExitCodeFor(const velder::Status& status) {
  using velder::ClientError;
  switch (status.error()) {
    case ClientError::None:
      if (status.code() == 0) return kExitSuccess;
      // Known codes are all below 64 and do not collide with the ones above.
      return ResultCodeName(status.code()) == "Unknown" ? kExitGenericFailure : static_cast<int>(status.code());
    case ClientError::InvalidArgument: return kExitBadValue;
    case ClientError::Unreachable: return kExitUnreachable;
    case ClientError::AccessDenied: return kExitPermission;
    case ClientError::Timeout: return kExitTimeout;
    case ClientError::Disconnected: return kExitConnectionLost;
    case ClientError::NotHandled:
    case ClientError::TooLarge: return kExitRefused;
    case ClientError::BadResponse:
    case ClientError::UnexpectedType:
    case ClientError::WrongThread:
    case ClientError::SystemError: return kExitInternal;
  }
  return kExitInternal;
}

std::string ExitCodeHelp() {
  return "Exit codes:\n"
         "  0   success\n"
         "  1   GenericFailure: the service could not carry out the request\n"
         "  2   InvalidParameters: the service refused the path, user or value\n"
         "  3   ServerUnreachable: the settings server could not be reached\n"
         "  5   AccessDenied: no right to this user's settings or to this operation\n"
         "  10  NotFound: no such setting\n"
         "  11  InvalidType: the value's type does not fit there\n"
         "  12  NotAllowed: the setting is read-only or reserved to administrators\n"
         "  13  SizeQuotaExceeded: the settings would grow past their size limit\n"
         "  14  SchemaViolation: the value breaks the schema\n"
         "  64  usage: bad command line, setting path or SID\n"
         "  65  bad value: not parsable as the given type, or not storable\n"
         "  69  the settings service is not running or cannot be reached\n"
         "  70  the service's answer could not be read, or a system call failed\n"
         "  74  the connection to the service was lost\n"
         "  75  the service did not answer in time\n"
         "  76  the service refused to handle the request\n"
         "  77  this user may not open the service's socket\n";
}

}  // namespace velderctl
