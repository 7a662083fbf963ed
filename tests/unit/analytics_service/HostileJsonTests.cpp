// Generated malformed and hostile texts through the JSON wrapper and the configuration file
// parser: nothing may crash, malformed text is refused with the documented code, and text that
// parses but holds unexpected types is read without faulting.
#include "config/AnalyticsConfigManager.h"
#include "config/CAJsonParser.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <random>

namespace {

constexpr DWORD kFail = 0x80004005;

const std::vector<std::wstring> kValid = {
    L"{\"UniqueId\":\"u1\",\"Type\":\"click\",\"n\":12,\"b\":true,\"z\":null}",
    L"{\"transport\":[{\"name\":\"ga\",\"id\":\"7\"}],\"settings\":{\"saveAndMinimise\":\"true\"}}",
    L"{\"telemetryGroups\":{\"g\":{\"enabledList\":[\"A\"],\"transports\":[\"ga\"],\"caSettings\":{\"k\":\"v\"}}},"
    L"\"gaProfiles\":{\"p\":{\"trackingId\":\"UA-1\"}},\"dictionaries\":{\"d\":{\"a\":\"b\"}},\"fileVersion\":\"1\"}",
};

// Parses, but with every member of an unexpected type.
const std::vector<std::wstring> kOddTypes = {
    L"{\"telemetryGroups\":5,\"dictionaries\":[1],\"gaProfiles\":\"x\",\"fileVersion\":7}",
    L"{\"telemetryGroups\":{\"g\":{\"enabledList\":[1,{},null,\"A\"],\"appId\":{},\"caSettings\":[1],"
    L"\"transports\":\"ga\",\"gaProfile\":1e300,\"nimboSourceId\":-9223372036854775808}},"
    L"\"gaProfiles\":{\"p\":7,\"q\":{\"trackingId\":5}},\"dictionaries\":{\"d\":null}}",
    L"{\"a\":{\"b\":{\"c\":[[[{\"d\":[]}]]]}},\"l\":[null,true,{\"name\":1}]}",
};

enum class Kind { Malformed, Unknown };

struct Sample {
    std::wstring text;
    Kind kind;
};

Sample Generate(std::mt19937& random)
{
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    // Mostly shallow; one in twenty past the depth where a recursive parser exhausts the stack.
    auto depth = [&] { return pick(20) == 0 ? 16000 + pick(4000) : 1 + pick(100); };
    const std::wstring& base = kValid[pick(kValid.size())];
    switch (pick(9)) {
    case 0:  // cut before the closing brace of the root
        return {base.substr(0, pick(base.size() - 1)), Kind::Malformed};
    case 1: {  // unclosed nesting
        return {L"{\"a\":" + std::wstring(depth(), pick(2) ? L'[' : L'{'), Kind::Malformed};
    }
    case 2: {  // closed nesting: parses, nested values are skipped
        const size_t levels = depth();
        return {L"{\"a\":" + std::wstring(levels, L'[') + std::wstring(levels, L']') + L"}", Kind::Unknown};
    }
    case 3: {  // broken or lone surrogate escapes, bad escapes, bad hex
        const wchar_t* escapes[] = {L"\\uDC00", L"\\uD800", L"\\uD800x", L"\\uD800\\u0041", L"\\q", L"\\u12G4", L"\\"};
        return {L"{\"k\":\"a" + std::wstring(escapes[pick(7)]) + L"\"}", Kind::Malformed};
    }
    case 4: {  // numbers out of range or badly formed
        const wchar_t* numbers[] = {L"1e400", L"-1e999", L"01", L"1.", L"1e", L"-", L"+1", L"0x10", L"NaN", L"Infinity"};
        return {L"{\"n\":" + std::wstring(numbers[pick(10)]) + L"}", Kind::Malformed};
    }
    case 5: {  // a NUL inside a string ends the text there
        std::wstring text = L"{\"k\":\"ab";
        text.push_back(L'\0');
        return {text + L"cd\"}", Kind::Malformed};
    }
    case 6: {  // random units (raw lone surrogates, controls, NULs) spliced in
        std::wstring text = base;
        for (size_t n = 1 + pick(4); n > 0; --n) text.insert(pick(text.size() + 1), 1, static_cast<wchar_t>(random() & 0xFFFF));
        return {text, Kind::Unknown};
    }
    case 7:
        return {kOddTypes[pick(kOddTypes.size())], Kind::Unknown};
    default: {  // structure characters replaced at random
        std::wstring text = base;
        const wchar_t swaps[] = L"{}[]:,\"";
        for (size_t n = 1 + pick(3); n > 0; --n) text[pick(text.size())] = swaps[pick(7)];
        return {text, Kind::Unknown};
    }
    }
}

TEST(HostileJson, TenThousandGeneratedTextsAreRefusedOrReadWithoutFault)
{
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    TestUtil::ScratchDir dir;
    const std::wstring path = dir.File(L"config.json");
    CCAJsonParser parser;
    size_t malformed = 0, accepted = 0;
    for (int n = 0; n < 10000; ++n) {
        const Sample sample = Generate(random);
        KeyValueMap map;
        NestedKeyValueMap nested;
        KeyValueMapLists lists;
        const DWORD flat = parser.JsonObjectToMap(sample.text, map);
        const DWORD both = parser.JsonToObjectsAndArrays(sample.text, nested, lists);
        const bool valid = parser.IsValidJsonObject(sample.text);

        // Every text reaches the configuration readers; one in ten also goes the whole file road
        // (UTF-8 on disk, so lone surrogates become U+FFFD there).
        Taliro::AnalyticsConfigManager manager;
        DWORD file = kFail;
        if (n % 10 == 0) {
            ASSERT_TRUE(TestUtil::WriteFileBytes(path, TestUtil::Narrow(sample.text)));
            file = manager.Initialize(path);
        } else {
            Taliro::Analytics::WDocument document;
            try {
                document.Parse<Taliro::Analytics::kJsonParseFlags>(sample.text.c_str());
            } catch (const Taliro::Analytics::JsonAssertionFailed&) {
            }
            if (!document.HasParseError() && document.IsObject()) file = manager.ProcessAll(document);
        }

        if (sample.kind == Kind::Malformed) {
            ++malformed;
            ASSERT_EQ(87u, flat) << n;
            ASSERT_EQ(87u, both) << n;
            ASSERT_FALSE(valid) << n;
            ASSERT_TRUE(map.empty() && nested.empty() && lists.empty()) << n;
            ASSERT_EQ(kFail, file) << n;
        } else {
            ASSERT_TRUE(flat == 0 || flat == 87) << n;
            ASSERT_EQ(flat, both) << n;
            ASSERT_EQ(flat == 0, valid) << n;
            ASSERT_TRUE(file == 0 || file == kFail) << n;
            if (flat == 0) ++accepted;
            if (file == 0) {
                KeyValueMapLists transports, datasets;
                NestedKeyValueMap settings;
                manager.GetConfiguration(L"A", transports, datasets, settings);
            }
        }
    }
    EXPECT_GT(malformed, 3000u);
    EXPECT_GT(accepted, 500u);
}

} // namespace
