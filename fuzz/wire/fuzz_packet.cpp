// Packet decoding of arbitrary bytes, and encoding of what decodes: decode(encode(p)) == p, the
// wire form is the input's frame with only unknown type and sub-type bytes normalised, and a
// packet built from arbitrary fields survives the round trip too.
#include "comm/Packet.h"

#include <cstdlib>
#include <cstring>

using namespace vl;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    ByteView input(bytes, size);

    auto header = Packet::decodeHeader(input);
    std::optional<std::uint64_t> frame;
    if (header) frame = header->frameSize();
    auto packet = Packet::decode(input);
    check(packet.has_value() == (frame && *frame <= size));
    if (packet) {
        check(packet->frameSize() == *frame);
        check(packet->data.has_value() == (packet->length > 0));
        Bytes wire = packet->encode();
        check(wire.size() == *frame);
        check(std::memcmp(wire.data(), bytes, 16) == 0);
        check(wire[16] == rawValue(packetTypeFromRaw(bytes[16])));
        check(wire[17] == rawValue(interactionTypeOrUndefined(bytes[17])));
        check(std::memcmp(wire.data() + 18, bytes + 18, wire.size() - 18) == 0);
        check(Packet::decode(wire) == packet);
        check(!packet->debugDescription().empty());
    }

    // A packet the server builds from these bytes: id, type, sub-type, then the payload.
    if (size >= 18) {
        Uuid::ByteArray id;
        std::memcpy(id.data(), bytes, id.size());
        auto subType = interactionTypeFromRaw(bytes[17]);
        check(subType.has_value() == (bytes[17] <= 37));
        Packet built(Uuid(id), packetTypeFromRaw(bytes[16]),
                     subType.value_or(InteractionType::undefined), Bytes(bytes + 18, bytes + size));
        check(built.length == size - 18);
        Bytes wire = built.encode();
        check(wire.size() == Packet::headerSize + size - 18);
        check(Packet::decode(wire) == built);
    }
    return 0;
}
