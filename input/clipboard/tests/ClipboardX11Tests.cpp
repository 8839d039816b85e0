// The clipboard role on the real X11 pasteboard of a private Xvfb, with xclip playing the desktop's
// programs: desktop copies reach the sender with the right type and bytes, the client's content is
// pasted by xclip, and nothing the client sent comes back.
#include "input/clipboard/ClipboardSyncService.h"

#include "base/testing/Eventually.h"
#include "base/testing/MainLoop.h"
#include "base/testing/ManualClock.h"
#include "platform/capture/tests/XvfbServer.h"
#include "platform/pasteboard/convert/ImageCodec.h"
#include "platform/pasteboard/tests/XclipWitness.h"
#include "platform/pasteboard/x11/X11Pasteboard.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace vl {
namespace {

[[maybe_unused]] auto* const mainLoop =
    ::testing::AddGlobalTestEnvironment(new testing::MainLoopEnvironment);

using namespace std::chrono_literals;
using testing::eventually;

Bytes pngOf(int width, int height) {
    Bitmap bitmap{width, height, Bytes(static_cast<std::size_t>(width) * height * 4, 0)};
    for (std::size_t i = 0; i < bitmap.rgba.size(); i += 4) {
        bitmap.rgba[i] = 200;
        bitmap.rgba[i + 1] = static_cast<std::uint8_t>(i / 4 % 256);
        bitmap.rgba[i + 2] = 40;
        bitmap.rgba[i + 3] = 255;
    }
    return ImageCodec::encode(bitmap, ImageFileType::png).value();
}

class ClipboardX11Test : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server_ = new test::XvfbServer(64, 64, 85, 99); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    void SetUp() override {
        if (!server_->running()) GTEST_SKIP() << "no Xvfb";
        xclip_ = std::make_unique<test::XclipWitness>(
            server_->name(), ::testing::UnitTest::GetInstance()->current_test_info()->name());
        pasteboard_ = std::make_shared<X11Pasteboard>(server_->name(), [](const std::string&) {});
        sync_ = ClipboardSyncService::make(pasteboard_, DispatchQueue::main(), clock_);
        DispatchQueue::main().sync([&] {
            sync_->startClipboardMonitor([this](const ClipboardEvent& event) {
                std::lock_guard lock(mutex_);
                sent_.push_back(event);
            });
        });
    }
    void TearDown() override {
        if (sync_) DispatchQueue::main().sync([&] { sync_->stopClipboardMonitor(); });
        sync_.reset();
        pasteboard_.reset();
        xclip_.reset();
    }

    std::vector<ClipboardEvent> sent() {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    void receive(ClipboardEvent event) {
        DispatchQueue::main().sync([&] { sync_->handleClipboard(event); });
    }
    // Polls as the 500 ms timer would, after X events in flight have arrived.
    void pollTwice() {
        std::this_thread::sleep_for(200ms);
        clock_.advance(ClipboardSyncService::pollInterval);
        clock_.advance(ClipboardSyncService::pollInterval);
        DispatchQueue::main().sync([] {});
    }

    static test::XvfbServer* server_;
    testing::ManualClock clock_;
    std::unique_ptr<test::XclipWitness> xclip_;
    std::shared_ptr<X11Pasteboard> pasteboard_;
    std::shared_ptr<ClipboardSyncService> sync_;
    std::mutex mutex_;
    std::vector<ClipboardEvent> sent_;
};

test::XvfbServer* ClipboardX11Test::server_ = nullptr;

TEST_F(ClipboardX11Test, DesktopCopiesReachTheClientAtOnceWithTheirType) {
    // No clock advance: the owner change alone triggers the poll.
    ASSERT_TRUE(xclip_->copy("UTF8_STRING", bytesOf("copied on the desktop ✓")));
    ASSERT_TRUE(eventually([&] { return sent().size() == 1; }));
    EXPECT_EQ(sent()[0], (ClipboardEvent{"", ZuPBTypes::text, bytesOf("copied on the desktop ✓")}));

    ASSERT_TRUE(xclip_->copy("text/html", bytesOf("<b>bold</b>")));
    ASSERT_TRUE(eventually([&] { return sent().size() == 2; }));
    EXPECT_EQ(sent()[1], (ClipboardEvent{"", ZuPBTypes::html, bytesOf("<b>bold</b>")}));

    ASSERT_TRUE(xclip_->copy("image/png", pngOf(120, 80)));
    ASSERT_TRUE(eventually([&] { return sent().size() == 3; }));
    const auto image = sent()[2];
    EXPECT_EQ(image.type, ZuPBTypes::image);
    EXPECT_EQ(ImageCodec::sniff(image.data), ImageFileType::jpeg);
    auto decoded = ImageCodec::decode(image.data);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 120);
    EXPECT_EQ(decoded->height, 80);
}

TEST_F(ClipboardX11Test, ClientContentIsPastedOnTheDesktopAndNeverEchoed) {
    receive({"", ZuPBTypes::text, bytesOf("from the headset é")});
    EXPECT_EQ(xclip_->paste("UTF8_STRING"), bytesOf("from the headset é"));

    const Bytes rtf =
        bytesOf("{\\rtf1\\ansi{\\fonttbl\\f0 Times;}\\f0 Na\\'efve {\\b caf\\'e9}\\par}");
    receive({"", ZuPBTypes::rtf, rtf});
    EXPECT_EQ(xclip_->paste("text/rtf"), rtf);
    EXPECT_EQ(xclip_->paste("UTF8_STRING"), bytesOf("Naïve café\n"));

    Bitmap bitmap{32, 24, Bytes(32 * 24 * 4, 255)};
    receive({"", ZuPBTypes::image, ImageCodec::encode(bitmap, ImageFileType::jpeg, 0.9).value()});
    auto png = xclip_->paste("image/png");
    ASSERT_TRUE(png);
    EXPECT_EQ(ImageCodec::sniff(*png), ImageFileType::png);
    EXPECT_EQ(ImageCodec::decode(*png)->width, 32);

    pollTwice();
    EXPECT_TRUE(sent().empty());

    // A copy on the desktop afterwards is still sent.
    ASSERT_TRUE(xclip_->copy("UTF8_STRING", bytesOf("next")));
    EXPECT_TRUE(eventually([&] { return sent().size() == 1; }));
}

}  // namespace
}  // namespace vl
