// A thin wrapper over the three WinHTTP handles of one session: the session, its connection
// and its request. Each operation answers false (or 0) when the handle it needs is not open.
#pragma once
#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <type_traits>

namespace Taliro {

class HttpTransaction {
public:
    HttpTransaction() = default;
    // Closes the request, then the connection, then the session.
    ~HttpTransaction();
    HttpTransaction(const HttpTransaction&) = delete;
    HttpTransaction& operator=(const HttpTransaction&) = delete;

    virtual bool Open(LPCWSTR agent, DWORD flags);
    // Sets an option on the session.
    virtual bool SetOption(DWORD option, LPVOID buffer, DWORD length);
    virtual bool Connect(LPCWSTR host, INTERNET_PORT port, LPCWSTR proxySettings);
    virtual bool OpenRequest(LPCWSTR verb, LPCWSTR objectName, LPCWSTR version, LPCWSTR referrer,
                             LPCWSTR* acceptTypes, DWORD flags);
    virtual bool AddRequestHeaders(LPCWSTR headers, DWORD length, DWORD modifiers);
    virtual bool SendRequest(LPVOID data, DWORD length);
    virtual bool ReceiveResponse();
    // A header by name (WINHTTP_QUERY_CUSTOM); length in bytes, in and out.
    virtual bool QueryHeaders(LPCWSTR name, LPVOID buffer, LPDWORD length, LPDWORD index);
    // The response status; 0 when it cannot be read.
    virtual DWORD QueryStatusCode();
    virtual bool QueryDataAvailable(LPDWORD count);
    virtual bool ReadData(LPVOID buffer, DWORD size, LPDWORD read);
    virtual bool CloseConnection();
    virtual bool CloseRequest();
    virtual bool CloseSession();
    // Splits the URL, connects to its host (443 for https, else 80, unless the URL names a
    // port) and opens a request with the verb.
    virtual bool OpenUrl(LPCWSTR verb, LPCWSTR url);
    virtual bool QueryContentLength(LPDWORD length);

    bool HasSession() const { return m_session != nullptr; }
    bool HasConnection() const { return m_connection != nullptr; }
    bool HasRequest() const { return m_request != nullptr; }

private:
    struct HandleCloser {
        void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
    };
    using Handle = std::unique_ptr<std::remove_pointer_t<HINTERNET>, HandleCloser>;

    // Declared in the reverse of the closing order.
    Handle m_session;
    Handle m_connection;
    Handle m_request;
};

} // namespace Taliro
