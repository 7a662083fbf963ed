// Pulseproxy.dll in the host double, with the bus library double found, vetted and loaded by the
// module itself (InitializeModule) or handed over by the host (InitializeModuleV2).
#include "PluginTestSupport.h"

#include "TestPki.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

using namespace PluginTest;

namespace {

constexpr const char* kInvalidParameter = "0x80000008";
constexpr const char* kUnknownException = "0x8000000F";
constexpr const char* kSuccess = "0x00000000";

// One host folder: pulse_host.exe (whose folder is $(App.Folder)) and, when given, a Quorra.dll.
class HostRun {
public:
    explicit HostRun(const std::wstring& busInHostFolder = L"")
    {
        Copy(ExeFolder() + L"pulse_host.exe", host.File(L"pulse_host.exe"));
        if (!busInHostFolder.empty()) Copy(TestPki::SignedFile(busInHostFolder), host.File(L"Quorra.dll"));
    }
    ~HostRun() { TestUtil::RemoveTree(LogFolder(module, L"")); }

    std::map<std::string, std::string> Run(const std::wstring& arguments)
    {
        EnableAllLevels(module, L"pulse_host");
        const std::wstring out = host.File(L"result.txt");
        exitCode = PluginTest::Run(L"\"" + host.File(L"pulse_host.exe") + L"\" \"" + out + L"\" \"" +
                                   TestPki::SignedFile(L"Pulseproxy.dll") + L"\" " + arguments);
        log = ReadLog(module, L"pulse_host");
        return ReadResults(out);
    }
    std::map<std::string, std::string> RunV1() { return Run(L"v1 " + module); }

    TestUtil::ScratchDir host;
    const std::wstring module = TestUtil::UniqueName(L"PulseHost");
    DWORD exitCode = 0;
    std::wstring log;
};

} // namespace

TEST(PulseproxyHost, ExportsByNameAndOrdinalAndTheVersion)
{
    HostRun run;
    auto results = run.Run(L"version");
    ASSERT_EQ(0u, run.exitCode);
    EXPECT_EQ("0x00000001", results["ordinal.CreateObject"]);
    EXPECT_EQ("0x00000002", results["ordinal.GetVersionNum"]);
    EXPECT_EQ("0x00000003", results["ordinal.GetVersionStr"]);
    EXPECT_EQ("0x00000004", results["ordinal.ReleaseObject"]);
    EXPECT_EQ("1006000", results["GetVersionNum"]);
    EXPECT_EQ("1.6.0", results["GetVersionStr"]);
    EXPECT_EQ("0x00000001", results["CreateObject.sameTable"]);
    EXPECT_EQ("0x00000008", results["table.entries"]);
}

TEST(PulseproxyHost, ModuleLoadsTheBusFromTheHostFolderFirstAndReleasesItWithTheModule)
{
    MachineState machine;
    ASSERT_TRUE(machine.UseFileLogger());
    TestUtil::ScratchDir installDir;
    ASSERT_TRUE(Copy(TestPki::SignedFile(L"quorra_no_version_num\\Quorra.dll"), installDir.File(L"Quorra.dll")));
    ASSERT_TRUE(machine.SetInstallDir(installDir.Path()));

    HostRun run(L"quorra_signed\\Quorra.dll");
    auto results = run.RunV1();
    ASSERT_EQ(0u, run.exitCode);
    for (const char* key : {"NewModule", "Initialize", "StartModule", "DirectMessage", "DirectMessage.v1Header",
                            "StopModule", "UninitializeModule", "DestroyModule"})
        EXPECT_EQ(kSuccess, results[key]) << key;
    for (const char* key : {"null.NewModule", "null.DestroyModule", "null.InitializeModule", "null.StartModule",
                            "null.StopModule", "null.UninitializeModule", "null.DirectMessage",
                            "null.InitializeModuleV2", "invalid.InitializeModule.nullKeys",
                            "invalid.InitializeModule.nullKey", "invalid.InitializeModule.nullName",
                            "invalid.InitializeModuleV2.nullValues", "invalid.DirectMessage.nullName",
                            "stale.DestroyModule", "stale.StartModule"})
        EXPECT_EQ(kInvalidParameter, results[key]) << key;
    EXPECT_EQ(kUnknownException, results["invalid.InitializeModuleV2.nullBusHandle"]);
    EXPECT_EQ("0x800000FF", results["invalid.DirectMessage.uninitialised"]);
    EXPECT_EQ(TestUtil::Narrow(run.host.File(L"Quorra.dll")), results["bus.loadedFrom"]);
    // Handle taken and released once, reply callback withdrawn once: the module owned the bus.
    EXPECT_EQ("0x00000001", results["afterFirst.getHandle"]);
    EXPECT_EQ("0x00000001", results["afterFirst.releaseHandle"]);
    EXPECT_EQ("0x00000000", results["afterFirst.liveHandles"]);
    EXPECT_EQ("0x00000001", results["afterFirst.withdraw"]);

    // The log carries the module's name as application name, and the lines of the road.
    for (const wchar_t* line : {L"Invalid handle address.", L"Invalid handle.", L"Loading Quorra.dll from ",
                                L"M12NPerfTimer|MessageBusLib::MessageBusLib|", L"Found session id ",
                                L"Invalid message bus handle. Throwing ModuleException.",
                                L"Failed to process direct message. Invalid message bus client.",
                                L"Entering findFilePath for file Quorra.dll"})
        EXPECT_EQ(1u, CountLines(run.log, line) > 0 ? 1u : 0u) << TestUtil::Narrow(line);

    // Without a copy in the host folder, the framework's install folder serves.
    HostRun fallback;
    ASSERT_TRUE(Copy(TestPki::SignedFile(L"quorra_signed\\Quorra.dll"), installDir.File(L"Quorra.dll")));
    results = fallback.RunV1();
    EXPECT_EQ(kSuccess, results["Initialize"]);
    EXPECT_EQ(TestUtil::Narrow(installDir.File(L"Quorra.dll")), results["bus.loadedFrom"]);
}

TEST(PulseproxyHost, RefusedMissingOrIncompleteBusLibraryFailsInitialisation)
{
    MachineState machine;
    ASSERT_TRUE(machine.UseFileLogger());
    struct Case {
        const wchar_t* copy;
        std::vector<const wchar_t*> lines;
    } cases[] = {
        {L"quorra_unsigned\\Quorra.dll", {L"LoadLibrary Failed. GLE: 5", L"Failed to load library. Error code: MODULE_STATUS_UNSUCCESSFUL(2147483650)."}},
        {L"quorra_tampered\\Quorra.dll", {L"LoadLibrary Failed. GLE: 5"}},
        {L"quorra_other_publisher\\Quorra.dll", {L"LoadLibrary Failed. GLE: 5", L"Failed to load library: Quorra.dll. Throwing ModuleException."}},
        {L"quorra_no_version_num\\Quorra.dll", {L"Failed to load GetVersionNum function from library: Quorra.dll.",
                                                 L"Failed to import functions from library: Quorra.dll. Throwing ModuleException."}},
        // No copy, and no install folder registered: that folder is not even probed.
        {L"", {L"Failed to resolve file path, $(Tessel.InstallDir), for library: Quorra.dll.",
               L"Failed to find valid path for library: Quorra.dll."}},
    };
    for (const Case& c : cases) {
        HostRun run(c.copy);
        auto results = run.RunV1();
        ASSERT_EQ(0u, run.exitCode) << TestUtil::Narrow(c.copy);
        EXPECT_EQ(kUnknownException, results["Initialize"]) << TestUtil::Narrow(c.copy);
        EXPECT_EQ("", results["bus.loadedFrom"]) << TestUtil::Narrow(c.copy);
        EXPECT_EQ(kSuccess, results["DestroyModule"]);
        for (const wchar_t* line : c.lines) EXPECT_GT(CountLines(run.log, line), 0u) << TestUtil::Narrow(line);
    }
}

TEST(PulseproxyHost, HostBusIsUsedAndKeptAndOneModuleLeavingDoesNotSilenceAnother)
{
    MachineState machine;
    ASSERT_TRUE(machine.UseFileLogger());
    HostRun run;
    auto results = run.Run(L"v2 " + run.module + L" \"" + TestPki::SignedFile(L"quorra_signed\\Quorra.dll") + L"\"");
    ASSERT_EQ(0u, run.exitCode);
    for (const char* key : {"NewModule", "Initialize", "StartModule", "DirectMessage", "StopModule",
                            "UninitializeModule", "DestroyModule", "second.NewModule", "second.Initialize",
                            "second.DestroyModule", "host.releaseHandle"})
        EXPECT_EQ(kSuccess, results[key]) << key;
    EXPECT_EQ(kUnknownException, results["invalid.InitializeModuleV2.nullBusHandle"]);
    EXPECT_EQ(kUnknownException, results["invalid.InitializeModuleV2.nullBusFunctions"]);
    EXPECT_GT(CountLines(run.log, L"Invalid message bus handle. Throwing ModuleException."), 0u);
    EXPECT_GT(CountLines(run.log, L"Invalid message bus functions object. Throwing ModuleException."), 0u);
    // The first module's going leaves the reply callback to the second; the host's handle is
    // never released by a module.
    EXPECT_EQ("0x00000000", results["afterFirst.withdraw"]);
    EXPECT_EQ("0x00000001", results["afterSecond.withdraw"]);
    EXPECT_EQ("0x00000000", results["afterSecond.releaseHandle"]);
    EXPECT_EQ("0x00000001", results["final.releaseHandle"]);
    EXPECT_EQ("0x00000000", results["final.liveHandles"]);
}
