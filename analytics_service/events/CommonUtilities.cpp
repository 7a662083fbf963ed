#include "events/CommonUtilities.h"

#include "ETWLogging/LogFront.h"

namespace Taliro {
namespace Analytics {

std::wstring CCommonUtilities::GetUniqueId(const KeyValueMap& event)
{
    for (const wchar_t* key : {L"Hit.UniqueID", L"UniqueId", L"UniqueIdentifier"}) {
        auto found = event.find(key);
        if (found != event.end()) return found->second;
    }
    if (ETWLogging::IsLogLevelEnabled(2))
        ETWLogging::Log(2, L"CommonUtilities", L"Taliro::Analytics::CCommonUtilities::GetUniqueId", __LINE__,
                        L"Unable to retrieve the unique id");
    return std::wstring();
}

} // namespace Analytics
} // namespace Taliro
