#include "Lumetra/Placeholders.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstdlib>
#include <mutex>

#include "Lumetra/SecureDll.h"

namespace Lumetra {
namespace placeholders {

namespace {

// Parts of the executable's path, split once per process.
struct ExecutablePathParts {
    wchar_t drive[4] = {};
    wchar_t folder[257] = {};
    wchar_t name[257] = {};
    wchar_t extension[257] = {};
};

enum PathPart : unsigned { kDrive = 1, kFolder = 2, kName = 4, kExtension = 8 };

const ExecutablePathParts& GetExecutablePathParts()
{
    static ExecutablePathParts parts;
    static std::once_flag once;
    std::call_once(once, [] {
        wchar_t path[MAX_PATH] = {};
        DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        // A full buffer means the name was cut; a cut path would name the wrong place.
        if (length == 0 || length >= MAX_PATH) return;
        if (_wsplitpath_s(path, parts.drive, 4, parts.folder, 257, parts.name, 257, parts.extension, 257) != 0)
            parts = ExecutablePathParts();
    });
    return parts;
}

std::wstring ExecutablePath(unsigned mask)
{
    const ExecutablePathParts& parts = GetExecutablePathParts();
    std::wstring value;
    if (mask & kDrive) value += parts.drive;
    if (mask & kFolder) value += parts.folder;
    if (mask & kName) value += parts.name;
    if (mask & kExtension) value += parts.extension;
    return value;
}

std::wstring KnownFolder(const Sources& sources, REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    HRESULT hr = sources.shell->GetKnownFolderPath(id, 0, nullptr, &path);
    std::wstring value;
    if (SUCCEEDED(hr) && path) value = path;
    CoTaskMemFreeAndClear(path);
    return value;
}

std::wstring Platform(const Sources& sources)
{
    switch (sources.osInfo->GetOSFlag()) {
    case 0: return L"win32";
    case 1: return L"x64";
    case 2: return L"PlatformUnknown";
    default: return std::wstring();
    }
}

std::vector<Entry> BuildEntries()
{
    std::vector<Entry> entries;
    entries.push_back({L"$(OS.Platform)", Platform});
    entries.push_back({L"$(App.Binary)", [](const Sources&) { return ExecutablePath(kName | kExtension); }});
    entries.push_back({L"$(App.Name)", [](const Sources&) { return ExecutablePath(kName); }});
    entries.push_back({L"$(App.Folder)", [](const Sources&) { return ExecutablePath(kDrive | kFolder); }});
    entries.push_back(
        {L"$(App.Path)", [](const Sources&) { return ExecutablePath(kDrive | kFolder | kName | kExtension); }});
    struct Folder {
        const wchar_t* key;
        const KNOWNFOLDERID* id;
    };
    static const Folder folders[] = {
        {L"$(FOLDERID_Profile)", &FOLDERID_Profile},
        {L"$(FOLDERID_Desktop)", &FOLDERID_Desktop},
        {L"$(FOLDERID_Documents)", &FOLDERID_Documents},
        {L"$(FOLDERID_LocalAppDataLow)", &FOLDERID_LocalAppDataLow},
        {L"$(FOLDERID_LocalAppData)", &FOLDERID_LocalAppData},
        {L"$(FOLDERID_RoamingAppData)", &FOLDERID_RoamingAppData},
        {L"$(FOLDERID_ProgramData)", &FOLDERID_ProgramData},
        {L"$(FOLDERID_ProgramFiles)", &FOLDERID_ProgramFiles},
        {L"$(FOLDERID_ProgramFilesX64)", &FOLDERID_ProgramFilesX64},
        {L"$(FOLDERID_ProgramFilesX86)", &FOLDERID_ProgramFilesX86},
        {L"$(FOLDERID_ProgramFilesCommon)", &FOLDERID_ProgramFilesCommon},
        {L"$(FOLDERID_ProgramFilesCommonX64)", &FOLDERID_ProgramFilesCommonX64},
        {L"$(FOLDERID_ProgramFilesCommonX86)", &FOLDERID_ProgramFilesCommonX86},
    };
    for (const Folder& folder : folders) {
        const KNOWNFOLDERID* id = folder.id;
        entries.push_back({folder.key, [id](const Sources& sources) { return KnownFolder(sources, *id); }});
    }
    return entries;
}

} // namespace

const std::vector<Entry>& StandardEntries()
{
    static const std::vector<Entry> entries = BuildEntries();
    return entries;
}

bool FindPlaceholder(std::wstring::const_iterator from, std::wstring::const_iterator end,
                     std::wstring::const_iterator& first, std::wstring::const_iterator& last)
{
    auto at = from;
    while (at != end) {
        if (*at != L'$' || at + 1 == end || at[1] != L'(') {
            ++at;
            continue;
        }
        auto inner = at + 2;
        auto stop = inner;
        while (stop != end && *stop != L'$' && *stop != L'(' && *stop != L')') ++stop;
        if (stop != inner && stop != end && *stop == L')') {
            first = at;
            last = stop + 1;
            return true;
        }
        // No match can start before `stop`: nothing between holds a "$".
        at = stop == inner ? at + 1 : stop;
    }
    return false;
}

std::wstring Expand(const std::wstring& text, const std::function<std::wstring(const std::wstring&)>& lookup,
                    unsigned long long& found, unsigned long long& resolved)
{
    found = 0;
    resolved = 0;
    std::wstring result;
    std::wstring::const_iterator rest = text.cbegin();
    const std::wstring::const_iterator end = text.cend();
    std::wstring::const_iterator matchBegin, matchEnd;
    while (FindPlaceholder(rest, end, matchBegin, matchEnd)) {
        ++found;
        const std::wstring key(matchBegin, matchEnd);
        std::wstring value = lookup(key);
        if (value.empty()) value = key;
        if (value != key) ++resolved;
        result.append(rest, matchBegin);
        result += value;
        rest = matchEnd;
    }
    result.append(rest, end);
    return result;
}

} // namespace placeholders
} // namespace Lumetra
