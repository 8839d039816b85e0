#include "comm/MediaServer.h"

namespace vl {

MediaServer::MediaServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name,
                         TlsIdentitySource identity, std::shared_ptr<ClientGate> gate)
    : QuicServer(port, std::move(queue), std::move(name), std::move(identity)),
      gate_(gate ? std::move(gate) : std::make_shared<ClientGate>()) {}

MediaServer::~MediaServer() {
    if (observer_) gate_->removeObserver(*observer_);
}

void MediaServer::start() {
    followGate();
    QuicServer::start();
}

void MediaServer::followGate() {
    std::call_once(following_, [this] {
        std::weak_ptr<MediaServer> weak = std::static_pointer_cast<MediaServer>(shared_from_this());
        observer_ = gate_->addObserver([weak] {
            if (auto self = weak.lock()) self->clientGateChanged();
        });
    });
}

}  // namespace vl
