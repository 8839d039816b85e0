// The pasteboard on a private headless Mutter, with the GTK witness as the other program: what we
// set is pasted by a Wayland client, and what that client copies is read here and announced.
#include "platform/events/mutter/MutterEventsService.h"
#include "platform/mutter/MutterVirtualMonitor.h"
#include "platform/pasteboard/mutter/MutterPasteboard.h"
#include "tests/wayland/MutterFixture.h"
#include "tests/wayland/PostedInput.h"
#include "tests/wayland/WaylandWitness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

namespace vl {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

const std::string witnessCopy = "Grüße aus Wayland €";

class MutterPasteboardTest : public testing::MutterFixture {
  protected:
    void SetUp() override {
        MutterFixture::SetUp();
        if (!ready()) return;
        addMonitor(800, 600);
        if (!ready()) return;
        events = std::make_unique<MutterEventsService>(monitors, MutterEventsService::Options{});
        pasteboard = std::make_unique<MutterPasteboard>(
            bus, [this](const std::string& text) { reports.push_back(text); });
        witness = std::make_unique<testing::WaylandWitness>(
            *desktop, 90, 90, 90, std::vector<std::string>{"--clipboard", witnessCopy});
        ASSERT_TRUE(eventually([&] { return witness->said("fullscreen"); }, 20s))
            << witness->output();
        // Wayland hands the selection only to the focused client: click until it has the focus.
        int clicks = 0;
        ASSERT_TRUE(eventually([&] {
            if (++clicks % 25 == 1) click({100, 100});
            return witness->said("button 1 100 100");
        })) << witness->output();
    }

    void click(DisplayPoint point) { testing::click(*events, point); }

    void pressC() {
        EXPECT_TRUE(events->post(testing::key(8, true)));  // the C key
        EXPECT_TRUE(events->post(testing::key(8, false)));
    }

    std::unique_ptr<MutterEventsService> events;
    std::unique_ptr<MutterPasteboard> pasteboard;
    std::unique_ptr<testing::WaylandWitness> witness;
    std::vector<std::string> reports;
};

TEST_F(MutterPasteboardTest, WhatWeSetIsPastedByAWaylandClientAndReadBackAsOurs) {
    const std::int64_t before = pasteboard->changeCount();
    const std::int64_t cleared = pasteboard->clearContents();
    EXPECT_GT(cleared, before);
    ASSERT_TRUE(pasteboard->setString("Héllo from the headset ✓"));
    EXPECT_TRUE(eventually([&] { return witness->said("clipboard 24 Héllo from the headset ✓"); }))
        << witness->output() << ::testing::PrintToString(reports);
    // Our own offer is no change by someone else, and what we hold reads back without a pipe.
    EXPECT_EQ(pasteboard->changeCount(), cleared);
    EXPECT_EQ(pasteboard->string(), "Héllo from the headset ✓");
    EXPECT_FALSE(pasteboard->data(PasteboardType::png));

    // Larger than any pipe's buffer: served in pieces as the client reads.
    const std::string large(300000, 'x');
    pasteboard->clearContents();
    ASSERT_TRUE(pasteboard->setString(large));
    EXPECT_TRUE(eventually([&] { return witness->said("clipboard 300000 xxxx"); }))
        << witness->output().substr(0, 2000) << ::testing::PrintToString(reports);
}

TEST_F(MutterPasteboardTest, AWaylandCopyIsAnnouncedCountedAndRead) {
    std::atomic<int> announced{0};
    pasteboard->setChangeHandler([&] { ++announced; });
    const std::int64_t before = pasteboard->changeCount();
    pressC();
    ASSERT_TRUE(eventually([&] { return witness->said("copied"); })) << witness->output();
    ASSERT_TRUE(eventually([&] { return pasteboard->changeCount() > before; }))
        << ::testing::PrintToString(reports);
    // The handler runs just after the count advanced.
    EXPECT_TRUE(eventually([&] { return announced > 0; }));
    EXPECT_EQ(pasteboard->string(), witnessCopy) << ::testing::PrintToString(reports);
    // Reads straight after one another each get the whole copy, though Mutter serves one at a
    // time.
    for (int read = 0; read < 5; ++read)
        EXPECT_EQ(stringOf(pasteboard->data(PasteboardType::string).value_or(Bytes{})), witnessCopy)
            << "read " << read << ": " << ::testing::PrintToString(reports);
    EXPECT_FALSE(pasteboard->data(PasteboardType::html)) << "GTK offers text only";

    // Our next write takes the clipboard back; a stopped handler hears nothing more.
    pasteboard->setChangeHandler({});
    const int heard = announced;
    pasteboard->clearContents();
    ASSERT_TRUE(pasteboard->setString("back"));
    EXPECT_TRUE(eventually([&] { return witness->said("clipboard 4 back"); })) << witness->output();
    EXPECT_EQ(announced.load(), heard);
}

}  // namespace
}  // namespace vl
