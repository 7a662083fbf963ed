// Times a scope and writes one machine-readable line at level 1 when stopped.
#pragma once
#include <cstdint>
#include <string>

namespace Taliro {
namespace internal {

class PerfTimer {
public:
    explicit PerfTimer(std::wstring name);
    ~PerfTimer();
    PerfTimer(const PerfTimer&) = delete;
    PerfTimer& operator=(const PerfTimer&) = delete;

    void stop();
    bool stopped() const { return m_stopped; }

    // Nanoseconds of the performance counter.
    static int64_t now();
    // (c / f) x 1e9 + (c mod f) x 1e9 / f, in integers.
    static int64_t toNanoseconds(int64_t counter, int64_t frequency);

private:
    int64_t m_start;
    std::wstring m_name;
    bool m_stopped = false;
};

} // namespace internal
} // namespace Taliro
