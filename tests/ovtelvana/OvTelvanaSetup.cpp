#include "OvTelvanaSetup.h"

#include "TestUtil.h"

#include "Lumetra/ObfuscatedRegKey.h"

#include <tlhelp32.h>

#include <algorithm>

namespace OvTelvanaSetup {

const wchar_t* const kProductKey = L"SOFTWARE\\Orvane\\OvTelvana";
const wchar_t* const kNimboClasses[2] = {L"Software\\Classes\\CLSID\\{85549034-D282-4011-8BF3-9F7B2FB268BE}",
                                         L"Software\\Classes\\CLSID\\{5B0E5592-F349-4A68-802C-7C5874F7CE20}"};

std::wstring WinPath(const char* hostPath)
{
    std::wstring path = L"Z:" + TestUtil::Widen(hostPath);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

DWORD RunProgram(const std::wstring& exe, const std::wstring& arguments, DWORD waitMs)
{
    return TestUtil::RunCommand(L"\"" + exe + L"\" " + arguments, waitMs);
}

std::vector<Platform::ProcessHandle> Servers()
{
    std::vector<Platform::ProcessHandle> servers;
    Platform::KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        const wchar_t* name = entry.szExeFile;
        if (_wcsicmp(name, L"OvTelvana.exe") != 0 && _wcsicmp(name, L"OvTelvanaTestTimings.exe") != 0) continue;
        const DWORD access = SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION;
        Platform::ProcessHandle process(OpenProcess(access, FALSE, entry.th32ProcessID));
        if (process && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT) servers.push_back(std::move(process));
    }
    return servers;
}

std::vector<std::string> RunClient(const std::wstring& exe, const char* road, const std::vector<std::string>& calls,
                                   const std::wstring& workDir)
{
    const std::wstring callsFile = workDir + L"\\calls.txt";
    const std::wstring resultsFile = workDir + L"\\results.txt";
    std::string text;
    for (const std::string& call : calls) text += call + "\n";
    TestUtil::WriteFileBytes(callsFile, text);
    DeleteFileW(resultsFile.c_str());
    RunProgram(exe, TestUtil::Widen(road) + L" \"" + callsFile + L"\" \"" + resultsFile + L"\"");
    std::vector<std::string> lines;
    const std::string results = TestUtil::ReadFileBytes(resultsFile);
    for (size_t start = 0, end; (end = results.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(results.substr(start, end - start));
    return lines;
}

std::wstring ReadText(HKEY root, const std::wstring& path, const wchar_t* name)
{
    wchar_t text[1024] = {};
    DWORD size = sizeof(text);
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return L"<missing>";
    return text;
}

void SetText(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text)
{
    RegSetKeyValueW(root, path.c_str(), name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
}

void SetDword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD value)
{
    RegSetKeyValueW(root, path.c_str(), name, REG_DWORD, &value, sizeof(value));
}

void SetTestTimings(DWORD idleMs, DWORD pauseMs, DWORD shutdownDelayMs)
{
    const std::wstring key = std::wstring(kProductKey) + L"\\TestTimings";
    SetDword(HKEY_LOCAL_MACHINE, key, L"IdleMs", idleMs);
    SetDword(HKEY_LOCAL_MACHINE, key, L"PauseMs", pauseMs);
    SetDword(HKEY_LOCAL_MACHINE, key, L"ShutdownDelayMs", shutdownDelayMs);
}

bool ConfigureDelivery(const std::wstring& collectorHost, const std::wstring& configFile,
                       const std::wstring& nimboDoubleDll, const std::wstring& answersKey,
                       const std::wstring& nimboCallLog)
{
    if (!TestUtil::WriteFileBytes(configFile, "{}")) return false;
    SetText(HKEY_LOCAL_MACHINE, kProductKey, L"gaCollectionHost", collectorHost);
    SetText(HKEY_LOCAL_MACHINE, kProductKey, L"configFileDir", configFile);
    SetText(HKEY_LOCAL_MACHINE, kProductKey, L"enabledSinks", L"nimbo");
    SetDword(HKEY_LOCAL_MACHINE, kProductKey, L"globalEnable", 1);
    SetDword(HKEY_LOCAL_MACHINE, kProductKey, L"enableTelvana", 1);
    Lumetra::CObfuscatedRegKey textLogSwitch;
    if (textLogSwitch.Create(HKEY_LOCAL_MACHINE, kProductKey) != ERROR_SUCCESS ||
        textLogSwitch.SetDWORDValue(L"enableLegacyAutomationLogs", 1) != ERROR_SUCCESS)
        return false;
    SetText(HKEY_CURRENT_USER, answersKey, L"CallLog", nimboCallLog);
    SetText(HKEY_CURRENT_USER, answersKey, L"AppInfoText", L"device-e2e");
    for (const wchar_t* key : kNimboClasses) {
        SetText(HKEY_LOCAL_MACHINE, key, L"Settings", answersKey);
        SetText(HKEY_LOCAL_MACHINE, std::wstring(key) + L"\\InprocServer32", nullptr, nimboDoubleDll);
        SetText(HKEY_LOCAL_MACHINE, std::wstring(key) + L"\\InprocServer32", L"ThreadingModel", L"Both");
    }
    return true;
}

std::wstring TextLogPath()
{
    wchar_t programData[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH);
    return std::wstring(programData) + L"\\Orvane\\Telvana\\TransportsLog.txt";
}

void Clean(const std::wstring& serverExe)
{
    RunProgram(serverExe, L"-UnregServer");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey);
    for (const wchar_t* key : kNimboClasses) RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
}

} // namespace OvTelvanaSetup
