#pragma once

#include <windows.h>

#include <chrono>

namespace WardlineTest
{

// Polls until the condition holds; false after the time-out. Generous
// time-outs: the machines are shared.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > end)
        {
            return false;
        }
        Sleep(1);
    }
    return true;
}

} // namespace WardlineTest
