// Port blocks claimed in a private range (40000-40029, three blocks of ten) so that these tests
// see every claimer in it.
#include "base/testing/PortBlock.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

namespace vl {
namespace {

using testing::PortBlock;

constexpr int first = 40000, last = 40029;

TEST(PortBlock, BlocksAreExclusiveAcrossProcessesAvoidBusyPortsAndFreeOnRelease) {
    PortBlock a(10, first, last);
    auto b = PortBlock::claim(10, first, last);
    ASSERT_TRUE(b);
    EXPECT_EQ(a.size(), 10);
    EXPECT_EQ(a.port(9), a.first() + 9);
    EXPECT_NE(a.first(), b->first());
    EXPECT_EQ((a.first() - first) % 10, 0);

    int third = first;
    while (third == a.first() || third == b->first()) third += 10;

    // A port bound by a program that claims nothing keeps its block out.
    int busy = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::uint16_t(third + 5));
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(PortBlock::claim(10, first, last), std::nullopt);
    EXPECT_THROW(PortBlock(10, first, last), std::runtime_error);
    close(busy);

    // Another process gets the one block left.
    pid_t child = fork();
    if (child == 0) {
        auto block = PortBlock::claim(10, first, last);
        _exit(block ? (block->first() - first) / 10 : 99);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), (third - first) / 10);

    // Released blocks are free again, the dead child's included.
    b.reset();
    auto c = PortBlock::claim(10, first, last);
    auto d = PortBlock::claim(10, first, last);
    ASSERT_TRUE(c && d);
    EXPECT_EQ((std::set<int>{a.first(), c->first(), d->first()}),
              (std::set<int>{first, first + 10, first + 20}));
}

}  // namespace
}  // namespace vl
