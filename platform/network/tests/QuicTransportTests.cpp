#include "platform/network/Interface.h"
#include "platform/network/ngtcp2/Engine.h"
#include "platform/network/ngtcp2/StreamConnection.h"
#include "platform/network/tests/TestSupport.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <set>

namespace vl {
namespace {

using namespace std::chrono_literals;
using test::Signal;

Bytes pattern(std::size_t size, std::uint8_t seed = 0) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + seed);
    return bytes;
}

// A listener whose accepted connections are collected for the test to drive.
struct Server {
    explicit Server(QuicParameters parameters = test::serverParameters(), std::uint16_t port = 0)
        : listener(Listener::make(port, std::move(parameters))) {
        listener->setStateUpdateHandler([this](ListenerState state, std::optional<NetworkError> e) {
            signal.update([&] {
                states.push_back(state);
                if (e) errors.push_back(*e);
            });
        });
        listener->setNewConnectionHandler([this](std::shared_ptr<Connection> connection) {
            signal.update([&] { connections.push_back(connection); });
        });
        listener->start(queue);
    }
    ~Server() {
        listener->setStateUpdateHandler(nullptr);
        listener->setNewConnectionHandler(nullptr);
        listener->cancel();
        queue.sync([] {});
    }

    std::shared_ptr<Connection> waitForConnection(std::size_t index = 0) {
        if (!signal.waitFor([&] { return connections.size() > index; })) return nullptr;
        std::lock_guard lock(signal.mutex());
        return connections[index];
    }
    bool waitForState(ListenerState state) {
        return signal.waitFor(
            [&] { return std::find(states.begin(), states.end(), state) != states.end(); });
    }

    DispatchQueue queue{"ServerQueue"};
    std::shared_ptr<Listener> listener;
    Signal signal;
    std::vector<ListenerState> states;
    std::vector<NetworkError> errors;
    std::vector<std::shared_ptr<Connection>> connections;
};

// Records a connection's states (in order) and checks that they arrive on its queue.
struct Watched {
    Watched(const Watched&) = delete;
    // Handlers may still be queued when the test ends: detach from the connection first.
    ~Watched() {
        connection->setStateUpdateHandler(nullptr);
        connection->cancel();
        queue_.sync([] {});
    }
    explicit Watched(std::shared_ptr<Connection> c, DispatchQueue& queue)
        : connection(std::move(c)), queue_(queue) {
        connection->setStateUpdateHandler(
            [this, &queue](ConnectionState state, std::optional<NetworkError> error) {
                signal.update([&] {
                    onQueue = onQueue && queue.isCurrent();
                    states.push_back(state);
                    if (error) lastError = error;
                });
            });
        connection->start(queue);
    }
    bool waitFor(ConnectionState state, std::chrono::milliseconds timeout = 10s) {
        return signal.waitFor(
            [&] { return std::find(states.begin(), states.end(), state) != states.end(); },
            timeout);
    }
    std::shared_ptr<Connection> connection;
    DispatchQueue& queue_;
    Signal signal;
    std::vector<ConnectionState> states;
    std::optional<NetworkError> lastError;
    bool onQueue = true;
};

struct Received {
    std::optional<Bytes> data;
    bool isComplete = false;
    std::optional<NetworkError> error;
};

// Arms one receive and waits for its completion.
std::optional<Received> receiveOnce(Connection& connection, std::size_t minimum,
                                    std::size_t maximum, std::chrono::milliseconds timeout = 10s) {
    struct State {
        Signal signal;
        std::optional<Received> result;
    };
    auto state = std::make_shared<State>();
    connection.receive(
        minimum, maximum,
        [state](std::optional<Bytes> data, bool complete, std::optional<NetworkError> e) {
            state->signal.update([&] { state->result = Received{std::move(data), complete, e}; });
        });
    state->signal.waitFor([&] { return state->result.has_value(); }, timeout);
    std::lock_guard lock(state->signal.mutex());
    return state->result;
}

std::optional<NetworkError> sendAndWait(Connection& connection, Bytes data,
                                        ContentContext context = ContentContext::defaultMessage) {
    struct State {
        Signal signal;
        bool done = false;
        std::optional<NetworkError> error;
    };
    auto state = std::make_shared<State>();
    connection.send(
        std::move(data), true,
        [state](std::optional<NetworkError> e) {
            state->signal.update([&] {
                state->done = true;
                state->error = e;
            });
        },
        context);
    EXPECT_TRUE(state->signal.waitFor([&] { return state->done; }));
    std::lock_guard lock(state->signal.mutex());
    return state->error;
}

// Reads until `size` bytes have arrived (or the stream ends).
Bytes receiveExactly(Connection& connection, std::size_t size) {
    Bytes all;
    while (all.size() < size) {
        auto r = receiveOnce(connection, 1, 65536);
        if (!r || !r->data) break;
        all.insert(all.end(), r->data->begin(), r->data->end());
    }
    return all;
}

TEST(QuicTransport, HandshakeStatesAndFramedEchoOverLoopback) {
    Server server;
    ASSERT_TRUE(server.waitForState(ListenerState::ready));
    ASSERT_NE(server.listener->port(), 0);

    DispatchQueue clientQueue("ClientQueue");
    Watched client(connectQuic("127.0.0.1", server.listener->port(), QuicParameters{}),
                   clientQueue);
    ASSERT_TRUE(client.waitFor(ConnectionState::ready))
        << (client.lastError ? client.lastError->description() : "");

    // A framed packet: 16-byte id, type, sub-type, 4-byte big-endian length, payload.
    Bytes packet(16, 0xAB);
    packet.push_back(0x13);
    packet.push_back(0x0C);
    appendBigEndian32(packet, 5);
    for (char c : std::string("hello")) packet.push_back(static_cast<std::uint8_t>(c));
    EXPECT_FALSE(sendAndWait(*client.connection, packet));

    auto accepted = server.waitForConnection();
    ASSERT_TRUE(accepted);
    Watched serverSide(accepted, server.queue);
    ASSERT_TRUE(serverSide.waitFor(ConnectionState::ready));
    EXPECT_EQ(serverSide.states.front(), ConnectionState::preparing);
    EXPECT_EQ(accepted->remoteAddress().rfind("127.0.0.1:", 0), 0u);
    EXPECT_NE(accepted->description().find('#'), std::string::npos);

    auto request = receiveOnce(*accepted, 20, 4096);
    ASSERT_TRUE(request && request->data);
    EXPECT_EQ(*request->data, packet);
    EXPECT_FALSE(request->isComplete);
    EXPECT_FALSE(sendAndWait(*accepted, *request->data));
    EXPECT_EQ(receiveExactly(*client.connection, packet.size()), packet);

    EXPECT_EQ(client.states.front(), ConnectionState::preparing);
    EXPECT_TRUE(client.onQueue);
    EXPECT_TRUE(serverSide.onQueue);
    EXPECT_NE(client.connection->id(), accepted->id());

    client.connection->cancel();
    EXPECT_TRUE(client.waitFor(ConnectionState::cancelled));
    // The server side learns that the peer closed the connection.
    EXPECT_TRUE(serverSide.waitFor(ConnectionState::failed));
    ASSERT_TRUE(serverSide.lastError);
    EXPECT_EQ(serverSide.lastError->code, NetworkError::Code::closedByPeer);
}

// With every transport timer held, the handshake, a request on the fresh stream and its answer
// must each be written as soon as what they follow arrives or is handed over. A write left to a
// timer (a pacing slot, a retransmission of a dropped datagram) never happens here.
TEST(QuicTransport, FreshConnectionsAreAnsweredWithoutAnyTimer) {
    auto& engine = quic::Engine::shared();
    engine.holdTimers(true);
    struct Release {
        ~Release() { quic::Engine::shared().holdTimers(false); }
    } release;
    const std::uint64_t heldBefore = engine.heldTimerCount();
    Server server;
    DispatchQueue clientQueue("ClientQueue");
    for (std::size_t round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Watched client(connectQuic("127.0.0.1", server.listener->port(), QuicParameters{}),
                       clientQueue);
        ASSERT_TRUE(client.waitFor(ConnectionState::ready));
        client.connection->send(pattern(120, 1), true, nullptr);
        auto accepted = server.waitForConnection(round);
        ASSERT_TRUE(accepted);
        Watched serverSide(accepted, server.queue);
        ASSERT_EQ(receiveExactly(*accepted, 120), pattern(120, 1));
        accepted->send(pattern(300, 2), true, nullptr);
        EXPECT_EQ(receiveExactly(*client.connection, 300), pattern(300, 2));
    }
    // The sessions did ask for timers (delayed acknowledgements, loss detection): none ran.
    EXPECT_GT(engine.heldTimerCount(), heldBefore);
}

TEST(QuicTransport, ReceiveHonoursMinimumMaximumAndEndOfStream) {
    Server server;
    DispatchQueue clientQueue("ClientQueue");
    Watched client(connectQuic("127.0.0.1", server.listener->port(), QuicParameters{}),
                   clientQueue);
    ASSERT_TRUE(client.waitFor(ConnectionState::ready));
    EXPECT_FALSE(sendAndWait(*client.connection, pattern(10)));
    auto accepted = server.waitForConnection();
    ASSERT_TRUE(accepted);
    Watched serverSide(accepted, server.queue);

    // 10 bytes are below the minimum of 20: the receive waits.
    auto progress = std::make_shared<std::pair<Signal, std::vector<Received>>>();
    auto& signal = progress->first;
    auto& results = progress->second;
    accepted->receive(20, 4096, [progress](auto data, bool complete, auto error) {
        progress->first.update([&] {
            progress->second.push_back({std::move(data), complete, error});
        });
    });
    EXPECT_FALSE(signal.waitFor([&] { return !results.empty(); }, 300ms));
    EXPECT_FALSE(sendAndWait(*client.connection, pattern(15, 10)));
    ASSERT_TRUE(signal.waitFor([&] { return !results.empty(); }));
    {
        std::lock_guard lock(signal.mutex());
        ASSERT_TRUE(results[0].data);
        EXPECT_EQ(results[0].data->size(), 25u);
    }

    // Never more than the maximum, and the rest stays for the next receive.
    EXPECT_FALSE(sendAndWait(*client.connection, pattern(100)));
    auto first = receiveOnce(*accepted, 1, 30);
    ASSERT_TRUE(first && first->data);
    EXPECT_LE(first->data->size(), 30u);
    Bytes rest = receiveExactly(*accepted, 100 - first->data->size());
    Bytes joined = *first->data;
    joined.insert(joined.end(), rest.begin(), rest.end());
    EXPECT_EQ(joined, pattern(100));

    // A final message ends the stream: fewer than the minimum is delivered, marked complete.
    EXPECT_FALSE(sendAndWait(*client.connection, pattern(7), ContentContext::finalMessage));
    auto last = receiveOnce(*accepted, 20, 4096);
    ASSERT_TRUE(last);
    ASSERT_TRUE(last->data);
    EXPECT_EQ(*last->data, pattern(7));
    EXPECT_TRUE(last->isComplete);
    auto after = receiveOnce(*accepted, 1, 10);
    ASSERT_TRUE(after);
    EXPECT_FALSE(after->data);
    EXPECT_TRUE(after->isComplete);
    EXPECT_FALSE(after->error);

    // Nothing may follow a final message.
    auto refused = sendAndWait(*client.connection, pattern(3));
    EXPECT_TRUE(refused);
}

TEST(QuicTransport, SendsStayInOrderAndCompleteInOrder) {
    Server server;
    DispatchQueue clientQueue("ClientQueue");
    Watched client(connectQuic("127.0.0.1", server.listener->port(), QuicParameters{}),
                   clientQueue);
    ASSERT_TRUE(client.waitFor(ConnectionState::ready));

    std::mt19937 random(7);
    Bytes expected;
    auto progress = std::make_shared<std::pair<Signal, std::vector<int>>>();
    auto& signal = progress->first;
    auto& completions = progress->second;
    const int count = 300;
    for (int i = 0; i < count; ++i) {
        Bytes chunk = pattern(1 + random() % 9000, static_cast<std::uint8_t>(i));
        expected.insert(expected.end(), chunk.begin(), chunk.end());
        client.connection->send(
            std::move(chunk), true, [progress, i](std::optional<NetworkError> e) {
                progress->first.update([&] { progress->second.push_back(e ? -1 : i); });
            });
    }
    auto accepted = server.waitForConnection();
    ASSERT_TRUE(accepted);
    Watched serverSide(accepted, server.queue);
    EXPECT_EQ(receiveExactly(*accepted, expected.size()), expected);
    ASSERT_TRUE(signal.waitFor([&] { return completions.size() == count; }));
    std::vector<int> inOrder(count);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    EXPECT_EQ(completions, inOrder);
}

TEST(QuicTransport, UnreadDataHoldsTheSenderAtTheStreamWindow) {
    Server server;
    DispatchQueue clientQueue("ClientQueue");
    Watched client(connectQuic("127.0.0.1", server.listener->port(), QuicParameters{}),
                   clientQueue);
    ASSERT_TRUE(client.waitFor(ConnectionState::ready));

    const std::size_t chunk = 16384, total = 4 * 1024 * 1024;
    auto progress = std::make_shared<std::pair<Signal, std::size_t>>();
    auto& signal = progress->first;
    auto& handed = progress->second;
    for (std::size_t sent = 0; sent < total; sent += chunk) {
        client.connection->send(pattern(chunk, static_cast<std::uint8_t>(sent / chunk)), true,
                                [progress](std::optional<NetworkError> e) {
                                    if (!e)
                                        progress->first.update([&] { progress->second += chunk; });
                                });
    }
    auto accepted = server.waitForConnection();
    ASSERT_TRUE(accepted);
    Watched serverSide(accepted, server.queue);
    // Nobody reads: the transport takes no more than the 512 KiB stream window and its send
    // buffer.
    std::this_thread::sleep_for(500ms);
    {
        std::lock_guard lock(signal.mutex());
        EXPECT_GE(handed, 256u * 1024);
        EXPECT_LE(handed, 512u * 1024 + quic::StreamConnection::earlyCompletionLimit + chunk);
    }
    Bytes expected;
    for (std::size_t sent = 0; sent < total; sent += chunk) {
        Bytes part = pattern(chunk, static_cast<std::uint8_t>(sent / chunk));
        expected.insert(expected.end(), part.begin(), part.end());
    }
    EXPECT_EQ(receiveExactly(*accepted, total), expected);
    EXPECT_TRUE(signal.waitFor([&] { return handed == total; }));
}

// One send in flight, the next issued from the previous completion (the speed test's pattern):
// completions come from the stream's send buffer rather than from each write to the network, and
// that buffer, not the sender, bounds what is queued.
TEST(QuicTransport, ASenderChainedOnCompletionsIsHeldAtTheWindowAndTheSendBuffer) {
    Server server;
    DispatchQueue clientQueue("ClientQueue");
    Watched client(connectQuic("127.0.0.1", server.listener->port(), QuicParameters{}),
                   clientQueue);
    ASSERT_TRUE(client.waitFor(ConnectionState::ready));

    constexpr std::size_t chunk = 4098, window = 512 * 1024;
    struct Chain {
        Signal signal;
        std::size_t handed = 0;
        std::size_t total = 0;
        std::function<void()> next;
    };
    auto chain = std::make_shared<Chain>();
    chain->total = 2 * 1024 * 1024;
    std::weak_ptr<Chain> weakChain = chain;
    Connection& connection = *client.connection;
    chain->next = [weakChain, &connection] {
        auto chain = weakChain.lock();
        if (!chain || chain->handed >= chain->total) return;
        connection.send(pattern(chunk, static_cast<std::uint8_t>(chain->handed / chunk)), true,
                        [weakChain](std::optional<NetworkError> e) {
                            auto chain = weakChain.lock();
                            if (!chain || e) return;
                            chain->signal.update([&] { chain->handed += chunk; });
                            chain->next();
                        });
    };
    clientQueue.async([chain] { chain->next(); });
    auto accepted = server.waitForConnection();
    ASSERT_TRUE(accepted);
    Watched serverSide(accepted, server.queue);
    // Nobody reads yet: the window fills, then the send buffer, and the chain waits.
    ASSERT_TRUE(chain->signal.waitFor([&] { return chain->handed >= window; }));
    std::this_thread::sleep_for(300ms);
    {
        std::lock_guard lock(chain->signal.mutex());
        EXPECT_GE(chain->handed, window + quic::StreamConnection::earlyCompletionLimit / 2);
        EXPECT_LE(chain->handed, window + quic::StreamConnection::earlyCompletionLimit + chunk);
    }
    std::size_t expectedSize = chain->total + (chunk - chain->total % chunk) % chunk;
    Bytes received = receiveExactly(*accepted, expectedSize);
    ASSERT_EQ(received.size(), expectedSize);
    for (std::size_t at = 0; at < expectedSize; at += chunk)
        ASSERT_EQ(Bytes(received.begin() + at, received.begin() + at + chunk),
                  pattern(chunk, static_cast<std::uint8_t>(at / chunk)));
    EXPECT_TRUE(chain->signal.waitFor([&] { return chain->handed == expectedSize; }));
    clientQueue.sync([chain] { chain->next = nullptr; });
}

TEST(QuicTransport, EachFurtherClientStreamIsAnotherConnection) {
    Server server;
    DispatchQueue clientQueue("ClientQueue");
    Watched first(connectQuic("127.0.0.1", server.listener->port(), QuicParameters{}), clientQueue);
    ASSERT_TRUE(first.waitFor(ConnectionState::ready));
    auto secondConnection = first.connection->openStream();
    ASSERT_TRUE(secondConnection);
    Watched second(secondConnection, clientQueue);
    ASSERT_TRUE(second.waitFor(ConnectionState::ready));

    EXPECT_FALSE(sendAndWait(*first.connection, bytesOf("one")));
    EXPECT_FALSE(sendAndWait(*second.connection, bytesOf("two")));
    auto a = server.waitForConnection(0), b = server.waitForConnection(1);
    ASSERT_TRUE(a && b);
    Watched wa(a, server.queue), wb(b, server.queue);
    std::set<std::string> texts;
    for (auto& c : {a, b}) {
        auto r = receiveOnce(*c, 1, 100);
        ASSERT_TRUE(r && r->data);
        texts.insert(stringOf(*r->data));
    }
    EXPECT_EQ(texts, (std::set<std::string>{"one", "two"}));
    EXPECT_NE(a->id(), b->id());
    EXPECT_EQ(a->remoteAddress(), b->remoteAddress());

    // Ending one stream leaves the other working.
    second.connection->cancel();
    EXPECT_TRUE(second.waitFor(ConnectionState::cancelled));
    EXPECT_FALSE(sendAndWait(*first.connection, bytesOf("still")));
    std::shared_ptr<Connection> firstOnServer;
    {
        std::lock_guard lock(server.signal.mutex());
        firstOnServer = server.connections[0];
    }
    Bytes more;
    for (auto& c : {a, b}) {
        auto r = receiveOnce(*c, 1, 100, 500ms);
        if (r && r->data) more.insert(more.end(), r->data->begin(), r->data->end());
    }
    EXPECT_EQ(stringOf(more), "still");
    EXPECT_EQ(first.connection->state(), ConnectionState::ready);
}

TEST(QuicTransport, WrongOrMissingAlpnFailsTheHandshake) {
    Server server;
    DispatchQueue clientQueue("ClientQueue");
    for (std::vector<std::string> alpn :
         {std::vector<std::string>{"h3"}, std::vector<std::string>{}}) {
        QuicParameters parameters;
        parameters.alpn = alpn;
        Watched client(connectQuic("127.0.0.1", server.listener->port(), parameters), clientQueue);
        ASSERT_TRUE(client.waitFor(ConnectionState::failed));
        ASSERT_TRUE(client.lastError);
        EXPECT_EQ(client.lastError->code, NetworkError::Code::handshakeFailed);
        // CRYPTO_ERROR carrying the TLS alert no_application_protocol (120).
        EXPECT_NE(client.lastError->detail.find("0x178"), std::string::npos)
            << client.lastError->description();
        EXPECT_EQ(std::count(client.states.begin(), client.states.end(), ConnectionState::ready),
                  0);
    }
    std::lock_guard lock(server.signal.mutex());
    EXPECT_TRUE(server.connections.empty());
}

TEST(QuicTransport, IdleConnectionsTimeOut) {
    QuicParameters parameters = test::serverParameters();
    parameters.idleTimeout = 700ms;
    Server server(parameters);
    DispatchQueue clientQueue("ClientQueue");
    QuicParameters clientParameters;
    clientParameters.idleTimeout = 700ms;
    Watched client(connectQuic("127.0.0.1", server.listener->port(), clientParameters),
                   clientQueue);
    ASSERT_TRUE(client.waitFor(ConnectionState::ready));
    EXPECT_FALSE(sendAndWait(*client.connection, bytesOf("x")));
    auto accepted = server.waitForConnection();
    ASSERT_TRUE(accepted);
    Watched serverSide(accepted, server.queue);
    ASSERT_TRUE(serverSide.waitFor(ConnectionState::failed, 5s));
    ASSERT_TRUE(serverSide.lastError);
    EXPECT_EQ(serverSide.lastError->code, NetworkError::Code::timedOut);
    ASSERT_TRUE(client.waitFor(ConnectionState::failed, 5s));
    EXPECT_EQ(client.lastError->code, NetworkError::Code::timedOut);
    // A receive on a failed connection completes at once with the error.
    auto r = receiveOnce(*accepted, 1, 10);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->error);
}

TEST(QuicTransport, APeerThatStopsAcknowledgingIsGoneLongBeforeTheIdleTimeout) {
    QuicParameters parameters = test::serverParameters();
    parameters.unacknowledgedTimeout = 1s;  // the idle timeout stays at 600 s
    Server server(parameters);
    std::atomic<bool> cut = false;
    test::UdpRelay relay(server.listener->port(),
                         [&](bool, const std::uint8_t*, std::size_t) { return !cut.load(); });
    DispatchQueue clientQueue("ClientQueue");
    Watched client(connectQuic("127.0.0.1", relay.port(), QuicParameters{}), clientQueue);
    ASSERT_TRUE(client.waitFor(ConnectionState::ready));
    EXPECT_FALSE(sendAndWait(*client.connection, bytesOf("hello")));
    auto accepted = server.waitForConnection();
    ASSERT_TRUE(accepted);
    Watched serverSide(accepted, server.queue);
    ASSERT_TRUE(serverSide.waitFor(ConnectionState::ready));

    // A peer that answers keeps the connection, however long the sender keeps sending.
    for (int beat = 0; beat < 8; ++beat) {
        accepted->send(Bytes{0}, false, nullptr);
        ASSERT_TRUE(receiveOnce(*client.connection, 1, 1));
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_FALSE(serverSide.waitFor(ConnectionState::failed, 10ms));

    // The peer vanishes without a word: the next keepalive is never acknowledged.
    cut = true;
    accepted->send(Bytes{0}, false, nullptr);
    ASSERT_TRUE(serverSide.waitFor(ConnectionState::failed, 20s));
    ASSERT_TRUE(serverSide.lastError);
    EXPECT_EQ(serverSide.lastError->code, NetworkError::Code::timedOut);
    EXPECT_EQ(serverSide.lastError->description(), "timed out: peer stopped acknowledging");
}

TEST(QuicTransport, DatagramsStayWithinTheCapAfterTheHandshake) {
    Server server;
    std::mutex mutex;
    std::vector<std::pair<bool, std::size_t>> seen;  // (from client, size)
    test::UdpRelay relay(server.listener->port(),
                         [&](bool fromClient, const std::uint8_t* data, std::size_t size) {
                             std::lock_guard lock(mutex);
                             seen.emplace_back(fromClient, size);
                             (void)data;
                             return true;
                         });
    DispatchQueue clientQueue("ClientQueue");
    Watched client(connectQuic("127.0.0.1", relay.port(), QuicParameters{}), clientQueue);
    ASSERT_TRUE(client.waitFor(ConnectionState::ready));
    EXPECT_FALSE(sendAndWait(*client.connection, pattern(300000)));
    auto accepted = server.waitForConnection();
    ASSERT_TRUE(accepted);
    Watched serverSide(accepted, server.queue);
    EXPECT_EQ(receiveExactly(*accepted, 300000), pattern(300000));
    EXPECT_FALSE(sendAndWait(*accepted, pattern(300000)));
    EXPECT_EQ(receiveExactly(*client.connection, 300000), pattern(300000));

    std::lock_guard lock(mutex);
    ASSERT_GT(seen.size(), 300u);
    // The client's first datagram carries its Initial: padded to 1200 bytes.
    EXPECT_TRUE(seen.front().first);
    EXPECT_EQ(seen.front().second, 1200u);
    // Once data flows every datagram, in both directions, is 1024 bytes or less.
    std::size_t big = 0, full = 0;
    for (std::size_t i = 10; i < seen.size(); ++i) {
        if (seen[i].second > 1024) ++big;
        if (seen[i].second == 1024) ++full;
    }
    EXPECT_EQ(big, 0u);
    EXPECT_GT(full, 200u);
}

TEST(QuicTransport, GarbageTruncatedAndAbandonedHandshakesDoNoHarm) {
    QuicParameters parameters = test::serverParameters();
    parameters.idleTimeout = 500ms;
    Server server(parameters);
    std::uint16_t port = server.listener->port();
    std::size_t before = quic::liveSessionCount();

    // Capture a genuine first flight through a relay that lets nothing back.
    std::mutex mutex;
    Bytes initial;
    {
        test::UdpRelay relay(port,
                             [&](bool fromClient, const std::uint8_t* data, std::size_t size) {
                                 std::lock_guard lock(mutex);
                                 if (fromClient && initial.empty())
                                     initial.assign(data, data + size);
                                 return false;
                             });
        DispatchQueue clientQueue("ClientQueue");
        QuicParameters clientParameters;
        clientParameters.idleTimeout = 300ms;
        Watched client(connectQuic("127.0.0.1", relay.port(), clientParameters), clientQueue);
        ASSERT_TRUE(client.waitFor(ConnectionState::failed, 5s));
        EXPECT_EQ(client.lastError->code, NetworkError::Code::timedOut);
    }
    ASSERT_EQ(initial.size(), 1200u);

    std::mt19937 random(3);
    for (int i = 0; i < 200; ++i) {
        Bytes junk(random() % 1500);
        for (auto& b : junk) b = static_cast<std::uint8_t>(random());
        test::sendDatagram(port, junk);
    }
    for (std::size_t cut : {1u, 5u, 20u, 60u, 600u, 1199u})
        test::sendDatagram(port, Bytes(initial.begin(), initial.begin() + cut));
    // The whole Initial from a peer that then vanishes: a half-open connection that times out.
    test::sendDatagram(port, initial);
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        std::this_thread::sleep_for(50ms);
        gone = quic::liveSessionCount() <= before;
    }
    EXPECT_TRUE(gone) << quic::liveSessionCount() << " sessions still alive";

    // The listener still serves a proper client.
    DispatchQueue clientQueue("ClientQueue");
    Watched client(connectQuic("127.0.0.1", port, QuicParameters{}), clientQueue);
    EXPECT_TRUE(client.waitFor(ConnectionState::ready));
}

TEST(QuicTransport, ListenerCreationAndLifecycle) {
    // A port taken by another socket makes creation throw.
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = test::loopback(0);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    try {
        Listener::make(ntohs(address.sin_port), test::serverParameters());
        ADD_FAILURE() << "no exception";
    } catch (const NetworkException& e) {
        EXPECT_EQ(e.error().code, NetworkError::Code::addressInUse);
    }
    close(fd);

    // Without an identity the listener reports failure instead of accepting.
    {
        Server server(QuicParameters{});
        ASSERT_TRUE(server.waitForState(ListenerState::failed));
        std::lock_guard lock(server.signal.mutex());
        ASSERT_FALSE(server.errors.empty());
        EXPECT_EQ(server.errors[0].code, NetworkError::Code::noIdentity);
    }

    // Cancel, then listen again on the same port; a connection accepted before lives on.
    std::uint16_t port;
    DispatchQueue clientQueue("ClientQueue");
    std::unique_ptr<Watched> early;
    {
        Server first;
        port = first.listener->port();
        early = std::make_unique<Watched>(connectQuic("127.0.0.1", port, QuicParameters{}),
                                          clientQueue);
        ASSERT_TRUE(early->waitFor(ConnectionState::ready));
        first.listener->cancel();
        ASSERT_TRUE(first.waitForState(ListenerState::cancelled));
    }
    Server second(test::serverParameters(), port);
    ASSERT_TRUE(second.waitForState(ListenerState::ready));
    EXPECT_EQ(second.listener->port(), port);
    Watched late(connectQuic("127.0.0.1", port, QuicParameters{}), clientQueue);
    ASSERT_TRUE(late.waitFor(ConnectionState::ready));
    EXPECT_FALSE(sendAndWait(*late.connection, bytesOf("late")));
    EXPECT_FALSE(sendAndWait(*early->connection, bytesOf("early")));
    // Both streams reach the second listener, the early one over its surviving connection.
    ASSERT_TRUE(second.waitForConnection(1));
    // Two listeners on one port in one process are refused.
    EXPECT_THROW(Listener::make(port, test::serverParameters()), NetworkException);
}

TEST(QuicTransport, CancelEndsPendingOperationsAndConnectionsGoAway) {
    std::size_t before = quic::liveSessionCount();
    {
        Server server;
        DispatchQueue clientQueue("ClientQueue");
        Watched client(connectQuic("127.0.0.1", server.listener->port(), QuicParameters{}),
                       clientQueue);
        ASSERT_TRUE(client.waitFor(ConnectionState::ready));
        auto progress = std::make_shared<std::pair<Signal, std::optional<Received>>>();
        auto& signal = progress->first;
        auto& pending = progress->second;
        client.connection->receive(1, 10, [progress](auto data, bool complete, auto error) {
            progress->first.update([&] {
                progress->second = Received{std::move(data), complete, error};
            });
        });
        client.connection->cancel();
        ASSERT_TRUE(signal.waitFor([&] { return pending.has_value(); }));
        EXPECT_FALSE(pending->data);
        ASSERT_TRUE(pending->error);
        EXPECT_EQ(pending->error->code, NetworkError::Code::cancelled);
        EXPECT_TRUE(client.waitFor(ConnectionState::cancelled));
        EXPECT_EQ(client.connection->state(), ConnectionState::cancelled);
        auto refused = sendAndWait(*client.connection, bytesOf("late"));
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->code, NetworkError::Code::cancelled);

        // An unknown host and a never-started connection are harmless.
        Watched nowhere(connectQuic("no-such-host.invalid", 1, QuicParameters{}), clientQueue);
        ASSERT_TRUE(nowhere.waitFor(ConnectionState::failed));
        EXPECT_EQ(nowhere.lastError->code, NetworkError::Code::hostUnresolved);
        connectQuic("127.0.0.1", server.listener->port(), QuicParameters{});
    }
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        std::this_thread::sleep_for(20ms);
        gone = quic::liveSessionCount() <= before;
    }
    EXPECT_TRUE(gone) << quic::liveSessionCount();
}

}  // namespace
TEST(QuicTransport, ClosingAListenersConnectionsTellsEachClientAtOnce) {
    Server server(test::serverParameters());
    DispatchQueue clientQueue("ClientQueue");
    std::vector<std::unique_ptr<Watched>> clients;
    for (int i = 0; i < 2; ++i) {
        clients.push_back(std::make_unique<Watched>(
            connectQuic("127.0.0.1", server.listener->port(), QuicParameters{}), clientQueue));
        ASSERT_TRUE(clients.back()->waitFor(ConnectionState::ready));
        EXPECT_FALSE(sendAndWait(*clients.back()->connection, bytesOf("x")));
        ASSERT_TRUE(server.waitForConnection());
    }
    server.listener->closeConnections();
    server.listener->cancel();
    // The idle timeout is ten minutes: only the peer's close ends them this soon.
    for (auto& client : clients) {
        ASSERT_TRUE(client->waitFor(ConnectionState::failed, 3s));
        ASSERT_TRUE(client->lastError);
        EXPECT_EQ(client->lastError->code, NetworkError::Code::closedByPeer);
    }
}

}  // namespace vl
