// Appends records to the analytics text log from a process of its own, so a test can run
// several writers at once.
//   textlog_appender <key path under HKCU> <folder> <count> <fill character>
// Each record is a transports record whose data is 3000 copies of the fill character.
#include "logging/AnalyticsLogger.h"

#include <cwchar>
#include <memory>
#include <string>

using namespace Taliro::Analytics;

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5)
        return 2;
    AnalyticsLogLocation location;
    location.root = HKEY_CURRENT_USER;
    location.keyPath = argv[1];
    location.folder = argv[2];
    CAnalyticsLoggerHelper::SetInstance(std::make_shared<CAnalyticsLoggerHelper>(location));
    const int count = _wtoi(argv[3]);
    const std::wstring data(3000, argv[4][0]);
    for (int i = 0; i < count; ++i)
        CAnalyticsLogger::LogRecord(TransportsLog, argv[4], {L"ga_legacy"}, Success, data, L"");
    return 0;
}
