#include "client/InputScript.h"

#include "base/testing/Eventually.h"

#include <gtest/gtest.h>

#include <mutex>

using namespace vl;
using namespace std::chrono_literals;

TEST(InputScriptTest, LinesBecomeTimedMessagesInOrderWithTheItemsIdsFilledIn) {
    std::string error;
    auto script = InputScript::parse(
        "# a click, then text\n"
        "{\"at\": 0.5, \"type\": \"text\", \"message\": {\"shareId\": \"$main\", \"chars\": "
        "\"x\"}}\n"
        "\n"
        "{\"at\": 0.1, \"type\": \"mouseEvent\", \"message\": {\"shareId\": \"$extra\"}}\n"
        "{\"at\": 0.2, \"type\": \"moveWindowToVDIfNotOnVD\"}\n",
        &error);
    ASSERT_TRUE(script) << error;
    ASSERT_EQ(script->messages().size(), 3u);
    EXPECT_EQ(script->messages()[0].type, InteractionType::mouseEvent);
    EXPECT_EQ(script->messages()[1].type, InteractionType::moveWindowToVDIfNotOnVD);
    EXPECT_EQ(script->messages()[2].type, InteractionType::text);
    EXPECT_EQ(InputScript::resolved(script->messages()[2], "M", "E"),
              "{\"chars\":\"x\",\"shareId\":\"M\"}");
    EXPECT_EQ(InputScript::resolved(script->messages()[0], "M", "E"), "{\"shareId\":\"E\"}");
    EXPECT_EQ(InputScript::resolved(script->messages()[1], "M", "E"), "");
}

TEST(InputScriptTest, BadLinesAreRefusedNamingTheLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"{\"at\": 1, \"type\": \"text\"}\nnot json\n", "line 2: not a JSON object"},
        {"{\"type\": \"text\"}\n", "line 1: \"at\" must be"},
        {"{\"at\": -1, \"type\": \"text\"}\n", "line 1: \"at\" must be"},
        {"{\"at\": 1}\n", "line 1: \"type\" is missing"},
        {"{\"at\": 1, \"type\": \"teleport\"}\n", "line 1: unknown or unscriptable type"},
        {"{\"at\": 1, \"type\": \"connect\"}\n", "line 1: unknown or unscriptable type"},
    };
    for (const auto& [text, expected] : cases) {
        std::string error;
        EXPECT_FALSE(InputScript::parse(text, &error)) << text;
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(InputScript::load("/nonexistent/script.jsonl", &error));
}

TEST(InputScriptTest, PlaySendsEachMessageAtItsTimeAndStopDropsTheRest) {
    std::string error;
    auto script = InputScript::parse(
        "{\"at\": 0, \"type\": \"lookAt\"}\n"
        "{\"at\": 0.05, \"type\": \"scroll\"}\n"
        "{\"at\": 30, \"type\": \"text\"}\n",
        &error);
    ASSERT_TRUE(script) << error;
    std::mutex mutex;
    std::vector<InteractionType> sent;
    script->play(
        [&](InteractionType type, const std::string&) {
            std::lock_guard lock(mutex);
            sent.push_back(type);
        },
        "M");
    ASSERT_TRUE(vl::testing::eventually([&] { return script->sent() >= 2; }, 5s));
    script->stop();  // returns at once although a message is 30 s ahead
    std::lock_guard lock(mutex);
    EXPECT_EQ(sent,
              (std::vector<InteractionType>{InteractionType::lookAt, InteractionType::scroll}));
}
