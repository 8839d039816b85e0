#include "app/SettingsSchema.h"

#include "app/SystemInfo.h"

#include <array>

namespace vl {

namespace {

using Kind = Setting::Kind;

const std::array<Setting, 8> schema = {{
    {.key = SystemInfoKeys::password, .kind = Kind::text, .fallback = ""},
    {.key = SystemInfoKeys::machinename, .kind = Kind::text, .fallback = ""},
    // The nine ports from P to P + 9 must all exist.
    {.key = SystemInfoKeys::controlport,
     .kind = Kind::number,
     .fallback = "8788",
     .minimum = 1,
     .maximum = 65526},
    {.key = SystemInfoKeys::keepawake, .kind = Kind::boolean, .fallback = "true"},
    // What the client's Command key acts as.
    {.key = "commandkey",
     .kind = Kind::choice,
     .fallback = "control",
     .choices = {"control", "super"}},
    // Pixels of smooth scroll that make one wheel click.
    {.key = "scrollpixelsperclick",
     .kind = Kind::number,
     .fallback = "50",
     .minimum = 1,
     .maximum = 10000},
    // How long to wait for an application's answer on the accessibility bus.
    {.key = "accessibilitytimeoutms",
     .kind = Kind::number,
     .fallback = "10",
     .minimum = 1,
     .maximum = 2000},
    // The command our own headless desktop runs as its session (e.g. startxfce4); unset: ours.
    {.key = "desktopsession", .kind = Kind::command, .fallback = ""},
}};

void reportRefused(const Setting& setting, const std::string& stored, const SettingReport& report) {
    report("Setting " + std::string(setting.key) + " \"" + stored + "\" is not " + setting.rule() +
           "; using " + std::string(setting.fallback));
}

// A number setting's value, when the text is one within its range.
std::optional<int> numberWithin(const Setting& setting, const std::string& text) {
    auto number = parseDecimalInt(text);
    if (!number || *number < setting.minimum || *number > setting.maximum) return std::nullopt;
    return number;
}

}  // namespace

std::string Setting::rule() const {
    switch (kind) {
        case Kind::text:
            return "a text that is not empty";
        case Kind::command:
            return "a command (e.g. startxfce4); empty unsets it";
        case Kind::number:
            return "a number from " + std::to_string(minimum) + " to " + std::to_string(maximum);
        case Kind::boolean:
            return "true or false";
        case Kind::choice: {
            std::string text;
            for (std::size_t i = 0; i < choices.size(); ++i) {
                if (i > 0) text += i + 1 == choices.size() ? " or " : ", ";
                text += choices[i];
            }
            return text;
        }
    }
    return {};
}

std::span<const Setting> settingsSchema() {
    return schema;
}

std::optional<Setting> findSetting(std::string_view key) {
    for (const auto& setting : schema)
        if (setting.key == key) return setting;
    return std::nullopt;
}

ParsedSetting parseSetting(const Setting& setting, const std::string& text) {
    switch (setting.kind) {
        case Kind::text:
            if (text.empty()) return SettingRefusal{"must not be empty"};
            return DefaultsValue(text);
        case Kind::command:
            if (text.empty()) return std::monostate{};
            return DefaultsValue(text);
        case Kind::number: {
            const auto number = numberWithin(setting, text);
            if (!number) return SettingRefusal{"is " + setting.rule()};
            return DefaultsValue(std::to_string(*number));
        }
        case Kind::boolean:
            if (text != "true" && text != "false") return SettingRefusal{"is " + setting.rule()};
            return DefaultsValue(text == "true");
        case Kind::choice:
            for (auto choice : setting.choices)
                if (text == choice) return DefaultsValue(text);
            return SettingRefusal{"is " + setting.rule()};
    }
    return SettingRefusal{"is not a setting"};
}

int numberSetting(const DefaultsStore& defaults, std::string_view key,
                  const SettingReport& report) {
    const Setting setting = *findSetting(key);
    const int fallback = *parseDecimalInt(std::string(setting.fallback));
    const auto stored = defaults.string(std::string(key));
    if (!stored) return fallback;
    if (const auto number = numberWithin(setting, *stored)) return *number;
    reportRefused(setting, *stored, report);
    return fallback;
}

std::string choiceSetting(const DefaultsStore& defaults, std::string_view key,
                          const SettingReport& report) {
    const Setting setting = *findSetting(key);
    const auto stored = defaults.string(std::string(key));
    if (!stored) return std::string(setting.fallback);
    if (std::holds_alternative<DefaultsValue>(parseSetting(setting, *stored))) return *stored;
    reportRefused(setting, *stored, report);
    return std::string(setting.fallback);
}

}  // namespace vl
