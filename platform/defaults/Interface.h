// platform/defaults: the user defaults store — typed values by key, safe from any thread.
#pragma once

#include "base/Bytes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace vl {

using DefaultsValue = std::variant<bool, std::int64_t, double, std::string, Bytes>;

class DefaultsStore {
  public:
    virtual ~DefaultsStore() = default;

    virtual std::optional<DefaultsValue> object(const std::string& key) const = 0;
    virtual void set(const std::string& key, DefaultsValue value) = 0;
    virtual void remove(const std::string& key) = 0;

    // Typed reads: nothing when the key is absent or holds another type.
    std::optional<std::string> string(const std::string& key) const { return as<std::string>(key); }
    std::optional<bool> boolean(const std::string& key) const { return as<bool>(key); }
    std::optional<Bytes> data(const std::string& key) const { return as<Bytes>(key); }

  private:
    template <class T>
    std::optional<T> as(const std::string& key) const {
        auto value = object(key);
        if (!value || !std::holds_alternative<T>(*value)) return std::nullopt;
        return std::get<T>(*value);
    }
};

}  // namespace vl
