#include "Lumetra/Logger.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <new>

namespace Lumetra {

namespace {

// Constant-initialised, so a message from another static constructor finds it ready.
CDefaultLoggingHandler g_defaultHandler;

// Messages arrive from any thread while registration may happen on another: all changes go
// through compare-exchange so two registrations can never both report success.
std::atomic<ILoggingHandler*> g_handler{nullptr};

constexpr unsigned int kLevelError = 2;
constexpr DWORD kErrorInvalidState = 5023;

const wchar_t kFileName[] = L"Logging\\internal_logging";
const wchar_t kRegisterFunction[] = L"Lumetra::CLogger::RegisterHandler";
const wchar_t kUnregisterFunction[] = L"Lumetra::CLogger::UnregisterHandler";
const wchar_t kFailedToUnregister[] =
    L"%s: Failed to Unregister Logging handler (requested handler 0x%08X != registered handler 0x%08X)";

// The messages show handlers by the low 32 bits of their address.
unsigned int Low32(const ILoggingHandler* handler)
{
    return static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(handler));
}

// Formats with the Windows semantics of %s; null when the text cannot be allocated. A format the
// runtime rejects is passed on as it stands rather than dropped.
wchar_t* FormatNew(const wchar_t* format, va_list args)
{
    if (!format) format = L"";
    va_list measure;
    va_copy(measure, args);
    const int length = _vscwprintf(format, measure);
    va_end(measure);
    const bool formatted = length >= 0;
    const size_t count = formatted ? static_cast<size_t>(length) : wcslen(format);
    wchar_t* text = new (std::nothrow) wchar_t[count + 1];
    if (!text) return nullptr;
    if (formatted) _vsnwprintf(text, count + 1, format, args);
    else wmemcpy(text, format, count);
    text[count] = L'\0';
    return text;
}

wchar_t* FormatNew(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    wchar_t* text = FormatNew(format, args);
    va_end(args);
    return text;
}

} // namespace

void CDefaultLoggingHandler::HandleLog(unsigned int level, const wchar_t* file, const wchar_t* function, int line,
                                       const wchar_t* message)
{
    if (level == 0) return;
    const wchar_t* format = level == 1   ? L"%s(%d): [INFO]: [%s]: %s\n"
                            : level == 2 ? L"%s(%d): [ERROR]: [%s]: %s\n"
                                         : L"%s(%d): [UNKNOWN]: [%s]: %s\n";
    wchar_t* text = FormatNew(format, file, line, function, message);
    if (!text) return;
    OutputDebugStringW(text);
    delete[] text;
}

void CLogger::Log(unsigned int level, const wchar_t* file, const wchar_t* function, int line,
                  const wchar_t* format, ...)
{
    ILoggingHandler* handler = g_handler.load();
    if (!handler) {
        ILoggingHandler* expected = nullptr;
        g_handler.compare_exchange_strong(expected, &g_defaultHandler);
        handler = g_handler.load();
        if (!handler) return;
    }

    va_list args;
    va_start(args, format);
    wchar_t* text = FormatNew(format, args);
    va_end(args);

    // A handler that throws must not take the caller down with it.
    try {
        if (text) handler->HandleLog(level, file, function, line, text);
        else handler->HandleLog(kLevelError, file, function, line,
                                L"General memory-allocation failure in Lumetra logger.");
    } catch (...) {
    }
    delete[] text;
}

DWORD CLogger::RegisterHandler(ILoggingHandler* handler)
{
    if (!handler) {
        Log(kLevelError, kFileName, kRegisterFunction, 57, L"%s: Cannot Register (NULL) handler",
            GetErrorText(ERROR_INVALID_PARAMETER).c_str());
        return ERROR_INVALID_PARAMETER;
    }
    ILoggingHandler* current = g_handler.load();
    for (;;) {
        if (current && current != handler && current != &g_defaultHandler) {
            Log(kLevelError, kFileName, kRegisterFunction, 67,
                L"%s: Registered Logging Handler 0x%08X cannot be replaced with 0x%08X",
                GetErrorText(kErrorInvalidState).c_str(), Low32(current), Low32(handler));
            return kErrorInvalidState;
        }
        if (g_handler.compare_exchange_weak(current, handler)) return ERROR_SUCCESS;
    }
}

DWORD CLogger::UnregisterHandler(ILoggingHandler* handler)
{
    if (!handler) {
        Log(kLevelError, kFileName, kUnregisterFunction, 92, L"%s: Cannot Unregister (NULL) handler",
            GetErrorText(ERROR_INVALID_PARAMETER).c_str());
        return ERROR_INVALID_PARAMETER;
    }
    ILoggingHandler* current = g_handler.load();
    for (;;) {
        if (current == handler) {
            if (g_handler.compare_exchange_weak(current, nullptr)) return ERROR_SUCCESS;
            continue;
        }
        if (!current) {
            // The caller hears about its mistake itself, then the logger is empty again.
            if (!g_handler.compare_exchange_weak(current, handler)) continue;
            Log(kLevelError, kFileName, kUnregisterFunction, 102,
                L"%s: Request to Unregister Logging handler 0x%08X, but none are registered",
                GetErrorText(kErrorInvalidState).c_str(), Low32(handler));
            ILoggingHandler* expected = handler;
            g_handler.compare_exchange_strong(expected, nullptr);
            return kErrorInvalidState;
        }

        const std::wstring errorText = GetErrorText(kErrorInvalidState);
        Log(kLevelError, kFileName, kUnregisterFunction, 110, kFailedToUnregister, errorText.c_str(), Low32(handler),
            Low32(current));
        // Both sides learn of the failure; the registered handler is put back afterwards.
        ILoggingHandler* registered = current;
        if (g_handler.compare_exchange_strong(current, handler)) {
            Log(kLevelError, kFileName, kUnregisterFunction, 115, kFailedToUnregister, errorText.c_str(),
                Low32(handler), Low32(handler));
            ILoggingHandler* expected = handler;
            g_handler.compare_exchange_strong(expected, registered);
        }
        return kErrorInvalidState;
    }
}

std::wstring CLogger::GetErrorText(DWORD code)
{
    wchar_t buffer[1024] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        buffer, 1024, nullptr);
    try {
        return std::wstring(buffer, length < 1024 ? length : 1023);
    } catch (...) {
        return std::wstring();
    }
}

DWORD RegisterLoggingHandler(ILoggingHandler* handler)
{
    return CLogger::RegisterHandler(handler);
}

DWORD UnregisterLoggingHandler(ILoggingHandler* handler)
{
    return CLogger::UnregisterHandler(handler);
}

} // namespace Lumetra
