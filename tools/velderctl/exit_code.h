// The exit codes of velderctl: one per kind of failure, so that scripts can
// tell "no such setting" from "the service is not running".
#pragma once

#include <string>

#include "client/client_status.h"

namespace velderctl {

// A result code of the service leaves velderctl as its own number (1 to 14);
// failures on this side use the conventional codes from 64 upwards.
enum ExitCode : int {
  kExitSuccess = 0,
  kExitGenericFailure = 1,  // GenericFailure, and result codes velderctl does not know
  kExitUsage = 64,          // bad command line: unknown command, bad path or SID
  kExitBadValue = 65,       // a value that cannot be parsed or stored as given
  kExitUnreachable = 69,    // the service is not running or its socket cannot be found
  kExitInternal = 70,       // an answer that cannot be read, or a failed system call
  kExitConnectionLost = 74, // the service went away during the command
  kExitTimeout = 75,        // the service did not answer in time
  kExitRefused = 76,        // the service refused to handle the request, or it was too large
  kExitPermission = 77,     // this user may not open the service's socket
};

// The exit code for a failed (or successful) call.
int ExitCodeFor(const velder::Status& status);

// The table of exit codes, for --help.
std::string ExitCodeHelp();

}  // namespace velderctl
