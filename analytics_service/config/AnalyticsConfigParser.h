// Readers that turn members of the configuration file into strings, lists and maps. Every value's
// type is checked before it is read: a member of another type reads as empty, never faults.
#pragma once
#include "config/RapidJson.h"
#include "config/StringMaps.h"

#include <string>
#include <vector>

namespace Taliro {

class AnalyticsConfigParser {
public:
    static std::vector<std::wstring> GetListFromSubMember(const Analytics::WValue& value,
                                                          const std::wstring& memberName);
    static std::wstring GetWStringFromSubMember(const Analytics::WValue& value, const std::wstring& memberName);
    // String elements of a non-empty array, in order; anything else gives an empty list.
    static std::vector<std::wstring> GetListFromArray(const Analytics::WValue& value);
    // String members of an object (the first of a repeated name wins); anything else gives an empty map.
    static KeyValueMap GetMapFromObject(const Analytics::WValue& value);
};

} // namespace Taliro
