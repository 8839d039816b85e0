#include "app/shell/ConnectionLog.h"

#include "base/Bytes.h"
#include "base/Log.h"
#include "platform/defaults/Interface.h"

#include <nlohmann/json.hpp>

namespace vl {

ConnectionLog::ConnectionLog(Clock clock) : clock_(std::move(clock)) {}

LogItem ConnectionLog::add(const std::string& description, const std::string& deviceId) {
    LogItem item{clock_(), description, deviceId, false};
    std::lock_guard lock(mutex_);
    items_.push_back(item);
    while (items_.size() > capacity) items_.erase(items_.begin());
    return item;
}

std::vector<LogItem> ConnectionLog::items() const {
    std::lock_guard lock(mutex_);
    return items_;
}

std::vector<LogItem> ConnectionLog::newestFirst() const {
    std::lock_guard lock(mutex_);
    return {items_.rbegin(), items_.rend()};
}

std::size_t ConnectionLog::size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

std::optional<std::size_t> ConnectionLog::indexOf(std::size_t reversedIndex) const {
    if (reversedIndex >= items_.size()) return std::nullopt;
    return items_.size() - 1 - reversedIndex;
}

bool ConnectionLog::toggleBlocked(std::size_t reversedIndex) {
    std::lock_guard lock(mutex_);
    auto index = indexOf(reversedIndex);
    if (!index) return false;
    if (items_[*index].blocked)
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(*index));
    else
        items_[*index].blocked = true;
    return true;
}

bool ConnectionLog::setBlocked(std::size_t reversedIndex, bool blocked) {
    std::lock_guard lock(mutex_);
    auto index = indexOf(reversedIndex);
    if (!index) return false;
    items_[*index].blocked = blocked;
    return true;
}

bool ConnectionLog::remove(std::size_t reversedIndex) {
    std::lock_guard lock(mutex_);
    auto index = indexOf(reversedIndex);
    if (!index) return false;
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(*index));
    return true;
}

bool ConnectionLog::isBlocked(const std::string& deviceId) const {
    std::lock_guard lock(mutex_);
    for (const auto& item : items_)
        if (item.blocked && item.deviceId == deviceId) return true;
    return false;
}

std::string ConnectionLog::encode(const std::vector<LogItem>& items) {
    auto array = nlohmann::json::array();
    for (const auto& item : items)
        array.push_back({{"time", iso8601Text(item.time)},
                         {"description", item.description},
                         {"deviceId", item.deviceId},
                         {"blocked", item.blocked}});
    return array.dump();
}

std::optional<std::vector<LogItem>> ConnectionLog::decode(const std::string& json) {
    auto parsed = nlohmann::json::parse(json, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_array()) return std::nullopt;
    std::vector<LogItem> items;
    for (const auto& entry : parsed) {
        if (!entry.is_object()) return std::nullopt;
        auto field = [&](const char* name) -> const nlohmann::json* {
            auto found = entry.find(name);
            return found == entry.end() ? nullptr : &*found;
        };
        const auto *time = field("time"), *description = field("description"),
                   *deviceId = field("deviceId"), *blocked = field("blocked");
        if (!time || !time->is_string() || !description || !description->is_string() || !deviceId ||
            !deviceId->is_string() || !blocked || !blocked->is_boolean())
            return std::nullopt;
        auto when = parseIso8601(time->get<std::string>());
        if (!when) return std::nullopt;
        items.push_back({*when, description->get<std::string>(), deviceId->get<std::string>(),
                         blocked->get<bool>()});
    }
    return items;
}

void ConnectionLog::load(DefaultsStore& defaults) {
    auto stored = defaults.object(key);
    std::optional<std::vector<LogItem>> decoded;
    if (stored) {
        if (const auto* bytes = std::get_if<Bytes>(&*stored))
            decoded = decode(stringOf(*bytes));
        else if (const auto* text = std::get_if<std::string>(&*stored))
            decoded = decode(*text);
        if (!decoded) {
            logMsg(
                "🟨 The saved connection log does not decode; starting with an empty list "
                "(the value is kept under \"" +
                    std::string(asideKey) + "\")",
                LogLevel::warning);
            defaults.set(asideKey, *stored);
            defaults.remove(key);
        }
    }
    std::lock_guard lock(mutex_);
    items_ = decoded.value_or(std::vector<LogItem>{});
    while (items_.size() > capacity) items_.erase(items_.begin());
}

void ConnectionLog::save(DefaultsStore& defaults) const {
    defaults.set(key, bytesOf(encode(items())));
}

}  // namespace vl
