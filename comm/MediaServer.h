// comm: the base of every media port of a session (video, extra displays, audio, microphone,
// camera). It holds the one rule they share: while a client is known, only a connection from the
// authenticated client's address may register.
#pragma once

#include "comm/ClientGate.h"
#include "comm/QuicServer.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vl {

class MediaServer : public QuicServer {
  public:
    // Without a gate the server has one of its own (admitting everyone until an address is set).
    MediaServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name,
                TlsIdentitySource identity, std::shared_ptr<ClientGate> gate = nullptr);
    ~MediaServer() override;

    // Follows the gate from here on: a connection registered before a change must pass it too.
    void start() override;

    const std::shared_ptr<ClientGate>& gate() const { return gate_; }
    void setAuthorizedClientAddress(std::optional<std::string> address) {
        gate_->setAuthorizedClientAddress(std::move(address));
    }
    std::optional<std::string> authorizedClientAddress() const { return gate_->authorizedHost(); }

  protected:
    bool mayRegister(const Connection& connection) const { return gate_->admits(connection); }
    // Starts following the gate (idempotent); start() does it, and so must a subclass that
    // registers a connection before its listener starts.
    void followGate();
    // After the gate changed: drop a registered connection it no longer admits.
    virtual void clientGateChanged() {}

  private:
    std::shared_ptr<ClientGate> gate_;
    std::once_flag following_;
    std::optional<ClientGate::Token> observer_;
};

}  // namespace vl
