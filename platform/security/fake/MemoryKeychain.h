// platform/security/fake: an in-memory keychain; a status can be forced to test failure paths.
#pragma once

#include "platform/security/Interface.h"

#include <map>
#include <mutex>
#include <utility>

namespace vl {

class MemoryKeychain final : public Keychain {
  public:
    std::optional<Bytes> copyItem(const std::string& service, const std::string& account) override {
        std::lock_guard lock(mutex_);
        auto it = items_.find({service, account});
        if (it == items_.end()) return std::nullopt;
        return it->second;
    }

    KeychainStatus addItem(const std::string& service, const std::string& account,
                           ByteView data) override {
        std::lock_guard lock(mutex_);
        ++addCalls;
        if (failAdds) return KeychainStatus::ioError;
        auto [it, inserted] =
            items_.try_emplace({service, account}, Bytes(data.begin(), data.end()));
        return inserted ? KeychainStatus::success : KeychainStatus::duplicateItem;
    }

    KeychainStatus deleteItem(const std::string& service, const std::string& account) override {
        std::lock_guard lock(mutex_);
        return items_.erase({service, account}) ? KeychainStatus::success
                                                : KeychainStatus::itemNotFound;
    }

    bool failAdds = false;
    int addCalls = 0;

  private:
    std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, Bytes> items_;
};

}  // namespace vl
