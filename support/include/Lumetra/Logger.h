// The support library's own logger: one process-wide handler receives every message.
#pragma once
#include <windows.h>

#include <string>

namespace Lumetra {

// Receives the library's messages. Levels: 0 none, 1 information, 2 error, others unknown.
// Must be callable from any thread. The logger never owns or deletes a handler.
class ILoggingHandler {
public:
    virtual void HandleLog(unsigned int level, const wchar_t* file, const wchar_t* function, int line,
                           const wchar_t* message) = 0;

protected:
    ~ILoggingHandler() = default;
};

// Writes each message as one line to the debugger output.
class CDefaultLoggingHandler : public ILoggingHandler {
public:
    constexpr CDefaultLoggingHandler() = default;
    void HandleLog(unsigned int level, const wchar_t* file, const wchar_t* function, int line,
                   const wchar_t* message) override;
};

class CLogger {
public:
    // printf-style wide format (Windows semantics: %s is a wide string). Never fails towards the caller.
    static void Log(unsigned int level, const wchar_t* file, const wchar_t* function, int line,
                    const wchar_t* format, ...);

    // 0 registered; 87 null handler; 5023 a different handler is already registered (it stays).
    static DWORD RegisterHandler(ILoggingHandler* handler);
    // 0 unregistered; 87 null handler; 5023 the handler was not the registered one.
    static DWORD UnregisterHandler(ILoggingHandler* handler);

    // The system's text for a Win32 code, with its line end; empty when the system has none.
    static std::wstring GetErrorText(DWORD code);
};

DWORD RegisterLoggingHandler(ILoggingHandler* handler);
DWORD UnregisterLoggingHandler(ILoggingHandler* handler);

} // namespace Lumetra
