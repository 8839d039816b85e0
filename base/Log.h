// base: the one reporting call of the system. Every report goes through here, so code below the
// application shell logs without linking settings or keychain backends.
#pragma once

#include "base/Logger.h"

#include <string>

namespace vl {

// Never blocks the caller.
inline void logMsg(std::string message, LogLevel level = LogLevel::info,
                   SourceLocation where = SourceLocation::current()) {
    Logger::shared().log(std::move(message), level, where);
}

}  // namespace vl
