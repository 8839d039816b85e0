#include "comm/ControlRecords.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace vl;
using Json = nlohmann::json;

namespace {

Json parsed(const std::string& text) {
    return Json::parse(text);
}

// The record's JSON with one key changed (or removed when `value` is discarded).
template <class T>
std::string with(const T& record, const std::string& key, const Json& value) {
    Json object = parsed(record.toJson());
    if (value.is_discarded())
        object.erase(key);
    else
        object[key] = value;
    return object.dump();
}

const Json removed = Json(Json::value_t::discarded);

MouseEvent sampleMouse() {
    return {"S1", MouseButton::right, MouseEventKind::drag, 12.5, -3.25};
}

SharedItem sampleItem() {
    SharedItem item;
    item.sharedType = SharedType::display(5);
    item.sharedVideoPort = 8790;
    item.sharedAudioPort = 8789;
    item.sharedMicPort = 8792;
    item.sharedCamPort = 8793;
    item.width = 1920;
    item.height = 1080;
    item.hdr = true;
    item.sharedID = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
    return item;
}

}  // namespace

TEST(RecordJson, KeysAreTheFieldNames) {
    Json item = parsed(sampleItem().toJson());
    for (const char* key :
         {"sharedType", "sharedVideoPort", "sharedAudioPort", "sharedMicPort", "sharedCamPort",
          "left", "top", "width", "height", "fps", "hdr", "serverIP", "sharedID", "title"})
        EXPECT_TRUE(item.contains(key)) << key;
    EXPECT_EQ(item.size(), 14u);
    EXPECT_EQ(item["sharedType"], parsed(R"({"display":{"displayID":5}})"));
    EXPECT_EQ(item["fps"], 30);
    EXPECT_EQ(item["hdr"], true);

    EXPECT_EQ(
        parsed(sampleMouse().toJson()),
        parsed(R"({"shareId":"S1","button":1,"kind":2,"horzPosition":12.5,"vertPosition":-3.25})"));
    EXPECT_EQ(
        parsed(MouseScroll{"S", 1, 2, ScrollDirection::down, 4.5}.toJson()),
        parsed(R"({"shareId":"S","horzPosition":1,"vertPosition":2,"direction":1,"delta":4.5})"));
    EXPECT_EQ(
        parsed(KeyboardEvent{"S", 4, "a", 256, true}.toJson()),
        parsed(
            R"({"shareId":"S","keyCode":4,"characters":"a","modifierFlags":256,"isKeyDown":true})"));
    EXPECT_EQ(parsed(ConnectReq{2, "1.0", "dev", "Vision", "cGFzcw=="}.toJson()),
              parsed(R"({"clientType":2,"clientVersion":"1.0","clientDeviceID":"dev",
                        "clientDeviceName":"Vision","password":"cGFzcw=="})"));
    EXPECT_EQ(parsed(LookAtInfo{"S"}.toJson()), parsed(R"({"shareId":"S"})"));
    EXPECT_EQ(parsed(JumpToDisplayInfo{"S"}.toJson()), parsed(R"({"shareId":"S"})"));
    EXPECT_EQ(parsed(ActiveWindowInfo{"S"}.toJson()), parsed(R"({"shareId":"S"})"));
}

TEST(RecordJson, EveryRecordRoundTrips) {
    EXPECT_EQ(SharedItem::fromJson(asBytes(sampleItem().toJson())), sampleItem());
    EXPECT_EQ(MouseEvent::fromJson(asBytes(sampleMouse().toJson())), sampleMouse());
    MouseScroll scroll{"S", 0.1, 1e300, ScrollDirection::down, -0.0};
    EXPECT_EQ(MouseScroll::fromJson(asBytes(scroll.toJson())), scroll);
    KeyboardEvent key{"S", 4294967295u, "\xC3\xA9\"\\\n", -9223372036854775807 - 1, false};
    EXPECT_EQ(KeyboardEvent::fromJson(asBytes(key.toJson())), key);
    ConnectReq connect{255, "2.1", "id", "name", ""};
    EXPECT_EQ(ConnectReq::fromJson(asBytes(connect.toJson())), connect);
    ClipboardEvent clip{"S", ZuPBTypes::html, {0, 1, 2, 250, 255}};
    EXPECT_EQ(ClipboardEvent::fromJson(asBytes(clip.toJson())), clip);
    EXPECT_EQ(LookAtInfo::fromJson(asBytes(R"({"shareId":"x"})")), LookAtInfo{"x"});
    EXPECT_EQ(JumpToDisplayInfo::fromJson(asBytes(R"({"shareId":"x"})")), JumpToDisplayInfo{"x"});
    EXPECT_EQ(ActiveWindowInfo::fromJson(asBytes(R"({"shareId":"x"})")), ActiveWindowInfo{"x"});
}

TEST(SharedTypeJson, OneKeyObjectPerCase) {
    EXPECT_EQ(parsed(SharedType::display(5).toJson()), parsed(R"({"display":{"displayID":5}})"));
    EXPECT_EQ(parsed(SharedType::stLeafDisplay(7).toJson()),
              parsed(R"({"stLeafDisplay":{"displayID":7}})"));
    EXPECT_EQ(parsed(SharedType::stUnknown().toJson()), parsed(R"({"stUnknown":{}})"));
    EXPECT_EQ(
        parsed(SharedType::stRegion(1, "w", -1, 2, 3, 4).toJson()),
        parsed(
            R"({"stRegion":{"displayID":1,"windowID":"w","left":-1,"top":2,"width":3,"height":4}})"));
    for (const SharedType& type :
         {SharedType::display(4294967295u), SharedType::stLeafDisplay(0),
          SharedType::stWindow(3, "w1", "Title"), SharedType::stWindow(3, "w1"),
          SharedType::stRegion(1, "w", -1, 2, 3, 4), SharedType::stUnknown()})
        EXPECT_EQ(SharedType::fromJson(asBytes(type.toJson())), type) << type.toJson();
}

TEST(SharedTypeJson, WindowWithoutTitleLeavesTheKeyOut) {
    SharedItem item = sampleItem();
    item.sharedType = SharedType::stWindow(9, "win-1");
    Json json = parsed(item.toJson());
    EXPECT_EQ(json["sharedType"], parsed(R"({"stWindow":{"displayID":9,"windowID":"win-1"}})"));
    auto back = SharedItem::fromJson(asBytes(item.toJson()));
    ASSERT_TRUE(back);
    EXPECT_FALSE(std::get<SharedType::Window>(back->sharedType.value).title);
    EXPECT_EQ(*back, item);
    // null reads as absent; a title of another type fails.
    EXPECT_EQ(SharedType::fromJson(
                  asBytes(R"({"stWindow":{"displayID":9,"windowID":"w","title":null}})")),
              SharedType::stWindow(9, "w"));
    EXPECT_FALSE(
        SharedType::fromJson(asBytes(R"({"stWindow":{"displayID":9,"windowID":"w","title":1}})")));
}

TEST(SharedTypeJson, DecodingAcceptsExactlyOneCaseKey) {
    EXPECT_EQ(SharedType::fromJson(asBytes(R"({"stUnknown":{}})")), SharedType::stUnknown());
    EXPECT_FALSE(SharedType::fromJson(asBytes(R"({"display":{"displayID":1},"stUnknown":{}})")));
    EXPECT_FALSE(SharedType::fromJson(asBytes(R"({})")));
    EXPECT_FALSE(SharedType::fromJson(asBytes(R"({"window":{"displayID":1}})")));
    EXPECT_FALSE(SharedType::fromJson(asBytes(R"({"stUnknown":[]})")));
    EXPECT_FALSE(SharedType::fromJson(asBytes(R"({"display":5})")));
    EXPECT_FALSE(SharedType::fromJson(asBytes(R"({"display":{}})")));
    EXPECT_FALSE(SharedType::fromJson(asBytes(R"({"display":{"displayID":-1}})")));
    EXPECT_FALSE(SharedType::fromJson(asBytes(R"({"display":{"displayID":4294967296}})")));
    EXPECT_FALSE(SharedType::fromJson(asBytes(R"({"stRegion":{"displayID":1,"windowID":"w"}})")));
    // Unknown keys beside the one case key are ignored.
    EXPECT_EQ(SharedType::fromJson(asBytes(R"({"display":{"displayID":2,"x":0},"extra":1})")),
              SharedType::display(2));
}

TEST(SharedTypeJson, DescriptionAndDisplay) {
    EXPECT_EQ(SharedType::stLeafDisplay(7).description(), "stLeafDisplay");
    EXPECT_EQ(SharedType::stWindow(3, "w").description(), "stWindow");
    EXPECT_EQ(SharedType::stLeafDisplay(7).displayID(), 7u);
    EXPECT_FALSE(SharedType::stUnknown().displayID());
}

TEST(ClipboardJson, DataIsStrictBase64) {
    ClipboardEvent clip{"S", ZuPBTypes::text, bytesOf("abc")};
    EXPECT_EQ(parsed(clip.toJson())["data"], "YWJj");
    EXPECT_EQ(ClipboardEvent::fromJson(asBytes(R"({"shareId":"S","type":0,"data":"YWJj"})")), clip);
    EXPECT_EQ(ClipboardEvent::fromJson(asBytes(R"({"shareId":"S","type":4,"data":""})"))->data,
              Bytes{});
    for (const char* bad : {"YWJ", "YW=j", "YWJj\n", "YWJ!", "YR=="})
        EXPECT_FALSE(ClipboardEvent::fromJson(asBytes(with(clip, "data", bad)))) << bad;
    EXPECT_FALSE(ClipboardEvent::fromJson(asBytes(with(clip, "data", Json::array({97, 98})))));
    EXPECT_FALSE(ClipboardEvent::fromJson(asBytes(with(clip, "type", 5))));
}

TEST(StrictDecoding, OutOfRangeEnumerationsFail) {
    MouseEvent mouse = sampleMouse();
    EXPECT_FALSE(MouseEvent::fromJson(asBytes(with(mouse, "kind", 4))));
    EXPECT_FALSE(MouseEvent::fromJson(asBytes(with(mouse, "button", 3))));
    EXPECT_FALSE(MouseEvent::fromJson(asBytes(with(mouse, "button", -1))));
    EXPECT_FALSE(MouseEvent::fromJson(asBytes(with(mouse, "kind", 259))));  // 3 + 256
    EXPECT_TRUE(MouseEvent::fromJson(asBytes(with(mouse, "kind", 3))));
    MouseScroll scroll{"S", 0, 0, ScrollDirection::up, 1};
    EXPECT_FALSE(MouseScroll::fromJson(asBytes(with(scroll, "direction", 2))));
}

TEST(StrictDecoding, MissingKeysFail) {
    MouseEvent mouse = sampleMouse();
    for (const char* key : {"shareId", "button", "kind", "horzPosition", "vertPosition"})
        EXPECT_FALSE(MouseEvent::fromJson(asBytes(with(mouse, key, removed)))) << key;
    SharedItem item = sampleItem();
    Json itemJson = parsed(item.toJson());
    for (const auto& [key, _] : itemJson.items())
        EXPECT_FALSE(SharedItem::fromJson(asBytes(with(item, key, removed)))) << key;
    ConnectReq connect{1, "v", "d", "n", "p"};
    Json connectJson = parsed(connect.toJson());
    for (const auto& [key, _] : connectJson.items())
        EXPECT_FALSE(ConnectReq::fromJson(asBytes(with(connect, key, removed)))) << key;
}

TEST(StrictDecoding, WrongJsonTypesFail) {
    KeyboardEvent key{"S", 4, "a", 0, true};
    EXPECT_FALSE(KeyboardEvent::fromJson(asBytes(with(key, "shareId", 5))));
    EXPECT_FALSE(KeyboardEvent::fromJson(asBytes(with(key, "keyCode", "4"))));
    EXPECT_FALSE(KeyboardEvent::fromJson(asBytes(with(key, "isKeyDown", 1))));
    EXPECT_FALSE(KeyboardEvent::fromJson(asBytes(with(key, "isKeyDown", nullptr))));
    EXPECT_FALSE(KeyboardEvent::fromJson(asBytes(with(key, "characters", Json::object()))));
    EXPECT_FALSE(KeyboardEvent::fromJson(asBytes(with(key, "modifierFlags", true))));
    MouseEvent mouse = sampleMouse();
    EXPECT_FALSE(MouseEvent::fromJson(asBytes(with(mouse, "horzPosition", "1.0"))));
    EXPECT_FALSE(MouseEvent::fromJson(asBytes(with(mouse, "button", 1.5))));
}

TEST(StrictDecoding, IntegerFieldsTakeWholeNumbersInRange) {
    KeyboardEvent key{"S", 4, "a", 0, true};
    EXPECT_FALSE(KeyboardEvent::fromJson(asBytes(with(key, "keyCode", 4.5))));
    EXPECT_FALSE(KeyboardEvent::fromJson(asBytes(with(key, "keyCode", -1))));
    EXPECT_FALSE(KeyboardEvent::fromJson(asBytes(with(key, "keyCode", 4294967296ull))));
    EXPECT_EQ(KeyboardEvent::fromJson(asBytes(with(key, "keyCode", 4294967295ull)))->keyCode,
              4294967295u);
    // A number without a fractional part is a whole number, however it is written.
    EXPECT_EQ(KeyboardEvent::fromJson(asBytes(R"({"shareId":"S","keyCode":4.0,"characters":"",
                                        "modifierFlags":1e3,"isKeyDown":false})"))
                  ->modifierFlags,
              1000);
    EXPECT_FALSE(
        KeyboardEvent::fromJson(asBytes(with(key, "modifierFlags", 18446744073709551615ull))));
    EXPECT_FALSE(KeyboardEvent::fromJson(asBytes(with(key, "modifierFlags", 9.3e18))));
    EXPECT_EQ(KeyboardEvent::fromJson(asBytes(with(key, "modifierFlags", -5)))->modifierFlags, -5);

    ConnectReq connect{1, "v", "d", "n", "p"};
    EXPECT_EQ(ConnectReq::fromJson(asBytes(with(connect, "clientType", 255)))->clientType, 255);
    EXPECT_FALSE(ConnectReq::fromJson(asBytes(with(connect, "clientType", 256))));
    EXPECT_FALSE(ConnectReq::fromJson(asBytes(with(connect, "clientType", -1))));
}

TEST(StrictDecoding, DoubleFieldsTakeAnyNumber) {
    auto mouse = MouseEvent::fromJson(asBytes(
        R"({"shareId":"S","button":0,"kind":0,"horzPosition":3,"vertPosition":18446744073709551615})"));
    ASSERT_TRUE(mouse);
    EXPECT_EQ(mouse->horzPosition, 3.0);
    EXPECT_EQ(mouse->vertPosition, 18446744073709551615.0);
}

TEST(StrictDecoding, MalformedJsonAndNonObjectsFail) {
    for (const char* text : {"", "{", "null", "[]", "\"shareId\"", "{\"shareId\":\"S\"} x",
                             "{\"shareId\":\"S\",}", "{'shareId':'S'}", "{\"shareId\":\"\xFF\"}"})
        EXPECT_FALSE(LookAtInfo::fromJson(asBytes(text))) << text;
    std::string deep(100000, '[');
    EXPECT_FALSE(LookAtInfo::fromJson(asBytes(deep)));
    EXPECT_FALSE(MouseEvent::fromJson(
        asBytes(R"({"shareId":"S","button":0,"kind":0,"horzPosition":1e999,"vertPosition":0})")));
}

TEST(StrictDecoding, UnknownKeysAreIgnored) {
    EXPECT_EQ(LookAtInfo::fromJson(asBytes(R"({"shareId":"S","extra":[1,{"a":null}]})")),
              LookAtInfo{"S"});
    EXPECT_EQ(
        ConnectReq::fromJson(asBytes(R"({"clientType":1,"clientVersion":"v","clientDeviceID":"d",
                                             "clientDeviceName":"n","password":"","future":true})")),
        (ConnectReq{1, "v", "d", "n", ""}));
}

TEST(RecordEnums, RawValuesAndNames) {
    EXPECT_EQ(mouseButtonFromRaw(2), MouseButton::middle);
    EXPECT_FALSE(mouseButtonFromRaw(3));
    EXPECT_EQ(mouseEventKindFromRaw(3), MouseEventKind::up);
    EXPECT_FALSE(mouseEventKindFromRaw(4));
    EXPECT_EQ(scrollDirectionFromRaw(1), ScrollDirection::down);
    EXPECT_FALSE(scrollDirectionFromRaw(-1));
    EXPECT_EQ(zuPBTypesFromRaw(4), ZuPBTypes::file);
    EXPECT_FALSE(zuPBTypesFromRaw(5));
    EXPECT_EQ(description(MouseEventKind::drag), "drag");
    EXPECT_EQ(description(ZuPBTypes::rtf), "rtf");
    EXPECT_EQ(description(MouseButton::right), "right");
    EXPECT_EQ(description(ScrollDirection::up), "up");
}
