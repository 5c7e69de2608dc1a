#pragma once

// What the process holds, measured the ways that work under Wine as on
// Windows, for tests that prove a load or a library keeps nothing: handles by
// object type, the lowest free TLS slot, the C runtime heap in use and the
// committed private memory, together a Footprint. Executables that include
// this link ntdll.

#include <windows.h>
#include <winternl.h>

#include <malloc.h>

#include <gtest/gtest.h>

#include "support/WaitUntil.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace WardlineTest
{

// ---- The process's handles, by object type --------------------------------
//
// Wine answers GetProcessHandleCount with 0. It does list each process's
// handles through NtQuerySystemInformation(SystemExtendedHandleInformation)
// and names a handle's object type through NtQueryObject, as Windows does.

namespace details
{
constexpr auto kSystemExtendedHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(64);
constexpr auto kObjectTypeInformation = static_cast<OBJECT_INFORMATION_CLASS>(2);
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

struct HandleEntry
{
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};

struct HandleTable
{
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};
} // namespace details

inline std::map<std::string, int> handlesByType()
{
    std::map<std::string, int> counts;
    std::vector<unsigned char> buffer(1 << 20);
    NTSTATUS status = 0;
    for (;;)
    {
        ULONG needed = 0;
        status = NtQuerySystemInformation(details::kSystemExtendedHandleInformation, buffer.data(),
                                          static_cast<ULONG>(buffer.size()), &needed);
        if (status != details::kInfoLengthMismatch)
        {
            break;
        }
        buffer.resize((std::max)(static_cast<std::size_t>(needed) + 4096, buffer.size() * 2));
    }
    if (status < 0)
    {
        ADD_FAILURE() << "NtQuerySystemInformation(SystemExtendedHandleInformation) failed with 0x"
                      << std::hex << status;
        return counts;
    }
    const auto* table = reinterpret_cast<const details::HandleTable*>(buffer.data());
    const ULONG_PTR self = GetCurrentProcessId();
    for (ULONG_PTR i = 0; i < table->count; ++i)
    {
        if (table->entries[i].processId != self)
        {
            continue;
        }
        alignas(8) unsigned char info[1024];
        ULONG length = 0;
        if (NtQueryObject(reinterpret_cast<HANDLE>(table->entries[i].handle), details::kObjectTypeInformation,
                          info, sizeof(info), &length) < 0)
        {
            ++counts["(type unknown)"];
            continue;
        }
        const auto* name = reinterpret_cast<const UNICODE_STRING*>(info);
        std::string type;
        for (USHORT c = 0; c < name->Length / sizeof(wchar_t); ++c)
        {
            type += static_cast<char>(name->Buffer[c]);
        }
        ++counts[type];
    }
    return counts;
}

inline std::string describe(const std::map<std::string, int>& counts)
{
    std::string text;
    for (const auto& [type, count] : counts)
    {
        text += type + "=" + std::to_string(count) + " ";
    }
    return text;
}

// How much each type grew from `before` to `after` beyond `slack`, as text;
// empty when none did.
inline std::string handleGrowth(const std::map<std::string, int>& before,
                                const std::map<std::string, int>& after, int slack)
{
    std::string grown;
    for (const auto& [type, count] : after)
    {
        const auto found = before.find(type);
        const int by = count - (found != before.end() ? found->second : 0);
        if (by > slack)
        {
            grown += type + " +" + std::to_string(by) + " ";
        }
    }
    return grown;
}

// The lowest free TLS slot: it moves up when a load takes a slot and its
// unload does not give it back.
inline DWORD lowestFreeTlsSlot()
{
    const DWORD slot = TlsAlloc();
    TlsFree(slot);
    return slot;
}

// Bytes in use on the C runtime's heap, which the libraries share with us.
inline std::size_t crtHeapInUse()
{
    std::size_t used = 0;
    _HEAPINFO entry{};
    while (_heapwalk(&entry) == _HEAPOK)
    {
        used += entry._useflag == _USEDENTRY ? entry._size : 0;
    }
    return used;
}

// Committed private memory of the process: what Windows reports as private
// bytes. Wine leaves PrivateUsage of GetProcessMemoryInfo at 0, so the
// address space is walked instead (every heap, stack and private mapping).
inline std::size_t privateCommittedBytes()
{
    std::size_t total = 0;
    MEMORY_BASIC_INFORMATION region{};
    const unsigned char* address = nullptr;
    while (VirtualQuery(address, &region, sizeof(region)) == sizeof(region))
    {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
        {
            total += region.RegionSize;
        }
        const unsigned char* next = static_cast<const unsigned char*>(region.BaseAddress) + region.RegionSize;
        if (next <= address)
        {
            break;
        }
        address = next;
    }
    return total;
}

// ---- What the process holds at one moment, before and after a load ----------

struct Footprint
{
    std::map<std::string, int> handles;
    DWORD lowestFreeTlsSlot = 0;
    std::size_t crtHeap = 0;
    std::size_t privateBytes = 0;

    static Footprint now()
    {
        return {handlesByType(), WardlineTest::lowestFreeTlsSlot(), crtHeapInUse(), privateCommittedBytes()};
    }

    // The threads a load started (the bus's idle workers among them) end on
    // their own a moment after it, and their handles go with them: measured
    // again while handles are above `before`, for up to five seconds. What a
    // real leak keeps stays there.
    static Footprint settledAfter(const Footprint& before, int handleSlack)
    {
        Footprint after = now();
        waitUntil(
            [&]
            {
                after = now();
                return handleGrowth(before.handles, after.handles, handleSlack).empty();
            },
            std::chrono::milliseconds(5000), std::chrono::milliseconds(100));
        return after;
    }
};

inline std::string describe(const Footprint& before, const Footprint& after)
{
    return "  handles before " + describe(before.handles) + "\n  handles after  " + describe(after.handles) +
           "\n  C runtime heap " + std::to_string(before.crtHeap) + " -> " + std::to_string(after.crtHeap) +
           " bytes; private bytes " + std::to_string(before.privateBytes) + " -> " +
           std::to_string(after.privateBytes) + "; lowest free TLS slot " +
           std::to_string(before.lowestFreeTlsSlot) + " -> " + std::to_string(after.lowestFreeTlsSlot) + "\n";
}

// Flat: no handle type grew beyond `handleSlack` (what a lock's first
// contention may add), no TLS slot is kept, and neither the heap nor private
// memory grew by the slack given, which what a few bytes a cycle would add up
// to exceeds.
inline void expectFlat(const Footprint& before, const Footprint& after, int handleSlack,
                       std::size_t heapSlack, std::size_t privateSlack)
{
    EXPECT_EQ("", handleGrowth(before.handles, after.handles, handleSlack)) << "handles grew\n"
                                                                            << describe(before, after);
    EXPECT_EQ(before.lowestFreeTlsSlot, after.lowestFreeTlsSlot) << "a TLS slot is kept";
    EXPECT_LT(after.crtHeap, before.crtHeap + heapSlack) << "C runtime heap\n" << describe(before, after);
    EXPECT_LT(after.privateBytes, before.privateBytes + privateSlack) << "private bytes\n"
                                                                      << describe(before, after);
}

} // namespace WardlineTest
