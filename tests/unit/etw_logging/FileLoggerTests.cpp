#include "ETWLogging/FileLogger.h"

#include "Lumetra/ObfuscatedIniReader.h"
#include "Lumetra/PathUtils.h"

#include "TestUtil.h"

#include <share.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace ETWLogging;

namespace {

const std::wstring kExe = L"etw_logging_tests";

// A file logger whose program-data folder and clock the test chooses.
class ScratchLogging : public CLogging {
public:
    explicit ScratchLogging(const std::wstring& programData) : m_programData(programData) {}
    DWORD GetProgramDataFolder(wchar_t* buffer, DWORD size) override
    {
        if (!buffer || m_programData.size() >= size) return ERROR_INVALID_PARAMETER;
        wcscpy(buffer, m_programData.c_str());
        return 0;
    }
    SYSTEMTIME now = {};
    bool fixedClock = false;
    // Runs once as a line is composed, with the current file open.
    std::function<void()> whileComposing;
    // "LastLogIdx" is remembered as soon as it is read, however fresh the file.
    void RememberAtOnce() { m_settleTime = 0; }

protected:
    void ReadLocalTime(SYSTEMTIME& time) override
    {
        if (whileComposing) std::exchange(whileComposing, nullptr)();
        if (fixedClock) time = now;
        else CLogging::ReadLocalTime(time);
    }

private:
    std::wstring m_programData;
};

SYSTEMTIME At(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME t = {};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    return t;
}

std::wstring Utf16File(const std::wstring& path, bool* hasBom = nullptr)
{
    std::string bytes = TestUtil::ReadFileBytes(path);
    bool bom = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
               static_cast<unsigned char>(bytes[1]) == 0xFE;
    if (hasBom) *hasBom = bom;
    std::wstring text;
    for (size_t i = bom ? 2 : 0; i + 1 < bytes.size(); i += 2)
        text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8));
    return text;
}

std::vector<std::wstring> SplitLines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));  // an unterminated tail
    return lines;
}

using TestUtil::RemoveTree;

DWORD ReadIniDword(const std::wstring& path, const wchar_t* name, bool* found)
{
    Lumetra::CObfuscatedIniReader ini(true);
    DWORD value = 0;
    *found = ini.Load(path) && ini.GetValue(L"Config", name, value);
    return value;
}

bool WriteIniDword(const std::wstring& path, const wchar_t* name, DWORD value)
{
    Lumetra::CObfuscatedIniReader ini(true);
    ini.Load(path);
    return ini.SetDWORDValue(L"Config", name, value);
}

class FileLoggerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        app = TestUtil::UniqueName(L"fl_");
        root = scratch.Path() + L"\\Orvane\\OVLOGS";
        folder = root + L"\\" + app + L"\\" + kExe;
        CreateDirectoryW((scratch.Path() + L"\\Orvane").c_str(), nullptr);
        CreateDirectoryW(root.c_str(), nullptr);
    }
    std::wstring LogFile(int index) const
    {
        wchar_t digits[16];
        _snwprintf(digits, 16, L"%03d", index);
        digits[15] = 0;
        return folder + L"\\" + kExe + digits + L".log";
    }
    void MakeFolder() { ASSERT_TRUE(Lumetra::CreateDirectoryPath(folder.c_str(), nullptr)); }

    TestUtil::ScratchDir scratch;
    std::wstring app, root, folder;
};

} // namespace

TEST_F(FileLoggerTest, SettersClampAndTheDefaultThresholdIsThree)
{
    ScratchLogging log(scratch.Path());
    EXPECT_EQ(0x40000u, log.GetMaxSize());
    EXPECT_EQ(3u, log.GetMaxEntries());
    EXPECT_EQ(16u, log.GetOptions());
    log.SetMaxEntries(1);
    EXPECT_EQ(2u, log.GetMaxEntries());
    log.SetMaxEntries(101);
    EXPECT_EQ(100u, log.GetMaxEntries());
    log.SetMaxSize(1);
    EXPECT_EQ(0x40000u, log.GetMaxSize());
    log.SetMaxSize(0x1000000);
    EXPECT_EQ(0xA00000u, log.GetMaxSize());
    EXPECT_FALSE(log.IsLevelEnabled(1));
    EXPECT_FALSE(log.IsLevelEnabled(2));
    EXPECT_TRUE(log.IsLevelEnabled(3));
    EXPECT_TRUE(log.IsLevelEnabled(6));
    log.SetSeverity(0);
    EXPECT_EQ(1u, log.GetSeverity());
    log.SetSeverity(9);
    EXPECT_EQ(6u, log.GetSeverity());
    EXPECT_EQ(0u, log.SetEnabled(false));
    EXPECT_FALSE(log.IsEnabled());
    EXPECT_EQ(1u, log.SetEnabled(true));
}

TEST_F(FileLoggerTest, InitialiseOnceAndUninitialiseOnce)
{
    ScratchLogging log(scratch.Path());
    EXPECT_EQ(87u, log.Initialize(L"", nullptr, nullptr, nullptr));
    EXPECT_EQ(87u, log.Initialize(app.c_str(), nullptr, L"", nullptr));
    EXPECT_EQ(CLogging::kErrorNotOpen, log.Uninitialize());
    // A write before a successful initialisation neither writes nor silences the logger.
    EXPECT_EQ(CLogging::kErrorNotOpen, log.Write(L"F", L"Fn", 1, 3, L"too early"));

    ASSERT_EQ(0u, log.Initialize(app.c_str(), nullptr, nullptr, nullptr));
    EXPECT_EQ(folder, log.GetLogFolder());
    EXPECT_EQ(CLogging::kErrorAlreadyInitialized, log.Initialize(app.c_str(), nullptr, nullptr, nullptr));
    EXPECT_EQ(folder, log.GetLogFolder());
    EXPECT_EQ(0u, log.Write(L"F", L"Fn", 1, 3, L"in time"));
    EXPECT_TRUE(TestUtil::FileExists(LogFile(0)));
    // A log folder removed between two lines is made again.
    RemoveTree(folder);
    EXPECT_EQ(0u, log.Write(L"F", L"Fn", 1, 3, L"folder back"));
    EXPECT_EQ(1u, SplitLines(Utf16File(LogFile(0))).size());
    EXPECT_EQ(0u, log.Uninitialize());
    EXPECT_EQ(CLogging::kErrorNotOpen, log.Uninitialize());
    EXPECT_TRUE(log.GetLogFolder().empty());

    // Without an application name the folder is the executable's, directly under the root.
    EXPECT_EQ(0u, log.Initialize(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(root + L"\\" + kExe, log.GetLogFolder());
    // Initialising again keeps the mutex that writers hold or wait on: none waits out the 7 s.
    std::atomic<bool> stop{false};
    std::vector<DWORD> slowest(4, 0);
    std::vector<std::thread> writers;
    for (DWORD& mine : slowest)
        writers.emplace_back([&] {
            while (!stop) {
                const DWORD start = GetTickCount();
                log.Write(L"F", L"Fn", 1, 3, L"w");
                mine = std::max<DWORD>(mine, GetTickCount() - start);
            }
        });
    for (const DWORD start = GetTickCount(); GetTickCount() - start < 500; log.Uninitialize())
        log.Initialize(app.c_str(), nullptr, nullptr, nullptr);
    stop = true;
    for (std::thread& writer : writers) writer.join();
    EXPECT_LT(*std::max_element(slowest.begin(), slowest.end()), 3000u);
}

TEST_F(FileLoggerTest, LineReadsBackByteForByte)
{
    ScratchLogging log(scratch.Path());
    log.fixedClock = true;
    log.now = At(2024, 3, 5, 13, 7, 9);
    ASSERT_EQ(0u, log.Initialize(app.c_str(), nullptr, nullptr, nullptr));
    ASSERT_EQ(0u, log.Write(L"src\\Thing", L"Ns::Thing::Do", 12, 4, L"first"));
    log.now = At(2023, 11, 30, 0, 0, 5);
    ASSERT_EQ(0u, log.Write(L"src\\Thing", L"Ns::Thing::Do", 13, 1, L"ends in feed\n"));
    log.now = At(2023, 12, 1, 12, 59, 59);
    ASSERT_EQ(0u, log.LogLevelF(6, L"F", L"Fn", 14, L"%s=%d", L"n", 7));
    EXPECT_EQ(0u, log.LogLevelF(2, L"F", L"Fn", 15, L"held back"));  // below the threshold: nothing

    // The module name "etw_logging_tests.exe" (21 characters) keeps its first 15.
    const wchar_t* expected = L"03/05/2024 01:07:09 PM$ -- (Error)$ [etw_logging_tes]$ first\r\n"
                              L"11/30/2023 12:00:05 AM$ -- (Normal)$ [etw_logging_tes]$ ends in feed\n"
                              L"12/01/2023 12:59:59 PM$ -- (Information)$ [etw_logging_tes]$ n=7\r\n";
    // UTF-16LE after the byte-order mark: ASCII characters as the byte and a zero.
    std::string bytes("\xFF\xFE", 2);
    for (const wchar_t* c = expected; *c; ++c) {
        bytes += static_cast<char>(*c);
        bytes += '\0';
    }
    EXPECT_EQ(bytes, TestUtil::ReadFileBytes(LogFile(0)));
    // A line that another writer appends meanwhile is not overwritten.
    log.whileComposing = [&] { TestUtil::WriteFileBytes(LogFile(0), bytes + std::string("o\0\r\0\n\0", 6)); };
    ASSERT_EQ(0u, log.Write(L"F", L"Fn", 16, 3, L"mine"));
    EXPECT_NE(std::wstring::npos, Utf16File(LogFile(0)).find(L"n=7\r\no\r\n12/01/2023 12:59:59 PM$ -- "));
}

TEST_F(FileLoggerTest, TwelveHourClockAndRefusedLines)
{
    ScratchLogging log(scratch.Path());
    log.fixedClock = true;
    ASSERT_EQ(0u, log.Initialize(app.c_str(), nullptr, nullptr, nullptr));
    struct {
        WORD hour;
        const wchar_t* shown;
    } cases[] = {{0, L"12:34:56 AM$"}, {1, L"01:34:56 AM$"}, {11, L"11:34:56 AM$"},
                 {12, L"12:34:56 PM$"}, {13, L"01:34:56 PM$"}, {23, L"11:34:56 PM$"}};
    for (const auto& c : cases) {
        log.now = At(2024, 1, 2, c.hour, 34, 56);
        std::wstring line;
        ASSERT_EQ(0u, log.FormatLine(L"F", L"Fn", 1, 3, L"m", line));
        EXPECT_EQ(std::wstring(L"01/02/2024 ") + c.shown, line.substr(0, 23)) << c.hour;
    }
    std::wstring line;
    EXPECT_EQ(87u, log.FormatLine(L"F", L"Fn", 1, 7, L"m", line));
    EXPECT_EQ(87u, log.FormatLine(L"F", L"Fn", 1, 0, L"m", line));
    EXPECT_EQ(87u, log.FormatLine(L"F", L"Fn", 1, 3, L"", line));
    EXPECT_EQ(87u, log.Write(L"F", L"Fn", 1, 3, L""));
    EXPECT_EQ(87u, log.Write(L"F", L"Fn", 1, 9, L"bad level"));
}

TEST_F(FileLoggerTest, OptionBitsAddTheirPartsInOrder)
{
    MakeFolder();
    ASSERT_TRUE(WriteIniDword(folder + L"\\log.ini", L"Options", 1 | 4 | 8 | 16 | 32));
    ScratchLogging log(scratch.Path());
    log.fixedClock = true;
    log.now = At(2024, 6, 7, 8, 9, 10);
    ASSERT_EQ(0u, log.Initialize(app.c_str(), nullptr, nullptr, nullptr));
    EXPECT_EQ(61u, log.GetOptions());

    std::wstring line;
    ASSERT_EQ(0u, log.FormatLine(L"C:\\src\\deep\\AVeryLongSourceFileNameIndeed", L"Ns::Cls::Method", 42, 5,
                                 L"msg", line));
    wchar_t ids[64];
    _snwprintf(ids, 64, L"[PID:%5lu TID:%5lu]$", GetCurrentProcessId(), GetCurrentThreadId());
    ids[63] = 0;
    std::wstring expected = std::wstring(L"06/07/2024 08:09:10 AM$ -- (Critical)$ [etw_logging_tes]$ ") + ids +
                            L" [AVeryLongSourceFileN:   42]$"
                            L" [                         Ns::Cls::Method()]$ msg\r\n";
    EXPECT_EQ(expected, line);

    // Missing source file and function leave their parts out; short names are right-aligned.
    ASSERT_EQ(0u, log.FormatLine(nullptr, L"", 7, 3, L"m", line));
    EXPECT_EQ(std::wstring::npos, line.find(L"()]$"));
    ASSERT_EQ(0u, log.FormatLine(L"a.cpp", nullptr, 123456, 3, L"m", line));
    EXPECT_NE(std::wstring::npos, line.find(L" [               a.cpp:123456]$ m\r\n"));
}

TEST_F(FileLoggerTest, HostNameJoinsTheFileName)
{
    ScratchLogging log(scratch.Path());
    ASSERT_EQ(0u, log.Initialize(app.c_str(), nullptr, L"hostA", nullptr));
    ASSERT_EQ(0u, log.Write(L"F", L"Fn", 1, 3, L"x"));
    EXPECT_TRUE(TestUtil::FileExists(folder + L"\\" + kExe + L"_hostA000.log"));
}

TEST_F(FileLoggerTest, RotatesAcrossMaxEntriesAndRecordsTheIndexEnciphered)
{
    const std::wstring ini = folder + L"\\log.ini";
    ScratchLogging log(scratch.Path());
    ASSERT_EQ(0u, log.Initialize(app.c_str(), nullptr, nullptr, nullptr));
    ASSERT_EQ(3u, log.GetMaxEntries());

    // Lines of about 8 KB: the 262144-byte limit is passed after 33 of them.
    std::wstring body(4000, L'r');
    int written = 0;
    auto writeNumbered = [&](int count) {
        for (int i = 0; i < count; ++i, ++written) {
            wchar_t head[16];
            _snwprintf(head, 16, L"%05d ", written);
            head[15] = 0;
            ASSERT_EQ(0u, log.Write(L"F", L"Fn", 1, 3, (head + body).c_str()));
        }
    };
    writeNumbered(33);
    bool found = false;
    ReadIniDword(ini, L"LastLogIdx", &found);
    EXPECT_FALSE(found);  // the first file was created without a stored index
    writeNumbered(1);
    EXPECT_EQ(1u, ReadIniDword(ini, L"LastLogIdx", &found));
    EXPECT_TRUE(found);
    EXPECT_EQ(33u, SplitLines(Utf16File(LogFile(0))).size());
    writeNumbered(33);
    EXPECT_EQ(2u, ReadIniDword(ini, L"LastLogIdx", &found));
    writeNumbered(32);
    // File 2 is full now: the next line truncates file 0 and starts it again.
    EXPECT_EQ(2u, ReadIniDword(ini, L"LastLogIdx", &found));
    // So it does from a stale index 0 (another writer's, not stored): files 1 and 2 are newer, 0 the oldest.
    ASSERT_TRUE(WriteIniDword(ini, L"LastLogIdx", 0));
    writeNumbered(1);
    EXPECT_EQ(0u, ReadIniDword(ini, L"LastLogIdx", &found));
    EXPECT_TRUE(found);
    bool bom = false;
    std::vector<std::wstring> lines = SplitLines(Utf16File(LogFile(0), &bom));
    EXPECT_TRUE(bom);
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"$ 00099 rrr"));
    EXPECT_EQ(33u, SplitLines(Utf16File(LogFile(1))).size());
    EXPECT_EQ(33u, SplitLines(Utf16File(LogFile(2))).size());
    EXPECT_FALSE(TestUtil::FileExists(LogFile(3)));

    // On disk the index is a record: a header key and 4 enciphered bytes with their checksum.
    std::string text = TestUtil::ReadFileBytes(ini);
    EXPECT_NE(std::string::npos, text.find("_LastLogIdx=4F565247"));
    const std::regex data("(^|\n)LastLogIdx=[0-9A-F]{10}\r?\n");
    EXPECT_TRUE(std::regex_search(text, data)) << text;
    // A "log.ini" that cannot be written (held without write sharing) keeps the index in the process.
    std::unique_ptr<FILE, int (*)(FILE*)> reader(_wfsopen(ini.c_str(), L"r", _SH_DENYWR), &fclose);
    ASSERT_TRUE(reader);
    for (int rotation = 0; rotation < 3; ++rotation) writeNumbered(33);
    EXPECT_EQ(33u, SplitLines(Utf16File(LogFile(1))).size());
    EXPECT_EQ(33u, SplitLines(Utf16File(LogFile(2))).size());
    // A logger reading the stale index, or a value written once "log.ini" is free, keeps file 1.
    writeNumbered(33);
    ScratchLogging second(scratch.Path());
    ASSERT_EQ(0u, second.Initialize(app.c_str(), nullptr, nullptr, nullptr));
    ASSERT_EQ(0u, second.Write(L"F", L"Fn", 1, 3, L"second"));
    EXPECT_EQ(2u, SplitLines(Utf16File(LogFile(1))).size());
    reader.reset();
    ASSERT_TRUE(WriteIniDword(ini, L"Severity", 3));
    writeNumbered(1);
    EXPECT_EQ(3u, SplitLines(Utf16File(LogFile(1))).size());
    EXPECT_EQ(1u, ReadIniDword(ini, L"LastLogIdx", &found));
    // With the clock set back after files 2 and 0 were written, they look newer than file 1 as it fills: file 2
    // is begun anew, never file 1.
    writeNumbered(31);
    const size_t filled = SplitLines(Utf16File(LogFile(1))).size();
    for (int i : {2, 0}) {
        const SYSTEMTIME ahead = At(2100, 1, 1, 0, 0, i == 0);
        FILETIME stamp;
        HANDLE file = CreateFileW(LogFile(i).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_TRUE(SystemTimeToFileTime(&ahead, &stamp) && SetFileTime(file, nullptr, nullptr, &stamp));
        CloseHandle(file);
    }
    writeNumbered(1);
    EXPECT_EQ(filled, SplitLines(Utf16File(LogFile(1))).size());
    EXPECT_EQ(1u, SplitLines(Utf16File(LogFile(2))).size());
    EXPECT_EQ(2u, ReadIniDword(ini, L"LastLogIdx", &found));
}

TEST_F(FileLoggerTest, StoredIndexBeyondMaxEntriesRestartsAtFileZero)
{
    MakeFolder();
    const std::wstring ini = folder + L"\\log.ini";
    ASSERT_TRUE(WriteIniDword(ini, L"LastLogIdx", 7));
    ASSERT_TRUE(TestUtil::WriteFileBytes(LogFile(0), std::string("\xFF\xFEo\0l\0d\0\r\0\n\0", 12)));
    ScratchLogging log(scratch.Path());
    ASSERT_EQ(0u, log.Initialize(app.c_str(), nullptr, nullptr, nullptr));
    ASSERT_EQ(0u, log.Write(L"F", L"Fn", 1, 3, L"fresh"));
    bool found = false;
    EXPECT_EQ(0u, ReadIniDword(ini, L"LastLogIdx", &found));
    EXPECT_TRUE(found);
    std::vector<std::wstring> lines = SplitLines(Utf16File(LogFile(0)));
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"]$ fresh"));
}

TEST_F(FileLoggerTest, TheCurrentFileFollowsLogIniWhateverIsRemembered)
{
    // Loggers of one folder stand for processes; "LastLogIdx" changes behind their backs, and
    // time stamps are set so that a change may look like no change.
    MakeFolder();
    const std::wstring ini = folder + L"\\log.ini";
    auto stamps = [&] {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        EXPECT_TRUE(GetFileAttributesExW(ini.c_str(), GetFileExInfoStandard, &data));
        return data;
    };
    auto setIndex = [&](DWORD index, const WIN32_FILE_ATTRIBUTE_DATA& as, LONGLONG later) {
        ASSERT_TRUE(WriteIniDword(ini, L"LastLogIdx", index));
        ULARGE_INTEGER ticks = {{as.ftLastWriteTime.dwLowDateTime, as.ftLastWriteTime.dwHighDateTime}};
        ticks.QuadPart += later;
        FILETIME written = {ticks.LowPart, ticks.HighPart};
        HANDLE file = CreateFileW(ini.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_TRUE(SetFileTime(file, &as.ftCreationTime, nullptr, &written));
        CloseHandle(file);
        ASSERT_EQ(as.nFileSizeLow, stamps().nFileSizeLow);
    };
    auto lines = [&](int index) { return SplitLines(Utf16File(LogFile(index))); };
    ASSERT_TRUE(WriteIniDword(ini, L"LastLogIdx", 0));
    ScratchLogging careful(scratch.Path()), eager(scratch.Path()), other(scratch.Path());
    eager.RememberAtOnce();
    for (ScratchLogging* log : {&careful, &eager, &other})
        ASSERT_EQ(0u, log->Initialize(app.c_str(), nullptr, nullptr, nullptr));

    // A file written moments ago is read again for every line, even when it looks unchanged.
    ASSERT_EQ(0u, careful.Write(L"F", L"Fn", 1, 3, L"c0"));
    setIndex(1, stamps(), 0);
    ASSERT_EQ(0u, careful.Write(L"F", L"Fn", 1, 3, L"c1"));
    ASSERT_EQ(1u, lines(1).size());
    // A remembered index gives way to a changed file.
    ASSERT_EQ(0u, eager.Write(L"F", L"Fn", 1, 3, L"e0"));
    setIndex(0, stamps(), -10000000);
    ASSERT_EQ(0u, eager.Write(L"F", L"Fn", 1, 3, L"e1"));
    EXPECT_EQ(2u, lines(0).size());
    EXPECT_EQ(2u, lines(1).size());
    // A rotation that left the file looking untouched is not undone: the remembered file is
    // full, so the index is read again, and the line joins file 1 instead of starting it anew.
    for (int i = 0; i < 33; ++i) ASSERT_EQ(0u, eager.Write(L"F", L"Fn", 1, 3, std::wstring(4000, L'r').c_str()));
    WIN32_FILE_ATTRIBUTE_DATA remembered = stamps();
    ASSERT_EQ(0u, other.Write(L"F", L"Fn", 1, 3, L"other rotates"));
    setIndex(1, remembered, 0);
    ASSERT_EQ(0u, eager.Write(L"F", L"Fn", 1, 3, L"eager after"));
    std::vector<std::wstring> current = lines(1);
    ASSERT_EQ(2u, current.size());
    EXPECT_NE(std::wstring::npos, current[0].find(L"]$ other rotates"));
    EXPECT_NE(std::wstring::npos, current[1].find(L"]$ eager after"));
    EXPECT_EQ(35u, lines(0).size());
    EXPECT_FALSE(TestUtil::FileExists(LogFile(2)));
}

TEST_F(FileLoggerTest, InvalidFolderValueIsRewrittenAndTheCommonFileConsulted)
{
    MakeFolder();
    const std::wstring folderIni = folder + L"\\log.ini";
    const std::wstring commonIni = root + L"\\log.ini";
    ASSERT_TRUE(WriteIniDword(folderIni, L"MaxSize", 100));
    ASSERT_TRUE(WriteIniDword(commonIni, L"MaxSize", 0x80000));
    ASSERT_TRUE(WriteIniDword(commonIni, L"MaxEntries", 500));
    ASSERT_TRUE(WriteIniDword(commonIni, L"Severity", 0));
    // Plain text counts as missing.
    std::string plain = TestUtil::ReadFileBytes(folderIni) + "Options=61\r\n";
    ASSERT_TRUE(TestUtil::WriteFileBytes(folderIni, plain));

    ScratchLogging log(scratch.Path());
    ASSERT_EQ(0u, log.Initialize(app.c_str(), nullptr, nullptr, nullptr));
    EXPECT_EQ(0x80000u, log.GetMaxSize());
    EXPECT_EQ(3u, log.GetMaxEntries());
    EXPECT_EQ(0u, log.GetSeverity());
    EXPECT_TRUE(log.IsLevelEnabled(1));
    EXPECT_EQ(16u, log.GetOptions());

    bool found = false;
    EXPECT_EQ(262144u, ReadIniDword(folderIni, L"MaxSize", &found));
    EXPECT_TRUE(found);
    EXPECT_EQ(3u, ReadIniDword(commonIni, L"MaxEntries", &found));
    EXPECT_TRUE(found);
    EXPECT_EQ(0x80000u, ReadIniDword(commonIni, L"MaxSize", &found));
}

TEST_F(FileLoggerTest, EnableZeroStopsFormattedLinesOnly)
{
    MakeFolder();
    ASSERT_TRUE(WriteIniDword(folder + L"\\log.ini", L"Enable", 0));
    ScratchLogging log(scratch.Path());
    ASSERT_EQ(0u, log.Initialize(app.c_str(), nullptr, nullptr, nullptr));
    EXPECT_FALSE(log.IsEnabled());
    EXPECT_TRUE(log.IsLevelEnabled(3));
    EXPECT_EQ(0u, log.LogLevelF(5, L"F", L"Fn", 1, L"dropped"));
    EXPECT_FALSE(TestUtil::FileExists(LogFile(0)));
    EXPECT_EQ(0u, log.Write(L"F", L"Fn", 1, 5, L"kept"));
    EXPECT_EQ(1u, SplitLines(Utf16File(LogFile(0))).size());
}

TEST_F(FileLoggerTest, FolderThatCannotBeMadeSilencesTheLogger)
{
    // A file where the application's folder belongs.
    ASSERT_TRUE(TestUtil::WriteFileBytes(root + L"\\" + app, "x"));
    ScratchLogging log(scratch.Path());
    ASSERT_EQ(0u, log.Initialize(app.c_str(), nullptr, nullptr, nullptr));
    EXPECT_EQ(87u, log.Write(L"F", L"Fn", 1, 5, L"lost"));
    EXPECT_FALSE(log.IsEnabled());
    EXPECT_EQ(CLogging::kSilencedSeverity, log.GetSeverity());
    EXPECT_FALSE(log.IsLevelEnabled(6));
    DeleteFileW((root + L"\\" + app).c_str());
    EXPECT_EQ(87u, log.Write(L"F", L"Fn", 1, 5, L"still lost"));
}

TEST(FileLoggerRealPath, WritesUnderProgramData)
{
    PWSTR programData = nullptr;
    ASSERT_TRUE(SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &programData)));
    const std::wstring app = TestUtil::UniqueName(L"flreal_");
    const std::wstring appFolder = std::wstring(programData) + L"\\Orvane\\OVLOGS\\" + app;
    CoTaskMemFree(programData);
    {
        CLogging log;
        ASSERT_EQ(0u, log.Initialize(app.c_str(), nullptr, nullptr, nullptr));
        EXPECT_EQ(appFolder + L"\\" + kExe, log.GetLogFolder());
        ASSERT_EQ(0u, log.Write(L"F", L"Fn", 1, 3, L"real path"));
    }
    std::vector<std::wstring> lines =
        SplitLines(Utf16File(appFolder + L"\\" + kExe + L"\\" + kExe + L"000.log"));
    RemoveTree(appFolder);
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L" -- (Information)$ [etw_logging_tes]$ real path"));
}

namespace {

// Runs the log_writer tool from beside the test executable.
class Writers {
public:
    ~Writers()
    {
        for (HANDLE h : m_processes) {
            if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT) TerminateProcess(h, 99);
            CloseHandle(h);
        }
    }
    bool Start(const std::wstring& arguments)
    {
        std::wstring folder;
        if (!Lumetra::GetModuleFolder(folder, true)) return false;
        std::wstring command = L"\"" + folder + L"log_writer.exe\" " + arguments;
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            return false;
        CloseHandle(pi.hThread);
        m_processes.push_back(pi.hProcess);
        return true;
    }
    // Exit codes, or 259 for one still running after the wait.
    std::vector<DWORD> Wait(DWORD ms)
    {
        std::vector<DWORD> codes;
        for (HANDLE h : m_processes) {
            WaitForSingleObject(h, ms);
            DWORD code = 259;
            GetExitCodeProcess(h, &code);
            codes.push_back(code);
        }
        return codes;
    }

private:
    std::vector<HANDLE> m_processes;
};

std::wstring Payload(int thread, int line)
{
    std::wstring text;
    for (int i = 0; i < 180; ++i) text += static_cast<wchar_t>(L'a' + (thread * 7 + line * 13 + i) % 26);
    return text;
}

// Checks that every expected "<tag> Ttt Lllll <payload>" line is there once and whole.
void ExpectWholeLines(const std::vector<std::wstring>& lines, const std::map<std::wstring, int>& threadsPerTag,
                      int linesPerThread)
{
    const std::wregex shape(L"^\\d{2}/\\d{2}/\\d{4} (0[1-9]|1[0-2]):\\d{2}:\\d{2} (AM|PM)\\$ -- \\(Information\\)\\$ "
                            L"\\[ log_writer\\.exe\\]\\$ (\\w+) T(\\d{2}) L(\\d{4}) ([a-z]+)$");
    std::set<std::wstring> seen;
    size_t expectedCount = 0;
    for (const auto& tag : threadsPerTag) expectedCount += static_cast<size_t>(tag.second * linesPerThread);
    EXPECT_EQ(expectedCount, lines.size());
    for (const std::wstring& line : lines) {
        std::wsmatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << TestUtil::Narrow(line);
        int t = std::stoi(m[4].str());
        int i = std::stoi(m[5].str());
        auto tag = threadsPerTag.find(m[3].str());
        ASSERT_TRUE(tag != threadsPerTag.end()) << TestUtil::Narrow(line);
        EXPECT_LT(t, tag->second);
        EXPECT_LT(i, linesPerThread);
        EXPECT_EQ(Payload(t, i), m[6].str()) << TestUtil::Narrow(line);
        EXPECT_TRUE(seen.insert(m[3].str() + L" " + m[4].str() + L" " + m[5].str()).second)
            << "twice: " << TestUtil::Narrow(line);
    }
}

std::wstring ToolLogFile(const std::wstring& appFolder)
{
    return appFolder + L"\\log_writer\\log_writer000.log";
}

std::wstring RealAppFolder(const std::wstring& app)
{
    PWSTR programData = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &programData))) return L"";
    std::wstring folder = std::wstring(programData) + L"\\Orvane\\OVLOGS\\" + app;
    CoTaskMemFree(programData);
    return folder;
}

} // namespace

TEST(FileLoggerProcesses, EightThreadsThroughTheFrontLeaveWholeLines)
{
    const std::wstring app = TestUtil::UniqueName(L"flthreads_");
    const std::wstring appFolder = RealAppFolder(app);
    Writers writers;
    ASSERT_TRUE(writers.Start(L"lines " + app + L" main 8 50"));
    std::vector<DWORD> codes = writers.Wait(60000);
    std::vector<std::wstring> lines = SplitLines(Utf16File(ToolLogFile(appFolder)));
    RemoveTree(appFolder);
    ASSERT_EQ(1u, codes.size());
    ASSERT_EQ(0u, codes[0]);
    ExpectWholeLines(lines, {{L"main", 8}}, 50);
}

TEST(FileLoggerProcesses, TwoProcessesShareOneLogWithoutLosingLines)
{
    const std::wstring app = TestUtil::UniqueName(L"flprocs_");
    const std::wstring appFolder = RealAppFolder(app);
    const std::wstring eventName = TestUtil::UniqueName(L"log_writer_go_");
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_NE(nullptr, go);
    std::vector<DWORD> codes;
    {
        Writers writers;
        ASSERT_TRUE(writers.Start(L"lines " + app + L" first 2 100 " + eventName));
        ASSERT_TRUE(writers.Start(L"lines " + app + L" second 2 100 " + eventName));
        Sleep(300);
        SetEvent(go);
        codes = writers.Wait(90000);
    }
    CloseHandle(go);
    std::vector<std::wstring> lines = SplitLines(Utf16File(ToolLogFile(appFolder)));
    RemoveTree(appFolder);
    ASSERT_EQ(2u, codes.size());
    EXPECT_EQ(0u, codes[0]);
    EXPECT_EQ(0u, codes[1]);
    ExpectWholeLines(lines, {{L"first", 2}, {L"second", 2}}, 100);
}

TEST(FileLoggerProcesses, FrontCreationIsRetriedAndALogCallInsideItDoesNotWait)
{
    const std::wstring app = TestUtil::UniqueName(L"flcreate_");
    Writers writers;
    ASSERT_TRUE(writers.Start(L"creation " + app));
    std::vector<DWORD> codes = writers.Wait(60000);
    RemoveTree(RealAppFolder(app));
    EXPECT_EQ(std::vector<DWORD>{0}, codes);
}

TEST(FileLoggerProcesses, FirstStartupValuesStayAndSupportMessagesArriveMapped)
{
    const std::wstring app = TestUtil::UniqueName(L"flstart_");
    const std::wstring later = TestUtil::UniqueName(L"fllater_");
    const std::wstring appFolder = RealAppFolder(app);
    Writers writers;
    ASSERT_TRUE(writers.Start(L"startup " + app + L" " + later));
    std::vector<DWORD> codes = writers.Wait(60000);
    std::vector<std::wstring> lines = SplitLines(Utf16File(ToolLogFile(appFolder)));
    bool laterFolderMade = Lumetra::DirectoryExists(RealAppFolder(later).c_str());
    RemoveTree(appFolder);
    RemoveTree(RealAppFolder(later));
    ASSERT_EQ(1u, codes.size());
    ASSERT_EQ(0u, codes[0]);
    EXPECT_FALSE(laterFolderMade);
    const wchar_t* tails[] = {L"-- (Information)$ [ log_writer.exe]$ before 1",
                              L"-- (Information)$ [ log_writer.exe]$ after again",
                              L"-- (Normal)$ [ log_writer.exe]$ bridge 0",
                              L"-- (Normal)$ [ log_writer.exe]$ bridge 1",
                              L"-- (Error)$ [ log_writer.exe]$ bridge 2",
                              L"-- (Warning)$ [ log_writer.exe]$ bridge 3"};
    ASSERT_EQ(6u, lines.size());
    for (int i = 0; i < 6; ++i) {
        std::wstring tail = tails[i];
        ASSERT_GE(lines[i].size(), tail.size());
        EXPECT_EQ(tail, lines[i].substr(lines[i].size() - tail.size()));
    }
}
