// Walks the support and logging libraries through what the deliverables will do with them:
// enciphered registry and INI settings, placeholder expansion, OS information, code trust and
// the rotating file log. Prints what it did and what landed on disk.
//
//   telvana_demo [--trust-root <root.cer>] [file-to-check ...]
#include "ETWLogging/LogFront.h"
#include "Lumetra/CodeTrust.h"
#include "Lumetra/CommonReplacements.h"
#include "Lumetra/ObfuscatedIniReader.h"
#include "Lumetra/ObfuscatedRegKey.h"
#include "Lumetra/OSInfo.h"

#include <windows.h>
#include <shellapi.h>
#include <wincrypt.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace {

void Say(const wchar_t* format, ...)
{
    wchar_t buffer[2048];
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer, 2047, format, args);
    va_end(args);
    buffer[2047] = L'\0';
    int n = WideCharToMultiByte(CP_UTF8, 0, buffer, -1, nullptr, 0, nullptr, nullptr);
    std::string text(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, buffer, -1, text.data(), n, nullptr, nullptr);
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::wstring Hex(const BYTE* data, size_t length)
{
    std::wstring text;
    wchar_t pair[4];
    for (size_t i = 0; i < length; ++i) {
        _snwprintf(pair, 4, L"%02X", data[i]);
        text += pair;
    }
    return text;
}

void DemoRegistry()
{
    const wchar_t* keyPath = L"Software\\TelvanaDemo";
    Lumetra::CObfuscatedRegKey key;
    LONG rc = key.Create(HKEY_CURRENT_USER, keyPath);
    if (rc != 0) {
        Say(L"registry: cannot create HKCU\\%s (%ld)", keyPath, rc);
        return;
    }
    DWORD runs = 0;
    key.QueryDWORDValue(L"Runs", runs);
    key.SetDWORDValue(L"Runs", runs + 1);
    key.SetStringValue(L"Greeting", L"Grüße aus Telvana");

    DWORD type = 0, size = 0;
    std::vector<BYTE> raw(256);
    size = static_cast<DWORD>(raw.size());
    RegQueryValueExW(key.GetHandle(), L"Runs", nullptr, &type, raw.data(), &size);
    Say(L"registry: HKCU\\%s \"Runs\" is stored as REG_BINARY (type %lu) of %lu bytes:", keyPath, type, size);
    Say(L"          header %s", Hex(raw.data(), size < 32 ? size : 32).c_str());
    Say(L"          data   %s", size > 32 ? Hex(raw.data() + 32, size - 32).c_str() : L"");

    DWORD readRuns = 0;
    std::wstring greeting;
    key.QueryDWORDValue(L"Runs", readRuns);
    key.QueryStringValue(L"Greeting", greeting);
    Say(L"registry: read back Runs = %lu, Greeting = \"%s\"", readRuns, greeting.c_str());
}

void DemoIni()
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + L"telvana_demo_log.ini";
    DeleteFileW(path.c_str());
    Lumetra::CObfuscatedIniReader writer(true);
    writer.Load(path);  // a missing file keeps its path, so the writes below create it
    writer.SetDWORDValue(L"Config", L"MaxEntries", 5);
    writer.SetStringValue(L"Config", L"Owner", L"demo");
    WritePrivateProfileStringW(L"Config", L"Severity", L"1", path.c_str());  // plain: refused on read

    Lumetra::CObfuscatedIniReader reader(true);
    reader.Load(path);
    DWORD maxEntries = 0, severity = 0;
    std::wstring owner;
    bool hasMax = reader.GetValue(L"Config", L"MaxEntries", maxEntries);
    bool hasOwner = reader.GetValue(L"Config", L"Owner", owner);
    bool hasSeverity = reader.GetValue(L"Config", L"Severity", severity);
    Say(L"ini: %s", path.c_str());
    Say(L"ini: MaxEntries %s %lu, Owner %s \"%s\", plain Severity %s", hasMax ? L"=" : L"missing", maxEntries,
        hasOwner ? L"=" : L"missing", owner.c_str(), hasSeverity ? L"accepted (wrong!)" : L"refused");
    DeleteFileW(path.c_str());
}

void DemoPlaceholders()
{
    Lumetra::CommonReplacements replacements;
    for (const wchar_t* text : {L"$(FOLDERID_ProgramData)\\Orvane\\Telvana", L"$(App.Folder)", L"$(OS.Platform)",
                                L"$(Nothing)"}) {
        std::wstring value = text;
        replacements.Replace(value);
        auto stats = replacements.GetStatistics();
        Say(L"placeholders: %s -> %s (found %llu, resolved %llu)", text, value.c_str(), stats.first, stats.second);
    }
    Lumetra::OSVersionRecord version = Lumetra::GetOSVersion();
    Say(L"os: version %lu.%lu service pack %u", version.major, version.minor, version.servicePackMajor);
}

bool TrustRoot(const wchar_t* certificatePath)
{
    HANDLE file = CreateFileW(certificatePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::vector<BYTE> der(GetFileSize(file, nullptr));
    DWORD read = 0;
    BOOL ok = ReadFile(file, der.data(), static_cast<DWORD>(der.size()), &read, nullptr);
    CloseHandle(file);
    if (!ok || read != der.size()) return false;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store) return false;
    ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), read, CERT_STORE_ADD_REPLACE_EXISTING,
                                          nullptr);
    CertCloseStore(store, 0);
    return ok != FALSE;
}

void DemoLog()
{
    if (!ETWLogging::IsLogLevelEnabled(3)) {
        Say(L"log: no logger");
        return;
    }
    for (int i = 1; i <= 3; ++i)
        ETWLogging::Log(3, L"telvana_demo", L"DemoLog", __LINE__, L"demo line %d of %d from %s", i, 3, L"the demo");
    if (ETWLogging::IsLogLevelEnabled(4))
        ETWLogging::Log(4, L"telvana_demo", L"DemoLog", __LINE__, L"an error line, code %lu", 5ul);
    Say(L"log: level 1 (Normal) enabled: %s; level 3 (Information): %s", ETWLogging::IsLogLevelEnabled(1) ? L"yes" : L"no",
        ETWLogging::IsLogLevelEnabled(3) ? L"yes" : L"no");

    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring base = exe;
    base = base.substr(base.find_last_of(L'\\') + 1);
    base = base.substr(0, base.find_last_of(L'.'));
    wchar_t programData[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH);
    std::wstring folder = std::wstring(programData) + L"\\Orvane\\OVLOGS\\TelvanaDemo\\" + base;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        Say(L"log: nothing under %s", folder.c_str());
        return;
    }
    FindClose(search);
    std::wstring path = folder + L"\\" + found.cFileName;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::vector<wchar_t> text(GetFileSize(file, nullptr) / sizeof(wchar_t) + 1);
    DWORD read = 0;
    ReadFile(file, text.data(), static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t)), &read, nullptr);
    CloseHandle(file);
    std::wstring content(text.data(), read / sizeof(wchar_t));
    if (!content.empty() && content[0] == 0xFEFF) content.erase(0, 1);
    Say(L"log: %s (UTF-16LE with BOM), last lines:", path.c_str());
    size_t end = content.size();
    std::vector<std::wstring> lines;
    while (end > 0 && lines.size() < 4) {
        size_t start = content.rfind(L'\n', end - 2 < end ? end - 2 : 0);
        start = start == std::wstring::npos ? 0 : start + 1;
        lines.insert(lines.begin(), content.substr(start, end - start));
        end = start;
    }
    for (auto& line : lines) {
        while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
        Say(L"     %s", line.c_str());
    }
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    // Mechanism 1: the rotating file logger, so the demo shows where its lines land.
    ETWLogging::InitializeLogging(nullptr, L"TelvanaDemo", nullptr, nullptr, 1);

    DemoRegistry();
    DemoIni();
    DemoPlaceholders();
    for (int i = 1; argv && i < argc; ++i) {
        if (std::wstring(argv[i]) == L"--trust-root" && i + 1 < argc) {
            Say(L"trust: test root %s %s", argv[i + 1], TrustRoot(argv[i + 1]) ? L"trusted in this prefix" : L"NOT added");
            ++i;
            continue;
        }
        DWORD result = Lumetra::CheckFileTrust(argv[i]);
        Say(L"trust: %s -> %lu (%s)", argv[i], result,
            result == 0 ? L"trusted" : result == 5 ? L"not trusted" : L"bad argument");
    }
    DemoLog();
    return 0;
}
