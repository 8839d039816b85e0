#include "platform/defaults/json/JsonFileDefaults.h"

#include "base/Base64.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace vl {

namespace {

using nlohmann::json;

// Byte values are written as {"data": "<base64>"} so they survive the round trip as bytes.
json toJson(const DefaultsValue& value) {
    return std::visit(
        [](const auto& v) -> json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, Bytes>)
                return json{{"data", base64Encode(ByteView(v))}};
            else
                return json(v);
        },
        value);
}

std::optional<DefaultsValue> fromJson(const json& j) {
    if (j.is_boolean()) return j.get<bool>();
    if (j.is_number_integer()) return j.get<std::int64_t>();
    if (j.is_number_float()) return j.get<double>();
    if (j.is_string()) return j.get<std::string>();
    if (j.is_object() && j.size() == 1 && j.contains("data") && j["data"].is_string()) {
        if (auto bytes = base64Decode(std::string_view(j["data"].get_ref<const std::string&>())))
            return *bytes;
    }
    return std::nullopt;
}

}  // namespace

JsonFileDefaults::JsonFileDefaults(std::filesystem::path file, Reporter report)
    : file_(std::move(file)), report_(std::move(report)) {}

JsonFileDefaults::Stamp JsonFileDefaults::stampOfFile() const {
    Stamp stamp;
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0) return stamp;
    stamp.inode = st.st_ino;
    stamp.modifiedNanoseconds = st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec;
    stamp.size = st.st_size;
    stamp.exists = true;
    return stamp;
}

void JsonFileDefaults::reloadIfChanged() const {
    Stamp stamp = stampOfFile();
    if (loaded_ && *loaded_ == stamp) return;
    loaded_ = stamp;
    values_.clear();
    if (!stamp.exists) return;

    std::ifstream in(file_);
    std::stringstream text;
    text << in.rdbuf();
    json document = json::parse(text.str(), nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        auto aside = file_;
        aside += ".corrupt";
        std::error_code error;
        std::filesystem::rename(file_, aside, error);
        if (report_)
            report_("settings file " + file_.string() + " is not valid JSON; kept as " +
                    aside.string() + " and starting from empty settings");
        loaded_ = stampOfFile();
        return;
    }
    for (auto& [key, value] : document.items()) {
        if (auto decoded = fromJson(value)) values_[key] = std::move(*decoded);
    }
}

void JsonFileDefaults::save() {
    json document = json::object();
    for (const auto& [key, value] : values_) document[key] = toJson(value);
    std::string text = document.dump(2) + "\n";

    std::error_code error;
    std::filesystem::create_directories(file_.parent_path(), error);
    auto temporary = file_;
    temporary += ".tmp." + std::to_string(::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 &&
              ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (ok) ok = ::rename(temporary.c_str(), file_.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        if (report_) report_("could not save settings to " + file_.string());
    }
    loaded_ = stampOfFile();
}

std::optional<DefaultsValue> JsonFileDefaults::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    reloadIfChanged();
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

void JsonFileDefaults::set(const std::string& key, DefaultsValue value) {
    std::lock_guard lock(mutex_);
    reloadIfChanged();
    values_[key] = std::move(value);
    save();
}

void JsonFileDefaults::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    reloadIfChanged();
    if (values_.erase(key)) save();
}

}  // namespace vl
