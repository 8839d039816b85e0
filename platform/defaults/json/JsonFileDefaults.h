// platform/defaults/json: defaults kept in one JSON file, replaced atomically on every change and
// re-read when another process (the config command) changes it.
#pragma once

#include "platform/defaults/Interface.h"

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>

namespace vl {

class JsonFileDefaults final : public DefaultsStore {
  public:
    using Reporter = std::function<void(const std::string&)>;

    // A file that cannot be parsed is reported, kept aside as "<file>.corrupt" so nothing is
    // lost, and read as empty.
    explicit JsonFileDefaults(std::filesystem::path file, Reporter report = {});

    std::optional<DefaultsValue> object(const std::string& key) const override;
    void set(const std::string& key, DefaultsValue value) override;
    void remove(const std::string& key) override;

    const std::filesystem::path& file() const { return file_; }

  private:
    // Every save replaces the file, so a new inode means someone else wrote it.
    struct Stamp {
        std::uint64_t inode = 0;
        std::int64_t modifiedNanoseconds = 0;
        std::int64_t size = 0;
        bool exists = false;
        bool operator==(const Stamp&) const = default;
    };

    Stamp stampOfFile() const;
    void reloadIfChanged() const;  // with mutex_ held
    void save();                   // with mutex_ held

    std::filesystem::path file_;
    Reporter report_;
    mutable std::mutex mutex_;
    mutable std::map<std::string, DefaultsValue> values_;
    mutable std::optional<Stamp> loaded_;
};

}  // namespace vl
