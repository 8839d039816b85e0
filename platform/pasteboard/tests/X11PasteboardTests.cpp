// The X11 pasteboard against a private Xvfb, with xclip as the independent witness both ways.
#include "platform/pasteboard/x11/X11Pasteboard.h"

#include "base/testing/Eventually.h"
#include "platform/capture/tests/XvfbServer.h"
#include "platform/pasteboard/tests/XclipWitness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include <xcb/xcb.h>

namespace vl {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

class X11PasteboardTest : public ::testing::Test {
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
    }
    void TearDown() override { xclip_.reset(); }

    std::unique_ptr<X11Pasteboard> makePasteboard(std::chrono::milliseconds timeout = 2000ms) {
        X11Pasteboard::Options options;
        options.timeout = timeout;
        return std::make_unique<X11Pasteboard>(
            server_->name(), [this](const std::string&) { ++reports_; }, options);
    }

    void xclipCopy(const std::string& target, const Bytes& content) {
        ASSERT_TRUE(xclip_->copy(target, content));
    }
    std::optional<Bytes> xclipPaste(const std::string& target) { return xclip_->paste(target); }

    static Bytes pattern(std::size_t size) {
        Bytes bytes(size);
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>('a' + i % 26);
        return bytes;
    }

    static test::XvfbServer* server_;
    std::unique_ptr<test::XclipWitness> xclip_;
    std::atomic<int> reports_{0};  // written on the pasteboard's thread
};

test::XvfbServer* X11PasteboardTest::server_ = nullptr;

TEST_F(X11PasteboardTest, DesktopCopiesAreCountedAnnouncedAndReadWithTheirType) {
    auto pasteboard = makePasteboard();
    ASSERT_TRUE(pasteboard->connected());
    std::atomic<int> announced{0};
    pasteboard->setChangeHandler([&] { ++announced; });
    const auto before = pasteboard->changeCount();
    EXPECT_FALSE(pasteboard->string());

    xclipCopy("UTF8_STRING", bytesOf("héllo from the desktop ✓"));
    ASSERT_TRUE(eventually([&] { return pasteboard->changeCount() > before; }));
    EXPECT_TRUE(eventually([&] { return announced > 0; }));
    EXPECT_EQ(pasteboard->string(), "héllo from the desktop ✓");
    EXPECT_FALSE(pasteboard->data(PasteboardType::html));

    const Bytes html = bytesOf("<p>rich <b>text</b></p>");
    auto seen = pasteboard->changeCount();
    xclipCopy("text/html", html);
    ASSERT_TRUE(eventually([&] { return pasteboard->changeCount() > seen; }));
    EXPECT_EQ(pasteboard->data(PasteboardType::html), html);
    EXPECT_FALSE(pasteboard->string());

    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 1, 2, 0xff, 0xfe};
    seen = pasteboard->changeCount();
    xclipCopy("image/png", png);
    ASSERT_TRUE(eventually([&] { return pasteboard->changeCount() > seen; }));
    EXPECT_EQ(pasteboard->data(PasteboardType::png), png);
    EXPECT_FALSE(pasteboard->data(PasteboardType::tiff));
}

TEST_F(X11PasteboardTest, LargeDesktopCopyArrivesWholeThroughIncr) {
    auto pasteboard = makePasteboard();
    const auto before = pasteboard->changeCount();
    const Bytes big = pattern(3 * 1000 * 1000);
    xclipCopy("UTF8_STRING", big);
    ASSERT_TRUE(eventually([&] { return pasteboard->changeCount() > before; }));
    auto text = pasteboard->string();
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), big.size());
    EXPECT_TRUE(*text == stringOf(big));
}

TEST_F(X11PasteboardTest, WrittenRepresentationsArePastedByXclipForEachTarget) {
    auto pasteboard = makePasteboard();
    std::atomic<int> announced{0};
    pasteboard->setChangeHandler([&] { ++announced; });
    const auto before = pasteboard->changeCount();
    const Bytes html = bytesOf("<i>é</i>");
    pasteboard->clearContents();
    EXPECT_TRUE(pasteboard->setData(html, PasteboardType::html));
    EXPECT_TRUE(pasteboard->setString("é plain"));
    // Our own write advances the count once and is not announced as someone else's change.
    EXPECT_EQ(pasteboard->changeCount(), before + 1);

    EXPECT_EQ(xclipPaste("text/html"), html);
    EXPECT_EQ(xclipPaste("UTF8_STRING"), bytesOf("é plain"));
    EXPECT_EQ(xclipPaste("STRING"), (Bytes{0xe9, ' ', 'p', 'l', 'a', 'i', 'n'}));
    auto targets = xclipPaste("TARGETS");
    ASSERT_TRUE(targets);
    const std::string list = stringOf(*targets);
    EXPECT_NE(list.find("text/html"), std::string::npos);
    EXPECT_NE(list.find("UTF8_STRING"), std::string::npos);
    EXPECT_EQ(list.find("image/png"), std::string::npos);
    EXPECT_FALSE(xclipPaste("image/png"));
    EXPECT_EQ(pasteboard->data(PasteboardType::html), html);
    EXPECT_EQ(announced, 0);
    EXPECT_EQ(pasteboard->changeCount(), before + 1);

    // Someone else copies: we stop owning, and read what they offer.
    xclipCopy("UTF8_STRING", bytesOf("theirs"));
    ASSERT_TRUE(eventually([&] { return pasteboard->changeCount() > before + 1; }));
    EXPECT_EQ(pasteboard->string(), "theirs");
    EXPECT_FALSE(pasteboard->data(PasteboardType::html));
    EXPECT_EQ(announced, 1);
}

TEST_F(X11PasteboardTest, LargeWrittenImageIsPastedWholeThroughIncr) {
    auto pasteboard = makePasteboard();
    const Bytes big = pattern(5 * 1024 * 1024 + 123);
    pasteboard->clearContents();
    ASSERT_TRUE(pasteboard->setData(big, PasteboardType::png));
    auto pasted = xclipPaste("image/png");
    ASSERT_TRUE(pasted);
    EXPECT_EQ(pasted->size(), big.size());
    EXPECT_TRUE(*pasted == big);
    // A second paste works the same.
    EXPECT_EQ(xclipPaste("image/png")->size(), big.size());
}

TEST_F(X11PasteboardTest, TwoPasteboardsMoveLargeContentThroughIncrBothWays) {
    auto writer = makePasteboard();
    auto reader = makePasteboard();
    const auto before = reader->changeCount();
    const Bytes big = pattern(3 * 1000 * 1000 + 7);
    writer->clearContents();
    ASSERT_TRUE(writer->setData(big, PasteboardType::rtf));
    ASSERT_TRUE(eventually([&] { return reader->changeCount() > before; }));
    auto read = reader->data(PasteboardType::rtf);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->size(), big.size());
    EXPECT_TRUE(*read == big);
}

TEST_F(X11PasteboardTest, AnOwnerThatNeverAnswersCostsOnlyTheTimeout) {
    auto pasteboard = makePasteboard(300ms);
    // A client that takes the clipboard and never serves it.
    xcb_connection_t* silent = xcb_connect(server_->name().c_str(), nullptr);
    ASSERT_FALSE(xcb_connection_has_error(silent));
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(silent)).data;
    const xcb_window_t window = xcb_generate_id(silent);
    xcb_create_window(silent, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    auto* clipboard =
        xcb_intern_atom_reply(silent, xcb_intern_atom(silent, 0, 9, "CLIPBOARD"), nullptr);
    const auto before = pasteboard->changeCount();
    xcb_set_selection_owner(silent, window, clipboard->atom, XCB_CURRENT_TIME);
    std::free(clipboard);
    xcb_flush(silent);
    ASSERT_TRUE(eventually([&] { return pasteboard->changeCount() > before; }));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pasteboard->string());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 2s);  // one time-out, with slack for a loaded machine
    EXPECT_GT(reports_, 0);

    // The owner goes away: the change is counted and the pasteboard works again.
    const auto seen = pasteboard->changeCount();
    xcb_disconnect(silent);
    ASSERT_TRUE(eventually([&] { return pasteboard->changeCount() > seen; }));
    xclipCopy("UTF8_STRING", bytesOf("alive"));
    EXPECT_TRUE(
        eventually([&] { return pasteboard->string() == std::optional<std::string>("alive"); }));
}

// An owner that answers with INCR and then never stops sending chunks.
class EndlessIncrOwner {
  public:
    explicit EndlessIncrOwner(const std::string& display)
        : connection_(xcb_connect(display.c_str(), nullptr)) {
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        window_ = xcb_generate_id(connection_);
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        clipboard_ = atom("CLIPBOARD");
        xcb_set_selection_owner(connection_, window_, clipboard_, XCB_CURRENT_TIME);
        xcb_flush(connection_);
        thread_ = std::thread([this] { serve(); });
    }
    ~EndlessIncrOwner() {
        stop_ = true;
        thread_.join();
        xcb_disconnect(connection_);
    }
    int chunksSent() const { return chunks_; }

  private:
    xcb_atom_t atom(const char* name) {
        auto* reply = xcb_intern_atom_reply(
            connection_, xcb_intern_atom(connection_, 0, std::strlen(name), name), nullptr);
        const xcb_atom_t value = reply->atom;
        std::free(reply);
        return value;
    }

    void serve() {
        const xcb_atom_t targets = atom("TARGETS"), utf8 = atom("UTF8_STRING"), incr = atom("INCR");
        const Bytes chunk(60000, 'z');
        while (!stop_) {
            xcb_generic_event_t* event = xcb_poll_for_event(connection_);
            if (!event) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            const int type = event->response_type & 0x7f;
            if (type == XCB_SELECTION_REQUEST) {
                auto* request = reinterpret_cast<xcb_selection_request_event_t*>(event);
                if (request->target == targets) {
                    xcb_atom_t list[] = {targets, utf8};
                    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, request->requestor,
                                        request->property, XCB_ATOM_ATOM, 32, 2, list);
                } else {
                    const std::uint32_t size = 100u << 20;
                    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
                    xcb_change_window_attributes(connection_, request->requestor, XCB_CW_EVENT_MASK,
                                                 &mask);
                    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, request->requestor,
                                        request->property, incr, 32, 1, &size);
                }
                xcb_selection_notify_event_t notify{};
                notify.response_type = XCB_SELECTION_NOTIFY;
                notify.requestor = request->requestor;
                notify.selection = request->selection;
                notify.target = request->target;
                notify.property = request->property;
                xcb_send_event(connection_, 0, request->requestor, 0,
                               reinterpret_cast<const char*>(&notify));
            } else if (type == XCB_PROPERTY_NOTIFY) {
                auto* notify = reinterpret_cast<xcb_property_notify_event_t*>(event);
                if (notify->state == XCB_PROPERTY_DELETE) {
                    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, notify->window,
                                        notify->atom, utf8, 8, chunk.size(), chunk.data());
                    ++chunks_;
                }
            }
            std::free(event);
            xcb_flush(connection_);
        }
    }

    xcb_connection_t* connection_;
    xcb_window_t window_ = 0;
    xcb_atom_t clipboard_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> chunks_{0};
    std::thread thread_;
};

TEST_F(X11PasteboardTest, EndlessIncrChunksAreCutOffBySizeOrTime) {
    for (const std::size_t limit : {std::size_t{1} << 20, std::size_t{1} << 30}) {
        X11Pasteboard::Options options;
        options.timeout = 500ms;
        options.maxTransfer = limit;
        X11Pasteboard pasteboard(
            server_->name(), [this](const std::string&) { ++reports_; }, options);
        const auto before = pasteboard.changeCount();
        const int reportsBefore = reports_;
        EndlessIncrOwner owner(server_->name());
        ASSERT_TRUE(eventually([&] { return pasteboard.changeCount() > before; }));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(pasteboard.string());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);  // one time-out, with slack
        EXPECT_GT(owner.chunksSent(), 1);
        EXPECT_GT(reports_, reportsBefore);
    }
}

TEST(X11PasteboardWithoutDisplayTest, NoDisplayMeansAnEmptyPasteboardAndAReport) {
    std::vector<std::string> reports;
    X11Pasteboard pasteboard(":9999", [&](const std::string& line) { reports.push_back(line); });
    EXPECT_FALSE(pasteboard.connected());
    EXPECT_FALSE(pasteboard.string());
    EXPECT_FALSE(pasteboard.setString("x"));
    EXPECT_EQ(reports.size(), 1u);
}

}  // namespace
}  // namespace vl
