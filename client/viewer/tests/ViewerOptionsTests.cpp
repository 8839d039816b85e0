#include "client/viewer/ToneMap.h"
#include "client/viewer/ViewerOptions.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace vl {
namespace {

std::optional<ViewerOptions> parse(std::vector<const char*> words, std::string* error = nullptr) {
    words.insert(words.begin(), "vantrel-link-viewer");
    return parseViewerOptions(static_cast<int>(words.size()), words.data(), error);
}

TEST(ViewerOptions, ReadsTheCommandLine) {
    auto o = parse(
        {"host:9000", "--size", "1280x720@60", "--hdr", "--extra", "800x600", "--fullscreen"});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->target, "host:9000");
    EXPECT_EQ(o->size, "1280x720@60");
    EXPECT_TRUE(o->hdr);
    EXPECT_EQ(o->extra, "800x600");
    EXPECT_TRUE(o->fullscreen);
    EXPECT_FALSE(o->password);
    EXPECT_EQ(parse({})->target, "");  // no host: discovery

    std::string error;
    EXPECT_FALSE(parse({"--size"}, &error));
    EXPECT_EQ(error, "--size needs a value");
    EXPECT_FALSE(parse({"a", "b"}, &error));  // one host only
    EXPECT_FALSE(parse({"--bogus"}, &error));
    EXPECT_EQ(error, "unknown argument '--bogus'");
}

TEST(ViewerOptions, DecoderAndReconnect) {
    using enum HevcDecoderOptions::Device;
    auto o = parse({"h"});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->decoder, automatic);
    EXPECT_TRUE(o->offerReconnect);
    EXPECT_EQ(parse({"--decoder", "software"})->decoder, software);
    EXPECT_EQ(parse({"--decoder", "vaapi"})->decoder, vaapi);
    EXPECT_EQ(parse({"--decoder", "auto"})->decoder, automatic);
    EXPECT_FALSE(parse({"--no-reconnect"})->offerReconnect);
    EXPECT_EQ(parse({})->decodeThreads, 0);
    EXPECT_EQ(parse({"--decode-threads", "3"})->decodeThreads, 3);
    std::string error;
    EXPECT_FALSE(parse({"--decoder", "gpu"}, &error));
    EXPECT_EQ(error, "--decoder is software, vaapi or auto, not 'gpu'");
}

TEST(ViewerOptions, PasswordFromOptionThenFileThenEnvironment) {
    const std::string file = ::testing::TempDir() + "viewer-password";
    std::ofstream(file) << "from file\r\nsecond line\n";
    std::string error;
    EXPECT_EQ(resolvePassword(*parse({"--password", "given", "--password-file", file.c_str()}),
                              "env", &error),
              "given");
    EXPECT_EQ(resolvePassword(*parse({"--password-file", file.c_str()}), "env", &error),
              "from file");
    EXPECT_EQ(resolvePassword(*parse({}), "env", &error), "env");
    // None anywhere: asked for in the window, no error.
    EXPECT_FALSE(resolvePassword(*parse({}), "", &error));
    EXPECT_TRUE(error.empty());
    EXPECT_FALSE(resolvePassword(*parse({"--password-file", "/nonexistent/pw"}), "env", &error));
    EXPECT_EQ(error, "cannot read the password file /nonexistent/pw");
    std::remove(file.c_str());
}

TEST(ToneMap, PQLumaRollsOffIntoTheSdrRange) {
    // Black stays black; reference white (PQ code 0.58 → 10-bit 572) lands high in the range
    // without clipping; 1000 nits (0.752 → 723) reaches white; brighter stays white.
    EXPECT_EQ(toneMapPQ(64), 16);
    const int white203 = toneMapPQ(572);
    EXPECT_GT(white203, 160);
    EXPECT_LT(white203, 235);
    EXPECT_EQ(toneMapPQ(723), 235);
    EXPECT_EQ(toneMapPQ(940), 235);
    int previous = 0;
    for (int v = 0; v < 1024; ++v) {
        ASSERT_GE(toneMapPQ(v), previous) << v;
        previous = toneMapPQ(v);
    }
}

TEST(ToneMap, TenBitPicturesBecomeEightBitPlanes) {
    DecodedPicture p;
    p.width = 4;
    p.height = 2;
    p.bitDepth = 10;
    p.transferCharacteristics = 1;  // SDR 10-bit: cut to 8 bits
    for (int i = 0; i < 3; ++i) {
        const int w = i == 0 ? 4 : 2, h = i == 0 ? 2 : 1;
        p.strides[i] = 2 * w + 4;  // padded rows
        p.planes[i].assign(static_cast<std::size_t>(p.strides[i]) * h, 0);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int v = 4 * (100 + 10 * i + x + y);
                p.planes[i][y * p.strides[i] + 2 * x] = v & 0xFF;
                p.planes[i][y * p.strides[i] + 2 * x + 1] = v >> 8;
            }
    }
    ToneMapper mapper;
    auto out = mapper.convert(p);
    EXPECT_EQ(out.strides[0], 4);
    EXPECT_EQ(out.planes[0][0], 100);
    EXPECT_EQ(out.planes[0][4 + 3], 104);  // row 1, column 3
    EXPECT_EQ(out.planes[2][1], 121);
    // The same picture as PQ: luma goes through the curve, chroma is only cut.
    p.transferCharacteristics = transferPQ;
    out = mapper.convert(p);
    EXPECT_EQ(out.planes[0][0], toneMapPQ(400));
    EXPECT_EQ(out.planes[1][0], 110);
}

}  // namespace
}  // namespace vl
