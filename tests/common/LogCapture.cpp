#include "LogCapture.h"

#include "ETWLogging/LogFront.h"

namespace LogCapture {

namespace {

std::mutex g_lock;
std::vector<Line> g_lines;

class CaptureLogger : public ETWLogging::CLoggingIf {
public:
    DWORD Initialize(const wchar_t*, HINSTANCE, const wchar_t*, ETWLogging::LoggingConfigListenerIf*) override
    {
        return 0;
    }
    DWORD BeginWrite() override { return 0; }
    DWORD Uninitialize() override { return 0; }
    DWORD SetEnabled(bool) override { return 0; }
    bool IsEnabled() override { return true; }
    DWORD LogLevelF(ETWLogging::LogLevel, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override
    {
        return 0;
    }
    DWORD Write(const wchar_t* file, const wchar_t* function, int, ETWLogging::LogLevel level,
                const wchar_t* text) override
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_lines.push_back({level, file ? file : L"", function ? function : L"", text ? text : L""});
        return 0;
    }
    bool IsLevelEnabled(ETWLogging::LogLevel) override { return true; }
    void SetMaxEntries(DWORD) override {}
    DWORD GetMaxEntries() override { return 0; }
    void SetMaxSize(DWORD) override {}
    DWORD GetMaxSize() override { return 0; }
    void SetSeverity(ETWLogging::LogLevel) override {}
    ETWLogging::LogLevel GetSeverity() override { return 1; }
};

class CaptureBuilder : public ETWLogging::CLogBuilderIf {
public:
    bool BuildLogger(const wchar_t*, HINSTANCE, const wchar_t*, DWORD, ETWLogging::CLoggingIf** logger,
                     Lumetra::CRegKey*) override
    {
        if (!logger || *logger) return false;
        *logger = new CaptureLogger();
        return true;
    }
};

} // namespace

void InstallBeforeFirstLog()
{
    static CaptureBuilder builder;
    ETWLogging::SetProcessLogBuilder(&builder);
}

std::vector<Line> Lines()
{
    std::lock_guard<std::mutex> lock(g_lock);
    return g_lines;
}

void Clear()
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_lines.clear();
}

size_t Count(const std::wstring& text, ETWLogging::LogLevel level, const std::wstring& file,
             const std::wstring& function)
{
    size_t count = 0;
    for (const Line& line : Lines()) {
        if (line.text != text) continue;
        if (level && line.level != level) continue;
        if (!file.empty() && line.file != file) continue;
        if (!function.empty() && line.function != function) continue;
        ++count;
    }
    return count;
}

bool Contains(const std::wstring& part)
{
    for (const Line& line : Lines())
        if (line.text.find(part) != std::wstring::npos) return true;
    return false;
}

} // namespace LogCapture
