// The shared log capture, under the name these tests use.
#pragma once

#include "support/log_capture.h"

namespace storage_testing {
using testing_support::LogCapture;
using testing_support::RouteLogToStandardError;
using testing_support::TestRegistry;
}  // namespace storage_testing
