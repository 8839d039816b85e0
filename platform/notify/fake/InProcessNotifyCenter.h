// platform/notify/fake: the notify centre within one process — a post calls every observer of
// the name synchronously, on the posting thread — and the names posted, for tests to read.
#pragma once

#include "platform/notify/Interface.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace vl {

class InProcessNotifyCenter final : public NotifyCenter {
  public:
    bool post(const std::string& name) override {
        std::vector<std::shared_ptr<Handler>> handlers;
        {
            std::lock_guard lock(mutex_);
            posted_.push_back(name);
            for (const auto& [token, entry] : observers_)
                if (entry.name == name) handlers.push_back(entry.handler);
        }
        for (const auto& handler : handlers) (*handler)(name);
        return true;
    }
    std::optional<Token> addObserver(const std::string& name, Handler handler) override {
        std::lock_guard lock(mutex_);
        const Token token = next_++;
        observers_[token] = {name, std::make_shared<Handler>(std::move(handler))};
        return token;
    }
    void removeObserver(Token token) override {
        std::lock_guard lock(mutex_);
        observers_.erase(token);
    }

    std::vector<std::string> posted() const {
        std::lock_guard lock(mutex_);
        return posted_;
    }
    void clearPosted() {
        std::lock_guard lock(mutex_);
        posted_.clear();
    }
    std::size_t observerCount() const {
        std::lock_guard lock(mutex_);
        return observers_.size();
    }

  private:
    struct Entry {
        std::string name;
        std::shared_ptr<Handler> handler;
    };
    mutable std::mutex mutex_;
    std::map<Token, Entry> observers_;
    std::vector<std::string> posted_;
    Token next_ = 1;
};

}  // namespace vl
