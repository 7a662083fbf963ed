// Writes log lines through the process log front with the file logger forced on, so tests can
// check what several threads or processes leave in one log.
//
//   log_writer lines <app> <tag> <threads> <lines> [start-event]
//       each thread writes <lines> lines "<tag> T<tt> L<llll> <payload>" at level 3; with a
//       start event name, waits for that event before the first line.
//   log_writer startup <app> <later-app>
//       logs, then calls InitializeLogging again with <later-app>, logs again, and sends
//       support-library messages of levels 0, 1, 2 and 3 through the bridge.
//   log_writer creation <app>
//       the process logger's creation throws once, then, on the next call, asks the front
//       while it runs and starts a thread that asks too; exit code 0 when the first call saw the
//       exception, the call inside the creation answered false at once, and the thread waited
//       for the logger and saw level 3 enabled.
// Exit code 0 on success, 2 for bad arguments, 3 when the front had no logger.
#include "ETWLogging/FileLogger.h"
#include "ETWLogging/LogFront.h"

#include "Lumetra/Logger.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// Letters derived from thread and line, so a damaged or mixed-up line cannot pass as another.
std::wstring Payload(int thread, int line)
{
    std::wstring text;
    for (int i = 0; i < 180; ++i) text += static_cast<wchar_t>(L'a' + (thread * 7 + line * 13 + i) % 26);
    return text;
}

int WriteLines(const wchar_t* app, const wchar_t* tag, int threads, int lines, const wchar_t* startEvent)
{
    ETWLogging::InitializeLogging(nullptr, app, nullptr, nullptr, 1);
    if (!ETWLogging::IsLogLevelEnabled(3)) return 3;
    if (startEvent) {
        HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, startEvent);
        if (!event) return 2;
        WaitForSingleObject(event, 30000);
        CloseHandle(event);
    }
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([=] {
            for (int i = 0; i < lines; ++i) {
                std::wstring payload = Payload(t, i);
                if (ETWLogging::IsLogLevelEnabled(3))
                    ETWLogging::Log(3, L"tools\\log_writer", L"LogWriter::WriteLines", __LINE__, L"%s T%02d L%04d %s",
                                    tag, t, i, payload.c_str());
            }
        });
    }
    for (auto& worker : workers) worker.join();
    return 0;
}

int Startup(const wchar_t* app, const wchar_t* laterApp)
{
    ETWLogging::InitializeLogging(nullptr, app, nullptr, nullptr, 1);
    if (!ETWLogging::IsLogLevelEnabled(3)) return 3;
    ETWLogging::Log(3, L"log_writer", L"Startup", 1, L"before %d", 1);
    ETWLogging::InitializeLogging(nullptr, laterApp, nullptr, nullptr, 0);
    if (ETWLogging::IsLogLevelEnabled(3)) ETWLogging::Log(3, L"log_writer", L"Startup", 2, L"after %s", L"again");
    for (unsigned level = 0; level <= 3; ++level)
        Lumetra::CLogger::Log(level, L"Logging\\internal_logging", L"Lumetra::Test", 3, L"bridge %u", level);
    return 0;
}

class CreationBuilder : public ETWLogging::CLogBuilderIf {
public:
    bool BuildLogger(const wchar_t* appName, HINSTANCE instance, const wchar_t* hostName, DWORD,
                     ETWLogging::CLoggingIf** logger, Lumetra::CRegKey*) override
    {
        if (++calls == 1) throw std::runtime_error("the first creation fails");
        askedInside = ETWLogging::IsLogLevelEnabled(3);
        waiter = std::thread([this] { waiterSaw = ETWLogging::IsLogLevelEnabled(3); });
        Sleep(200);
        auto* made = new ETWLogging::CLogging();
        made->Initialize(appName, instance, hostName, nullptr);
        made->AddRef();
        *logger = made;
        return true;
    }
    int calls = 0;
    bool askedInside = true;
    bool waiterSaw = false;
    std::thread waiter;
};

int Creation(const wchar_t* app)
{
    static CreationBuilder builder;
    ETWLogging::SetProcessLogBuilder(&builder);
    ETWLogging::InitializeLogging(nullptr, app, nullptr, nullptr, 0);
    bool threw = false;
    try {
        ETWLogging::IsLogLevelEnabled(3);
    } catch (const std::runtime_error&) {
        threw = true;
    }
    bool enabled = ETWLogging::IsLogLevelEnabled(3) && !ETWLogging::IsLogLevelEnabled(1);
    if (builder.waiter.joinable()) builder.waiter.join();
    return threw && enabled && !builder.askedInside && builder.waiterSaw && builder.calls == 2 ? 0 : 4;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2) return 2;
    std::wstring mode = argv[1];
    if (mode == L"lines" && (argc == 6 || argc == 7))
        return WriteLines(argv[2], argv[3], _wtoi(argv[4]), _wtoi(argv[5]), argc == 7 ? argv[6] : nullptr);
    if (mode == L"creation" && argc == 3) return Creation(argv[2]);
    if (mode == L"startup" && argc == 4) return Startup(argv[2], argv[3]);
    return 2;
}
