// Arbitrary bytes, cut into arbitrary chunks, on a stranger's control connection while a known
// client holds its session. The stranger is answered at most a connect answer per connect
// request and never disturbs the session unless it authenticates itself.
#include "base/Base64.h"
#include "base/Logger.h"
#include "comm/ControlServer.h"
#include "comm/testing/RecordingSessionEnvironment.h"
#include "platform/network/fake/FakeConnection.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

using namespace vl;

namespace {

constexpr const char* password = "Ez3Kq$vn";
constexpr const char* knownDevice = "known-device";

void check(bool condition) {
    if (!condition) std::abort();
}

struct World {
    World() { Logger::shared().setWritesToStderr(false); }
    vl::testing::RecordingSessionEnvironment fakes;
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::dedicated("ControlRequestQueue");
};

Bytes connectPacket(const std::string& device) {
    ConnectReq request;
    request.clientType = 1;
    request.clientVersion = "1.0";
    request.clientDeviceID = device;
    request.clientDeviceName = "Headset";
    request.password = base64Encode(bytesOf(password));
    return Packet(PacketType::pktInteractiveTap, InteractionType::connect,
                  bytesOf(request.toJson()))
        .encode();
}

bool isConnectAnswer(InteractionType type) {
    return type == InteractionType::ret200 || type == InteractionType::ret400 ||
           type == InteractionType::retBusy;
}

void runOne(World& world, const std::uint8_t* bytes, std::size_t size) {
    auto environment = world.fakes.environment();
    auto shell = std::make_shared<BasicAppShell>();  // no device known from an earlier input
    environment.shell = shell;
    auto server = ControlServer::make(8788, world.queue, "ControlServer", environment);
    // Judged at once: a delayed answer would arrive after this input is over.
    server->setGuessPolicy({.firstDelay = std::chrono::milliseconds(0)});
    // Any header may announce up to 4 GiB, which reserves the cap at once: 64 KiB reaches the
    // same paths as 8 MiB without sanitizing megabytes per input.
    server->setReceiveBufferCap(65536);

    auto known = std::make_shared<FakeConnection>("192.168.1.10:50000");
    server->handleConnection(known);
    known->setState(ConnectionState::ready);
    known->deliver(connectPacket(knownDevice));
    check(server->activeConnection() == known);

    auto stranger = std::make_shared<FakeConnection>("192.168.1.66:40000");
    server->handleConnection(stranger);
    stranger->setState(ConnectionState::ready);

    FuzzedDataProvider provider(bytes, size);
    while (provider.remaining_bytes() > 0 && stranger->hasPendingReceive()) {
        auto length = provider.ConsumeIntegralInRange<std::size_t>(1, 4096);
        stranger->deliver(provider.ConsumeBytes<std::uint8_t>(length));
    }

    bool strangerAuthenticated = false;
    for (const auto& sent : stranger->sent()) {
        auto packet = Packet::decode(sent.data);
        check(packet && isConnectAnswer(packet->subType));
        strangerAuthenticated |= packet->subType == InteractionType::ret200;
    }
    if (!strangerAuthenticated) {
        check(server->activeConnection() == known);
        check(shell->currentConnectedClient() == std::optional<std::string>(knownDevice));
    }

    // Whatever happened, the stranger leaving never ends the known client's session.
    stranger->setState(ConnectionState::failed,
                       NetworkError{NetworkError::Code::transportError, "gone"});
    if (!strangerAuthenticated) check(server->activeConnection() == known);

    known->setState(ConnectionState::cancelled);
    check(!server->activeConnection());
    check(!shell->currentConnectedClient());
}

}  // namespace

// The whole input runs as one block of the server's queue, so every handler and read-out runs in
// place on that thread instead of waiting for a hop per call. What the input left queued (the
// cancelled keepalive timer's completion, which hops through a strand of its own) finishes
// before the next input, so nothing it allocated outlives it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static World world;
    world.queue->sync([&] { runOne(world, bytes, size); });
    for (int i = 0; i < 4; ++i) world.queue->sync([] {});
    return 0;
}
