// The Google Analytics sink end to end: WinHTTP over real HTTPS to a local collector
// (tests/tools/ga_collector.py, a host Python that Wine starts from a Z:\ path).
#include <winsock2.h>

#include "transports/GAPlugin.h"
#include "transports/GASender.h"
#include "transports/HttpSender.h"

#include "LogCapture.h"
#include "TestPki.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {
const bool g_capture = (LogCapture::InstallBeforeFirstLog(), true);
using Pairs = std::multiset<std::pair<std::string, std::string>>;

std::string FromHex(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string PercentDecode(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
        out += text[i] == '%' && i + 2 < text.size() ? static_cast<char>(std::stoi(text.substr((i += 2) - 1, 2), nullptr, 16)) : text[i];
    return out;
}

Pairs DecodeBody(const std::string& body)
{
    Pairs pairs;
    for (size_t start = 0; start <= body.size();) {
        size_t end = std::min(body.find('&', start), body.size()), eq = body.find('=', start);
        pairs.emplace(PercentDecode(body.substr(start, eq - start)), PercentDecode(body.substr(eq + 1, end - eq - 1)));
        start = end + 1;
    }
    return pairs;
}

// One collector per test process; it ends when this object closes the control connection.
class Collector {
public:
    struct Request { std::string line, method, path, headers, body; };

    Collector()
    {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof(address);
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
        listen(listener_, 1);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        std::wstring python = TestUtil::Widen(TELVANA_TEST_PYTHON3), pki = TestUtil::Widen(TELVANA_TEST_PKI_DIR);
        std::wstring command = L"Z:" + python + L" " + TestUtil::Widen(TELVANA_GA_COLLECTOR) + L" " +
                               std::to_wstring(ntohs(address.sin_port)) + L" " + pki + L"/server.pem " + pki + L"/server.key";
        for (size_t i = 0; i < python.size() + 2; ++i) command[i] = command[i] == L'/' ? L'\\' : command[i];
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
        if (process.hProcess) CloseHandle(process.hProcess);
        if (process.hThread) CloseHandle(process.hThread);
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(listener_, &ready);
        timeval wait = {30, 0};
        if (select(0, &ready, nullptr, nullptr, &wait) == 1) control_ = accept(listener_, nullptr, nullptr);
        std::string line = ReadLine(30000);
        if (line.rfind("PORT ", 0) == 0) host_ = L"127.0.0.1:" + TestUtil::Widen(line.substr(5));
    }
    ~Collector()
    {
        closesocket(control_);
        closesocket(listener_);
    }
    const std::wstring& Host() const { return host_; }
    bool SetMode(const std::string& mode)
    {
        std::string line = "MODE " + mode + "\n";
        return send(control_, line.data(), static_cast<int>(line.size()), 0) > 0 && ReadLine(10000) == "OK";
    }
    // The next request the collector received, if one arrives within the wait.
    bool NextRequest(Request& request, DWORD waitMs = 10000)
    {
        request.line = ReadLine(waitMs);
        char method[16] = {}, path[256] = {};
        static char headers[65536], body[65536];
        if (sscanf(request.line.c_str(), "REQUEST %15s %255s %65535s %65535s", method, path, headers, body) != 4) return false;
        request = {request.line, method, path, FromHex(headers), FromHex(body)};
        return true;
    }

private:
    std::string ReadLine(DWORD waitMs)
    {
        for (size_t end; (end = buffer_.find('\n')) == std::string::npos;) {
            fd_set ready;
            FD_ZERO(&ready);
            FD_SET(control_, &ready);
            timeval wait = {static_cast<long>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000};
            char chunk[8192];
            int n = select(0, &ready, nullptr, nullptr, &wait) == 1 ? recv(control_, chunk, sizeof(chunk), 0) : 0;
            if (n <= 0) return std::string();
            buffer_.append(chunk, static_cast<size_t>(n));
        }
        std::string line = buffer_.substr(0, buffer_.find('\n'));
        buffer_.erase(0, line.size() + 1);
        return line;
    }

    SOCKET listener_ = INVALID_SOCKET, control_ = INVALID_SOCKET;
    std::string buffer_;
    std::wstring host_;
};

// A plugin whose sender reads the collection host from a scratch key and waits at most waitMs.
class LocalGAPlugin : public Taliro::GAPlugin {
public:
    LocalGAPlugin(const TestUtil::ScratchRegKey& key, DWORD waitMs = 5000) : key_(key), waitMs_(waitMs) {}
    std::shared_ptr<Taliro::IHttpSender> CreateSender() override
    {
        return std::make_shared<Taliro::GASender>(key_.Root(), key_.Path(), waitMs_);
    }

private:
    const TestUtil::ScratchRegKey& key_;
    DWORD waitMs_;
};

std::shared_ptr<IConfiguration> Profile(const std::wstring& trackerId)
{
    return std::make_shared<Taliro::PluginConfiguration>(
        L"options", std::make_shared<Taliro::PluginConfiguration>(L"trackerId", trackerId));
}

class GATransport : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(TestPki::TrustTestRoot());
        ASSERT_FALSE(collector_.Host().empty()) << "the collector did not start";
        SetHost(collector_.Host());
        LogCapture::Clear();
    }
    void SetHost(const std::wstring& host)
    {
        key_.WriteRaw(L"gaCollectionHost", REG_SZ, host.c_str(), static_cast<DWORD>((host.size() + 1) * sizeof(wchar_t)));
    }
    bool SendEvent(const KeyValueMap& data, std::wstring& hit, const std::wstring& trackerId = L"UA-TEST-1", DWORD waitMs = 5000)
    {
        LocalGAPlugin plugin(key_, waitMs);
        plugin.LoadProfile(Profile(trackerId));
        plugin.MergeDictionary({{L"Category", L"ec"}, {L"Label", L"el"}, {L"ClientId", L"dictionary-loses"}});
        Taliro::PluginTracker item(data);
        return plugin.SendWithTrackingId(item, hit);
    }
    bool NoFurtherRequest()
    {
        Collector::Request extra;
        return !collector_.NextRequest(extra, 300);
    }

    Collector collector_;
    TestUtil::ScratchRegKey key_;
};

TEST_F(GATransport, HitArrivesAsEncodedPairsExactlyOnce)
{
    std::wstring hit;
    KeyValueMap event = {{L"Type", L"Event"}, {L"ClientId", L"device-1"}, {L"Category", L"a&b=c+d %"},
                         {L"Label", std::wstring(L"\u00e9\u65e5 \U0001F600 x") + L'\xD800' + L"y"}, {L"Action", L""},
                         {L"Unmapped", L"not sent"}};
    ASSERT_TRUE(SendEvent(event, hit));
    Collector::Request request;
    ASSERT_TRUE(collector_.NextRequest(request));
    EXPECT_EQ("POST", request.method);
    EXPECT_EQ("/collect", request.path);
    EXPECT_NE(std::string::npos, request.headers.find("User-Agent: GA\n"));
    EXPECT_EQ(std::string::npos, request.headers.find("Content-Type"));
    EXPECT_EQ(TestUtil::Narrow(hit), request.body);
    EXPECT_EQ(std::string::npos, request.body.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~%&="));
    Pairs expected = {{"v", "1"}, {"tid", "UA-TEST-1"}, {"aip", "1"}, {"t", "event"}, {"cid", "device-1"},
                      {"ec", "a&b=c+d %"}, {"el", "\xC3\xA9\xE6\x97\xA5 \xF0\x9F\x98\x80 x\xEF\xBF\xBDy"}};
    EXPECT_EQ(expected, DecodeBody(request.body));
    EXPECT_TRUE(NoFurtherRequest());
}

TEST_F(GATransport, OnlyStatus200IsSuccessAndNothingIsRetriedOrFollowed)
{
    const std::pair<const char*, bool> answers[] = {{"200", true}, {"200 400", true}, {"204", false},
                                                    {"302", false}, {"307", false}, {"500", false}};
    for (const auto& answer : answers) {
        ASSERT_TRUE(collector_.SetMode(answer.first));
        std::wstring hit;
        EXPECT_EQ(answer.second, SendEvent({{L"Type", L"Screen"}}, hit)) << answer.first;
        Collector::Request request;
        EXPECT_TRUE(collector_.NextRequest(request)) << answer.first;
        EXPECT_EQ("/collect", request.path) << answer.first;
        EXPECT_TRUE(DecodeBody(request.body).count({"t", "screenview"})) << answer.first;
        EXPECT_TRUE(NoFurtherRequest()) << answer.first;
    }
}

TEST_F(GATransport, ServerThatNeverAnswersFailsWithinTheTimeOut)
{
    ASSERT_TRUE(collector_.SetMode("never"));
    std::wstring hit;
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(SendEvent({{L"Type", L"Event"}}, hit, L"UA-TEST-1", 1000));
    EXPECT_GE(GetTickCount64() - start, 900u);
    EXPECT_LT(GetTickCount64() - start, 8000u);
    Collector::Request request;
    EXPECT_TRUE(collector_.NextRequest(request));
    EXPECT_TRUE(NoFurtherRequest());
}

TEST_F(GATransport, HitsWithoutTrackingIdOrOverTheLimitAreNotSent)
{
    std::wstring hit;
    EXPECT_FALSE(SendEvent({{L"Type", L"Event"}}, hit, L""));
    EXPECT_EQ(1u, LogCapture::Count(L"The hit has no tracking id. Will not send", 4, L"GAPlugin"));
    // The event's own tracking id replaces the profile's.
    EXPECT_TRUE(SendEvent({{L"TrackingId", L"UA-EVENT"}}, hit, L""));
    Collector::Request request;
    ASSERT_TRUE(collector_.NextRequest(request));
    EXPECT_EQ((Pairs{{"v", "1"}, {"tid", "UA-EVENT"}, {"aip", "1"}}), DecodeBody(request.body));

    size_t room = Taliro::GAPlugin::kMaxHitBytes -
                  Taliro::GAPlugin::JoinParameters({{L"v", L"1"}, {L"tid", L"UA-TEST-1"}, {L"aip", L"1"}, {L"el", L""}}).size();
    EXPECT_TRUE(SendEvent({{L"Label", std::wstring(room, L'x')}}, hit));
    EXPECT_EQ(Taliro::GAPlugin::kMaxHitBytes, hit.size());
    ASSERT_TRUE(collector_.NextRequest(request));
    EXPECT_EQ(Taliro::GAPlugin::kMaxHitBytes, request.body.size());
    EXPECT_FALSE(SendEvent({{L"Label", std::wstring(room, L'x') + L"x"}}, hit));
    EXPECT_EQ(1u, LogCapture::Count(L"The hit has 8193 bytes, more than the limit of 8192. Will not send", 4));
    EXPECT_TRUE(NoFurtherRequest());
}

TEST_F(GATransport, CollectionHostComesFromTheRegistryWhenWellFormed)
{
    std::wstring builtIn = Taliro::GASender(key_.Root(), key_.Path() + L"\\missing").Url();
    EXPECT_EQ(L"https://" + collector_.Host() + L"/collect", Taliro::GASender(key_.Root(), key_.Path()).Url());
    for (const wchar_t* bad : {L"", L"bad host", L"host:0", L"host:65536", L"host:", L":80", L"-a.b", L"a..b", L"https://x", L"[::1]"}) {
        SetHost(bad);
        EXPECT_EQ(builtIn, Taliro::GASender(key_.Root(), key_.Path()).Url()) << bad;
    }
    DWORD number = 1;
    key_.WriteRaw(L"gaCollectionHost", REG_DWORD, &number, sizeof(number));
    EXPECT_EQ(builtIn, Taliro::GASender(key_.Root(), key_.Path()).Url());
    auto lines = LogCapture::Lines();
    EXPECT_EQ(11, std::count_if(lines.begin(), lines.end(), [](const LogCapture::Line& line) {
                  return line.level == 4 && line.function == L"Taliro::GASender::CollectionHost";
              }));
    SetHost(L"collect.example-1.test:65535");
    EXPECT_EQ(L"https://collect.example-1.test:65535/collect", Taliro::GASender(key_.Root(), key_.Path()).Url());
}
TEST_F(GATransport, TransactionKeepsOnlyTheSessionBetweenSends)
{
    auto transaction = std::make_shared<Taliro::HttpTransaction>();
    Taliro::HttpSender sender(transaction, L"https://" + collector_.Host() + L"/collect");
    EXPECT_FALSE(sender.Send("a=1"));
    EXPECT_FALSE(transaction->HasSession());
    ASSERT_TRUE(sender.Initialize());
    ASSERT_TRUE(sender.Initialize());
    EXPECT_FALSE(transaction->Open(L"GA", 0));
    EXPECT_TRUE(sender.Send("a=1"));
    EXPECT_TRUE(transaction->HasSession() && !transaction->HasConnection() && !transaction->HasRequest());
    Collector::Request request;
    ASSERT_TRUE(collector_.NextRequest(request));
    EXPECT_EQ("a=1", request.body);
    EXPECT_TRUE(NoFurtherRequest());

    // What the sender does not use, on the same session.
    EXPECT_FALSE(transaction->ReceiveResponse());
    ASSERT_TRUE(transaction->OpenUrl(L"POST", (L"https://" + collector_.Host() + L"/other").c_str()));
    EXPECT_TRUE(transaction->AddRequestHeaders(L"X-Test: yes\r\n", static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD));
    char data[] = "b=2";
    ASSERT_TRUE(transaction->SendRequest(data, 3) && transaction->ReceiveResponse());
    EXPECT_EQ(200u, transaction->QueryStatusCode());
    wchar_t header[64] = {};
    DWORD size = sizeof(header), length = 0, available = 0, read = 0;
    EXPECT_TRUE(transaction->QueryHeaders(L"X-Collector", header, &size, WINHTTP_NO_HEADER_INDEX));
    EXPECT_STREQ(L"ga", header);
    EXPECT_FALSE(transaction->QueryContentLength(nullptr));
    EXPECT_TRUE(transaction->QueryContentLength(&length));
    EXPECT_EQ(9u, length);
    char body[16] = {};
    EXPECT_TRUE(transaction->QueryDataAvailable(&available) && available > 0);
    EXPECT_TRUE(transaction->ReadData(body, sizeof(body) - 1, &read));
    EXPECT_EQ("collected", std::string(body, read));
    ASSERT_TRUE(collector_.NextRequest(request));
    EXPECT_EQ("/other", request.path);
    EXPECT_NE(std::string::npos, request.headers.find("X-Test: yes"));
    EXPECT_EQ("b=2", request.body);
    EXPECT_TRUE(transaction->CloseRequest());
    EXPECT_FALSE(transaction->CloseRequest());
    EXPECT_TRUE(transaction->CloseConnection());
    EXPECT_TRUE(transaction->CloseSession());
    EXPECT_FALSE(transaction->Connect(L"127.0.0.1", 443, nullptr));
}
} // namespace
