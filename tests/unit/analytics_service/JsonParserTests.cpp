#include "config/CAJsonParser.h"
#include "config/RapidJson.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

namespace {

const bool g_capture = (LogCapture::InstallBeforeFirstLog(), true);

const std::wstring kObjectFn = L"CCAJsonParser::JsonObjectToMap";
const std::wstring kArrayFn = L"CCAJsonParser::JsonNamedArrayToVector";

TEST(CAJsonParser, ScalarMembersBecomeTextAndNullOrNestedAreSkipped)
{
    CCAJsonParser parser;
    KeyValueMap map{{L"kept", L"old"}, {L"s", L"overwritten"}};
    ASSERT_EQ(0u, parser.JsonObjectToMap(
                      L"{\"n\":null,\"t\":true,\"f\":false,\"i\":12,\"neg\":-3,\"s\":\"x\\\"y\\u00e9\",\"d\":3.5,"
                      L"\"e\":1e10,\"big\":12345678901234,\"u\":18446744073709551615,\"o\":{\"a\":1},\"a\":[1],"
                      L"\"r\":\"first\",\"r\":\"second\",\"nul\":\"a\\u0000b\"}",
                      map));
    EXPECT_EQ(KeyValueMap({{L"kept", L"old"},
                           {L"t", L"true"},
                           {L"f", L"false"},
                           {L"i", L"12"},
                           {L"neg", L"-3"},
                           {L"s", L"x\"y\u00e9"},
                           {L"d", L"3.5"},
                           {L"e", L"10000000000.0"},
                           {L"big", L"12345678901234"},
                           {L"u", L"18446744073709551615"},
                           {L"r", L"second"},
                           {L"nul", std::wstring(L"a\0b", 3)}}),
              map);
}

TEST(CAJsonParser, ObjectMembersAndArraysOfObjects)
{
    CCAJsonParser parser;
    NestedKeyValueMap objects{{L"g", {{L"stale", L"1"}}}};
    KeyValueMapLists lists;
    const std::wstring text =
        L"{\"g\":{\"a\":\"1\",\"n\":2,\"deep\":{\"x\":1}},\"plain\":\"s\","
        L"\"list\":[{\"name\":\"one\",\"size\":4},{\"name\":\"two\"},7,\"str\"],\"none\":[],"
        L"\"list\":[{\"name\":\"three\"}]}";
    ASSERT_EQ(0u, parser.JsonToObjectsAndArrays(text, objects, lists));
    EXPECT_EQ(NestedKeyValueMap({{L"g", {{L"a", L"1"}, {L"n", L"2"}}}}), objects);
    ASSERT_EQ(1u, lists.size());
    EXPECT_EQ(std::vector<KeyValueMap>({{{L"name", L"one"}}, {{L"name", L"two"}}, {{L"name", L"three"}}}),
              lists[L"list"]);

    KeyValueMapLists viaBstrEntry;
    EXPECT_EQ(0u, parser.JsonNamedArrayToVector(text.c_str(), viaBstrEntry));
    EXPECT_EQ(lists, viaBstrEntry);
}

TEST(CAJsonParser, EmptyOrBadTextIsRefusedWith87AndLeavesTheMapsAlone)
{
    CCAJsonParser parser;
    KeyValueMap map{{L"k", L"v"}};
    NestedKeyValueMap nested;
    KeyValueMapLists lists;
    LogCapture::Clear();
    EXPECT_EQ(87u, parser.JsonObjectToMap(L"", map));
    EXPECT_EQ(87u, parser.JsonObjectToMap(std::wstring(), nested));
    EXPECT_EQ(87u, parser.JsonNamedArrayToVector(std::wstring(), lists));
    EXPECT_EQ(87u, parser.JsonToObjectsAndArrays(L"", nested, lists));
    EXPECT_EQ(87u, parser.JsonNamedArrayToVector(static_cast<const wchar_t*>(nullptr), lists));
    EXPECT_EQ(87u, parser.JsonObjectToMap(static_cast<const wchar_t*>(nullptr), nested));
    EXPECT_FALSE(parser.IsValidJsonObject(L""));
    EXPECT_EQ(5u, LogCapture::Count(L"Invalid jsonString argument", 4, L"CAJsonParser", kObjectFn));
    EXPECT_EQ(3u, LogCapture::Count(L"Invalid jsonString argument", 4, L"CAJsonParser", kArrayFn));

    LogCapture::Clear();
    EXPECT_EQ(87u, parser.JsonObjectToMap(L"{\"a\":", map));                  // truncated
    EXPECT_EQ(87u, parser.JsonObjectToMap(L"[{\"a\":\"1\"}]", map));          // root is not an object
    EXPECT_EQ(87u, parser.JsonObjectToMap(L"{\"a\":\"\\uDC00\"}", map));      // lone low surrogate
    EXPECT_EQ(87u, parser.JsonNamedArrayToVector(L"{\"l\":[1e400]}", lists));  // number too big
    EXPECT_FALSE(parser.IsValidJsonObject(L"not json"));
    EXPECT_TRUE(parser.IsValidJsonObject(L"{}"));
    EXPECT_EQ(KeyValueMap({{L"k", L"v"}}), map);
    EXPECT_TRUE(lists.empty());
    EXPECT_EQ(3u, LogCapture::Count(L"Parse Error: 3", 4, L"CAJsonParser", kObjectFn));  // truncated, array, word
    EXPECT_EQ(1u, LogCapture::Count(L"Parse Error: 9", 4, L"CAJsonParser", kObjectFn));    // surrogate
    EXPECT_EQ(1u, LogCapture::Count(L"Parse Error: 13", 4, L"CAJsonParser", kArrayFn));    // too big
}

TEST(CAJsonParser, WritesCompactStringObjectsThatReadBack)
{
    CCAJsonParser parser;
    std::wstring json = L"stale";
    EXPECT_EQ(0u, parser.MapToJsonString({}, json));
    EXPECT_EQ(L"{}", json);
    EXPECT_EQ(0u, parser.MapToJsonString({{L"a", L"1"}}, json));
    EXPECT_EQ(L"{\"a\":\"1\"}", json);
    EXPECT_EQ(0u, parser.MapToNamedJsonMember(L"event_data", {{L"on", L"true"}}, json));
    EXPECT_EQ(L"\"event_data\":{\"on\":\"true\"}", json);

    const KeyValueMap awkward{{L"q\"uote", L"back\\slash"}, {L"ctl", L"tab\tnl\n"}, {L"wide", L"\u0101\u65e5"},
                              {L"nul", std::wstring(L"x\0y", 3)}};
    ASSERT_EQ(0u, parser.MapToJsonString(awkward, json));
    KeyValueMap back;
    ASSERT_EQ(0u, parser.JsonObjectToMap(json, back));
    EXPECT_EQ(awkward, back);

    // The escaped form holds only ASCII and reads back to the same map.
    const std::wstring escaped = Taliro::Analytics::EscapeNonAscii(json);
    EXPECT_NE(std::wstring::npos, escaped.find(L"\\u0101\\u65E5"));
    for (wchar_t unit : escaped) EXPECT_LT(unit, 0x80);
    back.clear();
    ASSERT_EQ(0u, parser.JsonObjectToMap(escaped, back));
    EXPECT_EQ(awkward, back);

    // An unpaired surrogate is written as U+FFFD, so the text reads back in either form; a pair stays.
    ASSERT_EQ(0u, parser.MapToJsonString(
                      {{L"hi", L"a\xD800" L"b"}, {L"lo\xDC00", L"\xDE00\xD83D"}, {L"pair", L"\xD83D\xDE00"}}, json));
    const KeyValueMap repaired{{L"hi", L"a\xFFFD" L"b"}, {L"lo\xFFFD", L"\xFFFD\xFFFD"}, {L"pair", L"\xD83D\xDE00"}};
    for (const std::wstring& text : {json, Taliro::Analytics::EscapeNonAscii(json)}) {
        back.clear();
        ASSERT_EQ(0u, parser.JsonObjectToMap(text, back));
        EXPECT_EQ(repaired, back);
    }
}

} // namespace
