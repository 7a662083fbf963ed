// One HTTP POST of a body per Send, over a WinHTTP session that lives as long as the sender.
#pragma once
#include "transports/HttpTransaction.h"
#include "transports/IHttpSender.h"

#include <memory>
#include <string>

namespace Taliro {

class HttpSender : public IHttpSender {
public:
    // Longest wait of any one step (resolve, connect, send, receive, response): a send never
    // holds the worker longer than this per step.
    static constexpr DWORD kDefaultTimeoutMs = 15000;

    HttpSender(std::shared_ptr<HttpTransaction> transaction, std::wstring url, DWORD timeoutMs = kDefaultTimeoutMs);

    // Opens the session (user agent "GA", synchronous) with its time-outs and without
    // redirects; true at once when already done.
    bool Initialize() override;
    // True only on status 200; any other status, a redirect included, is a failure.
    bool Send(const std::string& body) override;

private:
    bool ApplySessionOptions();

    std::shared_ptr<HttpTransaction> m_transaction;
    std::wstring m_url;
    URL_COMPONENTS m_urlParts = {};
    wchar_t m_path[256] = {};
    LPCWSTR m_verb = L"POST";
    bool m_initialized = false;
    DWORD m_timeoutMs;
};

} // namespace Taliro
