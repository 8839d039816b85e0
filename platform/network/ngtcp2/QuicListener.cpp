// The server side: one UDP socket per port (the endpoint) routing datagrams to QUIC sessions by
// connection id, and the listener that hands the sessions' client-opened streams to its owner.
#include "platform/network/ngtcp2/Engine.h"
#include "platform/network/ngtcp2/QuicSession.h"
#include "platform/network/ngtcp2/StreamConnection.h"

#include <arpa/inet.h>

#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace vl {

namespace quic {

namespace {

constexpr std::size_t connectionIdLength = 18;
// Bound on half-open and open connections per port; Initials beyond it are dropped.
constexpr std::size_t maxSessionsPerPort = 4096;

std::string key(const std::uint8_t* data, std::size_t length) {
    return std::string(reinterpret_cast<const char*>(data), length);
}

class QuicListener;

class ServerEndpoint final : public Endpoint {
  public:
    ServerEndpoint(std::shared_ptr<UdpSocket> socket, sockaddr_in local)
        : Endpoint(std::move(socket)), local_(local) {}

    // Engine thread from here on.
    void startReading() {
        if (reading_) return;
        reading_ = true;
        std::weak_ptr<ServerEndpoint> weak =
            std::static_pointer_cast<ServerEndpoint>(shared_from_this());
        socket_->startReading(
            [weak](const std::uint8_t* data, std::size_t size, const sockaddr_in& from) {
                if (auto self = weak.lock()) self->datagram(data, size, from);
            },
            [weak] {
                if (auto self = weak.lock()) self->batchEnd();
            });
    }

    void setAcceptor(std::weak_ptr<QuicListener> acceptor) { acceptor_ = std::move(acceptor); }
    void clearAcceptor(const QuicListener* listener);

    void associate(const ngtcp2_cid& cid, QuicSession* session) override {
        routes_[key(cid.data, cid.datalen)] = session;
    }
    void dissociate(const ngtcp2_cid& cid) override { routes_.erase(key(cid.data, cid.datalen)); }
    void sessionEnded(QuicSession* session) override {
        // Keep the session alive until the current call returns.
        auto it = sessions_.find(session);
        if (it == sessions_.end()) return;
        auto keep = it->second;
        sessions_.erase(it);
        Engine::shared().post([keep] {});
    }
    bool deliverNewStream(const std::shared_ptr<StreamConnection>& stream) override;

    std::size_t sessionCount() const { return sessions_.size(); }
    void closeSessions() {
        std::vector<std::shared_ptr<QuicSession>> sessions;
        for (auto& [pointer, session] : sessions_) sessions.push_back(session);
        for (auto& session : sessions) session->close();
    }

    // Guarded by the registry mutex.
    bool claimed = false;

  private:
    void datagram(const std::uint8_t* data, std::size_t size, const sockaddr_in& from);
    void batchEnd() {
        auto touched = std::move(touched_);
        touched_.clear();
        for (auto& session : touched) session->process();
    }

    sockaddr_in local_;
    bool reading_ = false;
    std::weak_ptr<QuicListener> acceptor_;
    std::unordered_map<std::string, QuicSession*> routes_;
    std::unordered_map<QuicSession*, std::shared_ptr<QuicSession>> sessions_;
    std::vector<std::shared_ptr<QuicSession>> touched_;
};

// Endpoints by port, so a listener made again for a port whose connections outlived the previous
// listener shares their socket.
std::mutex registryMutex;
std::map<std::uint16_t, std::weak_ptr<ServerEndpoint>> registry;

class QuicListener final : public Listener, public std::enable_shared_from_this<QuicListener> {
  public:
    QuicListener(std::shared_ptr<ServerEndpoint> endpoint, std::uint16_t port,
                 QuicParameters parameters)
        : endpoint_(std::move(endpoint)), port_(port), parameters_(std::move(parameters)) {
        if (parameters_.identity) {
            credentials_ = TlsCredentials::server(*parameters_.identity, &credentialProblem_);
        } else {
            credentialProblem_ = "the parameters carry no certificate";
        }
    }

    ~QuicListener() override {
        release();
        // The socket belongs to the engine thread; let the last reference go there.
        Engine::shared().post([endpoint = std::move(endpoint_)] {});
    }

    void setStateUpdateHandler(StateUpdateHandler handler) override {
        std::lock_guard lock(mutex_);
        stateHandler_ = std::move(handler);
    }
    void setNewConnectionHandler(NewConnectionHandler handler) override {
        std::lock_guard lock(mutex_);
        connectionHandler_ = std::move(handler);
    }

    void start(DispatchQueue& queue) override {
        Engine::shared().post([self = shared_from_this(), impl = queue.impl().shared_from_this()] {
            if (self->queue_ || self->state_ != ListenerState::setup) return;
            self->queue_ = impl;
            self->endpoint_->setAcceptor(self);
            self->endpoint_->startReading();
            if (self->credentials_) {
                self->transition(ListenerState::ready, std::nullopt);
            } else {
                self->transition(ListenerState::failed, NetworkError{NetworkError::Code::noIdentity,
                                                                     self->credentialProblem_});
            }
        });
    }

    void cancel() override {
        // The port is free for a new listener as soon as cancel returns: a server restarts by
        // stopping and starting at once.
        release();
        Engine::shared().post([self = shared_from_this()] {
            if (self->state_ == ListenerState::cancelled) return;
            if (self->endpoint_) self->endpoint_->clearAcceptor(self.get());
            {
                std::lock_guard lock(registryMutex);
                self->endpoint_.reset();
            }
            self->transition(ListenerState::cancelled, std::nullopt);
        });
    }

    void closeConnections() override {
        auto close = [self = shared_from_this()] {
            if (self->endpoint_) self->endpoint_->closeSessions();
        };
        if (Engine::shared().isCurrent()) return close();
        // The close datagrams are written before this returns: the process may exit next.
        std::promise<void> done;
        Engine::shared().post([&] {
            close();
            done.set_value();
        });
        done.get_future().wait();
    }

    ListenerState state() const override { return state_.load(); }
    std::uint16_t port() const override { return port_; }

    // Engine thread.
    bool accepting() const { return state_ == ListenerState::ready && credentials_ != nullptr; }
    const QuicParameters& parameters() const { return parameters_; }
    const std::shared_ptr<TlsCredentials>& credentials() const { return credentials_; }

    void deliver(const std::shared_ptr<StreamConnection>& stream) {
        postTo(queue_, [self = shared_from_this(), stream] {
            NewConnectionHandler handler;
            {
                std::lock_guard lock(self->mutex_);
                handler = self->connectionHandler_;
            }
            if (handler) {
                handler(stream);
            } else {
                stream->cancel();
            }
        });
    }

  private:
    void transition(ListenerState state, std::optional<NetworkError> error) {
        state_ = state;
        if (!queue_) return;
        postTo(queue_, [self = shared_from_this(), state, error] {
            StateUpdateHandler handler;
            {
                std::lock_guard lock(self->mutex_);
                handler = self->stateHandler_;
            }
            if (handler) handler(state, error);
        });
    }

    void release() {
        std::lock_guard lock(registryMutex);
        if (endpoint_ && !released_) endpoint_->claimed = false;
        released_ = true;
    }

    std::shared_ptr<ServerEndpoint> endpoint_;
    const std::uint16_t port_;
    const QuicParameters parameters_;
    std::shared_ptr<TlsCredentials> credentials_;
    std::string credentialProblem_;
    std::atomic<ListenerState> state_{ListenerState::setup};
    std::shared_ptr<DispatchQueue::Impl> queue_;
    bool released_ = false;

    std::mutex mutex_;
    StateUpdateHandler stateHandler_;
    NewConnectionHandler connectionHandler_;
};

void ServerEndpoint::clearAcceptor(const QuicListener* listener) {
    if (acceptor_.lock().get() == listener) acceptor_.reset();
}

bool ServerEndpoint::deliverNewStream(const std::shared_ptr<StreamConnection>& stream) {
    auto acceptor = acceptor_.lock();
    if (!acceptor || acceptor->state() != ListenerState::ready) return false;
    acceptor->deliver(stream);
    return true;
}

void ServerEndpoint::datagram(const std::uint8_t* data, std::size_t size, const sockaddr_in& from) {
    ngtcp2_version_cid ids;
    if (ngtcp2_pkt_decode_version_cid(&ids, data, size, connectionIdLength) != 0) return;
    std::shared_ptr<QuicSession> session;
    if (auto route = routes_.find(key(ids.dcid, ids.dcidlen)); route != routes_.end()) {
        session = sessions_[route->second];
    } else {
        auto acceptor = acceptor_.lock();
        if (!acceptor || !acceptor->accepting() || sessions_.size() >= maxSessionsPerPort) return;
        ngtcp2_pkt_hd header;
        if (ngtcp2_accept(&header, data, size) != 0) return;
        session = std::make_shared<QuicSession>(shared_from_this(), acceptor->parameters(), local_,
                                                from, true);
        if (!session->acceptClient(header, acceptor->credentials())) return;
        sessions_[session.get()] = session;
    }
    if (!session) return;
    session->datagramArrived(data, size, from);
    if (touched_.empty() || touched_.back() != session) touched_.push_back(session);
}

}  // namespace

}  // namespace quic

std::shared_ptr<Listener> Listener::make(std::uint16_t port, QuicParameters parameters) {
    using namespace quic;
    std::shared_ptr<ServerEndpoint> endpoint;
    {
        std::lock_guard lock(registryMutex);
        if (port != 0) {
            if (auto it = registry.find(port); it != registry.end()) endpoint = it->second.lock();
        }
        if (endpoint && endpoint->claimed)
            throw NetworkException(
                NetworkError{NetworkError::Code::addressInUse,
                             "port " + std::to_string(port) + " has a listener in this process"});
        if (!endpoint) {
            auto socket = std::make_shared<UdpSocket>(Engine::shared().context());
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(INADDR_ANY);
            local.sin_port = htons(port);
            // A previous endpoint of this port may be closing on the engine thread right now.
            for (int attempt = 0;; ++attempt) {
                try {
                    socket->bind(local);
                    break;
                } catch (const NetworkException& e) {
                    if (attempt == 5 || e.error().code != NetworkError::Code::addressInUse ||
                        registry.count(port) == 0)
                        throw;
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            }
            local = socket->localAddress();
            port = ntohs(local.sin_port);
            endpoint = std::make_shared<ServerEndpoint>(std::move(socket), local);
            registry[port] = endpoint;
        }
        endpoint->claimed = true;
    }
    return std::make_shared<QuicListener>(std::move(endpoint), port, std::move(parameters));
}

}  // namespace vl
