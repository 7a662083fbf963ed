#include "transports/NimboPlugin.h"

#include "config/RapidJson.h"

#include "LogCapture.h"
#include "NimboDoubles.h"
#include "TestUtil.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <ctime>
#include <tuple>

namespace {

using namespace NimboTest;
using Taliro::Analytics::kJsonParseFlags;
using Taliro::Analytics::WDocument;

const bool g_capture = (LogCapture::InstallBeforeFirstLog(), true);

std::vector<std::wstring> Methods(const std::vector<Call>& calls)
{
    std::vector<std::wstring> methods;
    for (const Call& call : calls)
        methods.push_back(call.method + (call.args.empty() ? L"" : L":" + call.args.back()));
    return methods;
}

// The payload's "event" members other than "event_data", and "event_data" itself.
std::pair<KeyValueMap, KeyValueMap> ParsePayload(const std::wstring& payload)
{
    WDocument document;
    document.Parse<kJsonParseFlags>(payload.c_str());
    EXPECT_TRUE(document.IsObject() && document.MemberCount() == 1) << TestUtil::Narrow(payload);
    std::pair<KeyValueMap, KeyValueMap> parts;
    for (const auto& member : document[L"event"].GetObject()) {
        if (member.value.IsObject())
            for (const auto& field : member.value.GetObject())
                parts.second[field.name.GetString()] = field.value.GetString();
        else
            parts.first[member.name.GetString()] = member.value.GetString();
        EXPECT_TRUE(member.value.IsString() || member.name == L"event_data");
    }
    return parts;
}

using Records = std::vector<std::tuple<KeyValueMap, std::wstring, bool>>;

TEST(NimboPlugin, InProcessDoublesSeeThePayloadAndCallsGiven)
{
    NimboDoubles doubles(false);
    Records records;
    doubles.settings.recordSend = [&](const KeyValueMap& d, const std::wstring& p, bool s) {
        records.emplace_back(d, p, s);
    };
    doubles.Set(L"AppInfoText", L"dev-1");
    doubles.Set(L"CohortText", LR"({"old":"","new":"{\"id\":\"7\"}"})");
    doubles.SetSegment(L"seg-3");
    Taliro::NimboPlugin plugin(L"app-1", doubles.settings);
    EXPECT_EQ(L"nimbo", plugin.GetName());

    const KeyValueMap data{{L"UniqueId", L"u-1"}, {L"Name", L"a\"b\\ é"}};
    Taliro::PluginTracker tracker(data);
    const long long before = std::time(nullptr);
    EXPECT_TRUE(plugin.Send(tracker));
    plugin.SetSourceId(L"src-9");
    EXPECT_TRUE(plugin.Send(tracker));
    const long long after = std::time(nullptr);

    std::vector<Call> calls = doubles.TakeCalls();
    ASSERT_EQ(6u, calls.size());
    EXPECT_EQ((std::vector<std::wstring>{L"Created", L"SendEvent:" + calls[1].args[0], L"Destroyed", L"Created",
                                         L"SendEvent:" + calls[4].args[0], L"Destroyed"}),
              Methods(calls));
    for (int i : {1, 4}) {
        auto [header, sentData] = ParsePayload(calls[i].args[0]);
        EXPECT_EQ(data, sentData);
        long long stamp = std::stoll(header[L"timestamp"]);
        EXPECT_TRUE(stamp >= before && stamp <= after) << stamp;
        header.erase(L"timestamp");
        KeyValueMap expected{{L"ApplicationID", L"app-1"}, {L"EventType", L"GenAppEvent"}};
        if (i == 4) expected.insert({{L"channelid", L"Pulsekit"}, {L"sourceid", L"src-9"}});
        EXPECT_EQ(expected, header);
        EXPECT_EQ(Records::value_type(data, calls[i].args[0], true), records.at(i / 3));
        EXPECT_EQ(1u, LogCapture::Count(L"Data Sent to Nimbo:  " + calls[i].args[0] + L". Result: 1", 3, L"NimboPlugin",
                                        L"Taliro::NimboPlugin::Send"));
    }

    std::wstring id, segment, cohort;
    EXPECT_EQ(S_OK, plugin.GetDeviceId(L"app-1", id));
    EXPECT_EQ(L"dev-1", id);
    EXPECT_EQ(S_OK, plugin.GetCohortInfo(L"key-2", segment, cohort));
    EXPECT_EQ(L"seg-3", segment);
    EXPECT_EQ(L"7", cohort);
    calls = doubles.TakeCalls();
    EXPECT_EQ((std::vector<std::wstring>{L"Created", L"GetAppInfo:app-1", L"Destroyed", L"Created",
                                         L"GetCohortData:Nimbo_Cohort_V1", L"Destroyed"}),
              Methods(calls));
    EXPECT_EQ(L"key-2", calls.at(4).args.at(0));

    EXPECT_EQ(L"5", plugin.ParseCohortData(LR"({"old":"{\"id\":\"5\"}","new":"{\"id\":\"7\"}"})"));
    EXPECT_EQ(L"", plugin.ParseCohortData(LR"({"other":"{\"id\":\"5\"}"})"));
}

TEST(NimboPlugin, FailuresAndNullAnswersNeverPassForSuccess)
{
    NimboDoubles doubles(false);
    Records records;
    doubles.settings.recordSend = [&](const KeyValueMap& d, const std::wstring& p, bool s) {
        records.emplace_back(d, p, s);
    };
    Taliro::NimboPlugin plugin(L"app-1", doubles.settings);
    Taliro::PluginTracker tracker(KeyValueMap{{L"UniqueId", L"u-1"}});
    LogCapture::Clear();

    doubles.Set(L"SendResult", E_FAIL);
    EXPECT_FALSE(plugin.Send(tracker));
    EXPECT_FALSE(std::get<2>(records.at(0)));
    EXPECT_EQ(1u, LogCapture::Count(L"Error when sending data to Nimbo: -2147467259", 4));

    // A NULL out-string reads as empty; an empty or failed device-id query keeps the old id.
    std::wstring text = L"x", id = L"kept", segment = L"x", cohort = L"x";
    EXPECT_EQ(S_OK, plugin.GetAppInfo(L"app-1", text));
    EXPECT_EQ(L"", text);
    EXPECT_EQ(ERROR_INVALID_DATA, plugin.GetDeviceId(L"app-1", id));
    doubles.Set(L"AppInfoText", L"");
    EXPECT_EQ(ERROR_INVALID_DATA, plugin.GetDeviceId(L"app-1", id));
    doubles.Set(L"AppInfoText", L"dev-2");
    doubles.Set(L"AppInfoResult", E_FAIL);
    EXPECT_EQ(120, plugin.GetDeviceId(L"app-1", id));
    EXPECT_EQ(L"kept", id);
    EXPECT_EQ(1u, LogCapture::Count(L"Error when getting appinfo data from Nimbo: -2147467259", 4));
    EXPECT_EQ(3u, LogCapture::Count(L"Error when getting DeviceID from Nimbo", 4, L"NimboPlugin",
                                    L"Taliro::NimboPlugin::GetDeviceId"));

    EXPECT_EQ(S_OK, plugin.GetCohortInfo(L"app-1", segment, cohort));
    EXPECT_EQ(L"", segment);
    EXPECT_EQ(L"", cohort);
    doubles.Set(L"CohortResult", E_FAIL);
    EXPECT_EQ(120, plugin.GetCohortInfo(L"app-1", segment, cohort));
    EXPECT_EQ(1u, LogCapture::Count(L"Error getting cohort data from Nimbo: 0x80004005", 4));
    doubles.TakeCalls();

    // Servers that are not registered: nothing reaches a double, the segment is still read.
    Taliro::NimboPluginSettings missing = doubles.settings;
    CoCreateGuid(&missing.clientClsid);
    CoCreateGuid(&missing.cohortClsid);
    Taliro::NimboPlugin unreachable(L"app-1", missing);
    doubles.SetSegment(L"seg-3");
    EXPECT_FALSE(unreachable.Send(tracker));
    EXPECT_FALSE(std::get<2>(records.at(1)));
    EXPECT_EQ(1u, LogCapture::Count(L"Error when loading Nimbo client dll: -2147221164", 4));
    EXPECT_EQ(Taliro::NimboPlugin::kServerUnavailable, unreachable.GetDeviceId(L"app-1", id));
    EXPECT_EQ(L"kept", id);
    EXPECT_EQ(Taliro::NimboPlugin::kServerUnavailable, unreachable.GetCohortInfo(L"app-1", segment, cohort));
    EXPECT_EQ(L"seg-3", segment);
    EXPECT_EQ(1u, LogCapture::Count(L"Error when loading Nimbo client dll: 0x80040154", 4));
    EXPECT_TRUE(doubles.TakeCalls().empty());

    // The segment key is only read: a key the server may read but not write still serves it.
    HKEY raw = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, missing.queryParamsPath.c_str(), 0, WRITE_DAC, &raw));
    std::unique_ptr<HKEY__, decltype(&RegCloseKey)> key(raw, &RegCloseKey);
    auto setAccess = [&](const wchar_t* sddl) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr);
        EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor));
        LocalFree(descriptor);
    };
    setAccess(L"D:(A;;KR;;;WD)");
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegOpenKeyExW(HKEY_CURRENT_USER, missing.queryParamsPath.c_str(), 0, KEY_ALL_ACCESS, &raw));
    EXPECT_EQ(L"seg-3", unreachable.ReadCohortSegmentId());
    setAccess(L"D:(A;;KA;;;WD)");
}

TEST(NimboPlugin, LocalServerCarriesTextsAndNullAcrossProcesses)
{
    NimboDoubles doubles(true);
    Platform::ComPtr<ITypeLib> library;
    ASSERT_EQ(S_OK, LoadTypeLibEx(doubles.serverExe.c_str(), REGKIND_NONE, &library));
    ASSERT_EQ(S_OK, RegisterTypeLib(library.Get(), &doubles.serverExe[0], nullptr));
    doubles.Set(L"AppInfoText", L"dév-日-1");
    doubles.Set(L"CohortText", LR"({"old":"{\"id\":\"日\"}"})");
    doubles.Set(L"DelayMs", 50);
    Taliro::NimboPlugin plugin(L"app-1", doubles.settings);
    // Held so the server stays up between the plugin's calls (a cold start costs about a second).
    Platform::ComPtr<IUnknown> hold;
    ASSERT_EQ(S_OK, CoCreateInstance(doubles.settings.clientClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(&hold)));

    std::wstring id, segment, cohort;
    EXPECT_EQ(S_OK, plugin.GetDeviceId(L"app-1", id));
    EXPECT_EQ(L"dév-日-1", id);
    Taliro::PluginTracker tracker(KeyValueMap{{L"Name", L"é日\U0001F600"}});
    EXPECT_TRUE(plugin.Send(tracker));
    EXPECT_EQ(S_OK, plugin.GetCohortInfo(L"app-1", segment, cohort));
    EXPECT_EQ(L"日", cohort);
    doubles.Remove(L"AppInfoText");
    EXPECT_EQ(ERROR_INVALID_DATA, plugin.GetDeviceId(L"app-1", id));
    EXPECT_EQ(L"dév-日-1", id);

    std::vector<Call> calls = doubles.TakeCalls();
    ASSERT_FALSE(calls.empty());
    DWORD server = calls[0].pid;
    EXPECT_NE(GetCurrentProcessId(), server);
    std::vector<std::wstring> methods;
    for (const Call& call : calls) {
        EXPECT_EQ(server, call.pid);
        if (call.method == L"SendEvent") {
            EXPECT_EQ(KeyValueMap({{L"Name", L"é日\U0001F600"}}), ParsePayload(call.args[0]).second);
        }
        if (call.method != L"Created" && call.method != L"Destroyed") methods.push_back(call.method);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"GetAppInfo", L"SendEvent", L"GetCohortData", L"GetAppInfo"}), methods);

    std::unique_ptr<void, decltype(&CloseHandle)> process(OpenProcess(SYNCHRONIZE, FALSE, server), &CloseHandle);
    hold.Reset();
    ASSERT_NE(nullptr, process.get());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), 5000)) << "the server did not end";
}

} // namespace
