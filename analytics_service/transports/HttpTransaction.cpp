#include "transports/HttpTransaction.h"

#include <cwchar>

namespace Taliro {

namespace {

// A numeric header as text, read as a decimal number; 0 when the query fails.
bool QueryNumber(HINTERNET request, DWORD query, DWORD bufferBytes, DWORD& value)
{
    wchar_t buffer[128] = {};
    DWORD length = bufferBytes - 1;
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, buffer, &length,
                             WINHTTP_NO_HEADER_INDEX))
        return false;
    value = static_cast<DWORD>(wcstoul(buffer, nullptr, 10));
    return true;
}

} // namespace

HttpTransaction::~HttpTransaction()
{
    m_request.reset();
    m_connection.reset();
    m_session.reset();
}

bool HttpTransaction::Open(LPCWSTR agent, DWORD flags)
{
    if (m_session) return false;
    m_session.reset(WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, flags));
    return m_session != nullptr;
}

bool HttpTransaction::SetOption(DWORD option, LPVOID buffer, DWORD length)
{
    return m_session && WinHttpSetOption(m_session.get(), option, buffer, length);
}

bool HttpTransaction::Connect(LPCWSTR host, INTERNET_PORT port, LPCWSTR /*proxySettings*/)
{
    if (!m_session || m_connection) return false;
    m_connection.reset(WinHttpConnect(m_session.get(), host, port, 0));
    return m_connection != nullptr;
}

bool HttpTransaction::OpenRequest(LPCWSTR verb, LPCWSTR objectName, LPCWSTR version, LPCWSTR referrer,
                                  LPCWSTR* acceptTypes, DWORD flags)
{
    if (!m_connection || m_request) return false;
    m_request.reset(WinHttpOpenRequest(m_connection.get(), verb, objectName, version, referrer, acceptTypes, flags));
    return m_request != nullptr;
}

bool HttpTransaction::AddRequestHeaders(LPCWSTR headers, DWORD length, DWORD modifiers)
{
    return m_request && WinHttpAddRequestHeaders(m_request.get(), headers, length, modifiers);
}

bool HttpTransaction::SendRequest(LPVOID data, DWORD length)
{
    return m_request &&
           WinHttpSendRequest(m_request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, static_cast<DWORD>(-1), data, length,
                              length, 0);
}

bool HttpTransaction::ReceiveResponse() { return m_request && WinHttpReceiveResponse(m_request.get(), nullptr); }

bool HttpTransaction::QueryHeaders(LPCWSTR name, LPVOID buffer, LPDWORD length, LPDWORD index)
{
    return m_request && WinHttpQueryHeaders(m_request.get(), WINHTTP_QUERY_CUSTOM, name, buffer, length, index);
}

DWORD HttpTransaction::QueryStatusCode()
{
    DWORD status = 0;
    if (!m_request || !QueryNumber(m_request.get(), WINHTTP_QUERY_STATUS_CODE, 256, status)) return 0;
    return status;
}

bool HttpTransaction::QueryDataAvailable(LPDWORD count)
{
    return m_request && WinHttpQueryDataAvailable(m_request.get(), count);
}

bool HttpTransaction::ReadData(LPVOID buffer, DWORD size, LPDWORD read)
{
    return m_request && WinHttpReadData(m_request.get(), buffer, size, read);
}

bool HttpTransaction::CloseConnection()
{
    if (!m_connection) return false;
    m_connection.reset();
    return true;
}

bool HttpTransaction::CloseRequest()
{
    if (!m_request) return false;
    m_request.reset();
    return true;
}

bool HttpTransaction::CloseSession()
{
    if (!m_session) return false;
    m_session.reset();
    return true;
}

bool HttpTransaction::OpenUrl(LPCWSTR verb, LPCWSTR url)
{
    if (!m_session || !url) return false;
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = ARRAYSIZE(host);
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = ARRAYSIZE(path);
    if (!WinHttpCrackUrl(url, 0, 0, &parts)) return false;
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    INTERNET_PORT port = parts.nPort ? parts.nPort : (secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);
    if (!Connect(host, port, nullptr)) return false;
    if (OpenRequest(verb, path, nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                    secure ? WINHTTP_FLAG_SECURE : 0))
        return true;
    CloseConnection();
    return false;
}

bool HttpTransaction::QueryContentLength(LPDWORD length)
{
    return length && m_request && QueryNumber(m_request.get(), WINHTTP_QUERY_CONTENT_LENGTH, 128, *length);
}

} // namespace Taliro
