// app/shell: the connection log — the latest 25 client connections, oldest first, persisted
// under "SavedLogs" as a JSON array. Safe from any thread: the control server asks whether a
// device is blocked on its own queue while the window edits the list on the main queue.
#pragma once

#include "app/shell/LogItem.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vl {

class DefaultsStore;

class ConnectionLog {
  public:
    static constexpr std::size_t capacity = 25;
    static constexpr const char* key = "SavedLogs";
    // Where an undecodable "SavedLogs" value is kept for the user to inspect.
    static constexpr const char* asideKey = "SavedLogs.corrupt";

    using Clock = std::function<std::chrono::system_clock::time_point()>;
    explicit ConnectionLog(Clock clock = [] { return std::chrono::system_clock::now(); });

    // Appends a connection now; the oldest entry goes once the list is full.
    LogItem add(const std::string& description, const std::string& deviceId);
    std::vector<LogItem> items() const;  // oldest first
    std::vector<LogItem> newestFirst() const;
    std::size_t size() const;

    // Row indexes count from the newest entry, as the window lists them.
    // First toggle marks the entry blocked, the second removes it. Returns false when out of range.
    bool toggleBlocked(std::size_t reversedIndex);
    bool setBlocked(std::size_t reversedIndex, bool blocked);
    bool remove(std::size_t reversedIndex);
    bool isBlocked(const std::string& deviceId) const;

    // Reads "SavedLogs"; a value that does not decode leaves the list empty and is moved aside.
    void load(DefaultsStore& defaults);
    void save(DefaultsStore& defaults) const;

    static std::string encode(const std::vector<LogItem>& items);
    static std::optional<std::vector<LogItem>> decode(const std::string& json);

  private:
    std::optional<std::size_t> indexOf(std::size_t reversedIndex) const;

    Clock clock_;
    mutable std::mutex mutex_;
    std::vector<LogItem> items_;
};

}  // namespace vl
