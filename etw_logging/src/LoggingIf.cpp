#include "ETWLogging/LoggingIf.h"

#include <cstdio>

namespace ETWLogging {

namespace {
constexpr int kFixedLevelBufferChars = 4160;
}

DWORD CLoggingIf::LogFixedLevelV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                                 const wchar_t* format, va_list args)
{
    wchar_t buffer[kFixedLevelBufferChars];
    buffer[0] = L'\0';
    if (format) _vsnwprintf(buffer, kFixedLevelBufferChars - 1, format, args);
    // A text that does not fit is left unterminated by the formatter.
    buffer[kFixedLevelBufferChars - 1] = L'\0';
    return Write(file, function, line, level, buffer);
}

#define TELVANA_FIXED_LEVEL(name, level)                                                              \
    DWORD CLoggingIf::name(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...) \
    {                                                                                                 \
        va_list args;                                                                                 \
        va_start(args, format);                                                                       \
        DWORD result = LogFixedLevelV(level, file, function, line, format, args);                     \
        va_end(args);                                                                                 \
        return result;                                                                                \
    }

TELVANA_FIXED_LEVEL(LogNormal, 1)
TELVANA_FIXED_LEVEL(LogError, 4)
TELVANA_FIXED_LEVEL(LogWarning, 2)
TELVANA_FIXED_LEVEL(LogCritical, 5)
TELVANA_FIXED_LEVEL(LogInformation, 3)

#undef TELVANA_FIXED_LEVEL

} // namespace ETWLogging
