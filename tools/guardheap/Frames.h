#pragma once

// Call chains in the checked build's reports: "module+0xoffset" per frame,
// which scripts/symbolize.sh turns into functions and source lines.

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace GuardHeap
{

// Appends "\n  <heading> module+0xoffset ..." for the frames up to the first
// null one; the length written.
inline int describeFrames(char* text, std::size_t capacity, const char* heading, void* const* frames,
                          unsigned count) noexcept
{
    int length = std::snprintf(text, capacity, "\n  %s", heading);
    for (unsigned i = 0; i < count && frames[i] != nullptr && length < static_cast<int>(capacity); ++i)
    {
        HMODULE module = nullptr;
        char path[MAX_PATH] = "?";
        if (::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 static_cast<LPCSTR>(frames[i]), &module))
        {
            ::GetModuleFileNameA(module, path, MAX_PATH);
        }
        const char* name = std::strrchr(path, '\\');
        length += std::snprintf(text + length, capacity - length, " %s+0x%llx", name != nullptr ? name + 1 : path,
                                static_cast<unsigned long long>(static_cast<char*>(frames[i]) -
                                                               reinterpret_cast<char*>(module)));
    }
    return length;
}

} // namespace GuardHeap
