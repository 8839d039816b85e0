// client/viewer: a one-place mailbox between the decoding thread and the presentation — a new
// picture replaces one not yet shown, so the window always shows the newest and never falls
// behind the stream.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

namespace vl {

template <typename T>
class NewestSlot {
  public:
    // Replaces what waits (counted as dropped). Says whether the slot was empty, i.e. whether the
    // reader needs waking.
    bool put(T value) { return put(std::move(value), nullptr); }
    // The same, handing back what it replaced (for its memory to be used again).
    bool put(T value, std::optional<T>* replaced) {
        std::lock_guard lock(mutex_);
        const bool wasEmpty = !value_.has_value();
        if (!wasEmpty) {
            ++dropped_;
            if (replaced) *replaced = std::move(value_);
        }
        value_ = std::move(value);
        return wasEmpty;
    }
    std::optional<T> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(value_, std::nullopt);
    }
    std::uint64_t dropped() const {
        std::lock_guard lock(mutex_);
        return dropped_;
    }

  private:
    mutable std::mutex mutex_;
    std::optional<T> value_;
    std::uint64_t dropped_ = 0;
};

}  // namespace vl
