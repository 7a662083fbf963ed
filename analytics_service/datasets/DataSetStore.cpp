#include "datasets/DataSetStore.h"
#include "datasets/PluginLoader.h"

#include "ETWLogging/LogFront.h"

#include <chrono>
#include <unordered_map>
#include <utility>

namespace {

struct CachedDataSet {
    KeyValueMap values;
    long long loadTime = 0;
};

// Shared by every event of the process; entries are replaced, never removed.
std::unordered_map<std::wstring, CachedDataSet>& Cache()
{
    static std::unordered_map<std::wstring, CachedDataSet> cache;
    return cache;
}

constexpr long long kTicksPerSecond = 10000000;

} // namespace

long long CDataSetStore::SystemClock()
{
    using Ticks = std::chrono::duration<long long, std::ratio<1, kTicksPerSecond>>;
    return std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch()).count();
}

CDataSetStore::CDataSetStore(long long freshnessSeconds, Clock clock)
    : m_freshnessSeconds(freshnessSeconds), m_clock(clock ? std::move(clock) : Clock(&CDataSetStore::SystemClock))
{
}

KeyValueMap CDataSetStore::GetDataSet(const std::wstring& name)
{
    const auto cached = Cache().find(name);
    if (cached != Cache().end() && m_clock() - cached->second.loadTime < m_freshnessSeconds * kTicksPerSecond)
        return cached->second.values;
    KeyValueMap dataSet;
    if (!LoadDataSet(name, dataSet))
        return KeyValueMap();
    StoreDataSet(name, dataSet);
    return dataSet;
}

bool CDataSetStore::LoadDataSet(const std::wstring& name, KeyValueMap& dataSet)
{
    Taliro::PluginLoader loader;
    if (loader.AttachDataSet(name, dataSet))
        return true;
    if (ETWLogging::IsLogLevelEnabled(4))
        ETWLogging::Log(4, L"CAEvent", L"CDataSetStore::LoadDataSet", __LINE__, L"Failed to load dataset %s",
                        name.c_str());
    return false;
}

void CDataSetStore::StoreDataSet(const std::wstring& name, const KeyValueMap& dataSet)
{
    CachedDataSet& entry = Cache()[name];
    entry.values = dataSet;
    entry.loadTime = m_clock();
}
