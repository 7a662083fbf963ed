// The Google Analytics sink end to end: WinHTTP over real HTTPS to a local collector
// (tests/tools/ga_collector.py, a host Python that Wine starts from its Z:\ path).
#include <winsock2.h>
#include <psapi.h>

#include "transports/GAPlugin.h"
#include "transports/GASender.h"
#include "transports/HttpSender.h"

#include "GaCollector.h"
#include "LogCapture.h"
#include "TestPki.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {
const bool g_capture = (LogCapture::InstallBeforeFirstLog(), true);
using namespace TestCollector;

// Sends through a plugin whose sender reads the collection host from a scratch key.
class GATransport : public ::testing::Test, public Taliro::GAPlugin {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(TestPki::TrustTestRoot());
        ASSERT_FALSE(collector_.Host().empty()) << "the collector did not start";
        SetHost(collector_.Host());
    }
    void SetHost(const std::wstring& host)
    {
        key_.WriteRaw(L"gaCollectionHost", REG_SZ, host.c_str(), static_cast<DWORD>((host.size() + 1) * sizeof(wchar_t)));
    }
    std::shared_ptr<Taliro::IHttpSender> CreateSender() override
    {
        return std::make_shared<Taliro::GASender>(key_.Root(), key_.Path(), waitMs_);
    }
    bool SendEvent(const KeyValueMap& data, const std::wstring& trackerId = L"UA-1")
    {
        LoadProfile(std::make_shared<Taliro::PluginConfiguration>(
            L"options", std::make_shared<Taliro::PluginConfiguration>(L"trackerId", trackerId)));
        MergeDictionary({{L"Category", L"ec"}, {L"Label", L"el"}, {L"ClientId", L"dictionary-loses"}});
        Taliro::PluginTracker item(data);
        return SendWithTrackingId(item, hit_);
    }

    Collector collector_;
    TestUtil::ScratchRegKey key_;
    DWORD waitMs_ = 5000;
    std::wstring hit_;
    Collector::Request request_;
};

TEST_F(GATransport, HitArrivesAsEncodedPairsAndRefusedHitsStayHome)
{
    ASSERT_TRUE(SendEvent({{L"Type", L"Event"}, {L"ClientId", L"device-1"}, {L"Category", L"a&b=c+d %"}, {L"Action", L""},
                           {L"Label", std::wstring(L"\u00e9\u65e5 \U0001F600 x") + L'\xD800' + L"y"}, {L"Other", L"x"}}));
    ASSERT_TRUE(collector_.Next(request_));
    EXPECT_EQ("POST /collect", request_.method + " " + request_.path);
    EXPECT_NE(std::string::npos, request_.headers.find("User-Agent: GA\n"));
    EXPECT_EQ(TestUtil::Narrow(hit_), request_.body);
    EXPECT_EQ(std::string::npos, request_.body.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~%&="));
    EXPECT_EQ((Pairs{{"v", "1"}, {"tid", "UA-1"}, {"aip", "1"}, {"t", "event"}, {"cid", "device-1"}, {"ec", "a&b=c+d %"},
                     {"el", "\xC3\xA9\xE6\x97\xA5 \xF0\x9F\x98\x80 x\xEF\xBF\xBDy"}}),
              Split(request_.body));

    LogCapture::Clear();
    EXPECT_FALSE(SendEvent({{L"Type", L"Event"}}, L""));
    EXPECT_EQ(1u, LogCapture::Count(L"The hit has no tracking id. Will not send", 4, L"GAPlugin"));
    EXPECT_TRUE(SendEvent({{L"TrackingId", L"UA-EVENT"}}, L"")); // the event's own id wins
    ASSERT_TRUE(collector_.Next(request_));
    EXPECT_EQ((Pairs{{"v", "1"}, {"tid", "UA-EVENT"}, {"aip", "1"}}), Split(request_.body));
    size_t room = kMaxHitBytes - JoinParameters({{L"v", L"1"}, {L"tid", L"UA-1"}, {L"aip", L"1"}, {L"el", L""}}).size();
    EXPECT_TRUE(SendEvent({{L"Label", std::wstring(room, L'x')}}));
    ASSERT_TRUE(collector_.Next(request_));
    EXPECT_EQ(kMaxHitBytes, request_.body.size());
    EXPECT_FALSE(SendEvent({{L"Label", std::wstring(room + 1, L'x')}}));
    EXPECT_EQ(1u, LogCapture::Count(L"The hit has 8193 bytes, more than the limit of 8192. Will not send", 4));
    // A value far past the limit is never encoded whole, and the text handed back is cut.
    std::wstring huge(4u << 20, L'\u00e9');
    PROCESS_MEMORY_COUNTERS before = {}, after = {};
    before.cb = after.cb = sizeof before;
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before));
    EXPECT_FALSE(SendEvent({{L"Type", huge}}));
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after));
    // About 12 bytes a character at the peak; encoding the value whole takes about 22.
    EXPECT_LT(after.PeakWorkingSetSize - before.PeakWorkingSetSize, huge.size() * 16);
    EXPECT_EQ(kCutMark, hit_.substr(kMaxHitBytes));
    EXPECT_EQ(1u, LogCapture::Count(L"The hit has 25165845 bytes, more than the limit of 8192. Will not send", 4));
    EXPECT_TRUE(collector_.NoFurtherRequest());
}

TEST_F(GATransport, OnlyStatus200IsSuccessWithoutRetryRedirectOrHang)
{
    for (const char* answer : {"200", "200 400", "204", "302", "307", "500", "never"}) {
        waitMs_ = std::string(answer) == "never" ? 1000 : 5000;
        ASSERT_TRUE(collector_.SetMode(answer));
        ULONGLONG start = GetTickCount64();
        EXPECT_EQ(answer[0] == '2' && answer[1] == '0' && answer[2] == '0', SendEvent({{L"Type", L"Screen"}})) << answer;
        EXPECT_LT(GetTickCount64() - start, 8000u) << answer;
        EXPECT_TRUE(collector_.Next(request_) && Split(request_.body).count({"t", "screenview"})) << answer;
        EXPECT_TRUE(collector_.NoFurtherRequest()) << answer;
    }
}

TEST_F(GATransport, CollectionHostComesFromTheRegistryWhenWellFormed)
{
    std::wstring builtIn = Taliro::GASender(key_.Root(), key_.Path() + L"\\missing").Url();
    EXPECT_EQ(L"https://" + collector_.Host() + L"/collect", Taliro::GASender(key_.Root(), key_.Path()).Url());
    LogCapture::Clear();
    for (const wchar_t* bad : {L"", L"bad host", L"host:0", L"host:65536", L"host:", L":80", L"-a.b", L"a..b", L"https://x"}) {
        SetHost(bad);
        EXPECT_EQ(builtIn, Taliro::GASender(key_.Root(), key_.Path()).Url()) << bad;
    }
    DWORD number = 1;
    key_.WriteRaw(L"gaCollectionHost", REG_DWORD, &number, sizeof(number));
    EXPECT_EQ(builtIn, Taliro::GASender(key_.Root(), key_.Path()).Url());
    EXPECT_EQ(10u, LogCapture::Lines().size());
    SetHost(L"collect.example-1.test:65535");
    EXPECT_EQ(L"https://collect.example-1.test:65535/collect", Taliro::GASender(key_.Root(), key_.Path()).Url());
}

TEST_F(GATransport, TransactionKeepsOnlyItsSessionBetweenSends)
{
    auto transaction = std::make_shared<Taliro::HttpTransaction>();
    Taliro::HttpSender sender(transaction, L"https://" + collector_.Host() + L"/collect");
    EXPECT_FALSE(sender.Send("a=1") || transaction->HasSession());
    ASSERT_TRUE(sender.Initialize() && sender.Initialize() && !transaction->Open(L"GA", 0));
    EXPECT_TRUE(sender.Send("a=1"));
    EXPECT_TRUE(transaction->HasSession() && !transaction->HasConnection() && !transaction->HasRequest());
    EXPECT_TRUE(collector_.Next(request_) && request_.body == "a=1" && collector_.NoFurtherRequest());

    // What the sender does not use, on the same session.
    ASSERT_TRUE(transaction->OpenUrl(L"POST", (L"https://" + collector_.Host() + L"/other").c_str()));
    char data[] = "b=2", body[16] = {};
    wchar_t header[64] = {};
    DWORD size = sizeof(header), length = 0, available = 0, read = 0;
    ASSERT_TRUE(transaction->AddRequestHeaders(L"X-Test: yes\r\n", DWORD(-1), WINHTTP_ADDREQ_FLAG_ADD) &&
                transaction->SendRequest(data, 3) && transaction->ReceiveResponse());
    EXPECT_TRUE(transaction->QueryHeaders(L"X-Collector", header, &size, WINHTTP_NO_HEADER_INDEX));
    EXPECT_STREQ(L"ga", header);
    EXPECT_TRUE(!transaction->QueryContentLength(nullptr) && transaction->QueryContentLength(&length) && length == 9);
    EXPECT_TRUE(transaction->QueryDataAvailable(&available) && transaction->ReadData(body, available, &read));
    EXPECT_EQ("collected", std::string(body, read));
    ASSERT_TRUE(collector_.Next(request_));
    EXPECT_EQ("/other b=2", request_.path + " " + request_.body);
    EXPECT_NE(std::string::npos, request_.headers.find("X-Test: yes"));
    EXPECT_TRUE(transaction->CloseRequest() && !transaction->CloseRequest() && transaction->CloseConnection());
    EXPECT_TRUE(transaction->CloseSession() && !transaction->Connect(L"127.0.0.1", 443, nullptr));
}
} // namespace
