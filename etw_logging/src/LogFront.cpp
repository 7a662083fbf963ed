#include "ETWLogging/LogFront.h"
#include "Lumetra/WideFormat.h"

#include "ETWLogging/DefaultLogBuilder.h"
#include "ETWLogging/LumetraLogHandler.h"

#include "Lumetra/Logger.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

namespace ETWLogging {

std::atomic<LoggerHolder*> internal::g_processHolder{nullptr};

namespace {

constexpr const wchar_t* kLevelNames[6] = {L"Normal", L"Warning", L"Information", L"Error", L"Critical",
                                           L"Information"};

// Texts longer than this reach a plain logger shortened to kCutChars.
constexpr size_t kLongTextChars = 4160;
constexpr size_t kCutChars = 2080;

std::mutex g_startupLock;
// Reached through a function so that a log call from another file's static constructor still
// finds the defaults constructed.
LoggingStartupValues& Startup()
{
    static LoggingStartupValues values;
    return values;
}
bool g_creationStarted = false;
CLogBuilderIf* g_processBuilder = nullptr;

internal::RetryingOnce g_holderOnce;
// Set while this thread creates the holder: a log call made from inside the creation (by a
// logger's initialisation, say) must not wait on its own once-flag.
thread_local bool t_creatingHolder = false;

// Registered with the exit list at program start, so it runs after every function-local static
// made later (the bridge handler among them) has gone.
struct HolderExitRoutine {
    ~HolderExitRoutine()
    {
        LoggerHolder* holder = internal::g_processHolder.exchange(nullptr, std::memory_order_acq_rel);
        delete holder;
    }
} g_holderExitRoutine;

void CreateHolder()
{
    LoggingStartupValues values;
    CLogBuilderIf* builder = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_startupLock);
        g_creationStarted = true;
        values = Startup();
        builder = g_processBuilder;
    }
    std::unique_ptr<LoggerHolder> holder(new (std::nothrow) LoggerHolder());
    if (!holder) return;
    holder->Build(builder ? *builder : CDefaultLogBuilder::Instance(), values);
    internal::g_processHolder.store(holder.release(), std::memory_order_release);
}

} // namespace

const wchar_t* GetLogLevelName(LogLevel level)
{
    if (level < 1 || level > 6) return nullptr;
    return kLevelNames[level - 1];
}

void InitializeLogging(const wchar_t* propertiesName, const wchar_t* appName, HINSTANCE instance,
                       const wchar_t* hostName, DWORD mechanism)
{
    std::lock_guard<std::mutex> lock(g_startupLock);
    if (g_creationStarted) return;
    LoggingStartupValues& startup = Startup();
    startup.hasPropertiesName = propertiesName != nullptr;
    startup.propertiesName = propertiesName ? propertiesName : L"";
    startup.hasAppName = appName != nullptr;
    startup.appName = appName ? appName : L"";
    startup.instance = instance;
    startup.hasHostName = hostName != nullptr;
    startup.hostName = hostName ? hostName : L"";
    startup.mechanism = mechanism;
}

void SetProcessLogBuilder(CLogBuilderIf* builder)
{
    std::lock_guard<std::mutex> lock(g_startupLock);
    if (!g_creationStarted) g_processBuilder = builder;
}

LoggerHolder* GetLogger()
{
    // Built already: no thread-local read and no once-flag on the way.
    if (LoggerHolder* holder = internal::g_processHolder.load(std::memory_order_acquire)) return holder;
    if (t_creatingHolder) return nullptr;
    g_holderOnce.Call([] {
        t_creatingHolder = true;
        try {
            CreateHolder();
        } catch (...) {
            t_creatingHolder = false;
            throw;
        }
        t_creatingHolder = false;
    });
    return internal::g_processHolder.load(std::memory_order_acquire);
}

LoggerHolder* PeekLogger() { return internal::g_processHolder.load(std::memory_order_acquire); }

bool internal::IsLogLevelEnabledCreating(LogLevel level)
{
    LoggerHolder* holder = GetLogger();
    return holder && holder->IsLevelEnabled(level);
}

LoggerHolder::~LoggerHolder()
{
    if (m_handler) {
        Lumetra::CLogger::UnregisterHandler(m_handler);
        m_handler = nullptr;
    }
    CLoggingIf* logger = m_logger;
    m_logger = nullptr;
    m_loggerEx = nullptr;
    delete logger;
}

bool LoggerHolder::Build(CLogBuilderIf& builder, const LoggingStartupValues& values)
{
    CLoggingIf* logger = nullptr;
    bool built = false;
    if (auto* builderEx = dynamic_cast<CLogBuilderIf_ex*>(&builder)) {
        built = builderEx->BuildLoggerEx(values.PropertiesName(), values.AppName(), values.instance,
                                         values.HostName(), values.mechanism, &logger, nullptr);
    }
    if (!built) {
        built = builder.BuildLogger(values.AppName(), values.instance, values.HostName(), values.mechanism,
                                    &logger, nullptr);
    }
    if (!built || !logger) return false;

    CLoggingIf* previous = m_logger;
    m_logger = logger;
    m_loggerEx = dynamic_cast<CLoggingIf_ex*>(logger);
    delete previous;

    CLumetraLogHandler* handler = &CLumetraLogHandler::Instance();
    if (Lumetra::CLogger::RegisterHandler(handler) == ERROR_SUCCESS) {
        if (m_handler && m_handler != handler) Lumetra::CLogger::UnregisterHandler(m_handler);
        m_handler = handler;
    } else {
        m_handler = nullptr;
    }
    return true;
}

DWORD LoggerHolder::LogFormat(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                              const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    DWORD result = LogFormatV(level, file, function, line, format, args);
    va_end(args);
    return result;
}

DWORD LoggerHolder::LogFormatV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                               const wchar_t* format, va_list args)
{
    if (!m_logger) return ERROR_FUNCTION_FAILED;
    DWORD refused = m_logger->BeginWrite();
    if (refused != ERROR_SUCCESS) return refused;
    if (m_loggerEx) {
        if (m_loggerEx->IsLevelEnabled(level)) {
            va_list copy;
            va_copy(copy, args);
            m_loggerEx->WriteV(level, file, function, line, format, copy);
            va_end(copy);
        }
        return ERROR_SUCCESS;
    }
    return WriteFormatted(level, file, function, line, format, args);
}

DWORD LoggerHolder::WriteFormatted(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                                   const wchar_t* format, va_list args)
{
    DWORD refused = m_logger->BeginWrite();
    if (refused != ERROR_SUCCESS) return refused;
    if (!format) return ERROR_INVALID_PARAMETER;

    std::wstring text;
    DWORD formatted = Lumetra::FormatWideV(text, format, args);
    if (formatted != ERROR_SUCCESS) return formatted;
    if (text.size() > kLongTextChars) text.resize(kCutChars);
    return m_logger->Write(file, function, line, level, text.c_str());
}

DWORD LoggerHolder::Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                          const wchar_t* text)
{
    if (!m_logger) return ERROR_FUNCTION_FAILED;
    DWORD refused = m_logger->BeginWrite();
    if (refused != ERROR_SUCCESS) return refused;
    if (m_loggerEx) return m_loggerEx->WriteText(level, file, function, line, text);
    return m_logger->Write(file, function, line, level, text);
}

bool LoggerHolder::TakeHandler(CLumetraLogHandler* handler)
{
    if (!handler || m_handler != handler) return false;
    m_handler = nullptr;
    return true;
}

} // namespace ETWLogging
