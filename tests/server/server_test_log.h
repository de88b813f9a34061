// The shared log capture, under the name these tests use.
#pragma once

#include "support/log_capture.h"

namespace server_testing {
using testing_support::LogCapture;
using testing_support::RouteLogToStandardError;
using testing_support::TestRegistry;
}  // namespace server_testing
