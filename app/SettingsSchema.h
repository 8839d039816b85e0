// app: the server's settings — every key, what it may hold and what it is when unset — in one
// table that `vantrel-link config` and the server's composition root both read.
#pragma once

#include "platform/defaults/Interface.h"

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vl {

struct Setting {
    enum class Kind {
        text,     // any text but the empty one
        command,  // any text; the empty one unsets it
        number,   // a whole number from `minimum` to `maximum`
        choice,   // one of `choices`
        boolean,  // true or false
    };

    std::string_view key;
    Kind kind;
    // What `config get` shows when the key is unset; empty where the server works it out.
    std::string_view fallback;
    int minimum = 0;
    int maximum = 0;
    std::vector<std::string_view> choices = {};

    // "a number from 1 to 10000", "control or super", …: what an accepted value looks like.
    std::string rule() const;
};

std::span<const Setting> settingsSchema();
std::optional<Setting> findSetting(std::string_view key);

// What `text` stores under the setting: a value, nothing (the key is removed), or, as a text
// saying why, a refusal.
struct SettingRefusal {
    std::string reason;
};
using ParsedSetting = std::variant<DefaultsValue, std::monostate, SettingRefusal>;
ParsedSetting parseSetting(const Setting& setting, const std::string& text);

// The stored value of a number or choice setting when the schema accepts it, else its fallback;
// a stored value the schema refuses (the file was edited by hand) is reported.
using SettingReport = std::function<void(const std::string&)>;
int numberSetting(const DefaultsStore& defaults, std::string_view key, const SettingReport& report);
std::string choiceSetting(const DefaultsStore& defaults, std::string_view key,
                          const SettingReport& report);

}  // namespace vl
