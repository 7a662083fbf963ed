// Measures the hot paths of the two libraries beside a reference doing the same work the
// plainest way, in the same run, and prints the ratios with their targets.
//
//   telvana_bench           full run; exit code 1 when a ratio misses its target
//   telvana_bench --quick   one short pass of everything, no targets (checks that it all runs)
#include "Reference.h"

#include "ETWLogging/FileLogger.h"
#include "ETWLogging/LogFront.h"

#include "Lumetra/ObfuscatedIniReader.h"
#include "Lumetra/PathUtils.h"
#include "Lumetra/ValueCipher.h"

#include <windows.h>
#include <bcrypt.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Settings {
    int repetitions = 9;
    double minimumMs = 150;
    bool checkTargets = true;
};

double NowNs()
{
    static const double nsPerTick = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return 1e9 / static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * nsPerTick;
}

// Nanoseconds per operation: the batch is repeated until the minimum time has passed.
template <typename Batch>
double NsPerOp(Batch&& batch, double opsPerBatch, double minimumMs)
{
    batch();  // warm caches and first-use paths
    long calls = 0;
    double start = NowNs();
    double elapsed = 0;
    do {
        batch();
        ++calls;
        elapsed = NowNs() - start;
    } while (elapsed < minimumMs * 1e6);
    return elapsed / (static_cast<double>(calls) * opsPerBatch);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Pair {
    double subjectNs;
    double referenceNs;
    double ratio;  // subject time / reference time, median of the interleaved repetitions
};

// Subject and reference alternate, so drift of the machine touches both alike.
template <typename A, typename B>
Pair Compare(const Settings& settings, A&& subject, double subjectOps, B&& reference, double referenceOps)
{
    std::vector<double> a, b, ratios;
    for (int r = 0; r < settings.repetitions; ++r) {
        a.push_back(NsPerOp(subject, subjectOps, settings.minimumMs));
        b.push_back(NsPerOp(reference, referenceOps, settings.minimumMs));
        ratios.push_back(a.back() / b.back());
    }
    return {Median(a), Median(b), Median(ratios)};
}

int g_missed = 0;
int g_failures = 0;

enum class Goal { AtMost, AtLeast, None };

void Report(const Settings& settings, const char* what, const char* subjectUnit, double subject,
            const char* referenceUnit, double reference, double ratio, Goal goal, double target, const char* note)
{
    char verdict[64] = "";
    if (goal != Goal::None) {
        bool met = goal == Goal::AtMost ? ratio <= target : ratio >= target;
        if (settings.checkTargets && !met) ++g_missed;
        std::snprintf(verdict, sizeof verdict, "target %s %.2f: %s", goal == Goal::AtMost ? "<=" : ">=", target,
                      !settings.checkTargets ? "not checked" : met ? "met" : "MISSED");
    }
    std::printf("%-44s %10.2f %-8s %10.2f %-8s ratio %6.2f   %s%s\n", what, subject, subjectUnit, reference,
                referenceUnit, ratio, verdict, note);
}

void Fail(const char* what)
{
    std::printf("FAILED: %s\n", what);
    ++g_failures;
}

// ---- log level check ----

void LevelCheck(const Settings& settings)
{
    // The file logger is the process logger here, so no registry setting is needed; its
    // default threshold 3 holds level 1 back.
    ETWLogging::InitializeLogging(nullptr, L"TelvanaBench", nullptr, nullptr, 1);
    if (!ETWLogging::IsLogLevelEnabled(3) || ETWLogging::IsLogLevelEnabled(1)) {
        Fail("the process logger was not built with threshold 3");
        return;
    }
    constexpr int kCalls = 20000;
    volatile int sink = 0;
    Pair p = Compare(
        settings,
        [&] {
            int enabled = 0;
            for (int i = 0; i < kCalls; ++i) enabled += ETWLogging::IsLogLevelEnabled(1);
            sink = sink + enabled;
        },
        kCalls,
        [&] {
            int enabled = 0;
            for (int i = 0; i < kCalls; ++i) enabled += Bench::PlainLevelCheck(1);
            sink = sink + enabled;
        },
        kCalls);
    if (sink != 0) Fail("a disabled level was reported enabled");
    Report(settings, "disabled level check vs plain call", "ns", p.subjectNs, "ns", p.referenceNs, p.ratio, Goal::AtMost,
           2.5, "");
}

// ---- value cipher ----

void Cipher(const Settings& settings)
{
    const BYTE* key = reinterpret_cast<const BYTE*>(Lumetra::g_pszRegistryValueKey);
    const DWORD keyLength = static_cast<DWORD>(std::strlen(Lumetra::g_pszRegistryValueKey));
    constexpr DWORD kBytes = 4096;
    std::vector<BYTE> plain(kBytes), sealed(kBytes), opened(kBytes), scratch(kBytes);
    for (DWORD n = 0; n < kBytes; ++n) plain[n] = static_cast<BYTE>(n * 31 + 7);

    for (int rounds : {1, 8}) {
        Lumetra::CValueCipher(key, keyLength, rounds).Encipher(plain.data(), sealed.data(), kBytes);
        Lumetra::CValueCipher(key, keyLength, rounds).Decipher(sealed.data(), opened.data(), kBytes);
        if (opened != plain) Fail("deciphering did not give the plaintext back");

        auto decipher = [&] { Lumetra::CValueCipher(key, keyLength, rounds).Decipher(sealed.data(), scratch.data(), kBytes); };
        auto encipher = [&] { Lumetra::CValueCipher(key, keyLength, rounds).Encipher(plain.data(), scratch.data(), kBytes); };
        auto rc4 = [&] { Bench::PlainRc4(key, keyLength, plain.data(), scratch.data(), kBytes); };

        char what[64];
        std::snprintf(what, sizeof what, "decipher vs encipher, %d round%s", rounds, rounds == 1 ? "" : "s");
        Pair p = Compare(settings, decipher, kBytes, encipher, kBytes);
        Report(settings, what, "ns/byte", p.subjectNs, "ns/byte", p.referenceNs, p.ratio, Goal::AtMost, 1.3, "");

        std::snprintf(what, sizeof what, "decipher vs plain RC4, %d round%s", rounds, rounds == 1 ? "" : "s");
        p = Compare(settings, decipher, kBytes, rc4, kBytes);
        Report(settings, what, "ns/byte", p.subjectNs, "ns/byte", p.referenceNs, p.ratio, Goal::None, 0,
               rounds == 1 ? "(two keystream bytes per byte to its one)" : "(16 keystream bytes per byte to its one)");
    }
}

// ---- file logger ----

std::wstring ProgramData()
{
    PWSTR folder = nullptr;
    std::wstring path;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, &folder))) path = folder;
    CoTaskMemFree(folder);
    return path;
}

void RemoveFolder(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveFolder(path);
            else DeleteFileW(path.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

// Settings as a long-running installation has them: written well before the lines that follow.
bool WriteSettledSettings(const std::wstring& ini)
{
    Lumetra::CObfuscatedIniReader settings(true);
    settings.Load(ini);
    if (!settings.SetDWORDValue(L"Config", L"MaxSize", ETWLogging::CLogging::kLargestMaxSize) ||
        !settings.SetDWORDValue(L"Config", L"LastLogIdx", 0))
        return false;
    HANDLE file = CreateFileW(ini.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER earlier;
    earlier.LowPart = now.dwLowDateTime;
    earlier.HighPart = now.dwHighDateTime;
    earlier.QuadPart -= 3600ull * 10000000ull;
    FILETIME then = {earlier.LowPart, earlier.HighPart};
    bool set = SetFileTime(file, &then, nullptr, &then) != FALSE;
    CloseHandle(file);
    return set;
}

size_t CountLines(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    size_t lines = 0;
    wchar_t buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
        for (DWORD i = 0; i < read / sizeof(wchar_t); ++i) lines += buffer[i] == L'\n';
    CloseHandle(file);
    return lines;
}

void FileLogger(const Settings& settings)
{
    wchar_t exePath[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, exePath, MAX_PATH);
    std::wstring baseName = wcsrchr(exePath, L'\\') ? wcsrchr(exePath, L'\\') + 1 : exePath;
    baseName = baseName.substr(0, baseName.find_last_of(L'.'));
    const std::wstring app = L"TelvanaBenchLines" + std::to_wstring(GetCurrentProcessId());
    const std::wstring appFolder = ProgramData() + L"\\Orvane\\OVLOGS\\" + app;
    const std::wstring folder = appFolder + L"\\" + baseName;
    if (!Lumetra::CreateDirectoryPath(folder.c_str(), nullptr) || !WriteSettledSettings(folder + L"\\log.ini")) {
        Fail("could not prepare the log folder");
        return;
    }

    {
        ETWLogging::CLogging logger;
        if (logger.Initialize(app.c_str(), nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            Fail("the file logger did not initialise");
            RemoveFolder(appFolder);
            return;
        }
        const std::wstring message = L"event 42 delivered to the collector in 17 ms (status 200, 512 bytes)";
        // The same line, as the file logger composes it with its default options.
        const std::wstring line = L"12/09/2026 02:19:54 AM$ -- (Information)$ [telvana_bench.e]$ " + message + L"\r\n";
        const std::wstring plainPath = folder + L"\\plain.log";
        constexpr int kLines = 20;
        DWORD failed = 0;
        size_t loggerLines = 0, plainLines = 0;

        Pair p = Compare(
            settings,
            [&] {
                for (int i = 0; i < kLines; ++i) {
                    DWORD result = logger.Write(L"bench\\telvana_bench", L"Bench::FileLogger", 1, 3, message.c_str());
                    if (result != ERROR_SUCCESS) failed = result;
                    ++loggerLines;
                }
            },
            kLines,
            [&] {
                for (int i = 0; i < kLines; ++i) {
                    HANDLE file = CreateFileW(plainPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE, nullptr);
                    if (file == INVALID_HANDLE_VALUE) {
                        failed = GetLastError();
                        continue;
                    }
                    SetFilePointer(file, 0, nullptr, FILE_END);
                    DWORD written = 0;
                    if (!WriteFile(file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written,
                                   nullptr))
                        failed = GetLastError();
                    CloseHandle(file);
                    ++plainLines;
                }
            },
            kLines);

        if (failed != ERROR_SUCCESS) Fail("a line could not be written");
        wchar_t first[16];
        _snwprintf(first, 16, L"%03u.log", 0u);
        first[15] = 0;
        if (CountLines(folder + L"\\" + baseName + first) != loggerLines) Fail("the log file lacks lines");
        if (CountLines(plainPath) != plainLines) Fail("the plain file lacks lines");
        // Ratio of rates: the logger's lines per second over the plain loop's.
        Report(settings, "file logger vs plain open/append/close", "lines/s", 1e9 / p.subjectNs, "lines/s",
               1e9 / p.referenceNs, 1.0 / p.ratio, Goal::AtLeast, 0.5, "");
    }
    RemoveFolder(appFolder);
}

// ---- MD5 ----

void Md5(const Settings& settings)
{
    constexpr DWORD kBytes = 65536;
    std::vector<BYTE> data(kBytes);
    for (DWORD n = 0; n < kBytes; ++n) data[n] = static_cast<BYTE>(n * 131 + (n >> 8));

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0) != 0) {
        Fail("the platform has no MD5 provider");
        return;
    }
    BYTE platformDigest[16] = {}, ownDigest[16] = {};
    bool platformFailed = false;
    auto platform = [&] {
        BCRYPT_HASH_HANDLE hash = nullptr;
        if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) != 0 ||
            BCryptHashData(hash, data.data(), kBytes, 0) != 0 ||
            BCryptFinishHash(hash, platformDigest, sizeof platformDigest, 0) != 0)
            platformFailed = true;
        if (hash) BCryptDestroyHash(hash);
    };
    auto own = [&] { Lumetra::ComputeMD5(data.data(), kBytes, ownDigest, sizeof ownDigest); };
    platform();
    own();
    if (platformFailed || std::memcmp(platformDigest, ownDigest, 16) != 0) Fail("the two MD5 digests differ");
    Pair p = Compare(settings, own, kBytes, platform, kBytes);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    Report(settings, "MD5 vs the platform's (BCrypt)", "ns/byte", p.subjectNs, "ns/byte", p.referenceNs, p.ratio,
           Goal::None, 0, "");
}

} // namespace

int main(int argc, char** argv)
{
    Settings settings;
    if (argc == 2 && std::strcmp(argv[1], "--quick") == 0) {
        settings.repetitions = 1;
        settings.minimumMs = 1;
        settings.checkTargets = false;
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: telvana_bench [--quick]\n");
        return 2;
    }
    std::printf("%-44s %19s %19s (median of %d interleaved runs)\n", "measure", "subject", "reference",
                settings.repetitions);
    LevelCheck(settings);
    Cipher(settings);
    FileLogger(settings);
    Md5(settings);
    std::fflush(stdout);
    if (g_failures) return 3;
    return g_missed ? 1 : 0;
}
