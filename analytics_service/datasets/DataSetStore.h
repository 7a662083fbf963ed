// The front every event uses for its datasets: answers from one process-wide cache while the
// cached copy is fresh, and loads the dataset from its DLL otherwise. Worker thread only.
#pragma once
#include "config/StringMaps.h"

#include <functional>
#include <string>

class CDataSetStore {
public:
    // 100-nanosecond units since 1970-01-01 00:00 UTC.
    using Clock = std::function<long long()>;
    static long long SystemClock();

    // An empty clock means SystemClock.
    explicit CDataSetStore(long long freshnessSeconds = 180, Clock clock = nullptr);

    // The dataset's pairs; empty when it is neither fresh in the cache nor loadable.
    KeyValueMap GetDataSet(const std::wstring& name);
    bool LoadDataSet(const std::wstring& name, KeyValueMap& dataSet);
    // Records the map with the current time.
    void StoreDataSet(const std::wstring& name, const KeyValueMap& dataSet);

private:
    long long m_freshnessSeconds;
    Clock m_clock;
};
