// One event at a time through processing and dispatch, in this process: the configuration file,
// the registry (redirected to a scratch key), the local HTTPS collector, the Nimbo doubles and
// the transports text log are all real.
#include <winsock2.h>

#include "config/AnalyticsConfigManager.h"
#include "events/CAEvent.h"
#include "logging/AnalyticsLogger.h"
#include "registry/CADataManager.h"
#include "registry/CAUtils.h"
#include "registry/ConfigurationRegistry.h"
#include "service/CAEventProcessor.h"

#include "GaCollector.h"
#include "LogCapture.h"
#include "NimboDoubles.h"
#include "TestPki.h"
#include "TestUtil.h"

#include "Lumetra/ObfuscatedRegKey.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace TestCollector;
using namespace Taliro::Analytics;

const bool g_capture = (LogCapture::InstallBeforeFirstLog(), true);
const std::wstring kSettings = L"SOFTWARE\\Orvane\\OvTelvana";

const char kConfig[] = R"({
  "fileVersion": "7.1",
  "gaProfiles": { "main": { "trackingId": "UA-77" } },
  "dictionaries": { "ga": { "Action": "ea" }, "nimbo": { "Action": "act", "UniqueId": "uid" } },
  "telemetryGroups": { "g": { "enabledList": ["U1"], "transports": ["ga", "nimbo"], "gaProfile": "main",
      "gaDictionary": "ga", "nimboDictionary": "nimbo", "appId": "app-1", "nimboSourceId": "src",
      "caSettings": { "saveAndMinimise": "true" } } }
})";

class EventProcessing : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(TestPki::TrustTestRoot());
        ASSERT_FALSE(m_collector.Host().empty()) << "the collector did not start";
        SetRegistryRedirection(m_scratch.Root(), m_scratch.Path());
        ASSERT_TRUE(TestUtil::WriteFileBytes(m_dir.File(L"config.json"), kConfig));
        Text(L"configFileDir", m_dir.File(L"config.json"));
        Text(L"gaCollectionHost", m_collector.Host());
        Text(L"enabledSinks", L"ga;nimbo");
        Flag(L"globalEnable", 1);
        Flag(L"enableTelvana", 1);
        Flag(L"setupComplete", 1);
        Lumetra::CObfuscatedRegKey key;
        ASSERT_EQ(0, key.Create(m_scratch.Root(), (m_scratch.Path() + L"\\" + kSettings).c_str()));
        ASSERT_EQ(0, key.SetDWORDValue(L"enableLegacyAutomationLogs", 1));
        CAnalyticsLoggerHelper::SetInstance(std::make_shared<CAnalyticsLoggerHelper>(m_dir.Path()));
        m_nimbo.Set(L"AppInfoText", L"dev-1");
        m_nimbo.Set(L"CohortText", L"{\"new\":\"{\\\"id\\\":\\\"c-9\\\"}\"}");
        m_nimbo.SetSegment(L"seg-3");
        CAEvent::NimboSettings() = m_nimbo.settings;
        // The worker loads the configuration before it hands an event over.
        ASSERT_TRUE(Taliro::AnalyticsConfigManager::GetInstance()->Initialize());
        LogCapture::Clear();
    }
    void TearDown() override
    {
        CAnalyticsLoggerHelper::SetInstance(nullptr);
        ClearRegistryRedirection();
    }
    void Text(const wchar_t* name, const std::wstring& value) { ASSERT_EQ(0u, SaveStringValueToRegistry(kSettings, name, value, 0)); }
    void Flag(const wchar_t* name, DWORD value) { ASSERT_EQ(0u, SaveValueToRegistry(kSettings, name, value, 0)); }
    std::wstring Stored(const wchar_t* name)
    {
        std::wstring value;
        GetStringFromRegistry(kSettings, name, value, 0);
        return value;
    }
    Pairs NextHit()
    {
        Collector::Request request;
        EXPECT_TRUE(m_collector.Next(request));
        return Split(request.body);
    }
    std::vector<std::wstring> NimboSends()
    {
        std::vector<std::wstring> payloads;
        for (const NimboTest::Call& call : m_nimbo.TakeCalls())
            if (call.method == L"SendEvent") payloads.push_back(call.args.at(0));
        return payloads;
    }
    // The names of the cache values, read past the code under test.
    std::vector<std::wstring> CachedNames()
    {
        std::vector<std::wstring> names;
        Lumetra::CRegKey key;
        wchar_t name[256];
        DWORD chars = 256;
        if (key.Open(m_scratch.Root(), (m_scratch.Path() + L"\\" + kSettings + L"\\Cached").c_str(), KEY_READ) == 0)
            while (RegEnumValueW(key.GetHandle(), static_cast<DWORD>(names.size()), name, &chars, nullptr, nullptr,
                                 nullptr, nullptr) == 0)
                names.emplace_back(name, chars), chars = 256;
        return names;
    }
    static bool Has(const Pairs& hit, const char* name)
    {
        return std::any_of(hit.begin(), hit.end(), [&](const auto& pair) { return pair.first == name; });
    }

    Collector m_collector;
    TestUtil::ScratchRegKey m_scratch;
    TestUtil::ScratchDir m_dir;
    NimboTest::NimboDoubles m_nimbo{false};
};

TEST_F(EventProcessing, FileConfiguredEventReachesBothSinksAndLaterOnlyItsChanges)
{
    CAEvent(nullptr, L"{\"UniqueId\":\"U1\",\"Type\":\"Event\",\"Action\":\"open\",\"Extra\":\"x\"}", nullptr).ProcessEvent();
    Pairs hit = NextHit();
    for (const auto& pair : Pairs{{"v", "1"}, {"tid", "UA-77"}, {"aip", "1"}, {"cid", "dev-1"}, {"t", "event"}, {"ea", "open"}})
        EXPECT_EQ(1u, hit.count(pair)) << pair.first;
    EXPECT_EQ(6u, hit.size());  // keys without a parameter are not sent
    std::vector<std::wstring> sends = NimboSends();
    ASSERT_EQ(1u, sends.size());
    EXPECT_NE(std::wstring::npos, sends[0].find(L"\"event_data\":{")) << sends[0];
    EXPECT_NE(std::wstring::npos, sends[0].find(L"\"act\":\"open\""));
    EXPECT_NE(std::wstring::npos, sends[0].find(L"\"sourceid\":\"src\""));
    EXPECT_EQ(std::wstring::npos, sends[0].find(L"Extra"));  // the dictionary decides what goes
    EXPECT_EQ(L"dev-1", Stored(L"DeviceID"));
    EXPECT_EQ(std::vector<std::wstring>{L"U1"}, CachedNames());
    std::wstring cached;
    EXPECT_EQ(0u, CCADataManager().LoadCachedText(L"U1", cached));
    EXPECT_NE(std::wstring::npos, cached.find(L"\"Action\":\"open\""));
    const std::string log = TestUtil::ReadFileBytes(m_dir.File(L"TransportsLog.txt"));
    EXPECT_NE(std::string::npos, log.find("\"uniqueId\":\"U1\",\"transports\":[\"ga_legacy\"],\"status\":\"Success\""));
    EXPECT_NE(std::string::npos, log.find("\"transports\":[\"nimbo_legacy\"],\"status\":\"Success\""));

    // Unchanged: only the keys always sent go out.
    CAEvent(nullptr, L"{\"UniqueId\":\"U1\",\"Type\":\"Event\",\"Action\":\"open\",\"Extra\":\"x\"}", nullptr).ProcessEvent();
    hit = NextHit();
    EXPECT_FALSE(Has(hit, "ea"));
    EXPECT_EQ(1u, hit.count({"t", "event"}));
    NimboSends();

    // A failed send does not advance the cache, so the change goes out with the next event.
    ASSERT_TRUE(m_collector.SetMode("500"));
    CAEvent(nullptr, L"{\"UniqueId\":\"U1\",\"Type\":\"Event\",\"Action\":\"close\"}", nullptr).ProcessEvent();
    EXPECT_EQ(1u, NextHit().count({"ea", "close"}));
    ASSERT_TRUE(m_collector.SetMode("200"));
    CAEvent(nullptr, L"{\"UniqueId\":\"U1\",\"Type\":\"Event\",\"Action\":\"close\"}", nullptr).ProcessEvent();
    EXPECT_EQ(1u, NextHit().count({"ea", "close"}));
    EXPECT_TRUE(m_collector.NoFurtherRequest());

    // Lone surrogates are cached as U+FFFD and a pair as it is, so the cache stays readable.
    const std::wstring odd = L"{\"UniqueId\":\"U1\",\"Type\":\"Event\",\"Action\":\"open\",\"High\":\"a\xD800"
                             L"b\",\"Low\":\"\xDC00\",\"Pair\":\"\xD83D\xDE00\"}";
    CAEvent(nullptr, odd.c_str(), nullptr).ProcessEvent();
    EXPECT_EQ(1u, NextHit().count({"ea", "open"}));
    KeyValueMap stored;
    ASSERT_EQ(0u, CCADataManager().LoadCachedMap(L"U1", stored));
    EXPECT_EQ((std::vector<std::wstring>{L"a\xFFFD" L"b", L"\xFFFD", L"\xD83D\xDE00"}),
              (std::vector<std::wstring>{stored[L"High"], stored[L"Low"], stored[L"Pair"]}));

    // A device id the server cannot give never replaces the stored one.
    m_nimbo.Set(L"AppInfoResult", static_cast<HRESULT>(E_FAIL));
    CAEvent(nullptr, L"{\"UniqueId\":\"U1\",\"Type\":\"Event\",\"Action\":\"again\"}", nullptr).ProcessEvent();
    EXPECT_EQ(1u, NextHit().count({"cid", "00000000-0000-0000-0000-000000000000"}));
    EXPECT_EQ(L"dev-1", Stored(L"DeviceID"));
}

TEST_F(EventProcessing, ConfigurationPassedWithTheEventAndWhatStopsAnEvent)
{
    // No unique id the file knows: the configuration passed along is used, and nothing is cached.
    const wchar_t* manual = L"{\"transport\":[{\"name\":\"ga\",\"id\":\"a\",\"ga_tracking_id\":\"UA-9\"}],"
                            L"\"gaDictionary\":{\"Screen\":\"cd\"},\"settings\":{\"saveAndMinimise\":\"true\"}}";
    CAEvent(manual, L"{\"Type\":\"Screen\",\"Screen\":\"home\",\"OsVersion\":\"mine\"}", nullptr).ProcessEvent();
    Pairs hit = NextHit();
    EXPECT_EQ(1u, hit.count({"tid", "UA-9"}));
    EXPECT_EQ(1u, hit.count({"t", "screenview"}));
    EXPECT_EQ(1u, hit.count({"cd", "home"}));
    EXPECT_EQ(1u, LogCapture::Count(L"Using manual configuration. Setting config file version to -1", 1, L"CAEvent"));
    // Nor is an event whose id is empty, holds a NUL (the value name would end at it, at the
    // cache of "a") or does not narrow to the ANSI code page; a usable one, sent last, is.
    for (const wchar_t* id : {L"", L"a\\u0000b", L"id-\u0101", L"usable"}) {
        const std::wstring event = std::wstring(L"{\"UniqueId\":\"") + id + L"\",\"Type\":\"Screen\"}";
        CAEvent(manual, event.c_str(), nullptr).ProcessEvent();
        NextHit();
    }
    EXPECT_EQ(std::vector<std::wstring>{L"usable"}, CachedNames());

    struct Case {
        const wchar_t* configuration;
        const wchar_t* event;
        const wchar_t* datasets;
        const wchar_t* line;
    } cases[] = {
        {nullptr, L"", nullptr, L"Event Data supplied is null or empty"},
        {nullptr, L"{\"UniqueId\":", nullptr, L"Failed to parse eventdata for process %d"},
        {nullptr, L"{\"Type\":\"x\"}", nullptr, L"Failed to fetch configuration for process %d"},
        {L"[1]", L"{\"Type\":\"x\"}", nullptr, L"Failed to parse configuration appended to the event for process %d"},
        {L"{\"transport\":[{\"name\":\"other\"}]}", L"{\"Type\":\"x\"}", nullptr,
         L"Exiting process event due to required transport layer"},
        {nullptr, L"{\"UniqueId\":\"U1\"}", L"{\"datasets\":", L"Failed to parse list of additional datasets for process %d"},
    };
    for (const Case& c : cases) {
        LogCapture::Clear();
        CAEvent event(c.configuration, c.event, c.datasets);
        event.ProcessEvent();
        std::wstring line = c.line;
        const size_t at = line.find(L"%d");
        if (at != std::wstring::npos) line.replace(at, 2, std::to_wstring(event.GetEventId()));
        EXPECT_EQ(1u, LogCapture::Count(line, 0, L"CAEvent")) << TestUtil::Narrow(line);
    }
    // A dataset name is looked up once, however many entries name it.
    std::wstring list = L"{\"datasets\":[";
    for (int n = 0; n < 20000; ++n) list += L"{\"name\":\"none\",\"n\":\"" + std::to_wstring(n) + L"\"},";
    CAEvent(nullptr, L"{\"UniqueId\":\"U1\"}", (list + L"{\"name\":\"other\"}]}").c_str()).ProcessEvent();
    NextHit();
    for (const wchar_t* name : {L"none", L"other"})
        EXPECT_EQ(1u, LogCapture::Count(L"Failed to load dataset " + std::wstring(name), 4));
    EXPECT_TRUE(m_collector.NoFurtherRequest());
}

// Generated malformed events, configurations and dataset lists through the worker with no pause:
// nothing crashes, no exception leaves an event, and every accepted event is processed.
TEST_F(EventProcessing, TenThousandMalformedInputsAreAllProcessedWithoutFault)
{
    Flag(L"enableGoogleAnalytics", 0);
    Text(L"enabledSinks", L"nimbo");
    const wchar_t* events[] = {L"{\"UniqueId\":\"U1\",\"Type\":\"t\"}", L"{\"Type\":\"t\",\"n\":1e400}", L"",
                               L"{\"Hit.UniqueID\":\"\",\"UniqueId\":\"U1\"}", L"[]", L"{\"a\":\"\\uDC00\"}",
                               L"{\"UniqueId\":{\"x\":[[[]]]},\"v\":true}", L"{\"k\":\"\u65e5\",", L"null"};
    const wchar_t* configurations[] = {nullptr, L"", L"{\"transport\":[{\"name\":\"nimbo\"}]}",
                                       L"{\"transport\":[{\"name\":\"nimbo\",\"id\":\"a\"}],\"settings\":[]}",
                                       L"{\"transport\":\"ga\"}", L"{\"transport\":[1,2,{\"name\":5}]", L"{{"};
    const wchar_t* datasets[] = {nullptr, L"", L"{\"datasets\":[{\"name\":\"none\"},{\"name\":\"none\"}]}",
                                 L"{\"datasets\":[7,null]}", L"{\"datasets\":{}}", L"]"};
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto pick = [&](auto& list) { return list[random() % (sizeof(list) / sizeof(list[0]))]; };

    CAEventProcessor processor;
    processor.SetTiming({60000, 60000, 600000, 0});
    ASSERT_TRUE(processor.Start());
    LogCapture::Clear();
    constexpr int kEvents = 10000;
    for (int n = 0; n < kEvents; ++n) {
        std::wstring event = pick(events);
        if (random() % 4 == 0 && !event.empty()) event.insert(random() % event.size(), 1, static_cast<wchar_t>(random()));
        while (processor.unsafe_size() >= CAEventProcessor::kMaxQueued) Sleep(1);
        processor.AddEvent(std::make_shared<CAEvent>(pick(configurations), event.c_str(), pick(datasets)));
    }
    while (!processor.empty()) Sleep(10);
    processor.ShutDown();
    size_t processed = 0;
    for (const LogCapture::Line& line : LogCapture::Lines()) {
        if (line.text.rfind(L"Processing event ", 0) == 0) ++processed;
        EXPECT_EQ(std::wstring::npos, line.text.find(L"failed")) << TestUtil::Narrow(line.text);
    }
    EXPECT_EQ(static_cast<size_t>(kEvents), processed);
}

} // namespace
