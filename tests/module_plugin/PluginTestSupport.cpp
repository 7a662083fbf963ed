#include "PluginTestSupport.h"

#include "TestPki.h"
#include "TestUtil.h"

#include "Lumetra/ObfuscatedIniReader.h"
#include "Lumetra/ObfuscatedRegKey.h"
#include "Lumetra/PathUtils.h"

#include <shlobj.h>

#include "ETWLogging/LogFront.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <sstream>

namespace {

std::atomic<size_t> g_failSize{0};
std::atomic<long long> g_live{0};
std::atomic<size_t> g_poisonSize{0};

} // namespace

// The replacement pair below allocates with malloc and frees with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(size_t bytes)
{
    size_t armed = g_failSize.load();
    if (armed && armed == bytes && g_failSize.compare_exchange_strong(armed, 0)) throw std::bad_alloc();
    void* memory = std::malloc(bytes ? bytes : 1);
    if (!memory) throw std::bad_alloc();
    ++g_live;
    return memory;
}

void operator delete(void* memory) noexcept
{
    if (!memory) return;
    --g_live;
    if (g_poisonSize && _msize(memory) == g_poisonSize) return (void)memset(memory, 0xDD, g_poisonSize);
    std::free(memory);
}

void operator delete(void* memory, size_t) noexcept { operator delete(memory); }

namespace PluginTest {

namespace {
constexpr const wchar_t* kLoggingKey = L"SOFTWARE\\Orvane\\Logging";
constexpr const wchar_t* kMechanism = L"Logging Mechanism";
constexpr const wchar_t* kFrameworkKey = L"SOFTWARE\\ORVANE\\TESK";
constexpr const wchar_t* kBlockListKey = L"SOFTWARE\\Orvane\\Tesk\\List\\";
} // namespace

namespace {

// Every unit test process logs to its own folder, all levels; removed when the process ends.
struct ProcessLogSetup {
    const std::wstring app = TestUtil::UniqueName(L"PluginUnit");
    ProcessLogSetup()
    {
        EnableAllLevels(app, L"module_plugin_tests");
        ETWLogging::InitializeLogging(nullptr, app.c_str(), nullptr, nullptr, 1);
    }
    ~ProcessLogSetup() { TestUtil::RemoveTree(LogFolder(app, L"")); }
};

ProcessLogSetup& ProcessLogState()
{
    static ProcessLogSetup setup;
    return setup;
}

ProcessLogSetup& g_processLog = ProcessLogState();

} // namespace

std::wstring ProcessLog() { return ReadLog(ProcessLogState().app, L"module_plugin_tests"); }

void FailNextAllocationOf(size_t bytes) { g_failSize = bytes; }

long long LiveAllocations() { return g_live.load(); }
void PoisonFreedBlocksOf(size_t bytes) { g_poisonSize = bytes; }

std::wstring LogFolder(const std::wstring& app, const std::wstring& exeBase)
{
    PWSTR programData = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &programData))) return L"";
    std::wstring folder = std::wstring(programData) + L"\\Orvane\\OVLOGS\\" + app + L"\\" + exeBase;
    CoTaskMemFree(programData);
    return folder;
}

bool EnableAllLevels(const std::wstring& app, const std::wstring& exeBase)
{
    const std::wstring folder = LogFolder(app, exeBase);
    Lumetra::CreateDirectoryPath(folder.c_str(), nullptr);
    Lumetra::CObfuscatedIniReader ini(true);
    ini.Load(folder + L"\\log.ini");
    return ini.SetDWORDValue(L"Config", L"Severity", 1);
}

std::wstring ReadLog(const std::wstring& app, const std::wstring& exeBase)
{
    const std::wstring folder = LogFolder(app, exeBase);
    std::wstring text;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*.log").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return text;
    do {
        std::string bytes = TestUtil::ReadFileBytes(folder + L"\\" + data.cFileName);
        size_t start = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE' ? 2 : 0;
        text.append(reinterpret_cast<const wchar_t*>(bytes.data() + start), (bytes.size() - start) / 2);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return text;
}

size_t CountLines(const std::wstring& log, const std::wstring& part)
{
    size_t count = 0;
    std::wistringstream lines(log);
    std::wstring line;
    while (std::getline(lines, line))
        if (line.find(part) != std::wstring::npos) ++count;
    return count;
}

MachineState::MachineState()
{
    m_mutex = CreateMutexW(nullptr, FALSE, L"TelvanaTests.PulseproxyMachineState");
    DWORD wait = WaitForSingleObject(m_mutex, 120000);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        CloseHandle(m_mutex);
        m_mutex = nullptr;
    }
    // No trusted list of another test is installed while ours run: it would change who is trusted.
    m_trustMutex = CreateMutexW(nullptr, FALSE, L"TelvanaTests.TrustMachineState");
    wait = WaitForSingleObject(m_trustMutex, 120000);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        CloseHandle(m_trustMutex);
        m_trustMutex = nullptr;
    }
    TestPki::TrustTestRoot();
}

MachineState::~MachineState()
{
    if (m_setMechanism) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLoggingKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            if (m_hadMechanism)
                RegSetValueExW(key, kMechanism, 0, m_mechanismType, m_mechanism.data(),
                               static_cast<DWORD>(m_mechanism.size()));
            else
                RegDeleteValueW(key, kMechanism);
            RegCloseKey(key);
        }
    }
    for (auto it = m_createdKeys.rbegin(); it != m_createdKeys.rend(); ++it)
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, it->c_str()), RegDeleteKeyW(HKEY_LOCAL_MACHINE, it->c_str());
    if (m_trustMutex) {
        ReleaseMutex(m_trustMutex);
        CloseHandle(m_trustMutex);
    }
    if (m_mutex) {
        ReleaseMutex(m_mutex);
        CloseHandle(m_mutex);
    }
}

bool MachineState::UseFileLogger()
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLoggingKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return false;
    DWORD type = 0, size = 0;
    if (!m_setMechanism && RegQueryValueExW(key, kMechanism, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        m_mechanism.resize(size);
        m_hadMechanism = RegQueryValueExW(key, kMechanism, nullptr, &type, m_mechanism.data(), &size) == 0;
        m_mechanismType = type;
    }
    RegCloseKey(key);
    m_setMechanism = true;
    Lumetra::CObfuscatedRegKey settings;
    return settings.Open(HKEY_LOCAL_MACHINE, kLoggingKey, KEY_ALL_ACCESS) == ERROR_SUCCESS &&
           settings.SetDWORDValue(kMechanism, 1) == ERROR_SUCCESS;
}

bool MachineState::SetInstallDir(const std::wstring& folder)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kFrameworkKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return false;
    m_createdKeys.push_back(kFrameworkKey);
    const DWORD bytes = static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t));
    bool ok = RegSetValueExW(key, L"Install Dir", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()), bytes) == 0 &&
              RegSetValueExW(key, L"Install Dir32", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()), bytes) == 0;
    RegCloseKey(key);
    return ok;
}

bool MachineState::BlockVersion(const std::wstring& fileName, const std::wstring& valueName, const std::wstring& text)
{
    const std::wstring path = kBlockListKey + fileName;
    Lumetra::CObfuscatedRegKey key;
    if (key.Create(HKEY_LOCAL_MACHINE, path.c_str()) != ERROR_SUCCESS) return false;
    m_createdKeys.push_back(path);
    return key.SetStringValue(valueName.c_str(), text.c_str()) == ERROR_SUCCESS;
}

DWORD Run(const std::wstring& commandLine, DWORD milliseconds)
{
    std::wstring command = commandLine;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 258;
    CloseHandle(pi.hThread);
    DWORD code = 259;
    if (WaitForSingleObject(pi.hProcess, milliseconds) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 259);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    return code;
}

std::map<std::string, std::string> ReadResults(const std::wstring& path)
{
    std::map<std::string, std::string> results;
    std::istringstream lines(TestUtil::ReadFileBytes(path));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t equals = line.find('=');
        if (equals != std::string::npos) results[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return results;
}

std::wstring ExeFolder()
{
    std::wstring folder;
    Lumetra::GetModuleFolder(folder, true);
    return folder;
}

bool Copy(const std::wstring& from, const std::wstring& to) { return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE; }

} // namespace PluginTest
