// comm: who may use a session's media ports. While a client is known, only connections from the
// authenticated client's address are admitted; anyone on the network could otherwise take the
// screen or feed the microphone. One gate is shared by every media server of a control server.
#pragma once

#include "platform/network/Interface.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace vl {

class ClientGate {
  public:
    using Token = std::uint64_t;

    // Takes a host ("192.0.2.7") or an endpoint ("192.0.2.7:50123"); the port is ignored. None
    // admits everyone.
    void setAuthorizedClientAddress(std::optional<std::string> address);
    std::optional<std::string> authorizedHost() const;
    bool admits(const Connection& connection) const;

    // Observers run on the caller's thread after each change, outside the gate's lock.
    Token addObserver(std::function<void()> observer);
    void removeObserver(Token token);

    // "192.0.2.7:50123" → "192.0.2.7"; "[::1]:443" → "::1"; a bare host stays as it is.
    static std::string hostOf(const std::string& endpoint);

  private:
    mutable std::mutex mutex_;
    std::optional<std::string> authorizedHost_;
    std::map<Token, std::function<void()>> observers_;
    Token nextToken_ = 1;
};

}  // namespace vl
