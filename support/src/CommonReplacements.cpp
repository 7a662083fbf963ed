#include "Lumetra/CommonReplacements.h"

#include "Lumetra/Placeholders.h"

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

struct Tables {
    std::unordered_map<std::wstring, placeholders::Provider> providers;

    Tables()
    {
        for (const placeholders::Entry& entry : placeholders::StandardEntries())
            providers[entry.token] = entry.value;
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
        const placeholders::Sources sources{m_impl->shell.get(), m_impl->osInfo.get()};
        std::wstring result = placeholders::Expand(
            text,
            [&](const std::wstring& key) {
                auto extraEntry = extra.find(key);
                if (extraEntry != extra.end()) return extraEntry->second ? extraEntry->second() : std::wstring();
                auto entry = tables.providers.find(key);
                return entry != tables.providers.end() ? entry->second(sources) : std::wstring();
            },
            m_impl->found, m_impl->resolved);
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
