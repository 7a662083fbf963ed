#include "ETWLogging/ConfigurationListener.h"
#include "ETWLogging/ETWLogger.h"
#include "Lumetra/ObfuscatedRegKey.h"
#include "Lumetra/RegKey.h"

#include "TestUtil.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

#include <memory>
#include <string>
#include <vector>

using namespace ETWLogging;

namespace {

// A property set of its own, so that its provider key is not shared with parallel tests.
class RegistrySet {
public:
    RegistrySet() : name_(TestUtil::UniqueName(L"ListenerSet")), path_(L"SOFTWARE\\Orvane.logging\\" + name_)
    {
        Set(L"Controller", L"Controller Path", L"C:\\Tools\\Lognex.dll");
        Set(L"Controller", L"Owner Mutex Name", L"Global\\ListenerOwner");
        Set(L"Session", L"Session ID Guid", L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
        Set(L"Session", L"Session Name", L"Listener Session");
        Set(L"Provider", L"Provider Guid", L"{11223344-5566-7788-99AA-BBCCDDEEFF00}");
    }
    ~RegistrySet() { SHDeleteKeyW(HKEY_LOCAL_MACHINE, path_.c_str()); }
    RegistrySet(const RegistrySet&) = delete;
    RegistrySet& operator=(const RegistrySet&) = delete;

    // Plain DWORD below the provider key ("" for the key itself).
    void SetSetting(const std::wstring& below, const wchar_t* name, DWORD value)
    {
        Lumetra::CRegKey key;
        ASSERT_EQ(0, key.Create(HKEY_LOCAL_MACHINE, ProviderKey(below).c_str()));
        ASSERT_EQ(0, key.SetDWORDValue(name, value));
    }
    std::wstring ProviderKey(const std::wstring& below = L"") const
    {
        return path_ + L"\\Provider" + (below.empty() ? L"" : L"\\" + below);
    }
    const std::wstring& Name() const { return name_; }

    internal::ETWAppProperties Load() const
    {
        internal::ETWAppProperties p;
        EXPECT_TRUE(p.Initialize(name_.c_str()));
        return p;
    }

private:
    void Set(const wchar_t* subKey, const wchar_t* name, const wchar_t* text)
    {
        Lumetra::CObfuscatedRegKey key;
        ASSERT_EQ(0, key.Create(HKEY_LOCAL_MACHINE, (path_ + L"\\" + subKey).c_str()));
        ASSERT_EQ(0, key.SetStringValue(name, text));
    }

    std::wstring name_;
    std::wstring path_;
};

// Records what the listener does to it, in order.
class FakeLogger : public CLoggingIf {
public:
    FakeLogger(std::wstring app, std::wstring component) : app_(std::move(app)), component_(std::move(component)) {}

    DWORD Initialize(const wchar_t*, HINSTANCE, const wchar_t*, LoggingConfigListenerIf*) override { return 0; }
    DWORD BeginWrite() override { return 0; }
    void GetComponentName(std::wstring& name) override { name = component_; }
    void GetApplicationName(std::wstring& name) override { name = app_; }
    DWORD Uninitialize() override { return 0; }
    DWORD SetEnabled(bool enabled) override
    {
        enabledCalls.push_back(enabled);
        return 0;
    }
    bool IsEnabled() override { return enabledCalls.empty() || enabledCalls.back(); }
    DWORD LogLevelF(LogLevel, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD Write(const wchar_t*, const wchar_t*, int, LogLevel, const wchar_t*) override { return 0; }
    bool IsLevelEnabled(LogLevel) override { return true; }
    void SetMaxEntries(DWORD) override {}
    DWORD GetMaxEntries() override { return 0; }
    void SetMaxSize(DWORD) override {}
    DWORD GetMaxSize() override { return 0; }
    void SetSeverity(LogLevel level) override { severityCalls.push_back(level); }
    LogLevel GetSeverity() override { return severityCalls.empty() ? 3 : severityCalls.back(); }

    std::vector<bool> enabledCalls;
    std::vector<LogLevel> severityCalls;

private:
    std::wstring app_;
    std::wstring component_;
};

// Only what an enable request needs: one session at level 4.
class SessionApi : public EtwApi {
public:
    ULONG RegisterTraceGuidsW(WMIDPREQUEST, PVOID, LPCGUID, ULONG, PTRACE_GUID_REGISTRATION, LPCWSTR, LPCWSTR,
                              PTRACEHANDLE handle) override
    {
        *handle = 1;
        return 0;
    }
    ULONG UnregisterTraceGuids(TRACEHANDLE) override { return 0; }
    ULONG TraceEvent(TRACEHANDLE, PEVENT_TRACE_HEADER) override { return 0; }
    TRACEHANDLE GetTraceLoggerHandle(PVOID) override { return 0x31; }
    UCHAR GetTraceEnableLevel(TRACEHANDLE) override { return 4; }
    ULONG GetTraceEnableFlags(TRACEHANDLE) override { return 0; }
};

TEST(ConfigurationListener, AttachTakesOnlyTheFirstLogger)
{
    RegistrySet set;
    FakeLogger first(L"A", L"A\\m"), second(L"B", L"B\\m");
    CETWConfigurationListener listener(set.Load(), nullptr);
    // Without a logger a change goes nowhere.
    listener.OnConfigurationChanged(true, 4, 0);
    EXPECT_FALSE(listener.AttachLogger(nullptr));
    EXPECT_TRUE(listener.AttachLogger(&first));
    EXPECT_FALSE(listener.AttachLogger(&second));
    listener.OnConfigurationChanged(false, 5, 0);
    EXPECT_EQ(std::vector<bool>{false}, first.enabledCalls);
    EXPECT_EQ(std::vector<LogLevel>{5}, first.severityCalls);
    EXPECT_TRUE(second.enabledCalls.empty());
}

TEST(ConfigurationListener, CascadeFromProviderToApplicationToComponent)
{
    RegistrySet set;
    set.SetSetting(L"", L"Severity", 5);
    set.SetSetting(L"", L"Enable", 0);
    set.SetSetting(L"App", L"Severity", 2);
    set.SetSetting(L"App", L"Enable", 1);
    set.SetSetting(L"App\\Module", L"Severity", 4);
    // A neighbouring application's key is not read.
    set.SetSetting(L"Other", L"Severity", 1);

    FakeLogger logger(L"App", L"App\\Module");
    CETWConfigurationListener listener(set.Load(), &logger);
    listener.OnConfigurationChanged(true, 3, 0);
    EXPECT_EQ((std::vector<LogLevel>{3, 5, 2, 4}), logger.severityCalls);
    EXPECT_EQ((std::vector<bool>{true, false, true}), logger.enabledCalls);
}

TEST(ConfigurationListener, MissingKeysAndValuesChangeNothing)
{
    RegistrySet set;
    // Settings are plain DWORDs: a text or an enciphered record is not a setting.
    {
        Lumetra::CRegKey key;
        ASSERT_EQ(0, key.Create(HKEY_LOCAL_MACHINE, set.ProviderKey().c_str()));
        ASSERT_EQ(0, key.SetStringValue(L"Severity", L"5"));
        Lumetra::CObfuscatedRegKey hidden;
        ASSERT_EQ(0, hidden.Create(HKEY_LOCAL_MACHINE, set.ProviderKey(L"App").c_str()));
        ASSERT_EQ(0, hidden.SetDWORDValue(L"Enable", 0));
    }
    FakeLogger logger(L"App", L"App\\Module");
    CETWConfigurationListener listener(set.Load(), &logger);
    listener.OnConfigurationChanged(true, 4, 0);
    EXPECT_EQ(std::vector<LogLevel>{4}, logger.severityCalls);
    EXPECT_EQ(std::vector<bool>{true}, logger.enabledCalls);

    listener.ReadSettings(HKEY_LOCAL_MACHINE, set.ProviderKey(L"NoSuchKey"));
    EXPECT_EQ(1u, logger.severityCalls.size());
}

TEST(ConfigurationListener, EtwLoggerAppliesTheRegistryAndClamps)
{
    RegistrySet set;
    std::wstring app = TestUtil::UniqueName(L"ListenApp");
    set.SetSetting(L"", L"Severity", 5);
    set.SetSetting(app, L"Severity", 2);

    CETWLogging logger(std::make_shared<SessionApi>());
    ASSERT_EQ(0u, logger.InitializeEx(set.Name().c_str(), app.c_str(), nullptr, nullptr, nullptr));
    // Start-up: level 3, then the provider key's 5, then the application's 2.
    EXPECT_EQ(2u, logger.GetSeverity());
    EXPECT_TRUE(logger.IsEnabled());

    // The most specific key, application\module, wins; out-of-range values are clamped.
    set.SetSetting(app + L"\\etw_logging_tests", L"Severity", 0);
    logger.ControlCallback(WMI_ENABLE_EVENTS, nullptr);
    EXPECT_EQ(1u, logger.GetSeverity());
    set.SetSetting(app + L"\\etw_logging_tests", L"Severity", 9);
    set.SetSetting(app + L"\\etw_logging_tests", L"Enable", 0);
    logger.ControlCallback(WMI_DISABLE_EVENTS, nullptr);
    EXPECT_EQ(6u, logger.GetSeverity());
    EXPECT_FALSE(logger.IsEnabled());
}

TEST(ConfigurationListener, SessionLevelThenRegistryAgain)
{
    RegistrySet set;
    std::wstring app = TestUtil::UniqueName(L"SessionApp");
    CETWLogging logger(std::make_shared<SessionApi>());
    ASSERT_EQ(0u, logger.InitializeEx(set.Name().c_str(), app.c_str(), nullptr, nullptr, nullptr));
    EXPECT_EQ(3u, logger.GetSeverity());

    // No registry values: the session's level 4 stands.
    EXPECT_EQ(0u, logger.ControlCallback(WMI_ENABLE_EVENTS, nullptr));
    EXPECT_EQ(4u, logger.GetSeverity());
    EXPECT_TRUE(logger.IsSameSession(0x31));

    // With a registry value, it applies after the session's level.
    set.SetSetting(app, L"Severity", 2);
    EXPECT_EQ(0u, logger.ControlCallback(WMI_DISABLE_EVENTS, nullptr));
    EXPECT_FALSE(logger.IsEnabled());
    EXPECT_EQ(2u, logger.GetSeverity());
    EXPECT_EQ(0u, logger.ControlCallback(WMI_ENABLE_EVENTS, nullptr));
    EXPECT_TRUE(logger.IsEnabled());
    EXPECT_EQ(2u, logger.GetSeverity());
}

} // namespace
