#include "Logging/Severity.h"

#include <atomic>

namespace ETWLogging
{

namespace
{
std::atomic<DWORD> g_currentSeverity{3};
} // namespace

DWORD ExchangeCurrentSeverity(DWORD severity) noexcept
{
    return g_currentSeverity.exchange(severity);
}

DWORD CurrentSeverity() noexcept
{
    return g_currentSeverity.load();
}

} // namespace ETWLogging
