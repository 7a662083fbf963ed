// Shows OvTelvana.exe end to end in the build's prefix: registers it, points it at a local
// Google Analytics collector, the Nimbo doubles and the text log, sends a few events with the
// client program, and prints what arrived where. Leaves the prefix as it found it. The server is
// the test variant, whose short idle wait lets the demo see it end by itself.
#include "GaCollector.h"
#include "OvTelvanaSetup.h"
#include "TestPki.h"
#include "TestUtil.h"

#include "Lumetra/ObfuscatedRegKey.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace OvTelvanaSetup;

const wchar_t* const kLoggingKey = L"SOFTWARE\\Orvane\\Logging";

void Say(const std::string& text)
{
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void Say(const std::wstring& text) { Say(TestUtil::Narrow(text)); }

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

std::wstring ServiceLogFolder()
{
    wchar_t programData[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH);
    // The file logger names the folder after the executable.
    return std::wstring(programData) + L"\\Orvane\\OVLOGS\\OvTelvana\\OvTelvanaTestTimings";
}

// The service's log files (UTF-16LE with BOM) as UTF-8 lines.
std::vector<std::string> ServiceLogLines()
{
    std::vector<std::string> lines;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((ServiceLogFolder() + L"\\*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return lines;
    do {
        std::string bytes = TestUtil::ReadFileBytes(ServiceLogFolder() + L"\\" + found.cFileName);
        std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
        if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
        for (const std::string& line : Lines(TestUtil::Narrow(text))) lines.push_back(line);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return lines;
}

// The service logs to files while the demo runs; the machine's choice is put back afterwards.
class FileLogging {
public:
    FileLogging()
    {
        m_key.Create(HKEY_LOCAL_MACHINE, kLoggingKey);
        m_had = m_key.QueryDWORDValue(L"Logging Mechanism", m_old) == ERROR_SUCCESS;
        m_key.SetDWORDValue(L"Logging Mechanism", 1);
        TestUtil::RemoveTree(ServiceLogFolder());
    }
    ~FileLogging()
    {
        if (m_had) m_key.SetDWORDValue(L"Logging Mechanism", m_old);
        else m_key.DeleteValue(L"Logging Mechanism");
    }

private:
    Lumetra::CObfuscatedRegKey m_key;
    DWORD m_old = 0;
    bool m_had = false;
};

int Demo()
{
    const std::wstring server = WinPath(TELVANA_OVTELVANA_TEST_EXE);
    const std::wstring client = WinPath(TELVANA_CLIENT_EXE);
    TestUtil::ScratchDir dir;
    TestUtil::ScratchRegKey answers;
    if (!TestPki::TrustTestRoot()) Say("the test root could not be trusted: HTTPS to the collector will fail");
    FileLogging logging;
    Clean(server);
    SetTestTimings(2000, 200, 300);

    TestCollector::Collector collector;
    if (collector.Host().empty()) {
        Say("the local collector did not start");
        return 1;
    }
    if (!ConfigureDelivery(collector.Host(), dir.File(L"config.json"), WinPath(TELVANA_NIMBO_DOUBLE), answers.Path(),
                           dir.File(L"nimbo.txt"))) {
        Say("the service's settings could not be written");
        return 1;
    }
    DeleteFileW(TextLogPath().c_str());
    Say("== server: OvTelvanaTestTimings.exe, OvTelvana.exe's objects ending idle after 2 s (not 180 s) through\n"
        "   HKLM\\SOFTWARE\\Orvane\\OvTelvana\\TestTimings, which the product never reads");
    Say(L"== OvTelvanaTestTimings.exe -RegServer: exit code " + std::to_wstring(RunProgram(server, L"-RegServer")));
    Say(L"   LocalServer32 = " +
        ReadText(HKEY_CLASSES_ROOT, L"CLSID\\{19759024-FB14-4392-AC8B-61BB1CD62E56}\\LocalServer32", nullptr));
    Say(L"   collector at https://" + collector.Host() + L"/collect (gaCollectionHost)");

    const std::string configuration =
        R"({"transport":[{"name":"ga","ga_tracking_id":"UA-DEMO-1","id":"demoapp"},{"name":"nimbo","id":"demoapp"}],)"
        R"("gaDictionary":{"UniqueId":"ec","action":"ea","label":"el"}})";
    const std::vector<std::string> calls = {
        "event\t" + configuration + "\t" + R"({"UniqueId":"Demo.Started","Type":"Event","action":"start"})" + "\t<null>",
        "event\t" + configuration + "\t" + R"({"UniqueId":"Demo.Clicked","Type":"Event","action":"click","label":"OK"})" +
            "\t<null>",
        "event\t<null>\t\t<null>",
        "log\tdemo\tcomponent\tmethod\tinfo\ta log line",
        "event\t" + configuration + "\t" + R"({"UniqueId":"Demo.Closed","Type":"Event","action":"close"})" + "\t<null>",
    };
    Say("== ovtelvana_client.exe create: ReportEventData / ReportLogData across processes");
    const std::vector<std::string> results = RunClient(client, "create", calls, dir.Path());
    for (size_t i = 0; i < results.size(); ++i) {
        const std::string call = i == 0 ? "CoCreateInstance(CLSCTX_LOCAL_SERVER)" : calls[i - 1];
        Say("   " + results[i] + "   <- " + call.substr(0, call.find('\t', call.find('\t') + 1)) + " ...");
    }

    Say("== hits as the collector saw them");
    TestCollector::Collector::Request request;
    for (int n = 0; n < 3 && collector.Next(request, 20000); ++n) Say("   " + request.method + " " + request.path + "  " + request.body);

    bool ended = true;
    for (auto& process : Servers()) ended = ended && WaitForSingleObject(process.Get(), 20000) == WAIT_OBJECT_0;
    Say(ended ? "== the server ended by itself once idle" : "== the server is still running");

    Say("== Nimbo payloads (SendEvent calls of the Nimbo client double)");
    for (const std::string& line : Lines(TestUtil::ReadFileBytes(dir.File(L"nimbo.txt"))))
        if (line.find("\"SendEvent\"") != std::string::npos) Say("   " + line);
    Say(L"== " + TextLogPath());
    for (const std::string& line : Lines(TestUtil::ReadFileBytes(TextLogPath()))) Say("   " + line);
    Say(L"== the service's log (" + ServiceLogFolder() + L")");
    for (const std::string& line : ServiceLogLines()) Say("   " + line);

    Clean(server);
    DeleteFileW(TextLogPath().c_str());
    return 0;
}

} // namespace

int main()
{
    const int result = Demo();
    return result;
}
