// platform/defaults/fake: an in-memory defaults store.
#pragma once

#include "platform/defaults/Interface.h"

#include <map>
#include <mutex>

namespace vl {

class MemoryDefaults final : public DefaultsStore {
  public:
    std::optional<DefaultsValue> object(const std::string& key) const override {
        std::lock_guard lock(mutex_);
        auto it = values_.find(key);
        if (it == values_.end()) return std::nullopt;
        return it->second;
    }
    void set(const std::string& key, DefaultsValue value) override {
        std::lock_guard lock(mutex_);
        values_[key] = std::move(value);
    }
    void remove(const std::string& key) override {
        std::lock_guard lock(mutex_);
        values_.erase(key);
    }

  private:
    mutable std::mutex mutex_;
    std::map<std::string, DefaultsValue> values_;
};

}  // namespace vl
