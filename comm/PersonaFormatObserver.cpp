#include "comm/PersonaFormatObserver.h"

#include "base/Log.h"

#include <charconv>
#include <optional>

namespace vl {

namespace {

std::optional<int> decimal(std::string_view text) {
    int value = 0;
    if (text.empty()) return std::nullopt;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::vector<std::string> PersonaFormatObserver::cameraNames() {
    return {std::string(formatPrefix) + "1280x720", std::string(formatPrefix) + "1920x1080",
            stopName};
}

PersonaFormatObserver::PersonaFormatObserver(std::shared_ptr<NotifyCenter> center,
                                             std::vector<std::string> names, Callback callback)
    : center_(std::move(center)), names_(std::move(names)), callback_(std::move(callback)) {}

PersonaFormatObserver::~PersonaFormatObserver() {
    stop();
}

void PersonaFormatObserver::start() {
    std::lock_guard lock(mutex_);
    if (started_) return;
    for (const std::string& name : names_) {
        // The handler may outlive a stop for a moment on the centre's thread; it only needs
        // the callback, which it holds by copy.
        auto token = center_->addObserver(name, [callback = callback_](const std::string& posted) {
            PersonaFormatObserver::dispatch(posted, callback);
        });
        if (token)
            tokens_.push_back(*token);
        else
            logMsg("❌ PersonaFormatObserver: cannot observe " + name, LogLevel::error);
    }
    started_ = true;
}

void PersonaFormatObserver::stop() {
    std::vector<NotifyCenter::Token> tokens;
    {
        std::lock_guard lock(mutex_);
        tokens.swap(tokens_);
        started_ = false;
    }
    for (auto token : tokens) center_->removeObserver(token);
}

bool PersonaFormatObserver::isStarted() const {
    std::lock_guard lock(mutex_);
    return started_;
}

void PersonaFormatObserver::handle(const std::string& name) {
    dispatch(name, callback_);
}

void PersonaFormatObserver::dispatch(const std::string& name, const Callback& callback) {
    logMsg("handle: " + name);
    if (name == stopName) {
        callback(0, 0);
        return;
    }
    const auto dot = name.rfind('.');
    const std::string_view size =
        dot == std::string::npos ? std::string_view(name) : std::string_view(name).substr(dot + 1);
    const auto x = size.find('x');
    if (x == std::string_view::npos || size.find('x', x + 1) != std::string_view::npos) return;
    auto width = decimal(size.substr(0, x));
    auto height = decimal(size.substr(x + 1));
    if (!width || !height) return;
    callback(*width, *height);
}

}  // namespace vl
