#include "base/Logger.h"

#include "base/DispatchQueue.h"

#include <chrono>
#include <ctime>

namespace vl {

const char* description(LogLevel level) {
    switch (level) {
        case LogLevel::debug:
            return "debug";
        case LogLevel::info:
            return "info";
        case LogLevel::warning:
            return "warning";
        case LogLevel::error:
            return "error";
    }
    return "info";
}

namespace {

std::string timestamp() {
    auto now = std::chrono::system_clock::now();
    auto t = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[40];
    std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ".%03d", static_cast<int>(ms.count()));
    return buf;
}

std::string fileName(const char* path) {
    std::string p(path);
    auto slash = p.find_last_of('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

}  // namespace

Logger& Logger::shared() {
    // Never destroyed: worker threads still report while the process exits, after the statics
    // made later than this one are gone. Programs flush before returning from main.
    static auto* logger = new Logger("com.corvane.vantrellink.mac.Vantrel.log");
    return *logger;
}

Logger::Logger(std::string queueLabel, std::size_t capacity)
    : queue_(std::make_unique<DispatchQueue>(std::move(queueLabel))), capacity_(capacity) {}

Logger::~Logger() {
    flush();
    if (file_) std::fclose(file_);
}

void Logger::log(std::string message, LogLevel level, SourceLocation where) {
    {
        // With nowhere to write (a fuzzer's quiet run), a report is neither formatted nor queued.
        std::lock_guard lock(configMutex_);
        if (!toStderr_ && !file_ && !hook_) return;
    }
    if (pending_.fetch_add(1) >= capacity_) {
        pending_.fetch_sub(1);
        ++dropped_;
        ++droppedSinceLastWrite_;
        return;
    }
    std::string line = timestamp() + " [" + description(level) + "] " +
                       fileName(where.file_name()) + ":" + std::to_string(where.line()) + " " +
                       where.function_name() + " - " + message;
    queue_->async([this, line = std::move(line)] {
        if (auto lost = droppedSinceLastWrite_.exchange(0); lost > 0)
            write(timestamp() + " [warning] log queue full: " + std::to_string(lost) +
                  " reports dropped");
        write(line);
        pending_.fetch_sub(1);
    });
}

void Logger::write(const std::string& line) {
    std::lock_guard lock(configMutex_);
    if (toStderr_) std::fprintf(stderr, "%s\n", line.c_str());
    if (file_) {
        std::fprintf(file_, "%s\n", line.c_str());
        std::fflush(file_);
    }
    if (hook_) hook_(line);
}

void Logger::setLogFile(const std::string& path) {
    std::lock_guard lock(configMutex_);
    if (file_) std::fclose(file_);
    file_ = path.empty() ? nullptr : std::fopen(path.c_str(), "a");
}

void Logger::setWritesToStderr(bool enabled) {
    std::lock_guard lock(configMutex_);
    toStderr_ = enabled;
}

void Logger::setCaptureHook(std::function<void(const std::string&)> hook) {
    std::lock_guard lock(configMutex_);
    hook_ = std::move(hook);
}

void Logger::flush() {
    queue_->sync([] {});
}

}  // namespace vl
