// The RandR screen when its X server goes away in the middle of a snapshot: a private Xvfb reached
// through a relay on a display number of its own, which ends the connection after exactly N of
// the server's messages. Swept over N, every point of a snapshot's round trips is hit; after the
// cut the relay either refuses new connections (the server is gone) or relays them again (a new
// server came up on the same display).
#include "platform/capture/tests/XvfbServer.h"
#include "platform/desktop/DisplayClaim.h"
#include "platform/display/x11/RandrScreen.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace vl::x11 {
namespace {

int listenOn(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int connectTo(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Counts whole messages in the server's byte stream: the connection setup first, then 32-byte
// replies, errors and events, replies and generic events followed by 4 x length bytes.
class MessageCounter {
  public:
    // Feeds bytes; returns how many of them complete at most `limit` messages in all.
    std::size_t take(const std::uint8_t* data, std::size_t size, int limit) {
        std::size_t used = 0;
        while (used < size && (!setupDone_ || messages_ < limit)) {
            pending_.push_back(data[used++]);
            if (complete()) {
                ++messages_;
                pending_.clear();
            }
        }
        return used;
    }
    int messages() const { return messages_; }
    bool setupDone() const { return setupDone_; }

  private:
    bool complete() {
        if (!setupDone_) {
            if (pending_.size() < 8) return false;
            const std::size_t extra = 4u * (pending_[6] | pending_[7] << 8);
            if (pending_.size() < 8 + extra) return false;
            setupDone_ = true;
            --messages_;  // the setup is not counted
            return true;
        }
        if (pending_.size() < 32) return false;
        const std::uint8_t type = pending_[0] & 0x7f;
        std::size_t extra = 0;
        if (type == 1 || type == 35)
            extra = 4u * (std::uint32_t(pending_[4]) | std::uint32_t(pending_[5]) << 8 |
                          std::uint32_t(pending_[6]) << 16 | std::uint32_t(pending_[7]) << 24);
        return pending_.size() >= 32 + extra;
    }
    std::vector<std::uint8_t> pending_;
    int messages_ = 0;
    bool setupDone_ = false;
};

// Relays display :relay to the X server's socket. The first connection is ended after `cut`
// messages of the server; later ones are relayed whole, or refused when `refuseAfterCut`.
class CuttingRelay {
  public:
    CuttingRelay(std::string relaySocket, std::string serverSocket, int cut, bool refuseAfterCut)
        : relaySocket_(std::move(relaySocket)),
          serverSocket_(std::move(serverSocket)),
          cut_(cut),
          refuseAfterCut_(refuseAfterCut) {
        listener_ = listenOn(relaySocket_);
        if (::pipe(stop_) != 0) stop_[0] = stop_[1] = -1;
        if (listener_ >= 0) thread_ = std::thread([this] { run(); });
    }
    ~CuttingRelay() {
        [[maybe_unused]] auto n = ::write(stop_[1], "x", 1);
        if (thread_.joinable()) thread_.join();
        for (int fd : {listener_, stop_[0], stop_[1]})
            if (fd >= 0) ::close(fd);
        ::unlink(relaySocket_.c_str());
    }
    bool listening() const { return listener_ >= 0; }
    bool cutDone() const { return cutDone_; }

  private:
    struct Pair {
        int client = -1, server = -1;
        bool cutting = false;
        MessageCounter counter;
    };

    void run() {
        std::vector<Pair> pairs;
        bool accepting = true;
        while (true) {
            std::vector<pollfd> fds{{stop_[0], POLLIN, 0}};
            if (accepting) fds.push_back({listener_, POLLIN, 0});
            const std::size_t first = fds.size();
            for (auto& p : pairs) {
                fds.push_back({p.client, POLLIN, 0});
                fds.push_back({p.server, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), -1) < 0) continue;
            if (fds[0].revents) break;
            if (accepting && fds[1].revents) {
                int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client >= 0) {
                    Pair pair;
                    pair.client = client;
                    pair.server = connectTo(serverSocket_);
                    pair.cutting = !cutDone_ && !cutStarted_;
                    cutStarted_ = true;
                    pairs.push_back(std::move(pair));
                    continue;  // the poll set is stale
                }
            }
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                auto& p = pairs[i];
                bool end = false;
                std::uint8_t buffer[65536];
                if (fds[first + 2 * i].revents) {
                    auto got = ::read(p.client, buffer, sizeof buffer);
                    end =
                        got <= 0 || ::send(p.server, buffer, std::size_t(got), MSG_NOSIGNAL) != got;
                }
                if (!end && fds[first + 2 * i + 1].revents) {
                    auto got = ::read(p.server, buffer, sizeof buffer);
                    std::size_t pass = got > 0 ? std::size_t(got) : 0;
                    if (p.cutting) pass = p.counter.take(buffer, pass, cut_);
                    end = got <= 0 || writeAll(p.client, buffer, pass) != pass;
                    if (p.cutting && p.counter.setupDone() && p.counter.messages() >= cut_) {
                        end = true;
                        cutDone_ = true;
                        if (refuseAfterCut_) accepting = false;
                    }
                }
                if (end) {
                    ::close(p.client);
                    ::close(p.server);
                    p.client = p.server = -1;
                }
            }
            std::erase_if(pairs, [](const Pair& p) { return p.client < 0; });
            if (!accepting && listener_ >= 0) {
                // Gone like a dead server: connections are refused from now on.
                ::close(listener_);
                listener_ = -1;
            }
        }
        for (auto& p : pairs) {
            ::close(p.client);
            ::close(p.server);
        }
    }
    static std::size_t writeAll(int fd, const std::uint8_t* data, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            auto n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
            if (n <= 0) break;
            done += std::size_t(n);
        }
        return done;
    }

    std::string relaySocket_, serverSocket_;
    int cut_;
    bool refuseAfterCut_;
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    std::atomic<bool> cutDone_{false};
    bool cutStarted_ = false;
    std::thread thread_;
};

class RandrScreenLossTest : public ::testing::Test {
  protected:
    // As in the server: a write to a connection the X server closed fails instead of ending the
    // process.
    static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }

    void SetUp() override {
        ASSERT_TRUE(xvfb_.running());
        for (int i = 0; i < 600 && !relayClaim_.held(); ++i) {
            if (auto claim = DisplayClaim::claim(80, 99))
                relayClaim_ = std::move(*claim);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_TRUE(relayClaim_.held());
        RandrScreen direct(xvfb_.name(), {});
        auto snap = direct.snapshot();
        ASSERT_TRUE(snap);
        expected_ = snap->enabledOutputs();
        ASSERT_FALSE(expected_.empty());
    }
    std::string serverSocket() const { return "/tmp/.X11-unix/X" + xvfb_.name().substr(1); }
    std::string relaySocket() const { return DisplayClaim::socketFile(relayClaim_.number()); }

    // For every cut point: a snapshot through the relay is whole or none; after the cut none when
    // the relay refuses, and a whole one on a second connection when it relays again.
    void sweep(bool refuseAfterCut) {
        for (int cut = 0; cut < 40; ++cut) {
            SCOPED_TRACE("cut after " + std::to_string(cut) + " messages");
            CuttingRelay relay(relaySocket(), serverSocket(), cut, refuseAfterCut);
            ASSERT_TRUE(relay.listening());
            RandrScreen screen(relayClaim_.display(), {});
            for (int round = 0; round < 4; ++round) {
                if (auto snap = screen.snapshot()) {
                    EXPECT_EQ(snap->enabledOutputs(), expected_);
                }
                screen.readIdentities();
                screen.updateIdentities([](std::vector<VirtualIdentity>&) {});
                screen.fitFramebuffer(0, 0);
            }
            if (!relay.cutDone()) continue;  // the cut lies beyond what these calls exchange
            // The first call after the cut may be the one that meets it.
            auto snap = screen.snapshot();
            if (!snap) snap = screen.snapshot();
            if (refuseAfterCut) {
                EXPECT_FALSE(snap);
            } else {
                ASSERT_TRUE(snap);
                EXPECT_EQ(snap->enabledOutputs(), expected_);
            }
        }
    }

    test::XvfbServer xvfb_{640, 480};
    DisplayClaim relayClaim_;
    std::vector<std::uint32_t> expected_;
};

TEST_F(RandrScreenLossTest, AServerLostAtAnyPointOfASnapshotGivesNoneAndNoCrash) {
    sweep(true);
}

TEST_F(RandrScreenLossTest, AServerBackOnTheSameDisplayIsUsedOnlyThroughTheNewConnection) {
    sweep(false);
}

}  // namespace
}  // namespace vl::x11
