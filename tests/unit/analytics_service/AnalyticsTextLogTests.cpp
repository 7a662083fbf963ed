// The analytics text log through the real pieces: the enciphered switch in a scratch key, the
// folder under the real common application-data folder, the file's exact bytes.
#include "logging/AnalyticsLogger.h"
#include "registry/CAUtils.h"

#include "Lumetra/ObfuscatedRegKey.h"

#include "LogCapture.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

using namespace Taliro::Analytics;

namespace {

const bool g_capture = (LogCapture::InstallBeforeFirstLog(), true);

class TextLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t programData[MAX_PATH] = {};
        ASSERT_NE(0u, GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH));
        const std::wstring name = TestUtil::UniqueName(L"TelvanaTextLog");
        m_folder = std::wstring(programData) + L"\\" + name;
        CAnalyticsLoggerHelper::SetInstance(std::make_shared<CAnalyticsLoggerHelper>(L"$(FOLDERID_ProgramData)\\" + name));
        SetRegistryRedirection(m_key.Root(), m_key.Path());
        LogCapture::Clear();
    }
    void TearDown() override
    {
        ClearRegistryRedirection();
        CAnalyticsLoggerHelper::SetInstance(nullptr);
        TestUtil::RemoveTree(m_folder);
    }
    void Switch(DWORD value)
    {
        Lumetra::CObfuscatedRegKey key;
        ASSERT_EQ(0, key.Create(m_key.Root(), (m_key.Path() + L"\\Software\\Orvane\\OvTelvana").c_str()));
        ASSERT_EQ(0, key.SetDWORDValue(L"enableLegacyAutomationLogs", value));
    }
    static std::string Stamp()
    {
        SYSTEMTIME t;
        GetSystemTime(&t);
        char text[32];
        std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                      t.wSecond);
        return text;
    }
    // The file's bytes with the text of each time stamp taken out; every stamp lies between
    // `from` and now.
    std::string Unstamped(const std::wstring& name, const std::string& from)
    {
        const std::string to = Stamp();
        std::string text = TestUtil::ReadFileBytes(m_folder + L"\\" + name);
        for (size_t at = 0; (at = text.find("\"timeStamp\":\"", at)) != std::string::npos; text.erase(at, 20)) {
            at += 13;
            EXPECT_TRUE(text.compare(at, 20, from) >= 0 && text.compare(at, 20, to) <= 0) << text.substr(at, 20);
        }
        return text;
    }

    TestUtil::ScratchRegKey m_key;
    std::wstring m_folder;
};

TEST_F(TextLog, WithoutTheSwitchOrAResolvedFolderNothingIsWritten)
{
    CAnalyticsLogger::LogRecord(TransportsLog, L"id", {L"ga_legacy"}, Success, L"v=1", L"");
    EXPECT_EQ(1u, LogCapture::Count(L"Unable to open regKey Software\\Orvane\\OvTelvana", 2));
    Switch(2);
    CAnalyticsLogger::LogRecord(TransportsLog, L"id", {L"ga_legacy"}, Success, L"v=1", L"");
    EXPECT_EQ(1u, LogCapture::Lines().size());

    Switch(1);
    CAnalyticsLoggerHelper::SetInstance(std::make_shared<CAnalyticsLoggerHelper>(L"$(NoSuchPlaceholder)\\Telvana"));
    CAnalyticsLogger::LogRecord(TransportsLog, L"id", {L"ga_legacy"}, Success, L"v=1", L"");
    EXPECT_EQ(1u, LogCapture::Count(L"Couldn't resolve place holder for: $(NoSuchPlaceholder)\\Telvana", 4));
    CAnalyticsLoggerHelper::SetInstance(std::make_shared<CAnalyticsLoggerHelper>(m_folder + L"\\missing\\deeper"));
    CAnalyticsLogger::LogRecord(TransportsLog, L"id", {L"ga_legacy"}, Success, L"v=1", L"");
    EXPECT_EQ(1u, LogCapture::Count(L"CreateDirectory for " + m_folder + L"\\missing\\deeper, result: 0", 3));
    EXPECT_EQ(1u, LogCapture::Count(L"LogStream is not open", 4, L"AnalyticsLogger",
                                    L"Taliro::Analytics::CAnalyticsLogger::Log"));
    EXPECT_FALSE(TestUtil::FileExists(m_folder));
}

TEST_F(TextLog, EachRecordIsOneExactLine)
{
    Switch(1);
    const std::string before = Stamp();
    CAnalyticsLogger::LogRecord(TransportsLog, L"evt-1", {L"ga_legacy"}, Success, L"v=1&tid=UA-1&cd=caf%C3%A9", L"");
    CAnalyticsLogger::LogRecord(TransportsLog, L"id\u65e5x", {L"ga\u0100", L"b"}, Fail, L"a\u00e9\u65e5\"\\\n", L"");
    CAnalyticsLogger::LogRecord(TransportsLog, L"e", {}, static_cast<RecordStatus>(7), L"", L"");
    CAnalyticsLogger::LogRecord(RawTrackLog, L"r", {L"x"}, Unprocessed, L"raw", L"ignored");
    CAnalyticsLogger::LogRecord(ErrorLog, L"q", {}, Success, L"d", L"boom\u65e5");
    CAnalyticsLogger::LogRecord(static_cast<LogType>(9), L"q", {}, Success, L"d", L"");
    EXPECT_EQ("{\"uniqueId\":\"evt-1\",\"transports\":[\"ga_legacy\"],\"status\":\"Success\",\"timeStamp\":\"\","
              "\"data\":\"v=1&tid=UA-1&cd=caf%C3%A9\"}\r\n"
              "{\"uniqueId\":\"idx\",\"transports\":[\"ga\",\"b\"],\"status\":\"Fail\",\"timeStamp\":\"\","
              "\"data\":\"a\xE9\\\"\\\\\\n\"}\r\n"
              "{\"uniqueId\":\"e\",\"transports\":[],\"status\":\"Error\",\"timeStamp\":\"\",\"data\":\"{}\"}\r\n",
              Unstamped(L"TransportsLog.txt", before));
    EXPECT_EQ("{\"uniqueId\":\"r\",\"timeStamp\":\"\",\"data\":\"raw\"}\r\n", Unstamped(L"RawTrackLog.txt", before));
    EXPECT_EQ("{\"uniqueId\":\"q\",\"error\":\"boom\",\"timeStamp\":\"\",\"data\":\"d\"}\r\n",
              Unstamped(L"ErrorLog.txt", before));
    EXPECT_EQ(1u, LogCapture::Count(L"Unknown record status: 7", 4));
    EXPECT_EQ(1u, LogCapture::Count(L"Unknown LogType: 9", 4, L"AnalyticsLogger",
                                    L"Taliro::Analytics::CAnalyticsLoggerHelper::GetStream"));
    EXPECT_EQ(1u, LogCapture::Count(L"CreateDirectory for " + m_folder + L", result: 1", 3));
}

TEST_F(TextLog, WritersInSeveralProcessesNeverSplitALine)
{
    Switch(1);
    const std::string before = Stamp();
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring tool = exe;
    tool = tool.substr(0, tool.find_last_of(L'\\') + 1) + L"textlog_appender.exe";
    const int kRecords = 300;
    std::vector<PROCESS_INFORMATION> writers;
    for (const wchar_t* fill : {L"A", L"B", L"C"}) {
        std::wstring command = L"\"" + tool + L"\" \"" + m_key.Path() + L"\" \"" + m_folder + L"\" " +
                               std::to_wstring(kRecords) + L" " + fill;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
        writers.push_back(process);
    }
    for (PROCESS_INFORMATION& process : writers) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 60000));
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    // Every line is one of the writers' whole records.
    const std::string text = Unstamped(L"TransportsLog.txt", before);
    std::map<std::string, int> lines, expected;
    for (char fill : {'A', 'B', 'C'})
        expected[std::string("{\"uniqueId\":\"") + fill + "\",\"transports\":[\"ga_legacy\"],\"status\":\"Success\","
                 "\"timeStamp\":\"\",\"data\":\"" + std::string(3000, fill) + "\"}"] = kRecords;
    for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        ++lines[text.substr(start, end - start)];
    EXPECT_EQ(3 * (expected.begin()->first.size() + 2) * kRecords, text.size());
    EXPECT_TRUE(lines == expected) << lines.size() << " different lines";
}

} // namespace
