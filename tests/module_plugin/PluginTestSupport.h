// Helpers of the module plug-in tests: log capture through the file logger, machine state
// guards, processes and copies of the bus library double.
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace PluginTest {

// <ProgramData>\Orvane\OVLOGS\<app>\<exe base name>: where a process's file log of that
// application name goes.
std::wstring LogFolder(const std::wstring& app, const std::wstring& exeBase);
// Lets levels from 1 up through in that folder's log.ini.
bool EnableAllLevels(const std::wstring& app, const std::wstring& exeBase);
// All log files of the folder, as text.
std::wstring ReadLog(const std::wstring& app, const std::wstring& exeBase);
// Lines of the text that contain `part`.
size_t CountLines(const std::wstring& log, const std::wstring& part);

// This test process's own log (file logger, all levels), as text.
std::wstring ProcessLog();

// Makes the next allocation of exactly this many bytes in this process fail (0: none).
void FailNextAllocationOf(size_t bytes);
// Allocations made and not yet freed in this process.
long long LiveAllocations();
// Freed blocks of exactly this many bytes are overwritten and never reused: a later use fails.
void PoisonFreedBlocksOf(size_t bytes);

// Machine-wide state of these tests (logging mechanism, framework install folder, block list):
// one holder at a time across processes; what was there is put back.
class MachineState {
public:
    MachineState();
    ~MachineState();
    MachineState(const MachineState&) = delete;
    MachineState& operator=(const MachineState&) = delete;

    // Every logger built from now on in any process writes files ("Logging Mechanism" = 1).
    bool UseFileLogger();
    // "Install Dir" (and "Install Dir32") of the framework's registry key.
    bool SetInstallDir(const std::wstring& folder);
    // Blocks the version of the file (lower-case name) in the enciphered block list.
    bool BlockVersion(const std::wstring& fileName, const std::wstring& valueName, const std::wstring& text);

private:
    HANDLE m_mutex = nullptr;
    HANDLE m_trustMutex = nullptr;
    std::vector<std::wstring> m_createdKeys;
    bool m_hadMechanism = false;
    std::vector<BYTE> m_mechanism;
    DWORD m_mechanismType = 0;
    bool m_setMechanism = false;
};

// Runs the command line and waits; the exit code, or 259 when it did not end in time.
DWORD Run(const std::wstring& commandLine, DWORD milliseconds = 60000);
// "name=value" lines of a result file.
std::map<std::string, std::string> ReadResults(const std::wstring& path);
// The folder of the running test executable, with a trailing backslash.
std::wstring ExeFolder();
bool Copy(const std::wstring& from, const std::wstring& to);

} // namespace PluginTest
