#pragma once

#include <windows.h>

#include <chrono>

namespace WardlineTest
{

// Polls until the condition holds; false after the time-out. Generous
// time-outs: the machines are shared. A costly condition asks less often.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000),
               std::chrono::milliseconds interval = std::chrono::milliseconds(1))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > end)
        {
            return false;
        }
        Sleep(static_cast<DWORD>(interval.count()));
    }
    return true;
}

// A check that something does not happen (a second delivery, a callback
// after its withdrawal) has no outcome to wait for: what would come late is
// given this long to show before the check. It catches what follows at once,
// which is how such faults show, and costs the suite no more than the window.
inline void allowLateArrivals(std::chrono::milliseconds window = std::chrono::milliseconds(100))
{
    Sleep(static_cast<DWORD>(window.count()));
}

} // namespace WardlineTest
