#include "comm/PacketReassembler.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace vl;

namespace {

Packet control(InteractionType subType, std::string_view payload = {}) {
    return Packet(PacketType::pktInteractiveTap, subType, bytesOf(payload));
}

// A reassembler whose dispatched packets and reports are kept for inspection.
struct Harness {
    std::vector<Packet> dispatched;
    std::vector<std::string> reports;
    PacketReassembler reassembler{"conn-1",
                                  [this](std::string text) { reports.push_back(std::move(text)); }};

    void feed(ByteView chunk) {
        reassembler.append(chunk, [this](Packet&& p) { dispatched.push_back(std::move(p)); });
    }
};

Bytes concat(const std::vector<Packet>& packets) {
    Bytes out;
    for (const auto& p : packets) p.encode(out);
    return out;
}

}  // namespace

TEST(Reassembly, TwoPacketsInOneChunkAreDispatchedInOrder) {
    Harness h;
    Packet first = control(InteractionType::connect, "{\"a\":1}");
    Packet second = control(InteractionType::keepLive);
    h.feed(concat({first, second}));
    ASSERT_EQ(h.dispatched.size(), 2u);
    EXPECT_EQ(h.dispatched[0], first);
    EXPECT_EQ(h.dispatched[1], second);
    EXPECT_EQ(h.reassembler.bufferedSize(), 0u);
}

TEST(Reassembly, APacketSplitOverThreeChunksIsDispatchedOnceAfterTheThird) {
    Harness h;
    Packet packet = control(InteractionType::text, "some keyboard payload");
    Bytes wire = packet.encode();
    ByteView view(wire);
    h.feed(view.first(10));  // inside the header
    EXPECT_TRUE(h.dispatched.empty());
    h.feed(view.subspan(10, 20));  // header complete, payload not
    EXPECT_TRUE(h.dispatched.empty());
    EXPECT_EQ(h.reassembler.bufferedSize(), 30u);
    h.feed(view.subspan(30));
    ASSERT_EQ(h.dispatched.size(), 1u);
    EXPECT_EQ(h.dispatched[0], packet);
    EXPECT_EQ(h.reassembler.bufferedSize(), 0u);
}

TEST(Reassembly, ByteByByteDeliveryDispatchesEveryPacketExactlyOnce) {
    Harness h;
    std::vector<Packet> packets = {control(InteractionType::rdpStart, "MTkyMHgxMDgw"),
                                   control(InteractionType::keepLive),
                                   control(InteractionType::clipboard, std::string(300, 'z'))};
    Bytes wire = concat(packets);
    for (std::uint8_t byte : wire) h.feed(ByteView(&byte, 1));
    EXPECT_EQ(h.dispatched, packets);
}

TEST(Reassembly, TailAfterCompletePacketsIsKeptForTheNextChunk) {
    Harness h;
    Packet first = control(InteractionType::lookAt, "{}");
    Packet second = control(InteractionType::jumpToDisplay, "{}");
    Bytes wire = concat({first, second});
    h.feed(ByteView(wire).first(first.encode().size() + 5));
    ASSERT_EQ(h.dispatched.size(), 1u);
    EXPECT_EQ(h.reassembler.bufferedSize(), 5u);
    h.feed(ByteView(wire).subspan(first.encode().size() + 5));
    ASSERT_EQ(h.dispatched.size(), 2u);
    EXPECT_EQ(h.dispatched[1], second);
}

TEST(Reassembly, NonControlPacketsAreConsumedAndDropped) {
    Harness h;
    Packet video(PacketType::pktVideoStreamData, InteractionType::rdpVideo, bytesOf("frame"));
    Packet unknown(PacketType::pktUnknown, InteractionType::connect, bytesOf("x"));
    Packet controlData(PacketType::pktControlData, InteractionType::connect);
    Packet after = control(InteractionType::keepLive);
    h.feed(concat({video, unknown, controlData, after}));
    ASSERT_EQ(h.dispatched.size(), 1u);
    EXPECT_EQ(h.dispatched[0], after);
    EXPECT_EQ(h.reassembler.bufferedSize(), 0u);
}

TEST(Reassembly, UndefinedSubTypesStillReachTheDispatcher) {
    Harness h;
    Bytes wire = control(InteractionType::keepLive).encode();
    wire[17] = 0xFF;
    h.feed(wire);
    ASSERT_EQ(h.dispatched.size(), 1u);
    EXPECT_EQ(h.dispatched[0].subType, InteractionType::undefined);
}

TEST(Reassembly, TailOverEightMebibytesIsReportedAndEmptied) {
    Harness h;
    Bytes wire = control(InteractionType::clipboard).encode();
    wire[18] = 0xFF;  // the header announces far more than the cap
    wire[19] = 0xFF;
    h.feed(wire);
    Bytes chunk(4096, 0xAB);
    std::size_t total = wire.size();
    while (total + chunk.size() <= PacketReassembler::bufferCap) {
        h.feed(chunk);
        total += chunk.size();
    }
    EXPECT_TRUE(h.reports.empty());
    EXPECT_EQ(h.reassembler.bufferedSize(), total);
    h.feed(chunk);
    total += chunk.size();
    ASSERT_EQ(h.reports.size(), 1u);
    EXPECT_EQ(h.reports[0], "[conn-1] receive buffer reached " + std::to_string(total) +
                                " bytes without a full packet — resetting");
    EXPECT_EQ(h.reassembler.bufferedSize(), 0u);
    EXPECT_TRUE(h.dispatched.empty());

    // After the reset the stream is read from wherever it now stands.
    Packet next = control(InteractionType::keepLive);
    h.feed(next.encode());
    ASSERT_EQ(h.dispatched.size(), 1u);
    EXPECT_EQ(h.dispatched[0], next);
}

TEST(Reassembly, ExactlyEightMebibytesIsKept) {
    Harness h;
    // A payload that makes the tail exactly the cap: not over it, so nothing is reset.
    Bytes wire = control(InteractionType::clipboard, std::string(PacketReassembler::bufferCap, 'q'))
                     .encode();
    ByteView view(wire);
    h.feed(view.first(PacketReassembler::bufferCap));
    EXPECT_TRUE(h.reports.empty());
    EXPECT_EQ(h.reassembler.bufferedSize(), PacketReassembler::bufferCap);
    h.feed(view.subspan(PacketReassembler::bufferCap));
    EXPECT_TRUE(h.reports.empty());
    ASSERT_EQ(h.dispatched.size(), 1u);
    EXPECT_EQ(h.dispatched[0].length, PacketReassembler::bufferCap);
}

TEST(Reassembly, APacketOverTheCapCompletesWhenOneChunkCarriesItPastTheCap) {
    Harness h;
    // The tail is only judged after each chunk: a packet slightly larger than the cap still
    // arrives when the chunk that crosses the cap also completes it.
    Bytes wire = control(InteractionType::clipboard, std::string(PacketReassembler::bufferCap, 'q'))
                     .encode();
    ByteView view(wire);
    std::size_t split = PacketReassembler::bufferCap - 100;
    h.feed(view.first(split));
    h.feed(view.subspan(split));
    EXPECT_TRUE(h.reports.empty());
    ASSERT_EQ(h.dispatched.size(), 1u);

    // The same packet delivered so that a chunk ends past the cap is reset.
    Harness late;
    late.feed(view.first(PacketReassembler::bufferCap + 1));
    ASSERT_EQ(late.reports.size(), 1u);
    late.feed(view.subspan(PacketReassembler::bufferCap + 1));
    EXPECT_TRUE(late.dispatched.empty());
}

TEST(Reassembly, ALargePayloadInSmallChunksArrivesWhole) {
    Harness h;
    std::string payload(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31);
    Packet big = control(InteractionType::clipboard, payload);
    Packet small = control(InteractionType::keepLive);
    Bytes wire = concat({small, big, small});
    for (std::size_t at = 0; at < wire.size(); at += 4096)
        h.feed(ByteView(wire).subspan(at, std::min<std::size_t>(4096, wire.size() - at)));
    ASSERT_EQ(h.dispatched.size(), 3u);
    EXPECT_EQ(h.dispatched[1], big);
    EXPECT_EQ(h.reassembler.bufferedSize(), 0u);
}

TEST(Reassembly, AThrowingHandlerLeavesTheStreamInStep) {
    Harness h;
    Packet first = control(InteractionType::text, "1");
    Packet second = control(InteractionType::text, "2");
    Bytes wire = concat({first, second});
    int calls = 0;
    EXPECT_THROW(h.reassembler.append(wire,
                                      [&](Packet&&) {
                                          ++calls;
                                          throw std::runtime_error("handler failed");
                                      }),
                 std::runtime_error);
    EXPECT_EQ(calls, 1);
    h.feed({});
    ASSERT_EQ(h.dispatched.size(), 1u);
    EXPECT_EQ(h.dispatched[0], second);
}

TEST(ReceiveBuffers, KeepsOneBufferPerConnection) {
    std::vector<std::string> reports;
    ReceiveBuffers<int> buffers([&](std::string text) { reports.push_back(std::move(text)); });
    std::vector<std::pair<int, Packet>> seen;
    Packet a = control(InteractionType::text, "from connection one");
    Packet b = control(InteractionType::text, "from connection two");
    Bytes wireA = a.encode(), wireB = b.encode();
    auto dispatchFor = [&](int key) {
        return [&, key](Packet&& p) { seen.emplace_back(key, std::move(p)); };
    };

    buffers.append(1, "one", ByteView(wireA).first(25), dispatchFor(1));
    buffers.append(2, "two", ByteView(wireB).first(30), dispatchFor(2));
    EXPECT_EQ(buffers.size(), 2u);
    EXPECT_EQ(buffers.bufferedSize(1), 25u);
    EXPECT_EQ(buffers.bufferedSize(2), 30u);
    buffers.append(2, "two", ByteView(wireB).subspan(30), dispatchFor(2));
    buffers.append(1, "one", ByteView(wireA).subspan(25), dispatchFor(1));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(2, b));
    EXPECT_EQ(seen[1], std::make_pair(1, a));

    buffers.remove(1);
    EXPECT_FALSE(buffers.contains(1));
    EXPECT_EQ(buffers.bufferedSize(1), 0u);
    EXPECT_TRUE(reports.empty());
}

TEST(ReceiveBuffers, AHandlerMayRemoveItsOwnConnection) {
    ReceiveBuffers<int> buffers([](std::string) {});
    Bytes wire = concat({control(InteractionType::disconnect), control(InteractionType::keepLive)});
    int calls = 0;
    buffers.append(7, "seven", wire, [&](Packet&&) {
        ++calls;
        buffers.remove(7);
    });
    EXPECT_EQ(calls, 2);  // the drain in progress finishes
    EXPECT_FALSE(buffers.contains(7));
}

TEST(ReceiveBuffers, ReportsNameTheConnection) {
    std::vector<std::string> reports;
    ReceiveBuffers<std::string> buffers(
        [&](std::string text) { reports.push_back(std::move(text)); });
    Bytes head = control(InteractionType::clipboard).encode();
    head[18] = 0x7F;
    buffers.append("k", "client 10.0.0.2:5000", head, [](Packet&&) {});
    Bytes chunk(PacketReassembler::bufferCap, 0);
    buffers.append("k", "ignored once made", chunk, [](Packet&&) {});
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], "[client 10.0.0.2:5000] receive buffer reached " +
                              std::to_string(22 + PacketReassembler::bufferCap) +
                              " bytes without a full packet — resetting");
}
