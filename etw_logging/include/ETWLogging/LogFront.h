// The process-wide log front: every source file logs through IsLogLevelEnabled and Log.
//
// Call form at every log site:
//     if (ETWLogging::IsLogLevelEnabled(level))
//         ETWLogging::Log(level, L"SourceFile", L"Namespace::Class::Method", __LINE__, L"format", args...);
#pragma once
#include "ETWLogging/LoggingIf.h"

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>

namespace ETWLogging {

namespace internal {

// Runs a creation once per process; a creation that throws leaves the flag unset so that the
// next call tries again. (The runtime's own once-call is not used: with the posix-thread MinGW
// runtime it blocks every later caller after an exception.)
class RetryingOnce {
public:
    template <typename Fn>
    void Call(Fn&& fn)
    {
        if (m_done.load(std::memory_order_acquire)) return;
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_done.load(std::memory_order_relaxed)) return;
        fn();
        m_done.store(true, std::memory_order_release);
    }

private:
    std::atomic<bool> m_done{false};
    std::mutex m_lock;
};

} // namespace internal

class CLogBuilderIf;
class CLumetraLogHandler;

// Names of the levels 1..6 as they appear in text logs; null for any other level.
const wchar_t* GetLogLevelName(LogLevel level);

// Start-up values read when the process logger is created. A null text stays null.
struct LoggingStartupValues {
    bool hasPropertiesName = false;
    std::wstring propertiesName;
    bool hasAppName = true;
    std::wstring appName = L"_no_group";
    HINSTANCE instance = nullptr;
    bool hasHostName = true;
    std::wstring hostName = L"_no_host";
    // 1 forces the file logger; anything else lets the registry decide.
    DWORD mechanism = 0;

    const wchar_t* PropertiesName() const { return hasPropertiesName ? propertiesName.c_str() : nullptr; }
    const wchar_t* AppName() const { return hasAppName ? appName.c_str() : nullptr; }
    const wchar_t* HostName() const { return hasHostName ? hostName.c_str() : nullptr; }
};

// Sets the start-up values. Only a call made before the first log call of the process has an
// effect: the logger is created once and never rebuilt.
void InitializeLogging(const wchar_t* propertiesName, const wchar_t* appName, HINSTANCE instance,
                       const wchar_t* hostName, DWORD mechanism);

// Owns the process logger and the registration of the bridge handler.
class LoggerHolder {
public:
    LoggerHolder() noexcept = default;
    // Unregisters a kept handler and destroys the logger through its destructor.
    ~LoggerHolder();
    LoggerHolder(const LoggerHolder&) = delete;
    LoggerHolder& operator=(const LoggerHolder&) = delete;

    // Builds a logger with the builder (extended form first), takes it and registers the bridge
    // handler. False when no logger could be built; the holder then keeps none.
    bool Build(CLogBuilderIf& builder, const LoggingStartupValues& values);

    bool IsLevelEnabled(LogLevel level) { return m_logger && m_logger->IsLevelEnabled(level); }
    // 1627 without a logger; otherwise BeginWrite's refusal or the logger's own result.
    DWORD LogFormat(LogLevel level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                    ...);
    DWORD LogFormatV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                     const wchar_t* format, va_list args);
    // Unformatted text, no level test and no cut (the bridge handler's road).
    DWORD Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level, const wchar_t* text);

    CLoggingIf* Logger() const { return m_logger; }
    CLumetraLogHandler* Handler() const { return m_handler; }
    // Forgets the handler when it is the kept one; true when it was.
    bool TakeHandler(CLumetraLogHandler* handler);

private:
    DWORD WriteFormatted(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, va_list args);

    CLoggingIf* m_logger = nullptr;
    CLoggingIf_ex* m_loggerEx = nullptr;  // the same object when it has the extended interface
    CLumetraLogHandler* m_handler = nullptr;
};

// The process holder, created from the start-up values on the first call; null when it could not
// be allocated. An exception thrown while creating it reaches the caller, and the next call retries.
LoggerHolder* GetLogger();

// The process holder if it has been created, without creating it.
LoggerHolder* PeekLogger();

// Makes the process logger with this builder instead of the default one (null restores the
// default). Like the start-up values, it counts only before the first log call; test programs
// use it to read back what the code under test logged.
void SetProcessLogBuilder(CLogBuilderIf* builder);

namespace internal {
// The process holder once it has been built; null before and after (at exit).
extern std::atomic<LoggerHolder*> g_processHolder;
// The level check before the holder exists: creates it first.
bool IsLogLevelEnabledCreating(LogLevel level);
} // namespace internal

// False when there is no holder or no logger. Every log site asks this first, so once the
// holder is built the answer comes from its logger with nothing else on the way.
inline bool IsLogLevelEnabled(LogLevel level)
{
    LoggerHolder* holder = internal::g_processHolder.load(std::memory_order_acquire);
    if (holder) return holder->IsLevelEnabled(level);
    return internal::IsLogLevelEnabledCreating(level);
}

// printf-style wide format (Windows family: %s is a wide string); each argument is passed by value.
template <typename... Args>
void Log(LogLevel level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
         Args... args)
{
    LoggerHolder* holder = GetLogger();
    if (holder) holder->LogFormat(level, file, function, line, format, args...);
}

} // namespace ETWLogging
