// base: the process-wide named notifications, delivered synchronously on the posting thread.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vl {

class NotificationCenter {
  public:
    using Observer = std::function<void(const std::any& object)>;
    using Token = std::uint64_t;

    static NotificationCenter& defaultCenter();

    Token addObserver(std::string name, Observer observer);
    void removeObserver(Token token);
    // Calls every observer of the name, in the order they were added, before returning. Observers
    // may add or remove observers while being called.
    void post(const std::string& name, const std::any& object = {});

  private:
    struct Entry {
        Token token;
        std::string name;
        std::shared_ptr<Observer> observer;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
    Token next_ = 1;
};

}  // namespace vl
