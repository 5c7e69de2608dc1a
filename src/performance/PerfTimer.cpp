#include "performance/PerfTimer.h"

#include "Logging/Log.h"

#include <windows.h>
#include <realtimeapiset.h>

namespace Norvan
{
namespace internal
{

PerfTimer::PerfTimer(const std::wstring& name) : start_(0), name_(name), stopped_(false)
{
    start_ = now();
}

PerfTimer::~PerfTimer()
{
    try
    {
        stop();
    }
    catch (...)
    {
    }
}

std::uint64_t PerfTimer::now() noexcept
{
    ULONGLONG hundredNanoseconds = 0;
    ::QueryUnbiasedInterruptTime(&hundredNanoseconds);
    return hundredNanoseconds / 10000;
}

void PerfTimer::stop()
{
    if (stopped_)
    {
        return;
    }
    const std::uint64_t end = now();
    stopped_ = true;
    WL_LOG(ETWLogging::LevelNormal, L"performance\\PerfTimer", L"Norvan::internal::PerfTimer::stop",
           L"M12NPerfTimer|%ls|%lld|%lld|%lld", name_.c_str(), static_cast<long long>(start_),
           static_cast<long long>(end), static_cast<long long>(end - start_));
}

} // namespace internal
} // namespace Norvan
