#include "client/viewer/ServerProbe.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vl {
namespace {

// A UDP port on loopback held by this test, as a listener holds the control port.
struct HeldPort {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    std::uint16_t port = 0;
    HeldPort() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    void release() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    ~HeldPort() { release(); }
};

TEST(ServerProbe, AHeldPortStaysQuietAndAReleasedOneIsNoticedAfterTwoProbes) {
    HeldPort held;
    ASSERT_NE(held.port, 0);
    auto probe = ServerProbe::open("127.0.0.1", held.port);
    ASSERT_TRUE(probe);
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(probe->poll());
        usleep(2000);  // loopback answers in microseconds
    }
    held.release();
    bool noticed = false;
    int polls = 0;
    // Loopback delivers the ICMP answer at once; the first refusal alone is not enough.
    while (!noticed && polls < 50) {
        noticed = probe->poll();
        ++polls;
        usleep(2000);
    }
    EXPECT_TRUE(noticed);
    EXPECT_GE(polls, 3);  // the send that draws the first answer, then two refusals
    EXPECT_FALSE(ServerProbe::open("host.invalid", 1));
}

}  // namespace
}  // namespace vl
