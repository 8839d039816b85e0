#include "comm/ClientGate.h"

#include <vector>

namespace vl {

std::string ClientGate::hostOf(const std::string& endpoint) {
    if (!endpoint.empty() && endpoint.front() == '[') {
        auto close = endpoint.find(']');
        return close == std::string::npos ? endpoint : endpoint.substr(1, close - 1);
    }
    // One colon: IPv4 or a name with a port. More than one: a bare IPv6 address.
    auto colon = endpoint.find(':');
    if (colon == std::string::npos || endpoint.find(':', colon + 1) != std::string::npos)
        return endpoint;
    return endpoint.substr(0, colon);
}

void ClientGate::setAuthorizedClientAddress(std::optional<std::string> address) {
    std::vector<std::function<void()>> observers;
    {
        std::lock_guard lock(mutex_);
        authorizedHost_ = address ? std::optional(hostOf(*address)) : std::nullopt;
        for (const auto& entry : observers_) observers.push_back(entry.second);
    }
    for (const auto& observer : observers) observer();
}

std::optional<std::string> ClientGate::authorizedHost() const {
    std::lock_guard lock(mutex_);
    return authorizedHost_;
}

bool ClientGate::admits(const Connection& connection) const {
    std::lock_guard lock(mutex_);
    return !authorizedHost_ || hostOf(connection.remoteAddress()) == *authorizedHost_;
}

ClientGate::Token ClientGate::addObserver(std::function<void()> observer) {
    std::lock_guard lock(mutex_);
    Token token = nextToken_++;
    observers_[token] = std::move(observer);
    return token;
}

void ClientGate::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    observers_.erase(token);
}

}  // namespace vl
