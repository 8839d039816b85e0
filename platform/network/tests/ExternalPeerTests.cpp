// Interoperability with an independent QUIC stack: Debian's GnuTLS-based sample client and server
// (packages ngtcp2-client, ngtcp2-server). They speak only "h3", so each side must refuse the
// other; a run of the two against each other shows they work at all on this machine.
#include "base/Base64.h"
#include "base/testing/PortBlock.h"
#include "base/testing/SpawnedProgram.h"
#include "platform/network/Interface.h"
#include "platform/network/tests/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace vl {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const char* const clientBinary = "/usr/bin/gtlsclient";
const char* const serverBinary = "/usr/sbin/gtlsserver";

// A scratch directory removed with everything in it.
struct ScratchDirectory {
    ScratchDirectory() {
        char name[] = "/tmp/vl-peer-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    fs::path path;
};

std::string pem(const char* label, ByteView der) {
    std::string text = std::string("-----BEGIN ") + label + "-----\n";
    std::string body = base64Encode(der);
    for (std::size_t at = 0; at < body.size(); at += 64) text += body.substr(at, 64) + "\n";
    return text + "-----END " + label + "-----\n";
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Whether some socket is bound to the UDP port (the server finished starting).
bool udpPortBound(std::uint16_t port) {
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    std::ifstream table("/proc/net/udp");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        if (local.size() > 5 && local.substr(local.size() - 5) == wanted) return true;
    }
    return false;
}

class ExternalPeer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(clientBinary, X_OK) != 0 || ::access(serverBinary, X_OK) != 0)
            GTEST_SKIP() << "gtlsclient/gtlsserver not installed (ngtcp2-client, ngtcp2-server)";
        const TlsIdentity& identity = test::sharedTestIdentity();
        std::ofstream(scratch.path / "key.pem") << pem("RSA PRIVATE KEY", identity.privateKey);
        std::ofstream(scratch.path / "cert.pem") << pem("CERTIFICATE", identity.certificate);
    }

    // Runs the sample client against 127.0.0.1:port and returns its log.
    std::string runClient(std::uint16_t port, const std::string& path = "/") {
        fs::path log = scratch.path / "client.log";
        vl::testing::SpawnedProgram client(
            {clientBinary, "--timeout=5s", "--handshake-timeout=5s", "--exit-on-all-streams-close",
             "--no-quic-dump", "--no-http-dump", "127.0.0.1", std::to_string(port),
             "https://127.0.0.1:" + std::to_string(port) + path},
            log);
        EXPECT_TRUE(client.started());
        EXPECT_TRUE(client.wait(20s)) << "gtlsclient did not finish";
        return readFile(log);
    }

    // Starts the sample server on a free port and waits until it is bound.
    std::unique_ptr<vl::testing::SpawnedProgram> startServer(std::uint16_t& port) {
        port = std::uint16_t(serverPorts.emplace_back(1).first());
        auto server = std::make_unique<vl::testing::SpawnedProgram>(
            std::vector<std::string>{serverBinary, "--timeout=10s", "-d", scratch.path.string(),
                                     "127.0.0.1", std::to_string(port),
                                     (scratch.path / "key.pem").string(),
                                     (scratch.path / "cert.pem").string()},
            scratch.path / "server.log");
        EXPECT_TRUE(server->started());
        for (int i = 0; i < 250 && !udpPortBound(port); ++i) std::this_thread::sleep_for(20ms);
        EXPECT_TRUE(udpPortBound(port)) << readFile(scratch.path / "server.log");
        return server;
    }

    ScratchDirectory scratch;
    std::vector<vl::testing::PortBlock> serverPorts;
};

TEST_F(ExternalPeer, TheSamplePeersCompleteAHandshakeWithEachOther) {
    // Without this, the refusals below could come from peers that never work here.
    std::uint16_t port = 0;
    auto server = startServer(port);
    std::string log = runClient(port);
    EXPECT_NE(log.find("QUIC handshake has completed"), std::string::npos) << log;
}

TEST_F(ExternalPeer, AnH3ClientIsRefusedWithNoApplicationProtocol) {
    test::Signal signal;
    std::size_t accepted = 0;
    DispatchQueue queue("ListenerQueue");
    auto listener = Listener::make(0, test::serverParameters());
    listener->setNewConnectionHandler([&](std::shared_ptr<Connection> connection) {
        signal.update([&] { ++accepted; });
        connection->cancel();
    });
    listener->start(queue);

    std::string log = runClient(listener->port());
    // TLS alert no_application_protocol (120) as a QUIC CRYPTO_ERROR: 0x100 + 0x78.
    EXPECT_NE(log.find("CONNECTION_CLOSE(0x1c) error_code=CRYPTO_ERROR(0x178)"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("handshake has completed"), std::string::npos) << log;
    listener->setNewConnectionHandler(nullptr);
    listener->cancel();
    queue.sync([] {});
    std::lock_guard lock(signal.mutex());
    EXPECT_EQ(accepted, 0u);
}

TEST_F(ExternalPeer, OurClientIsRefusedByAnH3Server) {
    std::uint16_t port = 0;
    auto server = startServer(port);
    DispatchQueue queue("ClientQueue");
    test::Signal signal;
    std::vector<ConnectionState> states;
    std::optional<NetworkError> failure;
    auto connection = connectQuic("127.0.0.1", port, QuicParameters{});
    connection->setStateUpdateHandler([&](ConnectionState state, std::optional<NetworkError> e) {
        signal.update([&] {
            states.push_back(state);
            if (e) failure = e;
        });
    });
    connection->start(queue);
    // Refused during the handshake, long before any timeout could end it.
    EXPECT_TRUE(signal.waitFor(
        [&] { return !states.empty() && states.back() == ConnectionState::failed; }, 5s));
    connection->setStateUpdateHandler(nullptr);
    connection->cancel();
    queue.sync([] {});
    std::lock_guard lock(signal.mutex());
    EXPECT_EQ(std::count(states.begin(), states.end(), ConnectionState::ready), 0);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code, NetworkError::Code::handshakeFailed) << failure->description();
}

}  // namespace
}  // namespace vl
