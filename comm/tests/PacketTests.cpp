#include "comm/Packet.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace vl;

namespace {

const Uuid sampleId = *Uuid::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");

Bytes header(std::uint8_t type, std::uint8_t subType, std::uint32_t length) {
    Bytes out(sampleId.bytes().begin(), sampleId.bytes().end());
    out.push_back(type);
    out.push_back(subType);
    appendBigEndian32(out, length);
    return out;
}

}  // namespace

TEST(PacketType, KnownBytesReadAsTheirCaseAndEveryOtherByteAsUnknown) {
    EXPECT_EQ(packetTypeFromRaw(0x13), PacketType::pktInteractiveTap);
    EXPECT_EQ(packetTypeFromRaw(0x0D), PacketType::pktClientVersionType);
    EXPECT_EQ(packetTypeFromRaw(0x03), PacketType::pktClientSerialNumber);
    EXPECT_EQ(packetTypeFromRaw(0x1A), PacketType::pktDisplayIDs);
    EXPECT_EQ(packetTypeFromRaw(0x00), PacketType::pktUnknown);
    EXPECT_EQ(packetTypeFromRaw(0x1B), PacketType::pktUnknown);
    EXPECT_EQ(rawValue(PacketType::pktUnknown), 0x1B);
    int known = 0;
    for (int raw = 0; raw < 256; ++raw) {
        PacketType type = packetTypeFromRaw(static_cast<std::uint8_t>(raw));
        if (type != PacketType::pktUnknown) {
            ++known;
            EXPECT_EQ(rawValue(type), raw);
        }
    }
    EXPECT_EQ(known, 12);
}

TEST(PacketType, DescriptionIsTheCaseName) {
    EXPECT_EQ(description(PacketType::pktInteractiveTap), "pktInteractiveTap");
    EXPECT_EQ(description(PacketType::pktVideoStreamData), "pktVideoStreamData");
    EXPECT_EQ(description(PacketType::pktUnknown), "pktUnknown");
}

TEST(InteractionType, RawValueIsThePositionAndThePlainConstructorFailsAbove37) {
    EXPECT_EQ(interactionTypeFromRaw(0), InteractionType::cursor);
    EXPECT_EQ(interactionTypeFromRaw(12), InteractionType::connect);
    EXPECT_EQ(interactionTypeFromRaw(33), InteractionType::mouseEvent);
    EXPECT_EQ(interactionTypeFromRaw(37), InteractionType::undefined);
    EXPECT_FALSE(interactionTypeFromRaw(38));
    EXPECT_FALSE(interactionTypeFromRaw(255));
    EXPECT_EQ(interactionTypeOrUndefined(0x26), InteractionType::undefined);
    EXPECT_EQ(interactionTypeOrUndefined(0xFF), InteractionType::undefined);
    for (int raw = 0; raw <= 37; ++raw)
        EXPECT_EQ(rawValue(*interactionTypeFromRaw(static_cast<std::uint8_t>(raw))), raw);
}

TEST(InteractionType, DescriptionIsTheCaseName) {
    EXPECT_EQ(description(InteractionType::cursor), "cursor");
    EXPECT_EQ(description(InteractionType::moveWindowToVDIfNotOnVD), "moveWindowToVDIfNotOnVD");
    EXPECT_EQ(description(InteractionType::activeWindowOnDisplay), "activeWindowOnDisplay");
    EXPECT_EQ(description(InteractionType::undefined), "undefined");
    EXPECT_EQ(description(InteractionType::keepLive), "keepLive");
}

TEST(PacketEncode, EmptyPayloadIsExactly22BytesWithZeroLength) {
    Packet packet(sampleId, PacketType::pktInteractiveTap, InteractionType::keepLive);
    EXPECT_FALSE(packet.data);
    EXPECT_EQ(packet.length, 0u);
    Bytes wire = packet.encode();
    EXPECT_EQ(wire, header(0x13, 31, 0));

    auto decoded = Packet::decode(wire);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, packet);
    EXPECT_FALSE(decoded->data);
    EXPECT_EQ(decoded->length, 0u);
}

TEST(PacketEncode, LayoutIsIdTypeSubTypeBigEndianLengthPayload) {
    Packet packet(sampleId, PacketType::pktVideoStreamData, InteractionType::rdpVideo,
                  bytesOf("hello"));
    Bytes expected = header(0x15, 20, 5);
    Bytes payload = bytesOf("hello");
    expected.insert(expected.end(), payload.begin(), payload.end());
    EXPECT_EQ(packet.encode(), expected);
    EXPECT_EQ(packet.length, 5u);
}

TEST(PacketEncode, LengthFieldComesFromThePayloadNotFromLength) {
    Packet packet(sampleId, PacketType::pktInteractiveTap, InteractionType::text, bytesOf("abc"));
    packet.length = 999;
    Bytes wire = packet.encode();
    EXPECT_EQ(readBigEndian32(wire.data() + 18), 3u);
    packet.data.reset();
    EXPECT_EQ(packet.encode().size(), Packet::headerSize);
}

TEST(PacketEncode, AppendsToAnExistingBuffer) {
    Packet first(sampleId, PacketType::pktInteractiveTap, InteractionType::text, bytesOf("a"));
    Packet second(sampleId, PacketType::pktPing, InteractionType::tap);
    Bytes out;
    first.encode(out);
    second.encode(out);
    ASSERT_EQ(out.size(), 23u + 22u);
    EXPECT_EQ(Packet::decode(ByteView(out).subspan(23)), second);
}

TEST(PacketBuild, FreshIdsForOwnPacketsAndTheRequestIdForAnswers) {
    Packet a(PacketType::pktInteractiveTap, InteractionType::disconnect);
    Packet b(PacketType::pktInteractiveTap, InteractionType::disconnect);
    EXPECT_NE(a.packetId, b.packetId);

    Packet request(sampleId, PacketType::pktInteractiveTap, InteractionType::rdpStart,
                   bytesOf("MTkyMHgxMDgw"));
    Packet answer = Packet::answering(request, bytesOf("{}"));
    EXPECT_EQ(answer.packetId, sampleId);
    EXPECT_EQ(answer.type, PacketType::pktInteractiveTap);
    EXPECT_EQ(answer.subType, InteractionType::rdpStart);
    EXPECT_EQ(answer.length, 2u);
    EXPECT_EQ(answer.data, bytesOf("{}"));
    EXPECT_FALSE(Packet::answering(request).data);
}

TEST(PacketDecode, NeedsTheWholeHeaderAndTheWholeAnnouncedPayload) {
    Bytes wire = header(0x13, 2, 5);
    EXPECT_FALSE(Packet::decode(ByteView(wire).first(21)));
    EXPECT_FALSE(Packet::decode(wire));  // 22 bytes, 5 announced
    for (std::uint8_t b : {'a', 'b', 'c', 'd'}) {
        wire.push_back(b);
        EXPECT_FALSE(Packet::decode(wire));
    }
    wire.push_back('e');  // 27 bytes
    auto packet = Packet::decode(wire);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->data, bytesOf("abcde"));
    EXPECT_EQ(packet->frameSize(), 27u);
    EXPECT_FALSE(Packet::decode({}));
}

TEST(PacketDecode, LengthIsBigEndian) {
    Bytes wire = header(0x13, 34, 0);
    wire[20] = 0x01;  // 00 00 01 00
    EXPECT_EQ(Packet::decodeHeader(wire)->frameSize(), 22u + 256u);
    wire.resize(22 + 256, 0x42);
    auto packet = Packet::decode(wire);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->length, 256u);
    EXPECT_EQ(packet->data->size(), 256u);
}

TEST(PacketDecode, IgnoresBytesAfterThePacket) {
    Bytes wire = header(0x13, 2, 1);
    wire.push_back('x');
    wire.push_back('y');
    auto packet = Packet::decode(wire);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->data, bytesOf("x"));
    EXPECT_EQ(packet->frameSize(), 23u);
}

TEST(PacketDecode, UnknownTypeAndSubTypeBytes) {
    for (std::uint8_t typeByte : {0x00, 0x1B, 0xFF}) {
        auto packet = Packet::decode(header(typeByte, 0x25, 0));
        ASSERT_TRUE(packet);
        EXPECT_EQ(packet->type, PacketType::pktUnknown);
        EXPECT_EQ(packet->subType, InteractionType::undefined);
        EXPECT_EQ(packet->encode()[16], 0x1B);
    }
    for (std::uint8_t subByte : {0x26, 0x80, 0xFF})
        EXPECT_EQ(Packet::decode(header(0x13, subByte, 0))->subType, InteractionType::undefined);
    EXPECT_EQ(Packet::decode(header(0x13, 0x13, 0))->type, PacketType::pktInteractiveTap);
    EXPECT_EQ(Packet::decode(header(0x0D, 0, 0))->type, PacketType::pktClientVersionType);
}

TEST(PacketDecode, HugeAnnouncedLengthWaitsWithoutReadingPastTheBuffer) {
    Bytes wire = header(0x13, 2, 0xFFFFFFFF);
    wire.resize(4096);
    EXPECT_EQ(Packet::decodeHeader(wire)->frameSize(), 22u + 0xFFFFFFFFull);
    EXPECT_FALSE(Packet::decode(wire));
}

TEST(PacketDebugText, NamesIdTypeSubTypeAndLength) {
    Packet packet(sampleId, PacketType::pktInteractiveTap, InteractionType::rdpStart,
                  bytesOf("abc"));
    EXPECT_EQ(packet.debugDescription(),
              "Packet(id: E621E1F8-C36C-495A-93FC-0C247A3E6E5F, type: pktInteractiveTap, "
              "subType: rdpStart, length: 3)");
    std::ostringstream out;
    out << packet;
    EXPECT_EQ(out.str(), packet.debugDescription());
}
