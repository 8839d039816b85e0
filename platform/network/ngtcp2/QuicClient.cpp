// The client side: one connected UDP socket and one QUIC session per connectQuic call.
#include "platform/network/ngtcp2/Engine.h"
#include "platform/network/ngtcp2/QuicSession.h"
#include "platform/network/ngtcp2/StreamConnection.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <set>

namespace vl {

namespace quic {

namespace {

class ClientEndpoint;
// Live client endpoints, kept from the first start until their session ends. Engine thread only.
std::set<std::shared_ptr<ClientEndpoint>>& liveClients() {
    static auto* clients = new std::set<std::shared_ptr<ClientEndpoint>>;
    return *clients;
}

class ClientEndpoint final : public Endpoint {
  public:
    using Endpoint::Endpoint;

    // Engine thread: takes the session, registers, and sends the first flight.
    void begin(std::shared_ptr<QuicSession> session) {
        if (session_) return;
        session_ = std::move(session);
        auto self = std::static_pointer_cast<ClientEndpoint>(shared_from_this());
        liveClients().insert(self);
        std::weak_ptr<ClientEndpoint> weak = self;
        socket_->startReading(
            [weak](const std::uint8_t* data, std::size_t size, const sockaddr_in& from) {
                if (auto self = weak.lock(); self && self->session_)
                    self->session_->datagramArrived(data, size, from);
            },
            [weak] {
                if (auto self = weak.lock(); self && self->session_) self->session_->process();
            });
        auto credentials = TlsCredentials::client();
        std::string problem = "cannot create TLS credentials";
        if (!credentials || !session_->connectToServer(credentials, &problem)) {
            session_->fail(NetworkError{NetworkError::Code::transportError, problem});
            return;
        }
        session_->process();
    }

    void sessionEnded(QuicSession*) override {
        auto self = std::static_pointer_cast<ClientEndpoint>(shared_from_this());
        auto session = std::move(session_);
        session_.reset();
        liveClients().erase(self);
        // Let the session and the socket go once the current call has returned.
        Engine::shared().post([self, session] {});
    }

  private:
    std::shared_ptr<QuicSession> session_;
};

}  // namespace

}  // namespace quic

std::shared_ptr<Connection> connectQuic(const std::string& host, std::uint16_t port,
                                        QuicParameters parameters) {
    using namespace quic;
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    std::optional<NetworkError> problem;
    if (inet_pton(AF_INET, host.c_str(), &remote.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found) {
            remote.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
            freeaddrinfo(found);
        } else {
            problem = NetworkError{NetworkError::Code::hostUnresolved, host};
        }
    }

    std::shared_ptr<ClientEndpoint> endpoint;
    std::shared_ptr<QuicSession> session;
    if (!problem) {
        try {
            auto socket = std::make_shared<UdpSocket>(Engine::shared().context());
            socket->connect(remote);
            sockaddr_in local = socket->localAddress();
            endpoint = std::make_shared<ClientEndpoint>(std::move(socket));
            session = std::make_shared<QuicSession>(endpoint, parameters, local, remote, false);
        } catch (const NetworkException& e) {
            problem = e.error();
        }
    }

    auto stream = std::make_shared<StreamConnection>(session, -1, addressText(remote), true);
    if (problem) {
        Engine::shared().post([stream, error = *problem] { stream->sessionEnded(error); });
        return stream;
    }
    // Until it is started, the stream alone owns the connection: one never started is released
    // with it.
    stream->setStarter([endpoint, session, weak = std::weak_ptr<StreamConnection>(stream)] {
        endpoint->begin(session);
        if (auto stream = weak.lock()) session->addClientStream(stream);
    });
    return stream;
}

}  // namespace vl
