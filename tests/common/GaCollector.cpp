#include "GaCollector.h"

#include "TestUtil.h"

#include <algorithm>
#include <cstdio>

namespace TestCollector {

namespace {

std::string Decode(const std::string& text, size_t step) // step 2: hex; step 3: percent-encoding
{
    std::string out;
    for (size_t i = 0; (step == 3 || text != "-") && i < text.size(); ++i)
        out += step == 2 || (text[i] == '%' && ++i) ? static_cast<char>(std::stoi(text.substr(i++, 2), nullptr, 16)) : text[i];
    return out;
}

} // namespace

Pairs Split(const std::string& body)
{
    Pairs pairs;
    for (size_t start = 0, end, eq; start <= body.size(); start = end + 1) {
        end = std::min(body.find('&', start), body.size()), eq = body.find('=', start);
        pairs.emplace(Decode(body.substr(start, eq - start), 3), Decode(body.substr(eq + 1, end - eq - 1), 3));
    }
    return pairs;
}

Collector::Collector()
{
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    sockaddr_in address = {AF_INET, 0, {{{127, 0, 0, 1}}}, {}};
    int size = sizeof(address);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    bind(listener, reinterpret_cast<sockaddr*>(&address), size);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    std::wstring python = TestUtil::Widen(TELVANA_TEST_PYTHON3), pki = TestUtil::Widen(TELVANA_TEST_PKI_DIR);
    std::wstring command = L"Z:" + python + L" " TELVANA_GA_COLLECTOR L" " + std::to_wstring(ntohs(address.sin_port)) +
                           L" " + pki + L"/server.pem " + pki + L"/server.key";
    std::replace(command.begin(), command.begin() + python.size() + 2, L'/', L'\\');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {}; // Wine gives no handles for a host program
    CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    fd_set ready = {1, {listener}};
    timeval wait = {30, 0};
    if (select(0, &ready, nullptr, nullptr, &wait) == 1) control_ = accept(listener, nullptr, nullptr);
    closesocket(listener);
    std::string line = ReadLine(30000);
    if (line.rfind("PORT ", 0) == 0) host_ = L"127.0.0.1:" + TestUtil::Widen(line.substr(5));
}

Collector::~Collector() { closesocket(control_); }

bool Collector::SetMode(const std::string& mode)
{
    std::string line = "MODE " + mode + "\n";
    return send(control_, line.data(), int(line.size()), 0) > 0 && ReadLine(10000) == "OK";
}

bool Collector::Next(Request& request, DWORD waitMs)
{
    static char method[16], path[256], headers[65536], body[65536];
    if (sscanf(ReadLine(waitMs).c_str(), "REQUEST %15s %255s %65535s %65535s", method, path, headers, body) != 4) return false;
    request = {method, path, Decode(headers, 2), Decode(body, 2)};
    return true;
}

bool Collector::NoFurtherRequest()
{
    Request extra;
    return !Next(extra, 300);
}

std::string Collector::ReadLine(DWORD waitMs)
{
    char chunk[8192];
    for (int n; buffer_.find('\n') == std::string::npos; buffer_.append(chunk, static_cast<size_t>(n))) {
        fd_set ready = {1, {control_}};
        timeval wait = {long(waitMs / 1000), long(waitMs % 1000) * 1000};
        if (select(0, &ready, nullptr, nullptr, &wait) != 1 || (n = recv(control_, chunk, sizeof(chunk), 0)) <= 0) return {};
    }
    std::string line = buffer_.substr(0, buffer_.find('\n'));
    buffer_.erase(0, line.size() + 1);
    return line;
}

} // namespace TestCollector
