#include "client/InputScript.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>

namespace vl {

namespace {

std::optional<InteractionType> typeNamed(const std::string& name) {
    for (int raw = 0; raw <= rawValue(InteractionType::undefined); ++raw) {
        auto type = *interactionTypeFromRaw(static_cast<std::uint8_t>(raw));
        if (description(type) == name) return type;
    }
    return std::nullopt;
}

}  // namespace

std::optional<InputScript> InputScript::load(const std::string& path, std::string* error) {
    std::ifstream file(path);
    if (!file) {
        if (error) *error = "cannot read the input script " + path;
        return std::nullopt;
    }
    std::stringstream text;
    text << file.rdbuf();
    return parse(text.str(), error);
}

std::optional<InputScript> InputScript::parse(const std::string& text, std::string* error) {
    InputScript script;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        auto fail = [&](const std::string& why) {
            if (error) *error = "input script line " + std::to_string(number) + ": " + why;
            return std::nullopt;
        };
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        auto json = nlohmann::json::parse(line, nullptr, false);
        if (json.is_discarded() || !json.is_object()) return fail("not a JSON object");
        if (!json.contains("at") || !json["at"].is_number() || json["at"].get<double>() < 0)
            return fail("\"at\" must be a number of seconds, 0 or more");
        if (!json.contains("type") || !json["type"].is_string()) return fail("\"type\" is missing");
        auto type = typeNamed(json["type"].get<std::string>());
        if (!type || *type == InteractionType::connect || *type == InteractionType::disconnect)
            return fail("unknown or unscriptable type " + json["type"].dump());
        Message message;
        message.at = json["at"].get<double>();
        message.type = *type;
        if (json.contains("message")) message.message = json["message"].dump();
        script.messages_.push_back(std::move(message));
    }
    std::stable_sort(script.messages_.begin(), script.messages_.end(),
                     [](const Message& a, const Message& b) { return a.at < b.at; });
    return script;
}

std::string InputScript::resolved(const Message& message, const std::string& mainID,
                                  const std::string& extraID) {
    if (message.message.empty()) return {};
    auto json = nlohmann::json::parse(message.message);
    if (json.is_object() && json.contains("shareId") && json["shareId"].is_string()) {
        if (json["shareId"] == "$main") json["shareId"] = mainID;
        if (json["shareId"] == "$extra") json["shareId"] = extraID;
    }
    return json.dump();
}

void InputScript::play(Send send, std::string mainID, std::string extraID) {
    stop();
    stopping_ = false;
    player_ = std::thread(
        [this, send = std::move(send), mainID = std::move(mainID), extraID = std::move(extraID)] {
            const auto start = std::chrono::steady_clock::now();
            for (const auto& message : messages_) {
                const auto due =
                    start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                std::chrono::duration<double>(message.at));
                // Short sleeps, so a stop is never held up by a message far ahead.
                while (!stopping_ && std::chrono::steady_clock::now() < due)
                    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                        due - std::chrono::steady_clock::now(), std::chrono::milliseconds(20)));
                if (stopping_) return;
                send(message.type, resolved(message, mainID, extraID));
                ++sent_;
            }
        });
}

void InputScript::stop() {
    stopping_ = true;
    if (player_.joinable()) player_.join();
}

}  // namespace vl
