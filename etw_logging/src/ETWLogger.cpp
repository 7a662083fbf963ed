#include "ETWLogging/ETWLogger.h"
#include "Lumetra/WideFormat.h"

#include "ETWLogging/ConfigurationListener.h"
#include "ETWLogging/ProductIds.h"
#include "Lumetra/ByteBuffer.h"
#include "Lumetra/PathUtils.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

static_assert(sizeof(ETWLogging::ETWEventPacket) == 64, "the trace service expects a 64-byte header");

// Runs fn(arg) and answers onFault instead when it raises a structured exception.
#if defined(_MSC_VER)
static DWORD EtwLoggingGuardedCall(DWORD (*fn)(void*), void* arg, DWORD onFault)
{
    __try {
        return fn(arg);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return onFault;
    }
}
#else
// GCC has no __try/__except, so the guarded frame and its scope table are written out by hand.
extern "C" DWORD EtwLoggingGuardedCall(DWORD (*fn)(void*), void* arg, DWORD onFault);
extern "C" LONG EtwLoggingGuardFilter(EXCEPTION_POINTERS*, void*)
{
    return EXCEPTION_EXECUTE_HANDLER;
}
asm(".text\n"
    ".globl EtwLoggingGuardedCall\n"
    ".def EtwLoggingGuardedCall; .scl 2; .type 32; .endef\n"
    ".seh_proc EtwLoggingGuardedCall\n"
    "EtwLoggingGuardedCall:\n"
    "    pushq %rbx\n"
    "    .seh_pushreg %rbx\n"
    "    subq $32, %rsp\n"
    "    .seh_stackalloc 32\n"
    "    .seh_endprologue\n"
    "    movl %r8d, %ebx\n"
    "    movq %rcx, %rax\n"
    "    movq %rdx, %rcx\n"
    ".Letw_guard_begin:\n"
    "    callq *%rax\n"
    "    nop\n"
    ".Letw_guard_end:\n"
    "    addq $32, %rsp\n"
    "    popq %rbx\n"
    "    ret\n"
    ".Letw_guard_fault:\n"
    "    movl %ebx, %eax\n"
    "    addq $32, %rsp\n"
    "    popq %rbx\n"
    "    ret\n"
    "    .seh_handler __C_specific_handler, @except\n"
    "    .seh_handlerdata\n"
    "    .long 1\n"
    "    .rva .Letw_guard_begin, .Letw_guard_end, EtwLoggingGuardFilter, .Letw_guard_fault\n"
    "    .text\n"
    "    .seh_endproc\n");
#endif

namespace ETWLogging {

namespace {

constexpr DWORD kAlreadyInitialized = 20001;
constexpr DWORD kUnhandledException = 574; // ERROR_UNHANDLED_EXCEPTION
constexpr LogLevel kDefaultThreshold = 3;
constexpr LogLevel kMinSeverity = 1;
constexpr LogLevel kMaxSeverity = 6;
constexpr DWORD kSpinCount = 4000;
// Text fields carry a 16-bit byte length.
constexpr size_t kMaxFieldChars = 0xFFFE / sizeof(wchar_t);
constexpr TRACEHANDLE kInvalidTraceHandle = static_cast<TRACEHANDLE>(-1);

bool PutField(Lumetra::CByteBuffer& buffer, DWORD tag, DWORD type, const void* value, USHORT length)
{
    return buffer.Write(&tag, sizeof(tag)) && buffer.Write(&type, sizeof(type)) &&
           buffer.Write(&length, sizeof(length)) && (length == 0 || buffer.Write(value, length));
}

bool PutNumber(Lumetra::CByteBuffer& buffer, DWORD tag, DWORD type, DWORD value)
{
    return PutField(buffer, tag, type, &value, sizeof(value));
}

bool PutText(Lumetra::CByteBuffer& buffer, DWORD tag, const std::wstring& text)
{
    size_t chars = text.size() < kMaxFieldChars ? text.size() : kMaxFieldChars;
    return PutField(buffer, tag, ETWEventRecord::kTypeText, text.data(),
                    static_cast<USHORT>(chars * sizeof(wchar_t)));
}

struct CallbackCall {
    WMIDPREQUESTCODE requestCode;
    PVOID context;
    PVOID buffer;
};

DWORD RunControlCallback(void* arg)
{
    auto* call = static_cast<CallbackCall*>(arg);
    if (!call->context) return ERROR_INVALID_PARAMETER;
    // Nothing may unwind into the trace service's thread.
    try {
        return static_cast<CETWLogging*>(call->context)->ControlCallback(call->requestCode, call->buffer);
    } catch (...) {
        return kUnhandledException;
    }
}

} // namespace

bool ETWEventRecord::Serialize(Lumetra::CByteBuffer& buffer) const
{
    buffer.Clear();
    return PutNumber(buffer, kTagProcessId, kTypeUInt32, processId) &&
           PutNumber(buffer, kTagThreadId, kTypeUInt32, threadId) &&
           PutText(buffer, kTagExecutableName, executableName) && PutText(buffer, kTagFile, file) &&
           PutNumber(buffer, kTagLine, kTypeInt32, static_cast<DWORD>(line)) &&
           PutText(buffer, kTagFunction, function) && PutText(buffer, kTagModuleFileName, moduleFileName) &&
           PutText(buffer, kTagModuleVersion, moduleVersion) &&
           PutText(buffer, kTagApplicationName, applicationName) && PutText(buffer, kTagMessage, message);
}

CETWLogging::CETWLogging() : CETWLogging(nullptr) {}

CETWLogging::CETWLogging(std::shared_ptr<EtwApi> api) : m_api(api ? std::move(api) : EtwApi::System())
{
    InitializeCriticalSectionAndSpinCount(&m_lock, kSpinCount);
}

CETWLogging::~CETWLogging()
{
    Uninitialize();
    UnregisterProvider();
    m_listener.reset();
    DeleteCriticalSection(&m_lock);
}

DWORD CETWLogging::Initialize(const wchar_t* appName, HINSTANCE instance, const wchar_t* hostName,
                              LoggingConfigListenerIf* listener)
{
    return InitializeEx(nullptr, appName, instance, hostName, listener);
}

DWORD CETWLogging::InitializeEx(const wchar_t* propertiesName, const wchar_t* appName, HINSTANCE instance,
                                const wchar_t* hostName, LoggingConfigListenerIf* listener)
{
    if (m_registered) return kAlreadyInitialized;

    if (appName && !*appName) return ERROR_INVALID_PARAMETER;
    m_applicationName = appName ? appName : L"";
    if (hostName && !*hostName) return ERROR_INVALID_PARAMETER;
    m_hostName = hostName ? hostName : L"";

    if (!m_properties.Initialize(propertiesName)) return ERROR_INVALID_PARAMETER;

    GetModuleName(m_executableName, nullptr, false);
    GetModuleName(m_moduleBaseName, instance, true);
    BuildComponentName();

    if (!listener || listener != m_listener.get())
        m_listener.reset(listener ? listener : new (std::nothrow) CETWConfigurationListener(m_properties, this));
    if (m_listener) m_listener->OnConfigurationChanged(true, kDefaultThreshold, 0);

    m_processId = GetCurrentProcessId();
    const ModuleVersionInfo& module = ModuleVersionInfo::Instance();
    m_moduleFileName = module.GetFileName();
    m_moduleVersion = module.GetFileVersion();
    SetEventClassGuid();
    return ERROR_SUCCESS;
}

DWORD CETWLogging::BeginWrite()
{
    if (m_registered) return ERROR_SUCCESS;

    DWORD result = ERROR_SUCCESS;
    EnterCriticalSection(&m_lock);
    if (!m_registered) {
        TRACE_GUID_REGISTRATION eventClass = {&m_eventClassGuid, nullptr};
        TRACEHANDLE handle = 0;
        result = m_api->RegisterTraceGuidsW(&CETWLogging::ControlCallbackEntry, this, &m_properties.GetProviderGuid(),
                                            1, &eventClass, nullptr, nullptr, &handle);
        if (m_registrationHandle) m_api->UnregisterTraceGuids(m_registrationHandle);
        m_registrationHandle = handle;
        // Also after a failure: nothing is retried, later lines simply go nowhere.
        m_registered = true;
    }
    LeaveCriticalSection(&m_lock);
    return result;
}

void CETWLogging::GetComponentName(std::wstring& name)
{
    name = m_componentName;
}

void CETWLogging::GetApplicationName(std::wstring& name)
{
    name = m_applicationName;
}

DWORD CETWLogging::Uninitialize()
{
    if (!m_registered) return ERROR_SUCCESS;
    DWORD result = Shutdown();
    if (result != ERROR_SUCCESS) return result;
    m_registered = false;
    return ERROR_SUCCESS;
}

DWORD CETWLogging::SetEnabled(bool enabled)
{
    m_enabled = enabled;
    return ERROR_SUCCESS;
}

bool CETWLogging::IsEnabled()
{
    return m_enabled;
}

DWORD CETWLogging::LogLevelF(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                             const wchar_t* format, ...)
{
    if (!m_enabled || !IsLevelEnabled(level) || !format || !*format) return ERROR_SUCCESS;

    va_list args;
    va_start(args, format);
    std::wstring text;
    DWORD formatted = Lumetra::FormatWideV(text, format, args);
    va_end(args);
    if (formatted != ERROR_SUCCESS) return formatted;
    return WriteText(level, file, function, line, text.c_str());
}

DWORD CETWLogging::Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                         const wchar_t* text)
{
    WriteText(level, file, function, line, text);
    return ERROR_SUCCESS;
}

bool CETWLogging::IsLevelEnabled(LogLevel level)
{
    return level >= m_threshold || level == kDefaultThreshold;
}

void CETWLogging::SetMaxEntries(DWORD) {}

DWORD CETWLogging::GetMaxEntries()
{
    return 0;
}

void CETWLogging::SetMaxSize(DWORD) {}

DWORD CETWLogging::GetMaxSize()
{
    return 0;
}

void CETWLogging::SetSeverity(LogLevel level)
{
    if (level < kMinSeverity) level = kMinSeverity;
    if (level > kMaxSeverity) level = kMaxSeverity;
    m_threshold = level;
}

LogLevel CETWLogging::GetSeverity()
{
    return m_threshold;
}

DWORD CETWLogging::WriteText(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                             const wchar_t* text)
{
    return WriteF(level, file, function, line, L"%s", text ? text : L"");
}

DWORD CETWLogging::WriteF(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                          const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    DWORD result = WriteV(level, file, function, line, format, args);
    va_end(args);
    return result;
}

DWORD CETWLogging::WriteV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                          const wchar_t* format, va_list args)
{
    if (!format) return ERROR_INVALID_PARAMETER;
    if (!m_enabled || !IsLevelEnabled(level)) return ERROR_SUCCESS;

    wchar_t message[kMaxMessageChars + 1];
    message[0] = L'\0';
    _vsnwprintf(message, kMaxMessageChars, format, args);
    // A text that does not fit is left unterminated by the formatter.
    message[kMaxMessageChars] = L'\0';

    LogLevel mappedLevel = MapLevel(level);
    ETWEventRecord record;
    FillEventRecord(file, function, line, record);
    record.message = message;

    Lumetra::CByteBuffer data;
    if (!record.Serialize(data)) return ERROR_SUCCESS;

    ETWEventPacket packet;
    std::memset(&packet, 0, sizeof(packet));
    packet.header.Size = sizeof(packet);
    packet.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;
    packet.header.Class.Type = 1;
    packet.header.Class.Level = static_cast<UCHAR>(mappedLevel >= 1 && mappedLevel <= 5 ? mappedLevel : 3);
    packet.header.Class.Version = 1;
    packet.header.Guid = m_eventClassGuid;
    packet.data.DataPtr = reinterpret_cast<ULONG64>(data.m_pData);
    packet.data.Length = static_cast<ULONG>(data.GetSize());
    packet.data.DataType = 0;
    // Without a session the event goes nowhere; that is not the caller's concern.
    m_api->TraceEvent(m_sessionHandle, &packet.header);
    return ERROR_SUCCESS;
}

bool CETWLogging::IsSameSession(TRACEHANDLE sessionHandle)
{
    return sessionHandle == m_sessionHandle;
}

ULONG CETWLogging::ControlCallback(WMIDPREQUESTCODE requestCode, PVOID buffer)
{
    switch (requestCode) {
    case WMI_ENABLE_EVENTS: {
        SetLastError(ERROR_SUCCESS);
        TRACEHANDLE session = m_api->GetTraceLoggerHandle(buffer);
        if (session == kInvalidTraceHandle) return GetLastError();
        // One session at a time: a second one that enables the provider is ignored.
        TRACEHANDLE none = 0;
        if (!m_sessionHandle.compare_exchange_strong(none, session) && none != session) return ERROR_SUCCESS;
        if (!m_listener) return ERROR_SUCCESS;
        UCHAR level = m_api->GetTraceEnableLevel(session);
        if (level == 0) return GetLastError();
        ULONG flags = m_api->GetTraceEnableFlags(session);
        m_listener->OnConfigurationChanged(true, level, flags);
        return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS: {
        TRACEHANDLE session = m_api->GetTraceLoggerHandle(buffer);
        bool valid = session != kInvalidTraceHandle && session != 0;
        // A session that was ignored when it enabled us must not switch off the attached one.
        TRACEHANDLE attached = m_sessionHandle;
        if (valid && attached != 0 && attached != session) return ERROR_SUCCESS;
        if (m_listener) m_listener->OnConfigurationChanged(false, m_threshold, 0);
        if (valid) {
            TRACEHANDLE expected = session;
            m_sessionHandle.compare_exchange_strong(expected, 0);
        }
        return ERROR_SUCCESS;
    }
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

ULONG WINAPI CETWLogging::ControlCallbackEntry(WMIDPREQUESTCODE requestCode, PVOID context, ULONG* bufferSize,
                                               PVOID buffer)
{
    (void)bufferSize;
    CallbackCall call = {requestCode, context, buffer};
    return EtwLoggingGuardedCall(&RunControlCallback, &call, kUnhandledException);
}

void CETWLogging::SetEventClassGuid()
{
    m_eventClassGuid = kEventClassGuid;
}

void CETWLogging::GetModuleName(std::wstring& name, HMODULE module, bool stripExtension)
{
    std::wstring folder;
    name.clear();
    if (!Lumetra::SplitModuleFileName(module, folder, false, name)) {
        name.clear();
        return;
    }
    if (stripExtension) {
        size_t dot = name.find_last_of(L'.');
        if (dot != std::wstring::npos) name.erase(dot);
    }
}

void CETWLogging::BuildComponentName()
{
    m_componentName = m_applicationName;
    if (!m_moduleBaseName.empty()) m_componentName += L"\\" + m_moduleBaseName;
}

DWORD CETWLogging::UnregisterProvider()
{
    DWORD result = ERROR_SUCCESS;
    EnterCriticalSection(&m_lock);
    if (m_registrationHandle) {
        result = m_api->UnregisterTraceGuids(m_registrationHandle);
        m_registrationHandle = 0;
        m_registered = false;
    }
    LeaveCriticalSection(&m_lock);
    return result;
}

DWORD CETWLogging::Shutdown()
{
    SetEnabled(false);
    return UnregisterProvider();
}

LogLevel CETWLogging::MapLevel(LogLevel level)
{
    return level == 6 ? kDefaultThreshold : level;
}

void CETWLogging::FillEventRecord(const wchar_t* file, const wchar_t* function, int line, ETWEventRecord& record)
{
    record.processId = m_processId;
    record.threadId = GetCurrentThreadId();
    record.file = file ? file : L"";
    record.function = function ? function : L"";
    record.line = line;
    record.applicationName = m_applicationName;
    record.moduleFileName = m_moduleFileName;
    record.moduleVersion = m_moduleVersion;
    record.executableName = m_executableName;
}

} // namespace ETWLogging
