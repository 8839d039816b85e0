// lensway against a real PipeWire and WirePlumber on a private session bus, with GStreamer's
// pipewiresrc as the application that opens the camera.
#include "Lensway/LenswayContract.h"
#include "Lensway/tests/PrivateMediaSession.h"
#include "base/testing/Eventually.h"
#include "client/CameraSource.h"
#include "platform/cameradevices/lensway/LenswayCameraDevices.h"
#include "platform/notify/sdbus/SdBusNotifyCenter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vl;
using namespace vl::lensway;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace {

struct Frame {
    Bytes bytes;
    SteadyClock::time_point arrived;
};

// An application reading the camera: gst-launch-1.0 with a caps filter for the size, writing the
// raw frames into a pipe that the test reads.
class GstConsumer {
  public:
    GstConsumer(vl::testing::PrivateMediaSession& session, int width, int height, int buffers)
        : width_(width), height_(height) {
        static int consumers = 0;
        const std::string name = std::to_string(width) + "-" + std::to_string(++consumers);
        fifo_ = session.runtimeFolder() / ("frames-" + name + ".nv12");
        ::mkfifo(fifo_.c_str(), 0600);
        fd_ = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const std::string caps = "video/x-raw,format=NV12,width=" + std::to_string(width) +
                                 ",height=" + std::to_string(height);
        process_ = session.spawn(
            {"gst-launch-1.0", "-q", "pipewiresrc", "target-object=corvane-persona-camera",
             "num-buffers=" + std::to_string(buffers), "!", caps, "!", "filesink",
             "location=" + fifo_.string()},
            "gst-" + name + ".log");
    }
    ~GstConsumer() {
        stop();
        if (fd_ >= 0) ::close(fd_);
        ::unlink(fifo_.c_str());
    }
    void stop() {
        if (process_) process_->stop();
    }
    bool finished() { return !process_ || !process_->running(); }

    // The next whole frame, or none when none comes in time.
    std::optional<Frame> next(std::chrono::milliseconds timeout = 10s) {
        const std::size_t size = static_cast<std::size_t>(width_) * height_ * 3 / 2;
        const auto deadline = SteadyClock::now() + timeout;
        while (pending_.size() < size && SteadyClock::now() < deadline) {
            pollfd readable{fd_, POLLIN, 0};
            if (::poll(&readable, 1, 50) <= 0) continue;
            std::uint8_t chunk[1 << 16];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n > 0) pending_.insert(pending_.end(), chunk, chunk + n);
        }
        if (pending_.size() < size) return std::nullopt;
        Frame frame{Bytes(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size)),
                    SteadyClock::now()};
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size));
        return frame;
    }

    int luma(const Frame& frame, int x, int y) const { return frame.bytes[y * width_ + x]; }
    std::pair<int, int> chroma(const Frame& frame, int x, int y) const {
        const std::size_t at = static_cast<std::size_t>(width_) * height_ +
                               static_cast<std::size_t>(y / 2) * width_ + (x / 2) * 2;
        return {frame.bytes[at], frame.bytes[at + 1]};
    }

  private:
    int width_, height_;
    std::filesystem::path fifo_;
    int fd_ = -1;
    std::optional<ChildProcess> process_;
    Bytes pending_;
};

class LenswayPipeWireTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        session = vl::testing::PrivateMediaSession::start().release();
        if (!session) return;
        lensway = new std::optional<ChildProcess>(
            session->spawn({LENSWAY_PROGRAM, "--no-v4l2", "--socket",
                            (session->runtimeFolder() / "lensway" / "camera.sock").string()},
                           "lensway.log"));
        notify = SdBusNotifyCenter::open(session->busAddress()).release();
    }
    static void TearDownTestSuite() {
        delete notify;
        delete lensway;
        delete session;
    }
    void SetUp() override {
        ASSERT_TRUE(session) << "PipeWire, WirePlumber or the session bus did not start";
        ASSERT_TRUE(*lensway && (*lensway)->running());
        ASSERT_TRUE(notify);
        for (const auto& name :
             {std::string(formatPrefix) + "1280x720", std::string(formatPrefix) + "1920x1080",
              std::string(formatStopName)})
            tokens_.push_back(*notify->addObserver(name, [this](const std::string& posted) {
                std::lock_guard lock(mutex_);
                formats_.push_back(posted);
            }));
    }
    void TearDown() override {
        for (auto token : tokens_) notify->removeObserver(token);
    }
    bool cameraListed() {
        return vl::testing::PrivateMediaSession::output("pw-cli ls Node")
                   .find("corvane-persona-camera") != std::string::npos;
    }
    bool notified(const std::string& name) {
        return vl::testing::eventually(
            [&] {
                std::lock_guard lock(mutex_);
                return std::find(formats_.begin(), formats_.end(), name) != formats_.end();
            },
            10s, 20ms);
    }
    // Notifications are not kept for later: the daemon must observe before the show is posted.
    bool lenswayReady() {
        std::ifstream log(session->runtimeFolder() / "lensway.log");
        std::string text((std::istreambuf_iterator<char>(log)), {});
        return text.find("lensway: ready") != std::string::npos;
    }
    void show() {
        ASSERT_TRUE(vl::testing::eventually([&] { return lenswayReady(); }, 10s, 20ms));
        notify->post(showDeviceName);
        ASSERT_TRUE(vl::testing::eventually([&] { return cameraListed(); }, 10s, 100ms));
    }

    static inline vl::testing::PrivateMediaSession* session = nullptr;
    static inline std::optional<ChildProcess>* lensway = nullptr;
    static inline SdBusNotifyCenter* notify = nullptr;
    std::mutex mutex_;
    std::vector<std::string> formats_;
    std::vector<NotifyCenter::Token> tokens_;
};

TEST_F(LenswayPipeWireTest, AfterShowAConsumerGetsThePlaceholderAt25FpsAndItsSizeIsAnnounced) {
    // The daemon runs, but the server has not shown the camera yet.
    ASSERT_TRUE(vl::testing::eventually([&] { return lenswayReady(); }, 10s, 20ms));
    EXPECT_FALSE(cameraListed());
    show();

    GstConsumer consumer(*session, 1280, 720, 60);
    std::vector<Frame> frames;
    while (frames.size() < 60)
        if (auto frame = consumer.next())
            frames.push_back(std::move(*frame));
        else
            break;
    ASSERT_EQ(frames.size(), 60u);
    EXPECT_TRUE(notified(std::string(formatPrefix) + "1280x720"));

    // Pacing: most frames arrive 40 ms apart. The median stands up to a reader that a loaded
    // machine holds back now and then (two frames arrive together, then none for a while).
    std::vector<double> intervals;
    for (std::size_t i = 11; i < frames.size(); ++i)
        intervals.push_back(
            std::chrono::duration<double, std::milli>(frames[i].arrived - frames[i - 1].arrived)
                .count());
    std::sort(intervals.begin(), intervals.end());
    const double medianMs = intervals[intervals.size() / 2];
    EXPECT_GT(medianMs, 30.0);
    EXPECT_LT(medianMs, 50.0);

    // The placeholder: black, with light text in a band around the middle.
    const Frame& last = frames.back();
    int text = 0, outsideBand = 0;
    for (int y = 0; y < 720; ++y)
        for (int x = 0; x < 1280; ++x)
            if (consumer.luma(last, x, y) == 235) {
                ++text;
                if (y < 250 || y > 480) ++outsideBand;
            }
    EXPECT_GT(text, 2000);
    EXPECT_EQ(outsideBand, 0);
    EXPECT_EQ(consumer.luma(last, 5, 5), 16);
    EXPECT_EQ(consumer.chroma(last, 5, 5), std::make_pair(128, 128));

    // The consumer has all it asked for and goes: the camera is no longer used.
    EXPECT_TRUE(vl::testing::eventually([&] { return consumer.finished(); }, 10s, 20ms));
    EXPECT_TRUE(notified(formatStopName));
}

TEST_F(LenswayPipeWireTest, FramesWrittenThroughThePropertyChannelAppearAtTheConsumersSize) {
    show();
    GstConsumer consumer(*session, 1920, 1080, 1000);
    ASSERT_TRUE(consumer.next());
    EXPECT_TRUE(notified(std::string(formatPrefix) + "1920x1080"));

    // The server's side: the device by its UID, then the client's access units (a small picture:
    // the camera scales it to the consumer's size).
    LenswayCameraDevices devices(session->runtimeFolder() / "lensway" / "camera.sock");
    const auto device = devices.deviceWithUID(deviceUID);
    ASSERT_TRUE(device);
    std::string error;
    auto encoder = CameraEncoder::create(480, 270, &error);
    ASSERT_TRUE(encoder) << error;
    TestPattern pattern(480, 270);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(devices.setEncodedFrame(*device, encoder->encode(pattern.nextFrame())),
                  CameraStatus::noErr);

    const int centres[4][2] = {{480, 270}, {1440, 270}, {480, 810}, {1440, 810}};
    auto showsPattern = [&](const Frame& frame) {
        for (int q = 0; q < 4; ++q) {
            const auto colour = TestPattern::quadrantColours[static_cast<std::size_t>(q)];
            const auto [u, v] = consumer.chroma(frame, centres[q][0], centres[q][1]);
            if (std::abs(consumer.luma(frame, centres[q][0], centres[q][1]) - colour.y) > 8 ||
                std::abs(u - colour.u) > 10 || std::abs(v - colour.v) > 10)
                return false;
        }
        return true;
    };
    bool seen = false;
    for (int i = 0; i < 100 && !seen; ++i) {
        auto frame = consumer.next();
        ASSERT_TRUE(frame);
        seen = showsPattern(*frame);
    }
    EXPECT_TRUE(seen) << "the decoded pattern never reached the consumer";

    // Nothing new is written: the last picture keeps coming.
    auto later = consumer.next();
    ASSERT_TRUE(later);
    EXPECT_TRUE(showsPattern(*later));

    consumer.stop();
    EXPECT_TRUE(notified(formatStopName));
    notify->post(hideDeviceName);
    EXPECT_TRUE(vl::testing::eventually([&] { return !cameraListed(); }, 10s, 100ms));
}

TEST_F(LenswayPipeWireTest, TwoConsumersShareTheCameraAndTheFirstLeavingStopsNothing) {
    show();
    GstConsumer first(*session, 1280, 720, 1000);
    ASSERT_TRUE(first.next());
    // Both applications read all along: the buffers are shared, so one that stops reading would
    // hold the other back.
    GstConsumer second(*session, 1280, 720, 1000);
    int firstFrames = 0, secondFrames = 0;
    for (int i = 0; i < 400 && (firstFrames < 10 || secondFrames < 10); ++i) {
        if (first.next(10ms)) ++firstFrames;
        if (second.next(10ms)) ++secondFrames;
    }
    EXPECT_GE(firstFrames, 10);
    ASSERT_GE(secondFrames, 10) << "the second application got no pictures beside the first";

    first.stop();
    {
        std::lock_guard lock(mutex_);
        formats_.clear();
    }
    // The one left keeps getting frames, none faster than the camera's pace (25 a second), and
    // the camera is not stopped. A stall shows as a frame that does not come; how much slower
    // they arrive depends on how busy the machine is, so it is not judged here (arrivals at 60 ms
    // a frame were seen under load).
    auto from = second.next();
    ASSERT_TRUE(from);
    std::optional<Frame> to;
    for (int i = 0; i < 25; ++i) {
        to = second.next();
        ASSERT_TRUE(to) << "frames stopped for the remaining application after " << i;
    }
    const double perFrameMs =
        std::chrono::duration<double, std::milli>(to->arrived - from->arrived).count() / 25;
    EXPECT_GT(perFrameMs, 30.0);
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(std::count(formats_.begin(), formats_.end(), std::string(formatStopName)), 0);
    }

    second.stop();
    EXPECT_TRUE(notified(formatStopName));
    notify->post(hideDeviceName);
    EXPECT_TRUE(vl::testing::eventually([&] { return !cameraListed(); }, 10s, 100ms));
}

}  // namespace
