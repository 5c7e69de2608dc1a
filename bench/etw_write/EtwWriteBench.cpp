// Heap allocations per log call that the ETW writer sends, for messages of
// several lengths and kinds, through the module's WriteLog. The writer's ETW
// functions are replaced by a stand-in that only looks at the event, so
// nothing leaves the process.
//
// How allocations are counted: this program's import table entries for
// malloc, calloc and realloc (msvcrt.dll) are pointed at counting wrappers.
// Every allocation of this program's own code goes through them: the
// module's code, which is linked in, and the C++ library, whose operator new
// calls malloc. Allocations that system DLLs make inside their own calls are
// not seen.
//
// Baseline, measured in the same run: copying each message into a
// std::wstring, which must allocate for all but the shortest; it shows that
// the counter sees allocations at all.
//
// Prints one parseable line:
//   BENCH etw_write_allocs value=<most allocations per write, messages under
//   2080 characters> baseline=<allocations per copy> ratio=<r> target=<=0 holds=<yes|no>

#include "ImportPatch.h"

#include "Logging/ETWLogging.h"
#include "Logging/Log.h"
#include "Logging/LogManager.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace
{

std::atomic<long> g_allocations{0};

using MallocFn = void* (*)(std::size_t);
using CallocFn = void* (*)(std::size_t, std::size_t);
using ReallocFn = void* (*)(void*, std::size_t);
MallocFn g_malloc = nullptr;
CallocFn g_calloc = nullptr;
ReallocFn g_realloc = nullptr;

void* CountingMalloc(std::size_t size)
{
    ++g_allocations;
    return g_malloc(size);
}

void* CountingCalloc(std::size_t count, std::size_t size)
{
    ++g_allocations;
    return g_calloc(count, size);
}

void* CountingRealloc(void* block, std::size_t size)
{
    ++g_allocations;
    return g_realloc(block, size);
}

bool InstallCounters()
{
    HMODULE self = GetModuleHandleW(nullptr);
    g_malloc = reinterpret_cast<MallocFn>(
        HostTools::PatchImport(self, "msvcrt.dll", "malloc", reinterpret_cast<void*>(&CountingMalloc)));
    g_calloc = reinterpret_cast<CallocFn>(
        HostTools::PatchImport(self, "msvcrt.dll", "calloc", reinterpret_cast<void*>(&CountingCalloc)));
    g_realloc = reinterpret_cast<ReallocFn>(
        HostTools::PatchImport(self, "msvcrt.dll", "realloc", reinterpret_cast<void*>(&CountingRealloc)));
    return g_malloc != nullptr && g_calloc != nullptr && g_realloc != nullptr;
}

// Looks at every event as a consumer would, and drops it.
class DroppingEtwAPI : public ETWLogging::EtwAPI
{
public:
    ULONG RegisterTraceGuidsW(WMIDPREQUEST, PVOID, LPCGUID, ULONG, PTRACE_GUID_REGISTRATION, LPCWSTR, LPCWSTR,
                              PTRACEHANDLE handle) override
    {
        *handle = 1;
        return ERROR_SUCCESS;
    }
    ULONG UnregisterTraceGuids(TRACEHANDLE) override { return ERROR_SUCCESS; }
    ULONG TraceEvent(TRACEHANDLE, PEVENT_TRACE_HEADER header) override
    {
        const auto* event = reinterpret_cast<const ETWLogging::EtwEvent*>(header);
        events += 1;
        bytes += event->fields[0].Length + event->fields[1].Length;
        return ERROR_SUCCESS;
    }
    long events = 0;
    unsigned long long bytes = 0;
};

struct Sample
{
    const char* what;
    std::wstring message;
    const wchar_t* function;
    bool underLimit;
};

} // namespace

int main()
{
    constexpr int kWrites = 2000;
    if (!InstallCounters())
    {
        std::printf("bench_etw_write: cannot count allocations (malloc, calloc or realloc not imported)\n");
        return 1;
    }

    auto api = std::make_shared<DroppingEtwAPI>();
    auto* writer = new ETWLogging::CETWLogging(api);
    if (writer->InitializeEx(nullptr, L"Wardline", GetModuleHandleW(nullptr), nullptr, nullptr) != 0)
    {
        std::printf("bench_etw_write: the writer cannot be initialised\n");
        return 1;
    }
    ETWLogging::SetLogProperties(nullptr, L"Wardline", nullptr, nullptr, 0);
    delete ETWLogging::CLogManager::ReplaceImplementationForTest(writer);

    const wchar_t* typical = L"Norvan::WardlineImpl::handlerInternalState";
    const std::wstring longName = std::wstring(L"Norvan::") + std::wstring(200, L'N') + L"::f";
    const std::vector<Sample> samples = {
        {"empty", L"", typical, true},
        {"16 ASCII", std::wstring(16, L'a'), typical, true},
        {"200 ASCII", std::wstring(200, L'a'), typical, true},
        {"1386 ASCII", std::wstring(1386, L'a'), typical, true},
        {"2079 ASCII", std::wstring(2079, L'a'), typical, true},
        {"2079 three-byte UTF-8", std::wstring(2079, L'\x20AC'), typical, true},
        {"2079 surrogate pairs",
         []
         {
             std::wstring text;
             for (int i = 0; i < 1039; ++i)
             {
                 text += L"\xD83D\xDE00";
             }
             return text + L"a";
         }(),
         typical, true},
        {"3000 ASCII, cut", std::wstring(3000, L'a'), typical, false},
        {"16 ASCII, 212-char function name", std::wstring(16, L'a'), longName.c_str(), false},
    };

    long worst = 0;
    long baselineAllocations = 0;
    long baselineCopies = 0;
    for (const Sample& sample : samples)
    {
        const long eventsBefore = api->events;
        const long before = g_allocations.load();
        for (int i = 0; i < kWrites; ++i)
        {
            WL_LOG(ETWLogging::LevelError, L"bench", sample.function, L"%s", sample.message.c_str());
        }
        const long allocations = g_allocations.load() - before;
        const long sent = api->events - eventsBefore;
        if (sent != kWrites)
        {
            std::printf("bench_etw_write: %ld of %d writes reached TraceEvent for \"%s\"\n", sent, kWrites,
                        sample.what);
            return 1;
        }
        const long copiesBefore = g_allocations.load();
        for (int i = 0; i < kWrites; ++i)
        {
            std::wstring copy(sample.message);
            if (copy.size() == 1)
            {
                std::printf("%ls", copy.c_str());
            }
        }
        const long copyAllocations = g_allocations.load() - copiesBefore;
        std::printf("%-36s %.2f allocations per write (copy: %.2f)\n", sample.what,
                    static_cast<double>(allocations) / kWrites,
                    static_cast<double>(copyAllocations) / kWrites);
        if (sample.underLimit)
        {
            worst = std::max(worst, allocations);
            baselineAllocations += copyAllocations;
            baselineCopies += kWrites;
        }
    }

    const double value = static_cast<double>(worst) / kWrites;
    const double baseline = static_cast<double>(baselineAllocations) / baselineCopies;
    const double ratio = baseline > 0 ? value / baseline : 0;
    // A counter that saw no copy allocate proves nothing.
    const bool holds = value == 0 && baseline > 0;
    std::printf("counted: malloc/calloc/realloc of this program's code via its import table; %lu event bytes "
                "looked at\n",
                static_cast<unsigned long>(api->bytes));
    std::printf("BENCH etw_write_allocs value=%.2f baseline=%.2f ratio=%.2f target=<=0 holds=%s\n", value,
                baseline, ratio, holds ? "yes" : "no");
    return 0;
}
