// The share command's parts: the descriptors it asks for, its key-frame count, where a stream's
// units go (recorded byte for byte, every one decoded before finish returns), and the snapshot.
#include "Capture/VNSCapture.h"
#include "client/PngFile.h"
#include "client/ShareRequest.h"
#include "client/StreamStats.h"
#include "client/VideoSink.h"
#include "comm/DisplayDescriptor.h"
#include "platform/capture/fake/FakeCaptureService.h"
#include "platform/videocodec/x265/X265VideoCodecService.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>

using namespace vl;

namespace {

std::filesystem::path scratchDirectory() {
    return "/tmp/vl-share/client-tests-" + std::to_string(getpid());
}

std::string scratch(const std::string& name) {
    std::filesystem::create_directories(scratchDirectory());
    return (scratchDirectory() / name).string();
}

class ScratchCleanup : public ::testing::Environment {
  public:
    void TearDown() override { std::filesystem::remove_all(scratchDirectory()); }
};
[[maybe_unused]] const auto* scratchCleanup =
    ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Real HEVC: the fake display's test pattern through the capture and x265.
std::vector<Bytes> encodedUnits(int count, int width, int height) {
    auto captureService = std::make_shared<FakeCaptureService>();
    captureService->setDisplays({{1, width, height}});
    VNSCaptureConfig config;
    config.fps = 60;
    auto capture =
        VNSCapture::make(config, {captureService, std::make_shared<X265VideoCodecService>()});
    std::mutex mutex;
    std::vector<Bytes> units;
    std::promise<std::optional<VNSCaptureError>> started;
    capture->startCapture(
        1,
        [&](Bytes unit) {
            std::lock_guard lock(mutex);
            units.push_back(std::move(unit));
        },
        [&](std::optional<VNSCaptureError> error) { started.set_value(error); });
    EXPECT_FALSE(started.get_future().get());
    for (int i = 0; i < count; ++i) {
        captureService->emitFrame(1);
        (void)capture->frameCount();  // one frame encoded before the next
    }
    capture->stopCapture();
    std::lock_guard lock(mutex);
    return units;
}

}  // namespace

TEST(ShareRequest, DescriptorsParseBackAndTheExtraDisplayInheritsRateAndHdr) {
    std::string error;
    auto request = ShareRequest::make("1920x1080@60", true, std::string("1280x720"), &error);
    ASSERT_TRUE(request) << error;
    auto main = parseDisplayDescriptor(request->descriptor);
    ASSERT_TRUE(main);
    EXPECT_EQ(*main, (DisplayDescriptor{1920, 1080, 60, true, false}));
    auto extra = parseDisplayDescriptor(*request->extraDescriptor);
    ASSERT_TRUE(extra);
    EXPECT_EQ(*extra, (DisplayDescriptor{1280, 720, 60, true, false}));

    // A rate of its own stands; no rate anywhere is the server's default.
    request = ShareRequest::make("2560x1440", false, std::string("1366x768@30"), &error);
    ASSERT_TRUE(request) << error;
    EXPECT_EQ(parseDisplayDescriptor(request->descriptor)->fps, 30);
    EXPECT_FALSE(parseDisplayDescriptor(request->descriptor)->hdr);
    EXPECT_EQ(parseDisplayDescriptor(*request->extraDescriptor)->fps, 30);
    EXPECT_FALSE(ShareRequest::make("2560x1440", false, std::nullopt, &error)->extraDescriptor);

    for (const char* bad : {"", "1920", "@60", "0x1080@60", "1920x99999999999@60"}) {
        error.clear();
        EXPECT_FALSE(ShareRequest::make(bad, false, std::nullopt, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    EXPECT_FALSE(ShareRequest::make("1920x1080", false, std::string("big"), &error));
}

TEST(ShareRequest, TheExtraRecordingSitsBesideTheMainOne) {
    EXPECT_EQ(extraRecordPath("out.hevc"), "out-extra.hevc");
    EXPECT_EQ(extraRecordPath("/tmp/a.b/run.265"), "/tmp/a.b/run-extra.265");
    EXPECT_EQ(extraRecordPath("/tmp/a.b/run"), "/tmp/a.b/run-extra.hevc");
}

TEST(StreamStats, CountsKeyFramesByTheirFirstUnitWithEitherStartCode) {
    StreamStats stats;
    stats.add(Bytes{0, 0, 0, 1, 0x40, 0x01, 0x0c});  // VPS
    stats.add(Bytes{0, 0, 1, 0x26, 0x01, 0xaf});     // IDR_W_RADL, 3-byte start code
    stats.add(Bytes{0, 0, 0, 1, 0x02, 0x01, 0xd0});  // TRAIL_R: a P picture
    stats.add(Bytes{0, 0, 0, 1});                    // start code only
    stats.add(Bytes{0x40, 0x01, 0x0c});              // no start code
    StreamStats earlier = stats;
    stats.add(Bytes(1000, 0));
    EXPECT_EQ(stats.frames, 6u);
    EXPECT_EQ(stats.keyFrames, 2u);
    EXPECT_EQ(stats.since(earlier).frames, 1u);
    EXPECT_EQ(stats.since(earlier).bytes, 1000u);
    EXPECT_DOUBLE_EQ(stats.since(earlier).megabitsPerSecond(0.5), 0.016);
    EXPECT_DOUBLE_EQ(stats.fps(0), 0);
}

TEST(VideoSink, RecordsEveryUnitAndDecodesAllOfThemBeforeFinishReturns) {
    auto units = encodedUnits(12, 320, 240);
    ASSERT_EQ(units.size(), 12u);

    const std::string path = scratch("sink.hevc");
    std::vector<VideoSink::Clock::time_point> arrivals;
    VideoSink::Options options;
    options.recordPath = path;
    options.decode = true;
    options.keepLastPicture = true;
    options.onPicture = [&](const DecodedPicture&, VideoSink::Clock::time_point arrived) {
        arrivals.push_back(arrived);
    };
    std::string error;
    auto sink = VideoSink::open(options, &error);
    ASSERT_TRUE(sink) << error;
    Bytes all;
    for (const Bytes& unit : units) {
        sink->push(unit);
        all.insert(all.end(), unit.begin(), unit.end());
    }
    sink->finish();  // at once: the decoder is most likely still behind
    sink->finish();

    EXPECT_EQ(readFile(path), all);
    EXPECT_TRUE(sink->recordOk());
    EXPECT_EQ(sink->stats().frames, 12u);
    EXPECT_EQ(sink->stats().keyFrames, 1u);
    EXPECT_EQ(sink->picturesDecoded(), 12u);
    EXPECT_EQ(sink->decodeErrors(), 0) << sink->lastDecodeError();
    ASSERT_EQ(arrivals.size(), 12u);
    EXPECT_TRUE(std::is_sorted(arrivals.begin(), arrivals.end()));

    // The kept picture is the last one of the stream, not an earlier one.
    auto reference = HevcDecoder::create();
    std::vector<DecodedPicture> pictures;
    for (const Bytes& unit : units)
        for (auto& picture : reference->decode(unit)) pictures.push_back(std::move(picture));
    ASSERT_EQ(pictures.size(), 12u);
    auto last = sink->lastPicture();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->width, 320);
    EXPECT_EQ(last->height, 240);
    EXPECT_EQ(last->planes[0], pictures.back().planes[0]);
    EXPECT_NE(last->planes[0], pictures[10].planes[0]);  // the pattern moves from frame to frame

    // Units after finish are counted but neither recorded nor decoded.
    sink->push(units[0]);
    EXPECT_EQ(readFile(path), all);
    EXPECT_EQ(sink->picturesDecoded(), 12u);
}

TEST(VideoSink, GarbageIsCountedAsDecodeErrorsAndAnUnwritableRecordIsRefused) {
    VideoSink::Options options;
    options.decode = true;
    std::string error;
    auto sink = VideoSink::open(options, &error);
    ASSERT_TRUE(sink) << error;
    sink->push(Bytes{0, 0, 0, 1, 0x26, 0x01, 0xff, 0xff, 0xff, 0xff});
    sink->push(Bytes(64, 0xAB));
    sink->finish();
    EXPECT_EQ(sink->picturesDecoded(), 0u);
    EXPECT_GT(sink->decodeErrors(), 0);
    EXPECT_EQ(sink->stats().frames, 2u);

    options.recordPath = "/nonexistent-dir/out.hevc";
    EXPECT_FALSE(VideoSink::open(options, &error));
    EXPECT_NE(error.find("/nonexistent-dir/out.hevc"), std::string::npos);
}

TEST(PngFile, WritesAPictureThatDecodesBackToTheSamePixels) {
    const int width = 37, height = 11;  // odd sizes: rows are not padded in the input
    Bytes rgb(static_cast<std::size_t>(width) * height * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>(i * 7 + i / 3);
    const std::string path = scratch("picture.png");
    std::string error;
    ASSERT_TRUE(writePng(path, width, height, rgb, &error)) << error;

    Bytes file = readFile(path);
    ASSERT_GT(file.size(), 8u);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    ASSERT_TRUE(codec);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    ASSERT_EQ(avcodec_open2(context, codec, nullptr), 0);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    packet->data = file.data();
    packet->size = static_cast<int>(file.size());
    ASSERT_EQ(avcodec_send_packet(context, packet), 0);
    ASSERT_EQ(avcodec_receive_frame(context, frame), 0);
    EXPECT_EQ(frame->width, width);
    EXPECT_EQ(frame->height, height);
    ASSERT_EQ(frame->format, AV_PIX_FMT_RGB24);
    int differences = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 3; ++x)
            differences += frame->data[0][y * frame->linesize[0] + x] != rgb[y * width * 3 + x];
    EXPECT_EQ(differences, 0);
    packet->data = nullptr;
    packet->size = 0;
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);

    EXPECT_FALSE(writePng(path, width, height + 1, rgb, &error));  // too few bytes
    EXPECT_FALSE(writePng(path, 0, 0, {}, &error));
    EXPECT_FALSE(writePng("/nonexistent-dir/p.png", width, height, rgb, &error));
    EXPECT_FALSE(std::filesystem::exists("/nonexistent-dir/p.png"));
}
