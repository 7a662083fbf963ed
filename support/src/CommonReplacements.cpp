#include "Lumetra/CommonReplacements.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstdlib>
#include <mutex>

#include "Lumetra/SecureDll.h"

namespace Lumetra {

class CommonReplacements::_Impl {
public:
    _Impl(std::shared_ptr<ShlObjAPI> shell, std::shared_ptr<OSInfo> osInfo)
        : shell(std::move(shell)), osInfo(std::move(osInfo))
    {
    }

    std::shared_ptr<ShlObjAPI> shell;
    std::shared_ptr<OSInfo> osInfo;
    unsigned long long found = 0;
    unsigned long long resolved = 0;
};

namespace {

using Provider = std::function<std::wstring(CommonReplacements::_Impl&)>;

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

std::wstring KnownFolder(CommonReplacements::_Impl& impl, REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    HRESULT hr = impl.shell->GetKnownFolderPath(id, 0, nullptr, &path);
    std::wstring value;
    if (SUCCEEDED(hr) && path) value = path;
    CoTaskMemFreeAndClear(path);
    return value;
}

std::wstring Platform(CommonReplacements::_Impl& impl)
{
    switch (impl.osInfo->GetOSFlag()) {
    case 0: return L"win32";
    case 1: return L"x64";
    case 2: return L"PlatformUnknown";
    default: return std::wstring();
    }
}

// Finds the leftmost match of \$\([^$()]+\) in [from, end): "$(", one or more characters that
// are none of "$", "(" and ")", then ")". A hand-written scan, because a backtracking regex engine
// recurses per character and a long configured text could exhaust the stack.
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

struct Tables {
    std::unordered_map<std::wstring, Provider> providers;

    Tables()
    {
        providers[L"$(OS.Platform)"] = Platform;
        providers[L"$(App.Binary)"] = [](CommonReplacements::_Impl&) { return ExecutablePath(kName | kExtension); };
        providers[L"$(App.Name)"] = [](CommonReplacements::_Impl&) { return ExecutablePath(kName); };
        providers[L"$(App.Folder)"] = [](CommonReplacements::_Impl&) { return ExecutablePath(kDrive | kFolder); };
        providers[L"$(App.Path)"] = [](CommonReplacements::_Impl&) {
            return ExecutablePath(kDrive | kFolder | kName | kExtension);
        };
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
            providers[folder.key] = [id](CommonReplacements::_Impl& impl) { return KnownFolder(impl, *id); };
        }
    }
};

// Built on first use, so that a caller running during another unit's static initialisation
// still finds it complete.
const Tables& GetTables()
{
    static const Tables tables;
    return tables;
}

// Forces the tables to be built during static initialisation rather than in the first call.
const Tables& g_tables = GetTables();

} // namespace

CommonReplacements::CommonReplacements(std::shared_ptr<ShlObjAPI> shell, std::shared_ptr<OSInfo> osInfo)
{
    if (!shell) shell = std::make_shared<ShlObjAPI>();
    if (!osInfo) osInfo = std::make_shared<OSInfo>();
    m_impl = std::make_shared<_Impl>(std::move(shell), std::move(osInfo));
}

CommonReplacements::~CommonReplacements() = default;

bool CommonReplacements::ReplaceWith(std::wstring& text, const ExtraProviders& extra)
{
    m_impl->found = 0;
    m_impl->resolved = 0;
    try {
        const Tables& tables = GetTables();
        std::wstring result;
        std::wstring::const_iterator rest = text.cbegin();
        const std::wstring::const_iterator end = text.cend();
        std::wstring::const_iterator matchBegin, matchEnd;
        while (FindPlaceholder(rest, end, matchBegin, matchEnd)) {
            ++m_impl->found;
            const std::wstring key(matchBegin, matchEnd);
            std::wstring value;
            auto extraEntry = extra.find(key);
            if (extraEntry != extra.end()) {
                if (extraEntry->second) value = extraEntry->second();
            } else {
                auto entry = tables.providers.find(key);
                if (entry != tables.providers.end()) value = entry->second(*m_impl);
            }
            if (value.empty()) value = key;
            if (value != key) ++m_impl->resolved;
            result.append(rest, matchBegin);
            result += value;
            rest = matchEnd;
        }
        result.append(rest, end);
        text.swap(result);
        return true;
    } catch (...) {
        // A provider or the matcher failed (out of memory, a throwing extra provider): the
        // caller keeps its text rather than a half-expanded one.
        return false;
    }
}

bool CommonReplacements::Replace(std::wstring& text)
{
    return ReplaceWith(text, ExtraProviders());
}

std::pair<unsigned long long, unsigned long long> CommonReplacements::GetStatistics()
{
    return {m_impl->found, m_impl->resolved};
}

} // namespace Lumetra
