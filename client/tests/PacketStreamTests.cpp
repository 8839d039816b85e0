#include "client/PacketStream.h"

#include <gtest/gtest.h>

using namespace vl;

namespace {

Packet withFirstIdByte(std::uint8_t first, InteractionType subType) {
    auto bytes = Uuid::random().bytes();
    bytes[0] = first;
    return Packet(Uuid(bytes), PacketType::pktInteractiveTap, subType, bytesOf("payload"));
}

}  // namespace

TEST(PacketStream, SkipsKeepaliveBytesBetweenPacketsButNotIdsStartingWithZero) {
    PacketStream stream(true);
    std::vector<Packet> got;
    auto collect = [&](Packet&& p) { got.push_back(std::move(p)); };

    Packet a = withFirstIdByte(0x00, InteractionType::ret200);  // id starts like a keepalive
    Packet b = withFirstIdByte(0x7F, InteractionType::clipboard);
    Bytes wire{0x00};
    auto ea = a.encode(), eb = b.encode();
    wire.insert(wire.end(), ea.begin(), ea.end());
    wire.push_back(0x00);
    wire.push_back(0x00);
    wire.insert(wire.end(), eb.begin(), eb.end());
    // Byte by byte: the decision must wait for enough bytes.
    for (auto byte : wire) stream.append(ByteView(&byte, 1), collect);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], a);
    EXPECT_EQ(got[1], b);
    EXPECT_EQ(stream.keepalives(), 3u);
    EXPECT_EQ(stream.buffered(), 0u);
}

TEST(PacketStream, DeliversEveryTypeWhenNotSkipping) {
    PacketStream stream(false);
    int count = 0;
    Packet data(PacketType::pktSpeedTestData, InteractionType::speedTest, Bytes(4076, 0x00));
    Bytes wire;
    for (int i = 0; i < 3; ++i) data.encode(wire);
    stream.append(wire, [&](Packet&& p) {
        EXPECT_EQ(p.length, 4076u);
        ++count;
    });
    EXPECT_EQ(count, 3);
}

TEST(PacketStream, CountsKeepalivesOnAnIdleStreamWithoutWaitingForAHeadersWorth) {
    PacketStream stream(true);
    int packets = 0;
    Bytes zero{0x00};
    for (int i = 0; i < 10; ++i) stream.append(zero, [&](Packet&&) { ++packets; });
    // All but the last six are decided: they cannot begin a version-4 packet id.
    EXPECT_EQ(stream.keepalives(), 4u);
    EXPECT_EQ(packets, 0);
    // A packet after them settles the rest.
    stream.append(withFirstIdByte(0x00, InteractionType::ret200).encode(),
                  [&](Packet&&) { ++packets; });
    EXPECT_EQ(stream.keepalives(), 10u);
    EXPECT_EQ(packets, 1);
}
