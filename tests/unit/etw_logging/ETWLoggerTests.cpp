#include "ETWLogging/ETWLogger.h"
#include "ETWLogging/ProductIds.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace ETWLogging;

namespace {

constexpr TRACEHANDLE kInvalidHandle = static_cast<TRACEHANDLE>(-1);

// What the trace service hands the control callback: the test decides which session it names.
struct SessionBuffer {
    TRACEHANDLE handle;
    DWORD error;   // last error when the handle is invalid
};

// Stands in for the trace service: records registrations and events, answers session queries.
class FakeEtwApi : public EtwApi {
public:
    struct Event {
        TRACEHANDLE session;
        std::vector<BYTE> header;   // the 64 bytes TraceEvent received
        std::vector<BYTE> data;     // the bytes the MOF field pointed at
    };

    ULONG RegisterTraceGuidsW(WMIDPREQUEST cb, PVOID ctx, LPCGUID control, ULONG count,
                              PTRACE_GUID_REGISTRATION guids, LPCWSTR mofPath, LPCWSTR mofResource,
                              PTRACEHANDLE handle) override
    {
        ++registerCalls;
        callback = cb;
        context = ctx;
        controlGuid = *control;
        guidCount = count;
        eventClassGuid = *guids[0].Guid;
        mofArgumentsGiven = mofPath != nullptr || mofResource != nullptr;
        *handle = registrationHandle;
        return registerResult;
    }
    ULONG UnregisterTraceGuids(TRACEHANDLE handle) override
    {
        unregistered.push_back(handle);
        return unregisterResult;
    }
    ULONG TraceEvent(TRACEHANDLE session, PEVENT_TRACE_HEADER header) override
    {
        Event event;
        event.session = session;
        const BYTE* raw = reinterpret_cast<const BYTE*>(header);
        event.header.assign(raw, raw + 64);
        const MOF_FIELD* field = reinterpret_cast<const MOF_FIELD*>(raw + sizeof(EVENT_TRACE_HEADER));
        const BYTE* data = reinterpret_cast<const BYTE*>(static_cast<uintptr_t>(field->DataPtr));
        if (data) event.data.assign(data, data + field->Length);
        events.push_back(event);
        return 0;
    }
    TRACEHANDLE GetTraceLoggerHandle(PVOID buffer) override
    {
        auto* session = static_cast<SessionBuffer*>(buffer);
        if (session->handle == kInvalidHandle) SetLastError(session->error);
        return session->handle;
    }
    UCHAR GetTraceEnableLevel(TRACEHANDLE) override
    {
        if (enableLevel == 0) SetLastError(levelError);
        return enableLevel;
    }
    ULONG GetTraceEnableFlags(TRACEHANDLE) override { return enableFlags; }

    // Calls the registered callback the way the trace service would.
    ULONG Deliver(WMIDPREQUESTCODE request, SessionBuffer& session)
    {
        ULONG size = sizeof(session);
        return callback(request, context, &size, &session);
    }

    int registerCalls = 0;
    ULONG registerResult = 0;
    TRACEHANDLE registrationHandle = 0x5150;
    ULONG unregisterResult = 0;
    WMIDPREQUEST callback = nullptr;
    PVOID context = nullptr;
    GUID controlGuid{};
    GUID eventClassGuid{};
    ULONG guidCount = 0;
    bool mofArgumentsGiven = true;
    std::vector<TRACEHANDLE> unregistered;
    std::vector<Event> events;
    UCHAR enableLevel = 4;
    DWORD levelError = 0;
    ULONG enableFlags = 0x30;
};

// Applies what it is told to its logger, like the real listener minus the registry, and keeps a
// log of the calls.
class RecordingListener : public LoggingConfigListenerIf {
public:
    struct Call {
        bool enable;
        LogLevel level;
        ULONG flags;
    };
    enum class Fault { None, CppThrow, Structured };

    void OnConfigurationChanged(bool enable, LogLevel level, ULONG flags) override
    {
        calls.push_back({enable, level, flags});
        if (fault == Fault::CppThrow) throw std::runtime_error("listener failed");
        if (fault == Fault::Structured) RaiseException(0xE0C0FFEE, 0, 0, nullptr);
        if (logger) {
            logger->SetEnabled(enable);
            logger->SetSeverity(level);
        }
    }

    CLoggingIf* logger = nullptr;
    std::vector<Call> calls;
    Fault fault = Fault::None;
};

struct Field {
    DWORD tag;
    DWORD type;
    std::vector<BYTE> value;

    DWORD Number() const
    {
        DWORD v = 0;
        if (value.size() == 4) std::memcpy(&v, value.data(), 4);
        return v;
    }
    std::wstring Text() const
    {
        return std::wstring(reinterpret_cast<const wchar_t*>(value.data()), value.size() / 2);
    }
};

// Walks the tag/type/16-bit length/value fields; fails the test on any overrun or leftover.
std::vector<Field> Decode(const std::vector<BYTE>& data)
{
    std::vector<Field> fields;
    size_t at = 0;
    while (at < data.size()) {
        if (data.size() - at < 10) {
            ADD_FAILURE() << "truncated field header at " << at;
            return fields;
        }
        Field f;
        std::memcpy(&f.tag, &data[at], 4);
        std::memcpy(&f.type, &data[at + 4], 4);
        USHORT length;
        std::memcpy(&length, &data[at + 8], 2);
        at += 10;
        if (data.size() - at < length) {
            ADD_FAILURE() << "field value runs past the data";
            return fields;
        }
        f.value.assign(data.begin() + at, data.begin() + at + length);
        at += length;
        fields.push_back(f);
    }
    return fields;
}

template <typename T> T At(const std::vector<BYTE>& bytes, size_t offset)
{
    T v;
    std::memcpy(&v, &bytes[offset], sizeof(T));
    return v;
}

UCHAR HeaderLevel(const FakeEtwApi::Event& e)
{
    return e.header[5];
}

class EtwLoggerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        api = std::make_shared<FakeEtwApi>();
        logger = std::make_unique<CETWLogging>(api);
        listener = new RecordingListener;
        listener->logger = logger.get();
        appName = TestUtil::UniqueName(L"EtwApp");
        ASSERT_EQ(0u, logger->InitializeEx(nullptr, appName.c_str(), nullptr, nullptr, listener));
    }

    // A log line as the front writes it.
    void Line(LogLevel level, const wchar_t* text)
    {
        ASSERT_EQ(0u, logger->BeginWrite());
        logger->WriteF(level, L"EtwTests", L"Suite::Method", 7, L"%s", text);
    }

    std::shared_ptr<FakeEtwApi> api;
    std::unique_ptr<CETWLogging> logger;
    RecordingListener* listener = nullptr;   // owned by the logger
    std::wstring appName;
};

TEST_F(EtwLoggerTest, EventDataCarriesEveryFieldInOrder)
{
    ASSERT_EQ(0u, logger->BeginWrite());
    ASSERT_EQ(0u, logger->WriteF(4, L"net\\Sender", L"Taliro::Sender::Send", 1234, L"%s=%d [%hs]", L"code",
                                 -5, "narrow"));
    ASSERT_EQ(1u, api->events.size());
    std::vector<Field> fields = Decode(api->events[0].data);
    ASSERT_EQ(10u, fields.size());

    const DWORD tags[] = {4, 5, 13, 6, 7, 8, 9, 10, 11, 12};
    const DWORD types[] = {2, 2, 4, 4, 5, 4, 4, 4, 4, 4};
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(tags[i], fields[i].tag) << i;
        EXPECT_EQ(types[i], fields[i].type) << i;
    }
    EXPECT_EQ(GetCurrentProcessId(), fields[0].Number());
    EXPECT_EQ(GetCurrentThreadId(), fields[1].Number());
    EXPECT_EQ(L"etw_logging_tests.exe", fields[2].Text());
    EXPECT_EQ(L"net\\Sender", fields[3].Text());
    EXPECT_EQ(1234u, fields[4].Number());
    EXPECT_EQ(L"Taliro::Sender::Send", fields[5].Text());
    // The library is linked into the test program, which carries no version resource.
    EXPECT_EQ(L"etw_logging_tests.exe", fields[6].Text());
    EXPECT_TRUE(fields[7].value.empty());
    EXPECT_EQ(appName, fields[8].Text());
    EXPECT_EQ(L"code=-5 [narrow]", fields[9].Text());
    // Text is UTF-16 without terminator.
    EXPECT_EQ(2u * 16, fields[9].value.size());
}

TEST_F(EtwLoggerTest, FirstFieldBytesAreLittleEndianTagTypeLengthValue)
{
    Line(3, L"x");
    ASSERT_EQ(1u, api->events.size());
    const std::vector<BYTE>& d = api->events[0].data;
    ASSERT_GE(d.size(), 28u);
    DWORD pid = GetCurrentProcessId();
    const BYTE expected[] = {4, 0, 0, 0, 2, 0, 0, 0, 4, 0, BYTE(pid), BYTE(pid >> 8), BYTE(pid >> 16), BYTE(pid >> 24),
                             5, 0, 0, 0, 2, 0, 0, 0, 4, 0};
    EXPECT_EQ(0, std::memcmp(expected, d.data(), sizeof(expected)));
    // The message is the last field: tag 12, type 4, 2 bytes, 'x'.
    const BYTE tail[] = {12, 0, 0, 0, 4, 0, 0, 0, 2, 0, 'x', 0};
    EXPECT_EQ(0, std::memcmp(tail, d.data() + d.size() - sizeof(tail), sizeof(tail)));
}

TEST_F(EtwLoggerTest, HeaderIsTheFixed64ByteLayout)
{
    Line(5, L"header");
    ASSERT_EQ(1u, api->events.size());
    const std::vector<BYTE>& h = api->events[0].header;
    EXPECT_EQ(64, At<USHORT>(h, 0));           // Size
    EXPECT_EQ(0, At<USHORT>(h, 2));            // header type, marker flags
    EXPECT_EQ(1, h[4]);                        // Class.Type
    EXPECT_EQ(5, h[5]);                        // Class.Level
    EXPECT_EQ(1, At<USHORT>(h, 6));            // Class.Version
    for (size_t i = 8; i < 24; ++i) EXPECT_EQ(0, h[i]) << "byte " << i;   // thread, process, time stamp
    EXPECT_EQ(0, std::memcmp(&kEventClassGuid, &h[24], 16));
    EXPECT_EQ(0u, At<ULONG>(h, 40));           // client context
    EXPECT_EQ(0x00120000u, At<ULONG>(h, 44));  // traced GUID | MOF pointer
    EXPECT_EQ(api->events[0].data.size(), At<ULONG>(h, 56));
    EXPECT_EQ(0u, At<ULONG>(h, 60));           // data type
    EXPECT_NE(0u, At<ULONG64>(h, 48));
}

TEST_F(EtwLoggerTest, LevelsAndThresholds)
{
    // Default threshold 3: 1 and 2 held back, 6 traced as 3, 0 never.
    Line(1, L"one");
    Line(2, L"two");
    Line(0, L"zero");
    EXPECT_TRUE(api->events.empty());
    Line(3, L"three");
    Line(4, L"four");
    Line(5, L"five");
    Line(6, L"six");
    ASSERT_EQ(4u, api->events.size());
    EXPECT_EQ(3, HeaderLevel(api->events[0]));
    EXPECT_EQ(4, HeaderLevel(api->events[1]));
    EXPECT_EQ(5, HeaderLevel(api->events[2]));
    EXPECT_EQ(3, HeaderLevel(api->events[3]));

    // 3 always passes; the threshold is clamped to 1..6.
    logger->SetSeverity(5);
    EXPECT_TRUE(logger->IsLevelEnabled(3));
    EXPECT_FALSE(logger->IsLevelEnabled(4));
    EXPECT_TRUE(logger->IsLevelEnabled(6));
    logger->SetSeverity(0);
    EXPECT_EQ(1u, logger->GetSeverity());
    EXPECT_TRUE(logger->IsLevelEnabled(1));
    EXPECT_FALSE(logger->IsLevelEnabled(0));
    logger->SetSeverity(42);
    EXPECT_EQ(6u, logger->GetSeverity());
    EXPECT_FALSE(logger->IsLevelEnabled(5));
    EXPECT_TRUE(logger->IsLevelEnabled(3));

    // A level above 5 that is not 6 keeps its value but the header says 3.
    api->events.clear();
    Line(7, L"seven");
    ASSERT_EQ(1u, api->events.size());
    EXPECT_EQ(3, HeaderLevel(api->events[0]));
}

TEST_F(EtwLoggerTest, DisabledLoggerTracesNothing)
{
    logger->SetEnabled(false);
    Line(5, L"off");
    EXPECT_EQ(0u, logger->Write(L"f", L"g", 1, 5, L"off"));
    EXPECT_EQ(0u, logger->LogLevelF(5, L"f", L"g", 1, L"%s", L"off"));
    EXPECT_TRUE(api->events.empty());
    logger->SetEnabled(true);
    Line(5, L"on");
    EXPECT_EQ(1u, api->events.size());
}

TEST_F(EtwLoggerTest, MessageIsCutTo2079Characters)
{
    std::wstring longText(3000, L'a');
    for (size_t i = 0; i < longText.size(); ++i) longText[i] = static_cast<wchar_t>(L'a' + i % 26);
    Line(4, longText.c_str());
    // The unlimited formatter of LogLevelF still ends at the event's limit.
    logger->LogLevelF(4, L"f", L"g", 2, L"%s", longText.c_str());
    std::wstring exact(2079, L'z');
    Line(4, exact.c_str());
    ASSERT_EQ(3u, api->events.size());

    for (int i = 0; i < 2; ++i) {
        std::vector<Field> fields = Decode(api->events[i].data);
        ASSERT_EQ(10u, fields.size());
        EXPECT_EQ(4158u, fields[9].value.size());
        EXPECT_EQ(longText.substr(0, 2079), fields[9].Text());
    }
    std::vector<Field> fields = Decode(api->events[2].data);
    ASSERT_EQ(10u, fields.size());
    EXPECT_EQ(exact, fields[9].Text());
}

TEST_F(EtwLoggerTest, EmptyTextsStandWithLengthZero)
{
    Line(4, L"");
    logger->WriteText(4, nullptr, nullptr, 3, nullptr);
    ASSERT_EQ(2u, api->events.size());
    for (const auto& event : api->events) {
        std::vector<Field> fields = Decode(event.data);
        ASSERT_EQ(10u, fields.size());
        EXPECT_EQ(12u, fields[9].tag);
        EXPECT_TRUE(fields[9].value.empty());
    }
    std::vector<Field> fields = Decode(api->events[1].data);
    EXPECT_TRUE(fields[3].value.empty());   // null file
    EXPECT_TRUE(fields[5].value.empty());   // null function
}

TEST(EtwLogger, NullApplicationNameTravelsAsEmptyField)
{
    auto api = std::make_shared<FakeEtwApi>();
    CETWLogging logger(api);
    auto* listener = new RecordingListener;
    listener->logger = &logger;
    ASSERT_EQ(0u, logger.InitializeEx(nullptr, nullptr, nullptr, nullptr, listener));
    std::wstring component;
    logger.GetComponentName(component);
    EXPECT_EQ(L"\\etw_logging_tests", component);
    logger.BeginWrite();
    logger.WriteF(4, L"f", L"g", 1, L"msg");
    ASSERT_EQ(1u, api->events.size());
    std::vector<Field> fields = Decode(api->events[0].data);
    ASSERT_EQ(10u, fields.size());
    EXPECT_EQ(11u, fields[8].tag);
    EXPECT_TRUE(fields[8].value.empty());
    EXPECT_EQ(L"msg", fields[9].Text());
}

TEST_F(EtwLoggerTest, NamesAndStartUp)
{
    std::wstring text;
    logger->GetApplicationName(text);
    EXPECT_EQ(appName, text);
    // No instance: the module base name is the executable's.
    logger->GetComponentName(text);
    EXPECT_EQ(appName + L"\\etw_logging_tests", text);
    // Start-up tells the listener: enabled, level 3, no flags.
    ASSERT_EQ(1u, listener->calls.size());
    EXPECT_TRUE(listener->calls[0].enable);
    EXPECT_EQ(3u, listener->calls[0].level);
    EXPECT_EQ(0u, listener->calls[0].flags);

    CETWLogging other(api);
    auto* second = new RecordingListener;
    ASSERT_EQ(0u, other.InitializeEx(nullptr, L"App", GetModuleHandleW(L"kernel32.dll"), L"host", second));
    other.GetComponentName(text);
    EXPECT_EQ(0, _wcsicmp(L"App\\kernel32", text.c_str())) << text;

    std::wstring name;
    other.GetModuleName(name, GetModuleHandleW(L"kernel32.dll"), false);
    EXPECT_EQ(0, _wcsicmp(L"kernel32.dll", name.c_str()));
    other.GetModuleName(name, nullptr, true);
    EXPECT_EQ(L"etw_logging_tests", name);
}

TEST(EtwLogger, InitializeRefusesBadArguments)
{
    auto api = std::make_shared<FakeEtwApi>();
    {
        CETWLogging logger(api);
        EXPECT_EQ(87u, logger.InitializeEx(nullptr, L"", nullptr, nullptr, nullptr));
    }
    {
        CETWLogging logger(api);
        EXPECT_EQ(87u, logger.InitializeEx(nullptr, L"App", nullptr, L"", nullptr));
    }
    {
        // A set with neither registry settings nor built-in defaults.
        CETWLogging logger(api);
        std::wstring unknown = TestUtil::UniqueName(L"NoSuchSet");
        EXPECT_EQ(87u, logger.InitializeEx(unknown.c_str(), L"App", nullptr, nullptr, nullptr));
    }
    {
        CETWLogging logger(api);
        ASSERT_EQ(0u, logger.InitializeEx(nullptr, L"App", nullptr, nullptr, new RecordingListener));
        ASSERT_EQ(0u, logger.BeginWrite());
        EXPECT_EQ(20001u, logger.InitializeEx(nullptr, L"App", nullptr, nullptr, nullptr));
    }
}

TEST_F(EtwLoggerTest, RegistrationHappensOnceWithTheProductGuids)
{
    api->registerResult = 1450;
    EXPECT_EQ(1450u, logger->BeginWrite());
    // A failed registration drops only that line: later lines go out without a session.
    EXPECT_EQ(0u, logger->BeginWrite());
    EXPECT_EQ(1, api->registerCalls);
    EXPECT_EQ(0, std::memcmp(&kDefaultProviderGuid, &api->controlGuid, sizeof(GUID)));
    EXPECT_EQ(0, std::memcmp(&kEventClassGuid, &api->eventClassGuid, sizeof(GUID)));
    EXPECT_EQ(1u, api->guidCount);
    EXPECT_FALSE(api->mofArgumentsGiven);
    EXPECT_EQ(logger.get(), api->context);
    logger->WriteF(4, L"f", L"g", 1, L"nowhere");
    ASSERT_EQ(1u, api->events.size());
    EXPECT_EQ(0u, api->events[0].session);
}

TEST_F(EtwLoggerTest, UninitializeUnregistersOnceAndAllowsANewRegistration)
{
    ASSERT_EQ(0u, logger->BeginWrite());
    EXPECT_EQ(0u, logger->Uninitialize());
    ASSERT_EQ(1u, api->unregistered.size());
    EXPECT_EQ(0x5150u, api->unregistered[0]);
    EXPECT_FALSE(logger->IsEnabled());
    EXPECT_EQ(0u, logger->Uninitialize());
    EXPECT_EQ(1u, api->unregistered.size());
    ASSERT_EQ(0u, logger->BeginWrite());
    EXPECT_EQ(2, api->registerCalls);
    logger.reset();   // the destructor releases the second registration
    EXPECT_EQ(2u, api->unregistered.size());
}

TEST_F(EtwLoggerTest, SessionEnableAndDisable)
{
    ASSERT_EQ(0u, logger->BeginWrite());
    ASSERT_NE(nullptr, api->callback);
    SessionBuffer first = {0x77, 0};
    listener->calls.clear();
    EXPECT_EQ(0u, api->Deliver(WMI_ENABLE_EVENTS, first));
    EXPECT_TRUE(logger->IsSameSession(0x77));
    ASSERT_EQ(1u, listener->calls.size());
    EXPECT_TRUE(listener->calls[0].enable);
    EXPECT_EQ(4u, listener->calls[0].level);
    EXPECT_EQ(0x30u, listener->calls[0].flags);
    EXPECT_EQ(4u, logger->GetSeverity());

    Line(4, L"to the session");
    ASSERT_EQ(1u, api->events.size());
    EXPECT_EQ(0x77u, api->events[0].session);

    // A second session is ignored while the first is attached.
    SessionBuffer second = {0x99, 0};
    api->enableLevel = 1;
    EXPECT_EQ(0u, api->Deliver(WMI_ENABLE_EVENTS, second));
    EXPECT_TRUE(logger->IsSameSession(0x77));
    EXPECT_EQ(1u, listener->calls.size());
    EXPECT_EQ(4u, logger->GetSeverity());
    // Its disable request neither detaches nor switches off the first one.
    EXPECT_EQ(0u, api->Deliver(WMI_DISABLE_EVENTS, second));
    EXPECT_TRUE(logger->IsSameSession(0x77));
    EXPECT_EQ(1u, listener->calls.size());
    EXPECT_TRUE(logger->IsEnabled());

    listener->calls.clear();
    EXPECT_EQ(0u, api->Deliver(WMI_DISABLE_EVENTS, first));
    EXPECT_TRUE(logger->IsSameSession(0));
    ASSERT_EQ(1u, listener->calls.size());
    EXPECT_FALSE(listener->calls[0].enable);
    EXPECT_EQ(4u, listener->calls[0].level);   // the current threshold
    EXPECT_EQ(0u, listener->calls[0].flags);
    EXPECT_FALSE(logger->IsEnabled());

    // Now another session may attach.
    api->enableLevel = 5;
    EXPECT_EQ(0u, api->Deliver(WMI_ENABLE_EVENTS, second));
    EXPECT_TRUE(logger->IsSameSession(0x99));
    EXPECT_TRUE(logger->IsEnabled());
    EXPECT_EQ(5u, logger->GetSeverity());
}

TEST_F(EtwLoggerTest, ControlCallbackFailures)
{
    ASSERT_EQ(0u, logger->BeginWrite());
    listener->calls.clear();

    SessionBuffer invalid = {kInvalidHandle, 4317};
    EXPECT_EQ(4317u, api->Deliver(WMI_ENABLE_EVENTS, invalid));
    EXPECT_TRUE(logger->IsSameSession(0));

    SessionBuffer session = {0x42, 0};
    EXPECT_EQ(87u, api->Deliver(WMI_GET_ALL_DATA, session));
    ULONG size = 0;
    EXPECT_EQ(87u, api->callback(WMI_ENABLE_EVENTS, nullptr, &size, &session));

    // Level 0 answers the last error; the session stays stored but the listener hears nothing.
    api->enableLevel = 0;
    api->levelError = 6;
    EXPECT_EQ(6u, api->Deliver(WMI_ENABLE_EVENTS, session));
    EXPECT_TRUE(logger->IsSameSession(0x42));
    EXPECT_TRUE(listener->calls.empty());
}

TEST_F(EtwLoggerTest, ExceptionsInTheCallbackAreContained)
{
    ASSERT_EQ(0u, logger->BeginWrite());
    SessionBuffer session = {0x42, 0};
    listener->fault = RecordingListener::Fault::Structured;
    EXPECT_EQ(574u, api->Deliver(WMI_ENABLE_EVENTS, session));
    listener->fault = RecordingListener::Fault::CppThrow;
    EXPECT_EQ(574u, api->Deliver(WMI_DISABLE_EVENTS, session));
    // The thread goes on normally afterwards.
    listener->fault = RecordingListener::Fault::None;
    EXPECT_EQ(0u, api->Deliver(WMI_DISABLE_EVENTS, session));
    EXPECT_TRUE(logger->IsSameSession(0));
}

TEST_F(EtwLoggerTest, FormatErrorsAndPerLevelOperations)
{
    EXPECT_EQ(87u, logger->WriteF(4, L"f", L"g", 1, nullptr));
    EXPECT_EQ(0u, logger->LogLevelF(4, L"f", L"g", 1, L""));
    EXPECT_TRUE(api->events.empty());
    // The per-level operations of the base end up as events too.
    logger->LogCritical(L"f", L"g", 9, L"%d critical", 2);
    ASSERT_EQ(1u, api->events.size());
    EXPECT_EQ(5, HeaderLevel(api->events[0]));
    std::vector<Field> fields = Decode(api->events[0].data);
    ASSERT_EQ(10u, fields.size());
    EXPECT_EQ(L"2 critical", fields[9].Text());
}

TEST(EtwLogger, DefaultListenerStartsEnabledAtThreshold3)
{
    auto api = std::make_shared<FakeEtwApi>();
    CETWLogging logger(api);
    std::wstring app = TestUtil::UniqueName(L"DefaultListener");
    ASSERT_EQ(0u, logger.InitializeEx(nullptr, app.c_str(), nullptr, nullptr, nullptr));
    EXPECT_TRUE(logger.IsEnabled());
    EXPECT_EQ(3u, logger.GetSeverity());
}

// Wine's trace functions are stubs: registration "succeeds" and events go nowhere. This only
// shows that the default construction talks to the system and survives that.
TEST(EtwLogger, DefaultConstructionUsesTheSystemCalls)
{
    CETWLogging logger;
    std::wstring app = TestUtil::UniqueName(L"SystemEtw");
    ASSERT_EQ(0u, logger.InitializeEx(nullptr, app.c_str(), nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, logger.BeginWrite());
    EXPECT_EQ(0u, logger.WriteF(4, L"f", L"g", 1, L"into the void %d", 1));
    EXPECT_EQ(0u, logger.Uninitialize());
}

TEST(ModuleVersionInfo, NamesTheModuleAndItsDottedVersion)
{
    ModuleVersionInfo kernel(GetModuleHandleW(L"kernel32.dll"));
    EXPECT_EQ(0, _wcsicmp(L"kernel32.dll", kernel.GetFileName().c_str()));
    unsigned a, b, c, d;
    EXPECT_EQ(4, swscanf(kernel.GetFileVersion().c_str(), L"%u.%u.%u.%u", &a, &b, &c, &d))
        << kernel.GetFileVersion();

    const ModuleVersionInfo& self = ModuleVersionInfo::Instance();
    EXPECT_EQ(L"etw_logging_tests.exe", self.GetFileName());
    EXPECT_TRUE(self.GetFileVersion().empty());
    EXPECT_EQ(&self, &ModuleVersionInfo::Instance());
}

} // namespace
