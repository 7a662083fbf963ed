#include "Lumetra/Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace Lumetra;

namespace {

// Records each message as "level|file|function|line|message".
class RecordingHandler : public ILoggingHandler {
public:
    void HandleLog(unsigned int level, const wchar_t* file, const wchar_t* function, int line,
                   const wchar_t* message) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.push_back(std::to_wstring(level) + L"|" + file + L"|" + function + L"|" + std::to_wstring(line) +
                            L"|" + message);
    }
    std::vector<std::wstring> Take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::move(m_entries);
    }

private:
    std::mutex m_mutex;
    std::vector<std::wstring> m_entries;
};

// Collects OutputDebugString text of this process: the call raises a continuable exception
// that a vectored handler sees first.
class DebugOutputCapture {
public:
    DebugOutputCapture() : m_handle(AddVectoredExceptionHandler(1, &Handler)) { s_current = this; }
    ~DebugOutputCapture()
    {
        RemoveVectoredExceptionHandler(m_handle);
        s_current = nullptr;
    }
    std::vector<std::wstring> Take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::move(m_lines);
    }

private:
    static LONG CALLBACK Handler(EXCEPTION_POINTERS* pointers)
    {
        const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
        DebugOutputCapture* self = s_current;
        if (!self || record->NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
        std::wstring text;
        if (record->ExceptionCode == 0x4001000A /* DBG_PRINTEXCEPTION_WIDE_C */) {
            text = reinterpret_cast<const wchar_t*>(record->ExceptionInformation[1]);
        } else if (record->ExceptionCode == DBG_PRINTEXCEPTION_C) {
            const char* ansi = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
            wchar_t wide[8192] = {};
            MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, 8191);
            text = wide;
        } else {
            return EXCEPTION_CONTINUE_SEARCH;
        }
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_lines.push_back(text);
        return EXCEPTION_CONTINUE_EXECUTION;
    }

    static DebugOutputCapture* s_current;
    PVOID m_handle;
    std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
};
DebugOutputCapture* DebugOutputCapture::s_current = nullptr;

std::wstring SystemText(DWORD code)
{
    wchar_t buffer[1024] = {};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                             1024, nullptr);
    return std::wstring(buffer, n);
}

// "0x" and the low 32 bits of the address in eight upper-case hex digits.
std::wstring Address(const void* p)
{
    static const wchar_t digits[] = L"0123456789ABCDEF";
    const auto value = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
    std::wstring s = L"0x";
    for (int shift = 28; shift >= 0; shift -= 4) s += digits[(value >> shift) & 0xF];
    return s;
}

std::vector<std::wstring> Message(const wchar_t* function, int line, const std::wstring& text)
{
    return {L"2|Logging\\internal_logging|" + std::wstring(function) + L"|" + std::to_wstring(line) + L"|" + text};
}

const wchar_t kRegister[] = L"Lumetra::CLogger::RegisterHandler";
const wchar_t kUnregister[] = L"Lumetra::CLogger::UnregisterHandler";

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Start with no handler registered at all.
        RecordingHandler temp;
        ASSERT_EQ(CLogger::RegisterHandler(&temp), 0u);
        ASSERT_EQ(CLogger::UnregisterHandler(&temp), 0u);
        capture.Take();
    }
    void TearDown() override
    {
        // Never leave one of these registered for a later test to reach after it is gone.
        CLogger::UnregisterHandler(&h);
        CLogger::UnregisterHandler(&g);
    }

    // Which handler a plain message reaches now: "h", "g" or "default".
    std::string Receiver()
    {
        h.Take();
        g.Take();
        capture.Take();
        CLogger::Log(1, L"probe", L"probe", 1, L"probe");
        std::string who;
        if (!h.Take().empty()) who += "h";
        if (!g.Take().empty()) who += "g";
        if (!capture.Take().empty()) who += "default";
        return who;
    }

    RecordingHandler h;
    RecordingHandler g;
    DebugOutputCapture capture;
};

} // namespace

TEST_F(LoggerTest, FirstLogRegistersDefaultHandlerWritingOneDebugLine)
{
    CLogger::Log(1, L"Some\\File", L"Ns::Cls::Fn", 42, L"%s=%d [%hs]", L"wide", 7, "narrow");
    EXPECT_EQ(capture.Take(), std::vector<std::wstring>{L"Some\\File(42): [INFO]: [Ns::Cls::Fn]: wide=7 [narrow]\n"});

    // The default handler gives way to a program's handler without complaint.
    EXPECT_EQ(RegisterLoggingHandler(&h), 0u);
    EXPECT_EQ(Receiver(), "h");

    const std::wstring big(5000, L'x');
    CLogger::Log(1, L"f", L"fn", 1, L"<%s>", big.c_str());
    EXPECT_EQ(h.Take(), std::vector<std::wstring>{L"1|f|fn|1|<" + big + L">"});
}

TEST_F(LoggerTest, DefaultHandlerLineForEachLevel)
{
    CDefaultLoggingHandler handler;
    handler.HandleLog(0, L"f", L"fn", 1, L"none");
    handler.HandleLog(2, L"f", L"fn", -3, L"bad");
    handler.HandleLog(7, L"f", L"fn", 9, L"odd");
    EXPECT_EQ(capture.Take(), (std::vector<std::wstring>{L"f(-3): [ERROR]: [fn]: bad\n", L"f(9): [UNKNOWN]: [fn]: odd\n"}));
}

TEST_F(LoggerTest, ErrorTextIsTheSystemTextWithItsLineEnd)
{
    const std::wstring text = CLogger::GetErrorText(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(text, SystemText(ERROR_INVALID_PARAMETER));
    ASSERT_GT(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
}

TEST_F(LoggerTest, RegisterNullIsReportedThroughTheDefaultHandler)
{
    EXPECT_EQ(CLogger::RegisterHandler(nullptr), 87u);
    EXPECT_EQ(capture.Take(), std::vector<std::wstring>{L"Logging\\internal_logging(57): [ERROR]: "
                                                        L"[Lumetra::CLogger::RegisterHandler]: " +
                                                        SystemText(87) + L": Cannot Register (NULL) handler\n"});
}

TEST_F(LoggerTest, SecondHandlerIsRefusedAndTheFirstIsTold)
{
    ASSERT_EQ(CLogger::RegisterHandler(&h), 0u);
    EXPECT_EQ(CLogger::RegisterHandler(&h), 0u);
    EXPECT_EQ(CLogger::RegisterHandler(&g), 5023u);
    EXPECT_EQ(h.Take(), Message(kRegister, 67,
                                SystemText(5023) + L": Registered Logging Handler " + Address(&h) +
                                    L" cannot be replaced with " + Address(&g)));
    EXPECT_TRUE(g.Take().empty());
    EXPECT_EQ(Receiver(), "h");
}

TEST_F(LoggerTest, UnregisterNullIsRefused)
{
    ASSERT_EQ(CLogger::RegisterHandler(&h), 0u);
    EXPECT_EQ(CLogger::UnregisterHandler(nullptr), 87u);
    EXPECT_EQ(h.Take(), Message(kUnregister, 92, SystemText(87) + L": Cannot Unregister (NULL) handler"));
    EXPECT_EQ(Receiver(), "h");
}

TEST_F(LoggerTest, UnregisterTheRegisteredHandlerLeavesNone)
{
    ASSERT_EQ(CLogger::RegisterHandler(&h), 0u);
    EXPECT_EQ(UnregisterLoggingHandler(&h), 0u);
    EXPECT_TRUE(h.Take().empty());
    // With none registered the next message brings the default handler back.
    EXPECT_EQ(Receiver(), "default");
}

TEST_F(LoggerTest, UnregisterWhenNoneIsRegisteredTellsTheCaller)
{
    EXPECT_EQ(CLogger::UnregisterHandler(&h), 5023u);
    EXPECT_EQ(h.Take(), Message(kUnregister, 102,
                                SystemText(5023) + L": Request to Unregister Logging handler " + Address(&h) +
                                    L", but none are registered"));
    EXPECT_TRUE(capture.Take().empty());
    EXPECT_EQ(Receiver(), "default");
}

TEST_F(LoggerTest, UnregisterOfAnotherHandlerTellsBothAndKeepsTheRegisteredOne)
{
    ASSERT_EQ(CLogger::RegisterHandler(&h), 0u);
    EXPECT_EQ(CLogger::UnregisterHandler(&g), 5023u);
    const std::wstring text = SystemText(5023) + L": Failed to Unregister Logging handler (requested handler ";
    EXPECT_EQ(h.Take(), Message(kUnregister, 110, text + Address(&g) + L" != registered handler " + Address(&h) + L")"));
    EXPECT_EQ(g.Take(), Message(kUnregister, 115, text + Address(&g) + L" != registered handler " + Address(&g) + L")"));
    EXPECT_EQ(Receiver(), "h");
}

TEST_F(LoggerTest, ConcurrentRegistrationsHaveOneWinner)
{
    constexpr int kThreads = 8;
    for (int round = 0; round < 20; ++round) {
        std::vector<RecordingHandler> handlers(kThreads);
        std::vector<DWORD> results(kThreads);
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                for (ready.fetch_add(1); ready.load() < kThreads;) {
                }
                results[i] = CLogger::RegisterHandler(&handlers[i]);
            });
        }
        for (auto& t : threads) t.join();

        std::vector<int> winners;
        for (int i = 0; i < kThreads; ++i) {
            if (results[i] == 0) winners.push_back(i);
            else EXPECT_EQ(results[i], 5023u);
        }
        ASSERT_EQ(winners.size(), 1u) << "round " << round;
        EXPECT_EQ(CLogger::UnregisterHandler(&handlers[winners[0]]), 0u);
    }
}

TEST_F(LoggerTest, ThrowingHandlerDoesNotReachTheCaller)
{
    struct Thrower : ILoggingHandler {
        void HandleLog(unsigned int, const wchar_t*, const wchar_t*, int, const wchar_t*) override
        {
            throw std::runtime_error("handler failed");
        }
    } thrower;
    ASSERT_EQ(CLogger::RegisterHandler(&thrower), 0u);
    EXPECT_NO_THROW(CLogger::Log(2, L"f", L"fn", 1, L"text"));
    EXPECT_EQ(CLogger::UnregisterHandler(&thrower), 0u);
}
