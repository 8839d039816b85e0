// The viewer's clipboard on a private Xvfb standing in for the viewer machine, with xclip as that
// machine's programs: a local copy goes out as a clipboard message, an incoming message is what
// xclip pastes, and what came in is not sent back.
#include "client/viewer/clipboard/ViewerClipboard.h"

#include "base/testing/Eventually.h"
#include "platform/capture/tests/XvfbServer.h"
#include "platform/pasteboard/convert/ImageCodec.h"
#include "platform/pasteboard/tests/XclipWitness.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace vl {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

class ViewerClipboardTest : public ::testing::Test {
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
        clipboard_ = std::make_unique<ViewerClipboard>(
            [this](const ClipboardEvent& event) {
                std::lock_guard lock(mutex_);
                sent_.push_back(event);
            },
            server_->name());
        ASSERT_TRUE(clipboard_->connected());
    }
    void TearDown() override {
        clipboard_.reset();
        xclip_.reset();
    }

    std::vector<ClipboardEvent> sent() {
        std::lock_guard lock(mutex_);
        return sent_;
    }

    static test::XvfbServer* server_;
    std::unique_ptr<test::XclipWitness> xclip_;
    std::unique_ptr<ViewerClipboard> clipboard_;
    std::mutex mutex_;
    std::vector<ClipboardEvent> sent_;
};

test::XvfbServer* ViewerClipboardTest::server_ = nullptr;

TEST_F(ViewerClipboardTest, LocalCopiesAreSentWithTheirType) {
    ASSERT_TRUE(xclip_->copy("UTF8_STRING", bytesOf("copied in the viewer ✓")));
    ASSERT_TRUE(eventually([&] { return sent().size() == 1; }));
    EXPECT_EQ(sent()[0], (ClipboardEvent{"", ZuPBTypes::text, bytesOf("copied in the viewer ✓")}));

    Bitmap bitmap{40, 30, Bytes(40 * 30 * 4, 128)};
    ASSERT_TRUE(xclip_->copy("image/png", ImageCodec::encode(bitmap, ImageFileType::png).value()));
    ASSERT_TRUE(eventually([&] { return sent().size() == 2; }));
    EXPECT_EQ(sent()[1].type, ZuPBTypes::image);
    EXPECT_EQ(ImageCodec::sniff(sent()[1].data), ImageFileType::jpeg);
}

TEST_F(ViewerClipboardTest, IncomingMessagesArePastedInOrderAndNotSentBack) {
    clipboard_->handle({"", ZuPBTypes::text, bytesOf("first")});
    clipboard_->handle({"", ZuPBTypes::html, bytesOf("<p>from the <i>desktop</i></p>")});
    ASSERT_TRUE(eventually([&] { return xclip_->paste("text/html").has_value(); }, 10s, 50ms));
    EXPECT_EQ(xclip_->paste("text/html"), bytesOf("<p>from the <i>desktop</i></p>"));
    EXPECT_EQ(xclip_->paste("UTF8_STRING"), bytesOf("from the desktop"));

    // Past a polling tick: our own content must not have been sent.
    std::this_thread::sleep_for(700ms);
    EXPECT_TRUE(sent().empty());
    ASSERT_TRUE(xclip_->copy("UTF8_STRING", bytesOf("next")));
    ASSERT_TRUE(eventually([&] { return !sent().empty(); }));
    EXPECT_EQ(sent(), (std::vector<ClipboardEvent>{{"", ZuPBTypes::text, bytesOf("next")}}));
}

TEST(ViewerClipboardWithoutDisplay, DoesNothingAndNeverSends) {
    bool called = false;
    ViewerClipboard clipboard([&](const ClipboardEvent&) { called = true; }, ":9999");
    EXPECT_FALSE(clipboard.connected());
    clipboard.handle({"", ZuPBTypes::text, bytesOf("lost")});
    EXPECT_FALSE(called);
}

}  // namespace
}  // namespace vl
