#include "virtualAudio/PropertyChannel.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vl::micchannel {
namespace {

TEST(PropertyChannel, MessagesSurviveAnyCuttingOfTheStream) {
    const std::vector<Message> sent = {
        {Kind::get, 7, 0x6d72756e, 0, std::monostate{}},
        {Kind::reply, 7, 0x6d72756e, 0, std::uint32_t(1)},
        {Kind::set, 8, 0x6d70636d, 0, Bytes(3840, 0xab)},
        {Kind::reply, 8, 0x6d70636d, -5, Bytes{}},
    };
    Bytes stream;
    for (const auto& m : sent) {
        Bytes one = encode(m);
        stream.insert(stream.end(), one.begin(), one.end());
    }
    for (std::size_t cut : {std::size_t(1), std::size_t(5), std::size_t(4096)}) {
        MessageReader reader;
        std::vector<Message> got;
        for (std::size_t at = 0; at < stream.size(); at += cut) {
            reader.append(ByteView(stream).subspan(at, std::min(cut, stream.size() - at)));
            while (auto m = reader.next()) got.push_back(*m);
        }
        ASSERT_EQ(got.size(), sent.size()) << cut;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].kind, sent[i].kind);
            EXPECT_EQ(got[i].request, sent[i].request);
            EXPECT_EQ(got[i].selector, sent[i].selector);
            EXPECT_EQ(got[i].status, sent[i].status);
            EXPECT_EQ(got[i].value, sent[i].value);
        }
        EXPECT_FALSE(reader.broken());
    }
}

TEST(PropertyChannel, AnUnframableMessageBreaksTheReader) {
    MessageReader huge;
    Bytes header(4);
    const std::uint32_t size = maxMessageSize + 1;
    std::memcpy(header.data(), &size, 4);
    huge.append(header);
    EXPECT_FALSE(huge.next());
    EXPECT_TRUE(huge.broken());

    // A number whose value is not four bytes.
    Bytes bad = encode({Kind::reply, 1, 2, 0, std::uint32_t(3)});
    bad.push_back(0);
    const std::uint32_t longer = static_cast<std::uint32_t>(bad.size() - 4);
    std::memcpy(bad.data(), &longer, 4);
    MessageReader reader;
    reader.append(bad);
    EXPECT_FALSE(reader.next());
    EXPECT_TRUE(reader.broken());
}

}  // namespace
}  // namespace vl::micchannel
