// Reassembly of arbitrary bytes cut into arbitrary chunks. Without a reset, the dispatched
// packets are exactly the control packets a one-shot decode of the whole stream finds, and the
// tail left is the same; with a reset, what came before it matches the one-shot decode.
#include "comm/PacketReassembler.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
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
    // A 64 KiB cap: the same code paths as 8 MiB, reached with a hundredth of the copying.
    constexpr std::size_t cap = 65536;
    PacketReassembler reassembler(
        "fuzz",
        [&](std::string) {
            if (reports++ == 0) dispatchedBeforeReset = dispatched.size();
        },
        cap);
    auto dispatch = [&](Packet&& packet) { dispatched.push_back(std::move(packet)); };

    // Kept between inputs: a fresh buffer per input costs more than the whole check.
    static Bytes stream;
    stream.clear();
    auto feed = [&](ByteView chunk) {
        stream.insert(stream.end(), chunk.begin(), chunk.end());
        reassembler.append(chunk, dispatch);
        check(reassembler.bufferedSize() <= cap);
    };
    // One input in sixteen also carries a long run of one byte somewhere, to reach the buffer cap
    // from small inputs.
    bool longRun = provider.ConsumeIntegralInRange<int>(0, 15) == 0;
    while (provider.remaining_bytes() > 0) {
        if (longRun && provider.ConsumeBool()) {
            longRun = false;
            // A run of one byte, either raw (packets of whatever it spells) or the payload of
            // a packet too long to buffer.
            static Bytes filler(4096);
            auto repeats = provider.ConsumeIntegralInRange<std::size_t>(1, 18);
            std::fill(filler.begin(), filler.end(), provider.ConsumeIntegral<std::uint8_t>());
            if (provider.ConsumeBool()) {
                Bytes header =
                    Packet(PacketType::pktInteractiveTap, InteractionType::text).encode();
                std::fill(header.end() - 4, header.end(), 0xFF);  // the length: 4 GiB less one
                feed(header);
            }
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
