#include "ETWLogging/DefaultLogBuilder.h"
#include "ETWLogging/ETWLogger.h"
#include "ETWLogging/FileLogger.h"
#include "ETWLogging/LogFront.h"
#include "ETWLogging/LumetraLogHandler.h"

#include "Lumetra/Logger.h"
#include "Lumetra/ObfuscatedRegKey.h"
#include "Lumetra/RegKey.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace ETWLogging;

namespace {

struct Line {
    std::wstring file;
    std::wstring function;
    int line;
    LogLevel level;
    std::wstring text;
};

// Keeps every line it is given; counts what the front asks of it.
class RecordingLogger : public CLoggingIf {
public:
    explicit RecordingLogger(bool* destroyed = nullptr) : m_destroyed(destroyed) {}
    ~RecordingLogger() override
    {
        if (m_destroyed) *m_destroyed = true;
    }
    DWORD Initialize(const wchar_t*, HINSTANCE, const wchar_t*, LoggingConfigListenerIf*) override { return 0; }
    DWORD BeginWrite() override
    {
        ++beginWrites;
        return beginWriteResult;
    }
    DWORD Uninitialize() override { return 0; }
    DWORD SetEnabled(bool) override { return 1; }
    bool IsEnabled() override { return true; }
    DWORD LogLevelF(LogLevel, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level, const wchar_t* text) override
    {
        lines.push_back({file ? file : L"", function ? function : L"", line, level, text ? text : L""});
        return writeResult;
    }
    bool IsLevelEnabled(LogLevel level) override { return level >= threshold; }
    void SetMaxEntries(DWORD) override {}
    DWORD GetMaxEntries() override { return 0; }
    void SetMaxSize(DWORD) override {}
    DWORD GetMaxSize() override { return 0; }
    void SetSeverity(LogLevel level) override { threshold = level; }
    LogLevel GetSeverity() override { return threshold; }

    std::vector<Line> lines;
    DWORD beginWriteResult = 0;
    DWORD writeResult = 0;
    int beginWrites = 0;
    LogLevel threshold = 3;

private:
    bool* m_destroyed;
};

class RecordingLoggerEx : public CLoggingIf_ex {
public:
    DWORD Initialize(const wchar_t*, HINSTANCE, const wchar_t*, LoggingConfigListenerIf*) override { return 0; }
    DWORD BeginWrite() override { return 0; }
    DWORD Uninitialize() override { return 0; }
    DWORD SetEnabled(bool) override { return 1; }
    bool IsEnabled() override { return true; }
    DWORD LogLevelF(LogLevel, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD Write(const wchar_t*, const wchar_t*, int, LogLevel, const wchar_t*) override
    {
        ++plainWrites;
        return 0;
    }
    bool IsLevelEnabled(LogLevel level) override { return level >= 3; }
    void SetMaxEntries(DWORD) override {}
    DWORD GetMaxEntries() override { return 0; }
    void SetMaxSize(DWORD) override {}
    DWORD GetMaxSize() override { return 0; }
    void SetSeverity(LogLevel) override {}
    LogLevel GetSeverity() override { return 3; }
    DWORD InitializeEx(const wchar_t*, const wchar_t*, HINSTANCE, const wchar_t*, LoggingConfigListenerIf*) override
    {
        return 0;
    }
    DWORD WriteText(LogLevel level, const wchar_t*, const wchar_t*, int, const wchar_t* text) override
    {
        texts.push_back({L"", L"", 0, level, text});
        return 0;
    }
    DWORD WriteV(LogLevel level, const wchar_t*, const wchar_t*, int, const wchar_t* format, va_list args) override
    {
        wchar_t buffer[256];
        _vsnwprintf(buffer, 255, format, args);
        buffer[255] = 0;
        formatted.push_back({L"", L"", 0, level, buffer});
        return 0;
    }
    DWORD WriteF(LogLevel, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }

    std::vector<Line> texts;
    std::vector<Line> formatted;
    int plainWrites = 0;
};

// Hands out a prepared logger and records what it was asked for.
class FakeBuilder : public CLogBuilderIf_ex {
public:
    bool BuildLogger(const wchar_t* appName, HINSTANCE, const wchar_t* hostName, DWORD mechanism,
                     CLoggingIf** logger, Lumetra::CRegKey*) override
    {
        calls.push_back(L"plain");
        Remember(nullptr, appName, hostName, mechanism);
        return Hand(plainSucceeds, logger);
    }
    bool BuildLoggerEx(const wchar_t* propertiesName, const wchar_t* appName, HINSTANCE, const wchar_t* hostName,
                       DWORD mechanism, CLoggingIf** logger, Lumetra::CRegKey*) override
    {
        calls.push_back(L"ex");
        Remember(propertiesName, appName, hostName, mechanism);
        return Hand(exSucceeds, logger);
    }

    CLoggingIf* product = nullptr;
    bool exSucceeds = true;
    bool plainSucceeds = true;
    std::vector<std::wstring> calls;
    std::wstring properties = L"<null>", app = L"<null>", host = L"<null>";
    DWORD mechanism = 99;

private:
    void Remember(const wchar_t* p, const wchar_t* a, const wchar_t* h, DWORD m)
    {
        properties = p ? p : L"<null>";
        app = a ? a : L"<null>";
        host = h ? h : L"<null>";
        mechanism = m;
    }
    bool Hand(bool succeed, CLoggingIf** logger)
    {
        if (!succeed || !product) return false;
        *logger = product;
        product = nullptr;
        return true;
    }
};

// A second support-library handler, to see who is registered.
class OtherHandler : public Lumetra::ILoggingHandler {
public:
    void HandleLog(unsigned int, const wchar_t*, const wchar_t*, int, const wchar_t* message) override
    {
        messages.push_back(message ? message : L"");
    }
    std::vector<std::wstring> messages;
};

std::wstring Repeat(wchar_t c, size_t n) { return std::wstring(n, c); }

} // namespace

TEST(LogLevels, NamesOfTheSixLevels)
{
    EXPECT_STREQ(L"Normal", GetLogLevelName(1));
    EXPECT_STREQ(L"Warning", GetLogLevelName(2));
    EXPECT_STREQ(L"Information", GetLogLevelName(3));
    EXPECT_STREQ(L"Error", GetLogLevelName(4));
    EXPECT_STREQ(L"Critical", GetLogLevelName(5));
    EXPECT_STREQ(L"Information", GetLogLevelName(6));
    EXPECT_EQ(nullptr, GetLogLevelName(0));
    EXPECT_EQ(nullptr, GetLogLevelName(7));
    EXPECT_EQ(nullptr, GetLogLevelName(0xFFFFFFFFu));
}

TEST(LogLevels, BridgeMapsSupportLibraryLevels)
{
    EXPECT_EQ(1u, CLumetraLogHandler::MapLevel(0));
    EXPECT_EQ(1u, CLumetraLogHandler::MapLevel(1));
    EXPECT_EQ(4u, CLumetraLogHandler::MapLevel(2));
    EXPECT_EQ(2u, CLumetraLogHandler::MapLevel(3));
    EXPECT_EQ(2u, CLumetraLogHandler::MapLevel(7));
}

TEST(LoggerHolder, FormattedTextIsCutAbove4160Characters)
{
    auto* logger = new RecordingLogger();
    FakeBuilder builder;
    builder.product = logger;
    LoggerHolder holder;
    ASSERT_TRUE(holder.Build(builder, LoggingStartupValues{}));

    std::wstring of4160 = Repeat(L'a', 4156);
    EXPECT_EQ(0u, holder.LogFormat(3, L"F", L"Fn", 7, L"%s%d", of4160.c_str(), 1234));
    std::wstring of4161 = Repeat(L'b', 4161);
    EXPECT_EQ(0u, holder.LogFormat(4, L"F", L"Fn", 8, L"%s", of4161.c_str()));
    std::wstring of2081 = Repeat(L'c', 2081);
    EXPECT_EQ(0u, holder.LogFormat(4, L"F", L"Fn", 9, L"%s", of2081.c_str()));

    ASSERT_EQ(3u, logger->lines.size());
    EXPECT_EQ(of4160 + L"1234", logger->lines[0].text);
    EXPECT_EQ(Repeat(L'b', 2080), logger->lines[1].text);
    EXPECT_EQ(of2081, logger->lines[2].text);
    EXPECT_EQ(L"F", logger->lines[1].file);
    EXPECT_EQ(L"Fn", logger->lines[1].function);
    EXPECT_EQ(8, logger->lines[1].line);
    EXPECT_EQ(4u, logger->lines[1].level);
    // The plain road asks BeginWrite twice per line and never tests the level.
    EXPECT_EQ(6, logger->beginWrites);
    EXPECT_EQ(0u, holder.LogFormat(1, L"F", L"Fn", 9, L"%s", L"below threshold"));
    EXPECT_EQ(4u, logger->lines.size());
}

TEST(LoggerHolder, FixedLevelWritesCutAt4159Characters)
{
    RecordingLogger logger;
    std::wstring long5000 = Repeat(L'x', 5000);
    logger.LogCritical(L"F", L"Fn", 1, L"%s", long5000.c_str());
    std::wstring exact4159 = Repeat(L'y', 4159);
    logger.LogNormal(L"F", L"Fn", 2, L"%s", exact4159.c_str());
    logger.LogError(L"F", L"Fn", 3, L"%s", L"e");
    logger.LogWarning(L"F", L"Fn", 4, L"%s", L"w");
    logger.LogInformation(L"F", L"Fn", 5, L"%s", L"i");
    ASSERT_EQ(5u, logger.lines.size());
    EXPECT_EQ(Repeat(L'x', 4159), logger.lines[0].text);
    EXPECT_EQ(5u, logger.lines[0].level);
    EXPECT_EQ(exact4159, logger.lines[1].text);
    EXPECT_EQ(1u, logger.lines[1].level);
    EXPECT_EQ(4u, logger.lines[2].level);
    EXPECT_EQ(2u, logger.lines[3].level);
    EXPECT_EQ(3u, logger.lines[4].level);
}

TEST(LoggerHolder, WithoutLoggerEveryCallFails1627)
{
    FakeBuilder builder;  // hands out nothing
    LoggerHolder holder;
    EXPECT_FALSE(holder.Build(builder, LoggingStartupValues{}));
    EXPECT_EQ(nullptr, holder.Logger());
    EXPECT_EQ(nullptr, holder.Handler());
    EXPECT_FALSE(holder.IsLevelEnabled(6));
    EXPECT_EQ(1627u, holder.LogFormat(3, L"F", L"Fn", 1, L"%d", 1));
    EXPECT_EQ(1627u, holder.Write(L"F", L"Fn", 1, 3, L"text"));
    ASSERT_EQ(2u, builder.calls.size());
    EXPECT_EQ(L"ex", builder.calls[0]);
    EXPECT_EQ(L"plain", builder.calls[1]);
}

TEST(LoggerHolder, BeginWriteRefusalDropsTheLine)
{
    auto* logger = new RecordingLogger();
    logger->beginWriteResult = 1234;
    FakeBuilder builder;
    builder.product = logger;
    LoggerHolder holder;
    ASSERT_TRUE(holder.Build(builder, LoggingStartupValues{}));
    EXPECT_EQ(1234u, holder.LogFormat(3, L"F", L"Fn", 1, L"%d", 1));
    EXPECT_EQ(1234u, holder.Write(L"F", L"Fn", 1, 3, L"text"));
    EXPECT_TRUE(logger->lines.empty());

    logger->beginWriteResult = 0;
    logger->writeResult = 31;
    EXPECT_EQ(31u, holder.Write(L"F", L"Fn", 1, 1, L"unfiltered"));
    ASSERT_EQ(1u, logger->lines.size());
    EXPECT_EQ(1u, logger->lines[0].level);
}

TEST(LoggerHolder, ExtendedLoggerGetsTheExtendedWrites)
{
    auto* logger = new RecordingLoggerEx();
    FakeBuilder builder;
    builder.product = logger;
    LoggerHolder holder;
    ASSERT_TRUE(holder.Build(builder, LoggingStartupValues{}));

    EXPECT_EQ(0u, holder.LogFormat(4, L"F", L"Fn", 1, L"n=%d s=%s", 42, L"wide"));
    EXPECT_EQ(0u, holder.LogFormat(2, L"F", L"Fn", 1, L"held back %d", 1));
    std::wstring long5000 = Repeat(L'z', 5000);
    EXPECT_EQ(0u, holder.Write(L"F", L"Fn", 1, 1, long5000.c_str()));

    ASSERT_EQ(1u, logger->formatted.size());
    EXPECT_EQ(L"n=42 s=wide", logger->formatted[0].text);
    EXPECT_EQ(4u, logger->formatted[0].level);
    ASSERT_EQ(1u, logger->texts.size());
    EXPECT_EQ(long5000, logger->texts[0].text);  // no cut on the bridge road
    EXPECT_EQ(0, logger->plainWrites);
}

TEST(LoggerHolder, PlainBuildIsTheFallbackAndGetsTheStartupValues)
{
    FakeBuilder builder;
    builder.exSucceeds = false;
    builder.product = new RecordingLogger();
    LoggingStartupValues values;
    EXPECT_EQ(nullptr, values.PropertiesName());
    LoggerHolder holder;
    ASSERT_TRUE(holder.Build(builder, values));
    ASSERT_EQ(2u, builder.calls.size());
    EXPECT_EQ(L"plain", builder.calls[1]);
    EXPECT_EQ(L"_no_group", builder.app);
    EXPECT_EQ(L"_no_host", builder.host);
    EXPECT_EQ(0u, builder.mechanism);
    EXPECT_NE(nullptr, holder.Logger());

    FakeBuilder exBuilder;
    exBuilder.product = new RecordingLogger();
    values.hasPropertiesName = true;
    values.propertiesName = L"Props";
    values.hasHostName = false;
    values.mechanism = 1;
    LoggerHolder other;
    ASSERT_TRUE(other.Build(exBuilder, values));
    ASSERT_EQ(1u, exBuilder.calls.size());
    EXPECT_EQ(L"Props", exBuilder.properties);
    EXPECT_EQ(L"<null>", exBuilder.host);
    EXPECT_EQ(1u, exBuilder.mechanism);
}

TEST(LoggerHolder, RegistersTheBridgeAndDestroysTheLoggerAtTheEnd)
{
    OtherHandler other;
    bool destroyed = false;
    {
        FakeBuilder builder;
        builder.product = new RecordingLogger(&destroyed);
        LoggerHolder holder;
        ASSERT_TRUE(holder.Build(builder, LoggingStartupValues{}));
        EXPECT_EQ(&CLumetraLogHandler::Instance(), holder.Handler());
        // Ours is registered, so another one is refused.
        EXPECT_EQ(5023u, Lumetra::CLogger::RegisterHandler(&other));
    }
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(0u, Lumetra::CLogger::RegisterHandler(&other));

    // With another handler in place the holder keeps none, and still has its logger.
    FakeBuilder builder;
    builder.product = new RecordingLogger();
    {
        LoggerHolder holder;
        ASSERT_TRUE(holder.Build(builder, LoggingStartupValues{}));
        EXPECT_EQ(nullptr, holder.Handler());
        EXPECT_NE(nullptr, holder.Logger());
    }
    EXPECT_EQ(0u, Lumetra::CLogger::UnregisterHandler(&other));
}

// The builder's choice, read from a scratch key instead of HKLM.
class DefaultBuilderChoice : public ::testing::Test {
protected:
    void SetUp() override
    {
        app = TestUtil::UniqueName(L"front_");
        ASSERT_EQ(0, key.Open(HKEY_CURRENT_USER, scratch.Path().c_str(), KEY_ALL_ACCESS));
        ASSERT_EQ(0, obfuscated.Open(HKEY_CURRENT_USER, scratch.Path().c_str(), KEY_ALL_ACCESS));
    }

    // Builds with the given key and reports which kind came out; destroys it again.
    std::wstring Kind(DWORD mechanism, Lumetra::CRegKey* from)
    {
        CLoggingIf* logger = nullptr;
        if (!CDefaultLogBuilder::Instance().BuildLoggerEx(nullptr, app.c_str(), nullptr, nullptr, mechanism, &logger,
                                                          from))
            return L"none";
        std::wstring kind = dynamic_cast<CLogging*>(logger)      ? L"file"
                            : dynamic_cast<CETWLogging*>(logger) ? L"etw"
                                                                 : L"other";
        delete logger;
        return kind;
    }

    TestUtil::ScratchRegKey scratch{HKEY_CURRENT_USER};
    Lumetra::CRegKey key;
    Lumetra::CObfuscatedRegKey obfuscated;
    std::wstring app;
};

TEST_F(DefaultBuilderChoice, OnlyTheValueOneSelectsTheFileLogger)
{
    EXPECT_EQ(L"etw", Kind(0, &key));  // no value
    const DWORD values[] = {0, 2, 1};
    const wchar_t* expected[] = {L"etw", L"etw", L"file"};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(scratch.WriteRaw(L"Logging Mechanism", REG_DWORD, &values[i], 4));
        EXPECT_EQ(expected[i], Kind(0, &key)) << values[i];
    }
    // The same plain value is no record for the enciphered reader.
    EXPECT_EQ(L"etw", Kind(0, &obfuscated));
    ASSERT_EQ(0, obfuscated.SetDWORDValue(L"Logging Mechanism", 1));
    EXPECT_EQ(L"file", Kind(0, &obfuscated));
    EXPECT_EQ(L"etw", Kind(0, &key));  // an enciphered record is no plain DWORD
}

TEST_F(DefaultBuilderChoice, MechanismOneNeedsNoRegistry)
{
    const DWORD two = 2;
    ASSERT_TRUE(scratch.WriteRaw(L"Logging Mechanism", REG_DWORD, &two, 4));
    EXPECT_EQ(L"file", Kind(1, &key));
    EXPECT_TRUE(CDefaultLogBuilder::ChoosesFileLogger(1, nullptr));
}

TEST_F(DefaultBuilderChoice, FileLoggerComesInitialisedWithOneReference)
{
    CLoggingIf* logger = nullptr;
    ASSERT_TRUE(CDefaultLogBuilder::Instance().BuildLogger(app.c_str(), nullptr, nullptr, 1, &logger, &key));
    auto* file = dynamic_cast<CLogging*>(logger);
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(CLogging::kErrorAlreadyInitialized, file->Initialize(app.c_str(), nullptr, nullptr, nullptr));
    const std::wstring tail = L"\\Orvane\\OVLOGS\\" + app + L"\\etw_logging_tests";
    ASSERT_GE(file->GetLogFolder().size(), tail.size());
    EXPECT_EQ(tail, file->GetLogFolder().substr(file->GetLogFolder().size() - tail.size()));
    EXPECT_EQ(2, logger->AddRef());
    EXPECT_EQ(1, logger->Release());
    EXPECT_EQ(0, logger->Release());  // destroys it
}

TEST_F(DefaultBuilderChoice, EmptyNamesAndAnOccupiedOutPointerFail)
{
    CDefaultLogBuilder& builder = CDefaultLogBuilder::Instance();
    for (DWORD mechanism : {0u, 1u}) {
        CLoggingIf* logger = nullptr;
        EXPECT_FALSE(builder.BuildLoggerEx(nullptr, L"", nullptr, nullptr, mechanism, &logger, &key));
        EXPECT_FALSE(builder.BuildLogger(L"", nullptr, nullptr, mechanism, &logger, &key));
        EXPECT_FALSE(builder.BuildLogger(app.c_str(), nullptr, L"", mechanism, &logger, &key));
        EXPECT_EQ(nullptr, logger);
    }
    RecordingLogger existing;
    CLoggingIf* logger = &existing;
    EXPECT_FALSE(builder.BuildLogger(app.c_str(), nullptr, nullptr, 1, &logger, &key));
    EXPECT_EQ(&existing, logger);

    // The front's own road with an empty application name: no logger at all.
    LoggingStartupValues values;
    values.appName = L"";
    values.mechanism = 1;
    LoggerHolder holder;
    EXPECT_FALSE(holder.Build(builder, values));
    for (LogLevel level = 1; level <= 6; ++level) EXPECT_FALSE(holder.IsLevelEnabled(level));
}

TEST(RetryingOnce, ThrowingCreationIsRetriedAndSuccessRunsOnce)
{
    ETWLogging::internal::RetryingOnce once;
    int runs = 0;
    EXPECT_THROW(once.Call([&] {
        ++runs;
        throw std::runtime_error("first creation fails");
    }),
                 std::runtime_error);
    // Must neither block nor skip: the next call runs the creation again.
    once.Call([&] { ++runs; });
    once.Call([&] { ++runs; });
    EXPECT_EQ(runs, 2);
}

TEST(RetryingOnce, ConcurrentCallersRunTheCreationOnce)
{
    ETWLogging::internal::RetryingOnce once;
    std::atomic<int> runs{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            once.Call([&] {
                Sleep(20);
                ++runs;
            });
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(runs.load(), 1);
}
