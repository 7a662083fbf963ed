// What the end-to-end tests and the demo do to the prefix around OvTelvana.exe: run programs,
// find the servers, and point the service at a local collector, the Nimbo doubles and the text
// log through its registry settings.
#pragma once
#include <windows.h>

#include "Platform/Handles.h"

#include <string>
#include <vector>

namespace OvTelvanaSetup {

extern const wchar_t* const kProductKey;      // HKLM
extern const wchar_t* const kNimboClasses[2];  // HKLM, the product's Nimbo client and cohort classes

// A host path as Wine sees it (Z:\...).
std::wstring WinPath(const char* hostPath);
// Runs a program and waits; its exit code, or WAIT_TIMEOUT when it did not end in time.
DWORD RunProgram(const std::wstring& exe, const std::wstring& arguments, DWORD waitMs = 60000);
// The running OvTelvana.exe and OvTelvanaTestTimings.exe processes.
std::vector<Platform::ProcessHandle> Servers();

std::wstring ReadText(HKEY root, const std::wstring& path, const wchar_t* name);
void SetText(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text);
void SetDword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD value);

// Runs ovtelvana_client.exe (the exe given) on the road with the calls (tab-separated fields),
// through files in workDir; its result lines ("activate 0x...", then one per call).
std::vector<std::string> RunClient(const std::wstring& exe, const char* road, const std::vector<std::string>& calls,
                                   const std::wstring& workDir);

// Shortened waits for OvTelvanaTestTimings.exe (HKLM\...\OvTelvana\TestTimings).
void SetTestTimings(DWORD idleMs, DWORD pauseMs, DWORD shutdownDelayMs);

// Sends Google Analytics hits to the collector, opens the Nimbo road (to the in-process double
// registered under the product's classes; its answers and call log under answersKey, HKCU)
// and switches the text log on. The configuration file is an empty one. False on a failure.
bool ConfigureDelivery(const std::wstring& collectorHost, const std::wstring& configFile,
                       const std::wstring& nimboDoubleDll, const std::wstring& answersKey,
                       const std::wstring& nimboCallLog);

// C:\ProgramData\Orvane\Telvana\TransportsLog.txt
std::wstring TextLogPath();

// Unregisters the server, removes the service's settings and the Nimbo classes.
void Clean(const std::wstring& serverExe);

} // namespace OvTelvanaSetup
