// Appends records to the analytics text log from a process of its own, so a test can run
// several writers at once.
//   textlog_appender <registry redirection prefix under HKCU> <folder> <count> <fill character>
// Each record is a transports record whose data is 3000 copies of the fill character.
#include "logging/AnalyticsLogger.h"
#include "registry/CAUtils.h"

using namespace Taliro::Analytics;

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5)
        return 2;
    SetRegistryRedirection(HKEY_CURRENT_USER, argv[1]);
    CAnalyticsLoggerHelper::SetInstance(std::make_shared<CAnalyticsLoggerHelper>(argv[2]));
    const std::wstring data(3000, argv[4][0]);
    for (int i = _wtoi(argv[3]); i > 0; --i)
        CAnalyticsLogger::LogRecord(TransportsLog, argv[4], {L"ga_legacy"}, Success, data, L"");
    return 0;
}
