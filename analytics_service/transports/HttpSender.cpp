#include "transports/HttpSender.h"

#include <climits>

namespace Taliro {

HttpSender::HttpSender(std::shared_ptr<HttpTransaction> transaction, std::wstring url, DWORD timeoutMs)
    : m_transaction(std::move(transaction)), m_url(std::move(url)), m_timeoutMs(timeoutMs)
{
}

bool HttpSender::Initialize()
{
    if (m_initialized) return true;
    if (!m_transaction || !m_transaction->Open(L"GA", 0)) return false;
    // Without these a server that never answers holds the worker for good, and WinHTTP
    // would follow a redirect and report the redirected request's status as this one's.
    if (!ApplySessionOptions()) {
        m_transaction->CloseSession();
        return false;
    }
    m_initialized = true;
    return true;
}

bool HttpSender::ApplySessionOptions()
{
    const DWORD timeoutOptions[] = {WINHTTP_OPTION_RESOLVE_TIMEOUT, WINHTTP_OPTION_CONNECT_TIMEOUT,
                                    WINHTTP_OPTION_SEND_TIMEOUT, WINHTTP_OPTION_RECEIVE_TIMEOUT,
                                    WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT};
    for (DWORD option : timeoutOptions) {
        DWORD value = m_timeoutMs;
        if (!m_transaction->SetOption(option, &value, sizeof(value))) return false;
    }
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    return m_transaction->SetOption(WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy));
}

bool HttpSender::Send(const std::string& body)
{
    if (!m_initialized || body.size() > ULONG_MAX) return false;

    wchar_t host[256] = {};
    m_urlParts = URL_COMPONENTS{};
    m_urlParts.dwStructSize = sizeof(m_urlParts);
    m_urlParts.lpszHostName = host;
    m_urlParts.dwHostNameLength = ARRAYSIZE(host);
    m_urlParts.lpszUrlPath = m_path;
    m_urlParts.dwUrlPathLength = ARRAYSIZE(m_path);
    if (!WinHttpCrackUrl(m_url.c_str(), 0, 0, &m_urlParts)) return false;

    const bool secure = m_urlParts.nScheme == INTERNET_SCHEME_HTTPS;
    INTERNET_PORT port = m_urlParts.nPort;
    if (port == 0) port = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;

    if (!m_transaction->Connect(host, port, nullptr)) return false;
    if (!m_transaction->OpenRequest(m_verb, m_path, nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                    secure ? WINHTTP_FLAG_SECURE : 0)) {
        m_transaction->CloseConnection();
        return false;
    }
    const bool delivered =
        m_transaction->SendRequest(const_cast<char*>(body.data()), static_cast<DWORD>(body.size())) &&
        m_transaction->ReceiveResponse() && m_transaction->QueryStatusCode() == 200;
    m_transaction->CloseRequest();
    m_transaction->CloseConnection();
    return delivered;
}

} // namespace Taliro
