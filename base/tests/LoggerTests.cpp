#include "base/DispatchQueue.h"
#include "base/Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace vl;

TEST(Logger, WritesEveryReportInOrderWithItsOrigin) {
    Logger logger("test.log");
    logger.setWritesToStderr(false);
    std::vector<std::string> lines;
    logger.setCaptureHook([&](const std::string& line) { lines.push_back(line); });
    logger.log("first");
    logger.log("second", LogLevel::error);
    logger.flush();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("LoggerTests.cpp"), std::string::npos);
    EXPECT_TRUE(lines[0].ends_with(" - first"));
    EXPECT_NE(lines[1].find("[error]"), std::string::npos);
    EXPECT_EQ(logger.droppedCount(), 0u);
}

TEST(Logger, NeverBlocksTheCallerAndDropsPastCapacity) {
    Logger logger("test.log.flood", 16);
    logger.setWritesToStderr(false);
    std::atomic<bool> release{false};
    std::atomic<int> written{0};
    // Hold the log queue so reports pile up behind it.
    logger.queue().async([&] {
        while (!release) std::this_thread::yield();
    });
    std::vector<std::string> lines;
    logger.setCaptureHook([&](const std::string& line) {
        lines.push_back(line);
        ++written;
    });
    for (int i = 0; i < 100; ++i) logger.log("report " + std::to_string(i));
    EXPECT_EQ(logger.droppedCount(), 84u);
    release = true;
    logger.flush();
    logger.log("after");
    logger.flush();
    // The note about the dropped reports comes first, ahead of the 16 kept ones.
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_NE(lines[0].find("84 reports dropped"), std::string::npos);
    EXPECT_TRUE(lines[1].ends_with(" - report 0"));
    EXPECT_TRUE(lines[16].ends_with(" - report 15"));
    EXPECT_TRUE(lines[17].ends_with(" - after"));
}

TEST(Logger, ReportsWithNowhereToGoCostNothing) {
    Logger logger("test.log.nowhere", 1);
    logger.setWritesToStderr(false);
    // Held queue and a capacity of one: a report that were queued would fill it.
    std::atomic<bool> release{false};
    logger.queue().async([&] {
        while (!release) std::this_thread::yield();
    });
    for (int i = 0; i < 10; ++i) logger.log("unheard");
    EXPECT_EQ(logger.droppedCount(), 0u);
    release = true;
    std::vector<std::string> lines;
    logger.setCaptureHook([&](const std::string& line) { lines.push_back(line); });
    logger.log("heard");
    logger.flush();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].ends_with(" - heard"));
}
