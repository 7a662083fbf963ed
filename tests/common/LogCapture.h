// Reads back what code under test logged through the process log front. A test program makes
// the capture its process logger before the first log call (LogCapture::InstallBeforeFirstLog,
// typically from a static object), then searches the lines.
#pragma once
#include "ETWLogging/LoggingIf.h"

#include <mutex>
#include <string>
#include <vector>

namespace LogCapture {

struct Line {
    ETWLogging::LogLevel level;
    std::wstring file;
    std::wstring function;
    std::wstring text;
};

// Every level is enabled; lines from any thread are kept in order of arrival.
void InstallBeforeFirstLog();

std::vector<Line> Lines();
void Clear();
// Lines whose text equals `text`, or with `file`/`function` non-empty also match those.
size_t Count(const std::wstring& text, ETWLogging::LogLevel level = 0, const std::wstring& file = L"",
             const std::wstring& function = L"");
// True when some line's text contains `part`.
bool Contains(const std::wstring& part);

} // namespace LogCapture
