#include "config/AnalyticsConfigManager.h"
#include "registry/CAUtils.h"
#include "registry/ConfigurationRegistry.h"

#include "LogCapture.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

namespace {

using Taliro::AnalyticsConfigManager;

constexpr DWORD kAbort = 0x80004004;
constexpr DWORD kFail = 0x80004005;
const std::wstring kSource = L"AnalyticsConfigManager";

// Written by hand: two groups list "X" (the later serves it), a group of the wrong type, odd member types.
const char kConfig[] = R"({
  "fileVersion": "2.4.1",
  "gaProfiles": { "main": { "trackingId": "UA-1-1", "other": "ignored" }, "empty": {} },
  "dictionaries": { "gaDict": { "a": "ga_a", "a": "ga_a_later", "b": "ga_b" }, "nimboDict": { "c": "n_c" } },
  "telemetryGroups": {
    "early": { "enabledList": ["X", "E"], "transports": ["ga"], "gaProfile": "main", "appId": "early" },
    "late": { "enabledList": ["X", 7, "Y"], "transports": ["ga", "nimbo", "other"], "datasets": ["ds1", "ds2"],
              "gaProfile": "missing", "gaDictionary": "gaDict", "nimboDictionary": "nimboDict",
              "nimboCheckEnabled": "true", "appId": 12, "nimboSourceId": "src",
              "caSettings": { "saveAndMinimise": "true", "n": 5 } },
    "odd": ["not", "an", "object"],
    "typed": { "enabledList": ["T"], "transports": ["ga"], "gaProfile": "main", "appId": true,
               "nimboSourceId": -3, "gaDictionary": 3.5 }
  }
})";

struct Configuration {
    KeyValueMapLists transports;
    KeyValueMapLists datasets;
    NestedKeyValueMap settings;
};

Configuration Get(AnalyticsConfigManager& manager, const std::wstring& id, DWORD expected = 0)
{
    Configuration c;
    EXPECT_EQ(expected, manager.GetConfiguration(id, c.transports, c.datasets, c.settings)) << id.c_str();
    return c;
}

TEST(AnalyticsConfigManager, GroupsProfilesAndDictionariesMakeTheConfigurationOfAnId)
{
    TestUtil::ScratchDir dir;
    const std::wstring path = dir.File(L"config.json");
    ASSERT_TRUE(TestUtil::WriteFileBytes(path, std::string("\xEF\xBB\xBF") + kConfig));
    AnalyticsConfigManager manager;
    LogCapture::Clear();
    ASSERT_EQ(0u, manager.Initialize(path));
    EXPECT_EQ(L"2.4.1", manager.GetFileVersion());
    EXPECT_EQ(1u, LogCapture::Count(L"Invalid Json object", 4, L"TelemetryGroup"));
    EXPECT_EQ(1u, LogCapture::Count(L"Unhandeled JSON member type : appId", 4, L"AnalyticsConfigParser"));

    Configuration x = Get(manager, L"X");
    EXPECT_EQ(KeyValueMapLists({{L"transport",
                                 {{{L"name", L"ga"}, {L"id", L"12"}, {L"ga_tracking_id", L""}},
                                  {{L"name", L"nimbo"}, {L"id", L"12"}, {L"nimboCheckEnabled", L"true"},
                                   {L"nimboSourceId", L"src"}},
                                  {{L"name", L"other"}, {L"id", L"12"}}}}}),
              x.transports);
    EXPECT_EQ(KeyValueMapLists({{L"datasets", {{{L"name", L"ds1"}}, {{L"name", L"ds2"}}}}}), x.datasets);
    EXPECT_EQ(NestedKeyValueMap({{L"gaDictionary", {{L"a", L"ga_a"}, {L"b", L"ga_b"}}},
                                 {L"nimboDictionary", {{L"c", L"n_c"}}},
                                 {L"settings", {{L"saveAndMinimise", L"true"}}}}),
              x.settings);

    // The earlier group still serves the ids only it lists; no caSettings means no "settings".
    Configuration e = Get(manager, L"E");
    EXPECT_EQ(KeyValueMapLists({{L"transport", {{{L"name", L"ga"}, {L"id", L"early"}, {L"ga_tracking_id", L"UA-1-1"}}}}}),
              e.transports);
    EXPECT_EQ(KeyValueMapLists({{L"datasets", {}}}), e.datasets);
    EXPECT_EQ(NestedKeyValueMap({{L"gaDictionary", {}}, {L"nimboDictionary", {}}}), e.settings);

    Configuration t = Get(manager, L"T");
    EXPECT_EQ(L"", t.transports[L"transport"][0][L"id"]);  // boolean appId reads as empty
    EXPECT_TRUE(t.settings[L"gaDictionary"].empty());      // a number names no dictionary

    LogCapture::Clear();
    Configuration none = Get(manager, L"x", kFail);  // ids are case-sensitive; group names play no part
    Get(manager, L"late", kFail);
    EXPECT_TRUE(none.transports.empty() && none.datasets.empty() && none.settings.empty());
    EXPECT_EQ(2u, LogCapture::Count(L"No LEGACY Telemetry Group Was found", 3, kSource));
    EXPECT_EQ(1u, LogCapture::Count(L"Retrieving Telemetry Group for uid: x", 3, kSource,
                                    L"Taliro::AnalyticsConfigManager::GetConfiguration"));

    // The same text without the byte-order mark reads alike.
    const std::wstring plain = dir.File(L"plain.json");
    ASSERT_TRUE(TestUtil::WriteFileBytes(plain, kConfig));
    AnalyticsConfigManager second;
    ASSERT_EQ(0u, second.Initialize(plain));
    Configuration again = Get(second, L"X");
    EXPECT_EQ(x.transports, again.transports);
    EXPECT_EQ(x.settings, again.settings);
}

TEST(AnalyticsConfigManager, FilesThatCannotBeReadAreRefusedAndKeepWhatWasLoaded)
{
    TestUtil::ScratchDir dir;
    AnalyticsConfigManager manager;
    const std::wstring good = dir.File(L"good.json");
    ASSERT_TRUE(TestUtil::WriteFileBytes(good, R"({"telemetryGroups":{"g":{"enabledList":["U"]}}})"));
    ASSERT_EQ(0u, manager.Initialize(good));
    EXPECT_EQ(L"", manager.GetFileVersion());

    struct Case {
        const char* bytes;  // null: no file at all
        DWORD result;
        const wchar_t* line;
    } cases[] = {
        {nullptr, kAbort, nullptr},
        {"", kFail, L"Failed to parse config file."},
        {"{\"a\":", kFail, L"Failed to parse config file."},
        {"{\"a\":\"caf\xE9\"}", kFail, L"Failed to parse config file."},  // Latin-1, not UTF-8
        {"[1,2]", kFail, L"Config file is not a valid objed"},
        {"\"text\"", kFail, L"Config file is not a valid objed"},
    };
    for (const Case& c : cases) {
        const std::wstring path = dir.File(TestUtil::UniqueName(L"bad") + L".json");
        if (c.bytes) {
            ASSERT_TRUE(TestUtil::WriteFileBytes(path, c.bytes));
        }
        LogCapture::Clear();
        EXPECT_EQ(c.result, manager.Initialize(path)) << (c.bytes ? c.bytes : "(missing)");
        EXPECT_EQ(1u, LogCapture::Count(L"Error parsing json file", 4, kSource));
        const std::wstring line = c.line ? std::wstring(c.line) : L"Failed to open file " + path;
        EXPECT_EQ(1u, LogCapture::Count(line, 4, kSource, L"Taliro::AnalyticsConfigManager::ParseConfigFile"));
        // What was loaded before stays.
        KeyValueMapLists transports, datasets;
        NestedKeyValueMap settings;
        EXPECT_EQ(0u, manager.GetConfiguration(L"U", transports, datasets, settings));
    }
    LogCapture::Clear();
    EXPECT_EQ(kAbort, manager.Initialize(std::wstring()));
    EXPECT_EQ(1u, LogCapture::Count(L"Configuration File Name is Empty", 4, kSource));
}

TEST(AnalyticsConfigManager, RegistryNamesTheFileAndOnlySuccessIsFinal)
{
    TestUtil::ScratchRegKey scratch;
    SetRegistryRedirection(scratch.Root(), scratch.Path());
    TestUtil::ScratchDir dir;
    const std::wstring path = dir.File(L"telemetry config.json");
    AnalyticsConfigManager manager;

    LogCapture::Clear();
    EXPECT_FALSE(manager.Initialize());  // no "configFileDir" at all
    EXPECT_EQ(1u, LogCapture::Count(L"Configuration File Name is Empty", 4, kSource));
    EXPECT_EQ(1u, LogCapture::Count(L"Failed to initialize AnalyticsConfigManager. Will not attempt again.", 4, kSource));

    // The value is the whole path; nothing is appended to it.
    ASSERT_EQ(0u, ConfigurationRegistry().WriteStringValue(L"configFileDir", path));
    EXPECT_FALSE(manager.Initialize());  // the file is not there yet
    ASSERT_TRUE(TestUtil::WriteFileBytes(path, R"({"fileVersion":"one"})"));
    EXPECT_TRUE(manager.Initialize());   // a failure is not remembered
    EXPECT_EQ(L"one", manager.GetFileVersion());

    ASSERT_TRUE(TestUtil::WriteFileBytes(path, R"({"fileVersion":"two"})"));
    LogCapture::Clear();
    EXPECT_TRUE(manager.Initialize());   // loaded once for the life of the process
    EXPECT_EQ(L"one", manager.GetFileVersion());
    EXPECT_EQ(0u, LogCapture::Count(L"Starting to Initialize AnalyticsConfigManager"));

    EXPECT_EQ(AnalyticsConfigManager::GetInstance(), AnalyticsConfigManager::GetInstance());
    ClearRegistryRedirection();
}

} // namespace
