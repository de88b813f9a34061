#include "logging/logger.h"

#include "logging/log.h"

namespace HvQorLogging {

std::string_view Logger::LevelTag(int level) {
  switch (level) {
    case kFatal: return "*F";
    case kError: return "*E";
    case kWarning: return ".W";
    case kInformation: return " I";
    case kDebug: return " D";
    case kVerbose: return " V";
    default: return "  ";
  }
}

int Logger::BannerLevel(uint32_t options) { return (options & kOptionDebugBanners) ? kDebug : kInformation; }

}  // namespace HvQorLogging
