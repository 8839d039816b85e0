// Reassembly of arbitrary bytes cut into arbitrary chunks. Without a reset, the dispatched
// packets are exactly the control packets a one-shot decode of the whole stream finds, and the
// tail left is the same; with a reset, what came before it matches the one-shot decode.
#include "comm/PacketReassembler.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <vector>

using namespace vl;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// The one-shot reading of a whole stream: its control packets and the unconsumed tail size.
std::vector<Packet> oneShot(ByteView stream, std::size_t& tail) {
    std::vector<Packet> packets;
    std::size_t cursor = 0;
    while (cursor < stream.size()) {
        auto packet = Packet::decode(stream.subspan(cursor));
        if (!packet) break;
        cursor += packet->frameSize();
        if (packet->type == PacketType::pktInteractiveTap) packets.push_back(std::move(*packet));
    }
    tail = stream.size() - cursor;
    return packets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider provider(bytes, size);
    std::vector<Packet> dispatched;
    std::size_t reports = 0;
    std::size_t dispatchedBeforeReset = 0;
    PacketReassembler reassembler("fuzz", [&](std::string) {
        if (reports++ == 0) dispatchedBeforeReset = dispatched.size();
    });
    auto dispatch = [&](Packet&& packet) { dispatched.push_back(std::move(packet)); };

    Bytes stream;
    auto feed = [&](ByteView chunk) {
        stream.insert(stream.end(), chunk.begin(), chunk.end());
        reassembler.append(chunk, dispatch);
        check(reassembler.bufferedSize() <= PacketReassembler::bufferCap);
    };
    // One input in sixteen also carries a long run of one byte somewhere, to reach the buffer cap
    // from small inputs.
    bool longRun = provider.ConsumeIntegralInRange<int>(0, 15) == 0;
    while (provider.remaining_bytes() > 0) {
        if (longRun && provider.ConsumeBool()) {
            longRun = false;
            auto repeats = provider.ConsumeIntegralInRange<std::size_t>(1, 2100);
            Bytes filler(4096, provider.ConsumeIntegral<std::uint8_t>());
            for (std::size_t i = 0; i < repeats; ++i) feed(filler);
            continue;
        }
        feed(provider.ConsumeBytes<std::uint8_t>(
            provider.ConsumeIntegralInRange<std::size_t>(1, 4096)));
    }

    std::size_t tail = 0;
    std::vector<Packet> expected = oneShot(stream, tail);
    if (reports == 0) {
        check(dispatched == expected);
        check(reassembler.bufferedSize() == tail);
    } else {
        check(dispatchedBeforeReset <= expected.size());
        for (std::size_t i = 0; i < dispatchedBeforeReset; ++i) check(dispatched[i] == expected[i]);
    }
    return 0;
}
