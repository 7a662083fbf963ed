#include "performance/PerfTimer.h"

#include "ModuleStatus.h"

#include <windows.h>

namespace Taliro {
namespace internal {

namespace {
constexpr const wchar_t* kSource = L"performance\\PerfTimer";
}

int64_t PerfTimer::toNanoseconds(int64_t counter, int64_t frequency)
{
    if (frequency <= 0) return 0;
    return (counter / frequency) * 1000000000LL + (counter % frequency) * 1000000000LL / frequency;
}

int64_t PerfTimer::now()
{
    LARGE_INTEGER counter{}, frequency{};
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return toNanoseconds(counter.QuadPart, frequency.QuadPart);
}

PerfTimer::PerfTimer(std::wstring name) : m_start(now()), m_name(std::move(name)) {}

PerfTimer::~PerfTimer()
{
    try {
        stop();
    } catch (...) {
    }
    m_name.clear();
}

void PerfTimer::stop()
{
    if (m_stopped) return;
    m_stopped = true;
    const int64_t end = now();
    TALIRO_LOG(1, kSource, L"Taliro::internal::PerfTimer::stop", L"M12NPerfTimer|%ls|%lld|%lld|%lld", m_name.c_str(),
               static_cast<long long>(m_start), static_cast<long long>(end), static_cast<long long>(end - m_start));
}

} // namespace internal
} // namespace Taliro
