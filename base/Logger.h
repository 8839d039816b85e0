// base: the logging sink — reports are formatted on the caller's thread and written on a serial
// log queue, so reporting never blocks. Under a flood it drops reports and counts them rather
// than growing without bound.
#pragma once

#include "base/SourceLocation.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace vl {

class DispatchQueue;

enum class LogLevel { debug, info, warning, error };
const char* description(LogLevel level);

class Logger {
  public:
    static constexpr std::size_t defaultCapacity = 8192;

    static Logger& shared();

    explicit Logger(std::string queueLabel, std::size_t capacity = defaultCapacity);
    ~Logger();

    void log(std::string message, LogLevel level = LogLevel::info,
             SourceLocation where = SourceLocation::current());

    // Where reports go besides stderr. Empty path: nowhere else.
    void setLogFile(const std::string& path);
    void setWritesToStderr(bool enabled);
    // Every written line is also handed to the hook (tests capture reports with it).
    void setCaptureHook(std::function<void(const std::string& line)> hook);
    // Waits until every report handed in so far has been written.
    void flush();

    std::size_t droppedCount() const { return dropped_; }
    DispatchQueue& queue() { return *queue_; }

  private:
    void write(const std::string& line);

    std::unique_ptr<DispatchQueue> queue_;
    std::size_t capacity_;
    std::atomic<std::size_t> pending_{0};
    std::atomic<std::size_t> dropped_{0};
    std::atomic<std::size_t> droppedSinceLastWrite_{0};
    std::mutex configMutex_;  // guards the fields below, which callers may change at any time
    std::FILE* file_ = nullptr;
    bool toStderr_ = true;
    std::function<void(const std::string&)> hook_;
};

}  // namespace vl
