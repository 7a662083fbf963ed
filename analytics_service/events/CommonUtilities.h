#pragma once
#include "config/StringMaps.h"

#include <string>

namespace Taliro {
namespace Analytics {

class CCommonUtilities {
public:
    // The first of "Hit.UniqueID", "UniqueId", "UniqueIdentifier" that the event holds, even
    // when empty; empty text when it holds none.
    static std::wstring GetUniqueId(const KeyValueMap& event);
};

} // namespace Analytics
} // namespace Taliro
