// platform/pasteboard: an in-memory general pasteboard. Tests play the desktop with copy(), which
// changes the owner (and count) like another program would, and read what the system wrote.
#pragma once

#include "platform/pasteboard/Interface.h"

#include <map>
#include <mutex>

namespace vl {

class FakePasteboard final : public Pasteboard {
  public:
    std::int64_t changeCount() override {
        std::lock_guard lock(mutex_);
        return count_;
    }
    std::optional<Bytes> data(PasteboardType type) override {
        std::lock_guard lock(mutex_);
        ++reads_;
        auto found = items_.find(type);
        if (found == items_.end()) return std::nullopt;
        return found->second;
    }
    std::optional<std::string> string() override {
        auto bytes = data(PasteboardType::string);
        if (!bytes) return std::nullopt;
        return stringOf(*bytes);
    }
    std::int64_t clearContents() override {
        std::lock_guard lock(mutex_);
        items_.clear();
        return ++count_;
    }
    bool setData(ByteView data, PasteboardType type) override {
        std::lock_guard lock(mutex_);
        items_[type] = Bytes(data.begin(), data.end());
        return true;
    }
    bool setString(std::string_view text) override {
        return setData(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                       PasteboardType::string);
    }
    void setChangeHandler(std::function<void()> handler) override {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }

    // Another program copies: the content is replaced and the count advances. Without `notify`
    // the change is left for the next poll to find.
    void copy(std::map<PasteboardType, Bytes> items, bool notify = true) {
        std::function<void()> handler;
        {
            std::lock_guard lock(mutex_);
            items_ = std::move(items);
            ++count_;
            if (notify) handler = handler_;
        }
        if (handler) handler();
    }
    void copyText(std::string_view text, bool notify = true) {
        copy({{PasteboardType::string, bytesOf(text)}}, notify);
    }

    std::map<PasteboardType, Bytes> contents() const {
        std::lock_guard lock(mutex_);
        return items_;
    }
    bool hasChangeHandler() const {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(handler_);
    }
    // How many representations were asked for.
    int reads() const {
        std::lock_guard lock(mutex_);
        return reads_;
    }

  private:
    mutable std::mutex mutex_;
    std::int64_t count_ = 0;
    int reads_ = 0;
    std::map<PasteboardType, Bytes> items_;
    std::function<void()> handler_;
};

}  // namespace vl
