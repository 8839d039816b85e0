// app: settings, host facts, application identity, idle-sleep prevention and the logging call.
#pragma once

#include "base/Logger.h"

#include <source_location>
#include <string>

namespace vl {

class SystemInfo {
public:
    SystemInfo() = delete;

    // Every report of the system goes through here; never blocks the caller.
    static void logMsg(std::string message, LogLevel level = LogLevel::info,
                       std::source_location where = std::source_location::current()) {
        Logger::shared().log(std::move(message), level, where);
    }
};

}  // namespace vl
