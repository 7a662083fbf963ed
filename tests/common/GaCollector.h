// The local Google Analytics collector (tests/tools/ga_collector.py) seen from a test process:
// it starts the host's Python, which connects back over a control socket, reports its HTTPS port
// and every request it receives, and takes the answer mode (200, 204, 302, 307, 500, slow, never).
// It ends when the control connection closes.
#pragma once
#include <winsock2.h>

#include <set>
#include <string>

namespace TestCollector {

using Pairs = std::multiset<std::pair<std::string, std::string>>;

// The pairs of a hit body, names and values percent-decoded.
Pairs Split(const std::string& body);

class Collector {
public:
    struct Request { std::string method, path, headers, body; };

    Collector();
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // "127.0.0.1:<port>", empty when the collector did not start.
    const std::wstring& Host() const { return host_; }
    bool SetMode(const std::string& mode);
    // The next request received within the wait.
    bool Next(Request& request, DWORD waitMs = 10000);
    bool NoFurtherRequest();

private:
    std::string ReadLine(DWORD waitMs);

    SOCKET control_ = INVALID_SOCKET;
    std::string buffer_;
    std::wstring host_;
};

} // namespace TestCollector
