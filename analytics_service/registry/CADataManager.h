// The last full state of each event stream, kept enciphered in the registry under
// SOFTWARE\Orvane\OvTelvana\Cached (one JSON text per cache name), and the delta of an event
// against it. Stateless: make one on the stack per event.
//
// The cache name is the event's unique id. Callers must ask CanCache(name) first: when it says
// no (an event without a unique id, or an id that no value name holds whole), the event gets no
// delta and nothing is saved. All such events would otherwise share one cache and
// suppress each other's values. Load, save and delete refuse such names themselves too.
#pragma once
#include "config/StringMaps.h"

#include <windows.h>

#include <string>
#include <vector>

namespace Taliro {
namespace Analytics {

inline const std::wstring kCachedRegistryPath = L"SOFTWARE\\Orvane\\OvTelvana\\Cached";

} // namespace Analytics
} // namespace Taliro

class CCADataManager {
public:
    virtual ~CCADataManager() = default;

    // Entries of current that are new or changed, plus every always-sent key current holds.
    // delta is added to, not cleared. Always 0.
    virtual DWORD ComputeDelta(const KeyValueMap& cached, const KeyValueMap& current, KeyValueMap& delta,
                               const std::vector<std::wstring>& alwaysSentKeys);
    virtual DWORD ComputeDelta(const KeyValueMap& cached, const KeyValueMap& current, KeyValueMap& delta);
    // current, plus the cached entries whose key current lacks. Always 0.
    virtual DWORD MergeMaps(const KeyValueMap& cached, const KeyValueMap& current, KeyValueMap& merged);
    // 0, or 87 when the cache is missing or not a JSON object (map then stays as it was).
    virtual DWORD LoadCachedMap(const std::wstring& name, KeyValueMap& map);
    virtual DWORD LoadCachedText(const std::wstring& name, std::wstring& text);
    // The JSON text is stored with every non-ASCII character escaped, so that no ANSI code page
    // can alter a value on its way into the registry.
    virtual DWORD SaveCachedMap(const std::wstring& name, const KeyValueMap& map);
    virtual DWORD SaveCachedText(const std::wstring& name, const std::wstring& text);
    virtual DWORD DeleteCachedValue(const std::wstring& name);

    // False for an empty name, for one with an embedded NUL (the registry ends the name there, so
    // it would share the cache of its first part), and for one that does not survive narrowing to
    // the ANSI code page (peers name the values through the ANSI functions).
    static bool CanCache(const std::wstring& name);
    // The refusal Load, Save and Delete give for such a name: 87 empty, 123 embedded NUL, 1113
    // not narrowable.
    static DWORD CheckCacheName(const std::wstring& name);
};
