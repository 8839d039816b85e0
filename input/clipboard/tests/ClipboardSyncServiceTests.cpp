#include "input/clipboard/ClipboardSyncService.h"

#include "base/testing/Eventually.h"
#include "base/testing/LogCapture.h"
#include "base/testing/MainLoop.h"
#include "base/testing/ManualClock.h"
#include "platform/pasteboard/convert/ImageCodec.h"
#include "platform/pasteboard/fake/FakePasteboard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vl {
namespace {

[[maybe_unused]] auto* const mainLoop =
    ::testing::AddGlobalTestEnvironment(new testing::MainLoopEnvironment);

using namespace std::chrono_literals;

Bitmap gradient(int width, int height) {
    Bitmap bitmap{width, height, Bytes(static_cast<std::size_t>(width) * height * 4)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            auto* p = &bitmap.rgba[(static_cast<std::size_t>(y) * width + x) * 4];
            p[0] = static_cast<std::uint8_t>(x * 255 / width);
            p[1] = static_cast<std::uint8_t>(y * 255 / height);
            p[2] = 128;
            p[3] = 255;
        }
    return bitmap;
}

Bytes imageFile(ImageFileType type, int width = 40, int height = 30) {
    return ImageCodec::encode(gradient(width, height), type, 0.9).value();
}

class ClipboardSyncTest : public ::testing::Test {
  protected:
    ClipboardSyncTest() { sync_ = ClipboardSyncService::make(pasteboard_, main(), clock_); }
    ~ClipboardSyncTest() override {
        onMain([&] { sync_->stopClipboardMonitor(); });
    }

    static DispatchQueue& main() { return DispatchQueue::main(); }
    static void onMain(const Block& block) { main().sync(block); }
    // Lets blocks queued on the main queue (a poll after a change) run.
    static void drainMain() {
        main().sync([] {});
    }

    void start() {
        onMain([&] {
            sync_->startClipboardMonitor([this](const ClipboardEvent& event) {
                std::lock_guard lock(mutex_);
                sent_.push_back(event);
            });
        });
    }
    // The desktop copies, and the poll that the change triggers has run.
    void copy(std::map<PasteboardType, Bytes> items) {
        pasteboard_->copy(std::move(items));
        drainMain();
    }
    void copyText(std::string_view text) {
        pasteboard_->copyText(text);
        drainMain();
    }
    void receive(ClipboardEvent event) {
        onMain([&] { sync_->handleClipboard(event); });
    }
    void tick() { clock_.advance(ClipboardSyncService::pollInterval); }

    std::vector<ClipboardEvent> sent() {
        drainMain();
        std::lock_guard lock(mutex_);
        return sent_;
    }

    testing::ManualClock clock_;
    std::shared_ptr<FakePasteboard> pasteboard_ = std::make_shared<FakePasteboard>();
    std::shared_ptr<ClipboardSyncService> sync_;
    std::mutex mutex_;
    std::vector<ClipboardEvent> sent_;
};

// MARK: Monitoring

TEST_F(ClipboardSyncTest, ContentPresentAtStartIsNeverSentOnlyLaterChanges) {
    copyText("before the session");
    start();
    tick();
    tick();
    EXPECT_TRUE(sent().empty());

    copyText("during the session");
    const auto events = sent();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (ClipboardEvent{"", ZuPBTypes::text, bytesOf("during the session")}));
}

TEST_F(ClipboardSyncTest, SameTextCopiedTwiceSendsTwoEvents) {
    start();
    copyText("again");
    copyText("again");
    EXPECT_EQ(sent().size(), 2u);
}

TEST_F(ClipboardSyncTest, UnnotifiedChangeIsFoundByThe500msPollAndStopEndsPolling) {
    start();
    pasteboard_->copyText("quiet copy", /*notify=*/false);
    clock_.advance(499ms);
    EXPECT_TRUE(sent().empty());
    clock_.advance(1ms);
    EXPECT_EQ(sent().size(), 1u);

    onMain([&] { sync_->stopClipboardMonitor(); });
    EXPECT_FALSE(pasteboard_->hasChangeHandler());
    pasteboard_->copyText("after stop", /*notify=*/false);
    tick();
    tick();
    EXPECT_EQ(sent().size(), 1u);
    EXPECT_EQ(clock_.pendingCount(), 0u);
}

TEST_F(ClipboardSyncTest, OwnerChangeIsPolledAtOnceWithoutWaitingForTheTimer) {
    start();
    copyText("fast");
    EXPECT_EQ(sent().size(), 1u);
    // The timer finds the change already consumed.
    tick();
    EXPECT_EQ(sent().size(), 1u);
}

TEST_F(ClipboardSyncTest, NothingIsPolledBeforeStartOrAfterTheServiceIsGone) {
    copyText("no session");
    onMain([&] { sync_->pollPasteboardForUpload(); });
    EXPECT_TRUE(sent().empty());

    start();
    onMain([&] { sync_.reset(); });
    pasteboard_->copyText("gone", /*notify=*/false);
    tick();
    EXPECT_TRUE(sent().empty());
    sync_ = ClipboardSyncService::make(pasteboard_, main(), clock_);
}

// MARK: What is uploaded

TEST_F(ClipboardSyncTest, PngAndTiffImagesAreSentAsJpegBeforeAnyText) {
    start();
    for (auto type : {ImageFileType::png, ImageFileType::tiff}) {
        const auto key = type == ImageFileType::png ? PasteboardType::png : PasteboardType::tiff;
        copy({{key, imageFile(type)}, {PasteboardType::string, bytesOf("caption")}});
    }
    const auto events = sent();
    ASSERT_EQ(events.size(), 2u);
    for (const auto& event : events) {
        EXPECT_EQ(event.type, ZuPBTypes::image);
        EXPECT_EQ(ImageCodec::sniff(event.data), ImageFileType::jpeg);
        auto decoded = ImageCodec::decode(event.data);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->width, 40);
        EXPECT_EQ(decoded->height, 30);
    }
}

TEST_F(ClipboardSyncTest, ImageThatDoesNotDecodeIsReportedAndTextIsNotTried) {
    testing::LogCapture log;
    start();
    Bytes broken = imageFile(ImageFileType::png);
    broken.resize(broken.size() / 2);
    copy({{PasteboardType::png, broken}, {PasteboardType::string, bytesOf("text")}});
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(log.contains("could not be re-encoded as JPEG"));
    // Not retried on the next tick.
    tick();
    EXPECT_TRUE(sent().empty());
}

TEST_F(ClipboardSyncTest, RichestTextRepresentationIsSentAlone) {
    start();
    copy({{PasteboardType::rtf, bytesOf("{\\rtf1 hi}")},
          {PasteboardType::html, bytesOf("<b>hi</b>")},
          {PasteboardType::string, bytesOf("hi")}});
    copy({{PasteboardType::html, bytesOf("<b>hi</b>")}, {PasteboardType::string, bytesOf("hi")}});
    copy({{PasteboardType::string, bytesOf("hi")}});
    // Empty representations do not count, and files are never uploaded.
    copy({{PasteboardType::rtf, {}}, {PasteboardType::string, {}}});
    const auto events = sent();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], (ClipboardEvent{"", ZuPBTypes::rtf, bytesOf("{\\rtf1 hi}")}));
    EXPECT_EQ(events[1], (ClipboardEvent{"", ZuPBTypes::html, bytesOf("<b>hi</b>")}));
    EXPECT_EQ(events[2], (ClipboardEvent{"", ZuPBTypes::text, bytesOf("hi")}));
}

TEST_F(ClipboardSyncTest, TextCapIsInclusiveAndAnOversizedRichTypeStopsTheWalk) {
    testing::LogCapture log;
    start();
    copyText(std::string(ClipboardSyncService::textCap, 'a'));
    copyText(std::string(ClipboardSyncService::textCap + 1, 'b'));
    copy({{PasteboardType::html, Bytes(ClipboardSyncService::textCap + 1, 'c')},
          {PasteboardType::string, bytesOf("small")}});
    const auto events = sent();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data.size(), ClipboardSyncService::textCap);
    EXPECT_TRUE(log.contains("text 1048577 bytes exceeds cap, skipping"));
    EXPECT_TRUE(log.contains("html 1048577 bytes exceeds cap, skipping"));
}

// MARK: Applying the client's clipboard

TEST_F(ClipboardSyncTest, ReceivedTextIsAppliedAndNotEchoed) {
    start();
    receive({"any", ZuPBTypes::text, bytesOf("from the headset ✓")});
    EXPECT_EQ(
        pasteboard_->contents(),
        (std::map<PasteboardType, Bytes>{{PasteboardType::string, bytesOf("from the headset ✓")}}));
    tick();
    tick();
    EXPECT_TRUE(sent().empty());
}

TEST_F(ClipboardSyncTest, ReceivedRtfAndHtmlLeaveTheirPlainTextBesideThemAndAreNotEchoed) {
    start();
    const Bytes rtf =
        bytesOf("{\\rtf1\\ansi{\\fonttbl\\f0 Helvetica;}\\f0 Caf\\'e9 {\\b bold}\\par}");
    receive({"", ZuPBTypes::rtf, rtf});
    auto contents = pasteboard_->contents();
    EXPECT_EQ(contents[PasteboardType::rtf], rtf);
    EXPECT_EQ(stringOf(contents[PasteboardType::string]), "Café bold\n");
    tick();

    const Bytes html = bytesOf("<p>one</p><p>two <i>2</i></p>");
    receive({"", ZuPBTypes::html, html});
    contents = pasteboard_->contents();
    EXPECT_EQ(contents[PasteboardType::html], html);
    EXPECT_EQ(stringOf(contents[PasteboardType::string]), "one\ntwo 2");
    tick();

    // RTF that does not parse still lands, with empty text beside it.
    receive({"", ZuPBTypes::rtf, bytesOf("not rtf at all")});
    EXPECT_EQ(stringOf(pasteboard_->contents()[PasteboardType::string]), "");
    tick();
    EXPECT_TRUE(sent().empty());
}

TEST_F(ClipboardSyncTest, ReceivedImageBecomesPngUnlessItIsOverTheCapOrBroken) {
    testing::LogCapture log;
    start();
    receive({"", ZuPBTypes::image, imageFile(ImageFileType::jpeg, 64, 48)});
    auto contents = pasteboard_->contents();
    ASSERT_EQ(contents.size(), 1u);
    const Bytes png = contents[PasteboardType::png];
    EXPECT_EQ(ImageCodec::sniff(png), ImageFileType::png);
    EXPECT_EQ(ImageCodec::decode(png)->width, 64);

    // One byte over the cap: ignored before anything is touched.
    receive({"", ZuPBTypes::image, Bytes(ClipboardSyncService::imageCap + 1, 0xff)});
    EXPECT_TRUE(log.contains("5767169 bytes exceeds cap for image, ignoring"));
    EXPECT_EQ(pasteboard_->contents()[PasteboardType::png], png);

    // Bytes that are no image: the pasteboard is left empty, and that is not sent back.
    receive({"", ZuPBTypes::image, bytesOf("not an image")});
    EXPECT_TRUE(pasteboard_->contents().empty());
    EXPECT_TRUE(log.contains("could not be converted to PNG"));
    tick();
    EXPECT_TRUE(sent().empty());
}

TEST_F(ClipboardSyncTest, TextCapInclusiveInvalidUtf8AndFilesOnReceive) {
    testing::LogCapture log;
    copyText("kept");
    receive({"", ZuPBTypes::file, bytesOf("/etc/passwd")});
    EXPECT_EQ(stringOf(pasteboard_->contents()[PasteboardType::string]), "kept");
    EXPECT_TRUE(log.contains("type file not supported yet, ignoring"));

    receive({"", ZuPBTypes::text, Bytes(ClipboardSyncService::textCap + 1, 'x')});
    EXPECT_EQ(stringOf(pasteboard_->contents()[PasteboardType::string]), "kept");
    receive({"", ZuPBTypes::text, Bytes(ClipboardSyncService::textCap, 'x')});
    EXPECT_EQ(pasteboard_->contents()[PasteboardType::string].size(),
              ClipboardSyncService::textCap);

    receive({"", ZuPBTypes::text, Bytes{'a', 0xc3, 0x28}});
    EXPECT_TRUE(pasteboard_->contents().empty());
    EXPECT_TRUE(log.contains("not valid UTF-8"));
}

// Another program that owns the clipboard and does not answer holds a read until the time-out.
// On its own queue the service leaves the main queue (input) free meanwhile, applies the client's
// clipboard once the read ends, and sends nothing after a stop.
TEST(ClipboardSyncQueueTest, AnOwnerThatDoesNotAnswerHoldsOnlyTheClipboardsQueue) {
    class SilentOwner final : public Pasteboard {
      public:
        std::int64_t changeCount() override { return inner.changeCount(); }
        std::optional<Bytes> data(PasteboardType type) override {
            std::unique_lock lock(mutex_);
            reading_ = true;
            answered_.wait(lock, [&] { return answer_; });
            return inner.data(type);
        }
        std::optional<std::string> string() override { return inner.string(); }
        std::int64_t clearContents() override { return inner.clearContents(); }
        bool setData(ByteView data, PasteboardType type) override {
            return inner.setData(data, type);
        }
        bool setString(std::string_view text) override { return inner.setString(text); }
        void setChangeHandler(std::function<void()> handler) override {
            inner.setChangeHandler(std::move(handler));
        }
        bool reading() {
            std::lock_guard lock(mutex_);
            return reading_;
        }
        void answer() {
            std::lock_guard lock(mutex_);
            answer_ = true;
            answered_.notify_all();
        }
        FakePasteboard inner;

      private:
        std::mutex mutex_;
        std::condition_variable answered_;
        bool reading_ = false, answer_ = false;
    };
    auto pasteboard = std::make_shared<SilentOwner>();
    auto queue = DispatchQueue::dedicated("ClipboardQueue");
    auto sync = ClipboardSyncService::make(pasteboard, *queue);
    std::atomic<int> sent = 0;
    DispatchQueue::main().sync([&] { sync->startClipboardMonitor([&](auto&) { ++sent; }); });
    // Monitoring has begun (what was there at its start is never sent): now another program copies.
    queue->sync([] {});
    pasteboard->inner.copyText("from another program");
    if (!vl::testing::eventually([&] { return pasteboard->reading(); }, 5s, 1ms))
        pasteboard->answer();  // do not leave the queue held
    ASSERT_TRUE(pasteboard->reading()) << "the copy was never read";

    // The main queue runs on, and the client's clipboard and a stop are taken without waiting.
    DispatchQueue::main().sync([&] {
        sync->handleClipboard({"", ZuPBTypes::text, bytesOf("from the client")});
        sync->stopClipboardMonitor();
    });
    pasteboard->answer();
    queue->sync([] {});
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(pasteboard->inner.string(), "from the client");
}

}  // namespace
}  // namespace vl
