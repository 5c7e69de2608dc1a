// A guard-page heap for the checked build: every block the C runtime's
// malloc family hands out ends against an inaccessible page, freed blocks
// stay inaccessible for a while before their addresses are used again, and a
// double, foreign or inner free, a write past a block's end and a touch of a
// freed block stop the program with the address.
//
// Linked into every executable of the checked build (tests, hubhost, protsvc,
// tools). At process start, before the C runtime runs, it points the
// executable's imports of msvcrt's allocation functions at itself, and then
// those of every library loaded from outside the Windows folder, at the
// moment the loader has bound its imports and before its entry point runs
// (Wardline.dll, Courier.dll and the test libraries). Blocks that the C
// runtime made before that, or makes for itself (strdup, getenv copies), are
// recognised as the runtime's own and given back to it.
//
// Layout. One reserved range, cut into zones, one per size class: class k
// holds runs of 2^k pages, aligned to their size, each run's last page never
// committed. A block takes only the pages it needs, right before that last
// page, and starts 16-byte aligned; the up to 15 bytes between its end and
// the guard page carry a pattern that is checked when it is freed. The
// bookkeeping lives in its own pages, apart from the blocks, so that a stray
// write into a block's neighbourhood cannot disguise itself.

#include "GuardHeap.h"

#include <windows.h>
#include <winternl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "Frames.h"
#include "ImportPatch.h"

namespace GuardHeap
{

namespace
{

constexpr std::size_t kPage = 4096;
constexpr unsigned kLowestClass = 1;   // 2 pages: 4 KB of data and the guard
constexpr unsigned kHighestClass = 20; // 4 GB runs: larger requests fail
constexpr std::size_t kZoneBytes = std::size_t{1} << 32;
constexpr unsigned kZones = kHighestClass - kLowestClass + 1;
// Freed runs of a class wait this long in line before their addresses are
// handed out again (unless the class's zone is used up).
constexpr std::uint32_t kQuarantine = 512;
constexpr unsigned char kSlackFill = 0xFD;
constexpr std::uint32_t kNone = 0xFFFFFFFFu;

enum class State : std::uint8_t
{
    Unused,
    Live,
    Freed,
};

// Where a block was made and given back: the innermost callers, for the
// report of an error.
constexpr unsigned kFrames = 8;
using Frames = void* [kFrames];

struct Run
{
    std::size_t size;
    std::uint32_t next; // the quarantine line, while freed
    State state;
    Frames allocatedBy;
    Frames freedBy;
};

struct Zone
{
    unsigned char* base;
    Run* runs;
    std::uint32_t capacity;
    std::uint32_t used; // runs handed out at least once
    std::uint32_t head;
    std::uint32_t tail;
    std::uint32_t waiting;
};

using MallocFn = void*(__cdecl*)(std::size_t);
using FreeFn = void(__cdecl*)(void*);
using MsizeFn = std::size_t(__cdecl*)(void*);
using ExpandFn = void*(__cdecl*)(void*, std::size_t);

struct Runtime
{
    MallocFn malloc;
    FreeFn free;
    MsizeFn msize;
    ExpandFn expand;
    HANDLE heap;
};

// Nothing here may have a dynamic initialiser: the heap starts before the
// program's initialisers run, which would reset it under blocks it gave out
// (a checked build makes some initialisers dynamic that are constant in
// others).
unsigned char* g_base = nullptr;
Zone g_zones[kZones];
SRWLOCK g_lock = SRWLOCK_INIT;
Runtime g_runtime;
bool g_active = false;
using ShutdownFn = BOOLEAN(NTAPI*)();
ShutdownFn g_shutdownInProgress = nullptr;

// An export by name, as the type it has.
template <typename Function>
Function exported(HMODULE module, const char* name) noexcept
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}
wchar_t g_windows[MAX_PATH];
UINT g_windowsLength = 0;

std::size_t runBytes(unsigned cls) noexcept
{
    return kPage << cls;
}

std::size_t roundUp(std::size_t value, std::size_t unit) noexcept
{
    return (value + unit - 1) / unit * unit;
}

// The callers of the heap's entry point, innermost first: the frames of
// capture, allocate or release, and the entry point are left out.
__attribute__((noinline)) void capture(Frames& frames) noexcept
{
    const USHORT taken = ::RtlCaptureStackBackTrace(3, kFrames, frames, nullptr);
    for (unsigned i = taken; i < kFrames; ++i)
    {
        frames[i] = nullptr;
    }
}

int describe(char* text, std::size_t capacity, const char* heading, const Frames& frames) noexcept
{
    return describeFrames(text, capacity, heading, frames, kFrames);
}

// WARDLINE_GUARDHEAP_WATCH=<class>:<run> reports every block made and freed
// in that run (a report names the run of the block it is about); the order
// of a program's allocations is the same from run to run.
unsigned g_watchClass = 0;
std::uint32_t g_watchIndex = kNone;

void watch(unsigned cls, std::uint32_t index, const char* what, const Run& run) noexcept
{
    if (cls != g_watchClass || index != g_watchIndex)
    {
        return;
    }
    char text[2 * kFrames * (MAX_PATH + 24)];
    int length = std::snprintf(text, sizeof(text), "guardheap: run %u:%lu %s, %zu bytes", cls,
                               static_cast<unsigned long>(index), what, run.size);
    length += describe(text + length, sizeof(text) - length, "by",
                       run.state == State::Freed ? run.freedBy : run.allocatedBy);
    if (length > static_cast<int>(sizeof(text)) - 2)
    {
        length = static_cast<int>(sizeof(text)) - 2;
    }
    text[length++] = '\n';
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written, nullptr);
}

[[noreturn]] void stop(const Run* run, const char* format, ...) noexcept
{
    char text[4 * kFrames * (MAX_PATH + 24)];
    int length = std::snprintf(text, sizeof(text), "guardheap: ");
    va_list args;
    va_start(args, format);
    length += std::vsnprintf(text + length, sizeof(text) - length, format, args);
    va_end(args);
    for (unsigned cls = kLowestClass; run != nullptr && cls <= kHighestClass; ++cls)
    {
        const Zone& zone = g_zones[cls - kLowestClass];
        if (run >= zone.runs && run < zone.runs + zone.capacity && length < static_cast<int>(sizeof(text)))
        {
            length += std::snprintf(text + length, sizeof(text) - length, " (run %u:%lu)", cls,
                                    static_cast<unsigned long>(run - zone.runs));
        }
    }
    if (run != nullptr && length < static_cast<int>(sizeof(text)))
    {
        length += describe(text + length, sizeof(text) - length, "made by", run->allocatedBy);
    }
    if (run != nullptr && run->state == State::Freed && length < static_cast<int>(sizeof(text)))
    {
        length += describe(text + length, sizeof(text) - length, "freed by", run->freedBy);
    }
    if (length > static_cast<int>(sizeof(text)) - 2)
    {
        length = static_cast<int>(sizeof(text)) - 2;
    }
    text[length++] = '\n';
    text[length] = '\0';
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written, nullptr);
    ::OutputDebugStringA(text);
    ::TerminateProcess(::GetCurrentProcess(), kStopExitCode);
    for (;;)
    {
    }
}

bool inRange(const void* p) noexcept
{
    const auto* byte = static_cast<const unsigned char*>(p);
    return g_base != nullptr && byte >= g_base && byte < g_base + kZoneBytes * kZones;
}

// The zone, run and run start of an address inside the range.
struct Place
{
    unsigned cls;
    Zone* zone;
    std::uint32_t index;
    unsigned char* start;
};

Place placeOf(const void* p) noexcept
{
    const std::size_t offset = static_cast<const unsigned char*>(p) - g_base;
    const unsigned zoneIndex = static_cast<unsigned>(offset / kZoneBytes);
    const unsigned cls = zoneIndex + kLowestClass;
    Zone& zone = g_zones[zoneIndex];
    const auto index = static_cast<std::uint32_t>((offset % kZoneBytes) / runBytes(cls));
    return Place{cls, &zone, index, zone.base + static_cast<std::size_t>(index) * runBytes(cls)};
}

unsigned char* guardOf(const Place& place) noexcept
{
    return place.start + runBytes(place.cls) - kPage;
}

unsigned char* blockOf(const Place& place, std::size_t size) noexcept
{
    return guardOf(place) - roundUp(size == 0 ? 1 : size, 16);
}

bool ownedByRuntime(void* p) noexcept
{
    return g_runtime.heap != nullptr && ::HeapValidate(g_runtime.heap, 0, p);
}

// Takes the heap's lock. Once the loader ends the process, its other threads
// are gone wherever they were, one of them perhaps inside this heap with the
// lock held: the libraries' teardown that follows must not wait for it
// (false; the caller does without the heap).
bool lock() noexcept
{
    if (g_shutdownInProgress != nullptr && g_shutdownInProgress())
    {
        return ::TryAcquireSRWLockExclusive(&g_lock) != FALSE;
    }
    ::AcquireSRWLockExclusive(&g_lock);
    return true;
}

__attribute__((noinline)) void* allocate(std::size_t size) noexcept
{
    const std::size_t needed = roundUp(size == 0 ? 1 : size, 16);
    if (needed < size)
    {
        errno = ENOMEM;
        return nullptr;
    }
    unsigned cls = kLowestClass;
    while (cls <= kHighestClass && runBytes(cls) - kPage < needed)
    {
        ++cls;
    }
    if (cls > kHighestClass)
    {
        errno = ENOMEM;
        return nullptr;
    }
    Zone& zone = g_zones[cls - kLowestClass];
    std::uint32_t index = kNone;
    if (!lock())
    {
        return g_runtime.malloc(size);
    }
    if (zone.waiting > kQuarantine || (zone.used == zone.capacity && zone.waiting > 0))
    {
        index = zone.head;
        zone.head = zone.runs[index].next;
        if (zone.head == kNone)
        {
            zone.tail = kNone;
        }
        --zone.waiting;
    }
    else if (zone.used < zone.capacity)
    {
        index = zone.used++;
    }
    if (index != kNone)
    {
        Run& run = zone.runs[index];
        run.size = size;
        run.next = kNone;
        run.state = State::Live;
        capture(run.allocatedBy);
        watch(cls, index, "made", run);
    }
    ::ReleaseSRWLockExclusive(&g_lock);
    if (index == kNone)
    {
        errno = ENOMEM;
        return nullptr;
    }

    const Place place{cls, &zone, index, zone.base + static_cast<std::size_t>(index) * runBytes(cls)};
    unsigned char* guard = guardOf(place);
    const std::size_t committed = roundUp(needed, kPage);
    if (::VirtualAlloc(guard - committed, committed, MEM_COMMIT, PAGE_READWRITE) == nullptr)
    {
        if (!lock())
        {
            errno = ENOMEM;
            return nullptr;
        }
        zone.runs[index].state = State::Freed;
        zone.runs[index].next = kNone;
        if (zone.tail == kNone)
        {
            zone.head = index;
        }
        else
        {
            zone.runs[zone.tail].next = index;
        }
        zone.tail = index;
        ++zone.waiting;
        ::ReleaseSRWLockExclusive(&g_lock);
        errno = ENOMEM;
        return nullptr;
    }
    unsigned char* block = guard - needed;
    std::memset(block + size, kSlackFill, needed - size);
    return block;
}

__attribute__((noinline)) void release(void* p) noexcept
{
    const Place place = placeOf(p);
    if (!lock())
    {
        return; // the process is ending: the block stays where it is
    }
    Run& run = place.zone->runs[place.index];
    if (place.index >= place.zone->used || run.state == State::Unused)
    {
        ::ReleaseSRWLockExclusive(&g_lock);
        stop(nullptr, "free of %p, which this heap never gave out", p);
    }
    if (run.state == State::Freed)
    {
        ::ReleaseSRWLockExclusive(&g_lock);
        stop(&run, "double free of %p (a block of %zu bytes)", blockOf(place, run.size), run.size);
    }
    unsigned char* block = blockOf(place, run.size);
    if (p != block)
    {
        ::ReleaseSRWLockExclusive(&g_lock);
        stop(&run, "free of %p, inside the block %p of %zu bytes", p, block, run.size);
    }
    const std::size_t needed = roundUp(run.size == 0 ? 1 : run.size, 16);
    for (std::size_t i = run.size; i < needed; ++i)
    {
        if (block[i] != kSlackFill)
        {
            ::ReleaseSRWLockExclusive(&g_lock);
            stop(&run, "write past the end of the block %p of %zu bytes, at %p", block, run.size, block + i);
        }
    }
    // Taken out of service before anyone can have the address again.
    ::VirtualFree(guardOf(place) - roundUp(needed, kPage), roundUp(needed, kPage), MEM_DECOMMIT);
    run.state = State::Freed;
    run.next = kNone;
    capture(run.freedBy);
    watch(place.cls, place.index, "freed", run);
    Zone& zone = *place.zone;
    if (zone.tail == kNone)
    {
        zone.head = place.index;
    }
    else
    {
        zone.runs[zone.tail].next = place.index;
    }
    zone.tail = place.index;
    ++zone.waiting;
    ::ReleaseSRWLockExclusive(&g_lock);
}

std::size_t sizeOf(void* p) noexcept
{
    const Place place = placeOf(p);
    const Run& run = place.zone->runs[place.index];
    if (place.index >= place.zone->used || run.state != State::Live || blockOf(place, run.size) != p)
    {
        stop(&run, "size asked of %p, which is no live block of this heap", p);
    }
    return run.size;
}

void* __cdecl guardMalloc(std::size_t size)
{
    return allocate(size);
}

void* __cdecl guardCalloc(std::size_t count, std::size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
    {
        errno = ENOMEM;
        return nullptr;
    }
    void* block = allocate(count * size);
    if (block != nullptr)
    {
        std::memset(block, 0, count * size);
    }
    return block;
}

void __cdecl guardFree(void* p)
{
    if (p == nullptr)
    {
        return;
    }
    if (inRange(p))
    {
        release(p);
    }
    else if (ownedByRuntime(p))
    {
        g_runtime.free(p);
    }
    else
    {
        stop(nullptr, "free of %p, which no heap of this process gave out", p);
    }
}

std::size_t __cdecl guardMsize(void* p)
{
    if (p != nullptr && inRange(p))
    {
        return sizeOf(p);
    }
    return g_runtime.msize(p);
}

void* __cdecl guardRealloc(void* p, std::size_t size)
{
    if (p == nullptr)
    {
        return allocate(size);
    }
    if (size == 0)
    {
        guardFree(p);
        return nullptr;
    }
    std::size_t old = 0;
    if (inRange(p))
    {
        old = sizeOf(p);
    }
    else if (ownedByRuntime(p))
    {
        old = g_runtime.msize(p);
    }
    else
    {
        stop(nullptr, "realloc of %p, which no heap of this process gave out", p);
    }
    void* block = allocate(size);
    if (block == nullptr)
    {
        return nullptr;
    }
    std::memcpy(block, p, old < size ? old : size);
    guardFree(p);
    return block;
}

void* __cdecl guardRecalloc(void* p, std::size_t count, std::size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
    {
        errno = ENOMEM;
        return nullptr;
    }
    const std::size_t old = p != nullptr ? guardMsize(p) : 0;
    void* block = guardRealloc(p, count * size);
    if (block != nullptr && count * size > old)
    {
        std::memset(static_cast<unsigned char*>(block) + old, 0, count * size - old);
    }
    return block;
}

void* __cdecl guardExpand(void* p, std::size_t size)
{
    // Blocks of this heap never grow in place: the caller copies instead.
    if (p != nullptr && inRange(p))
    {
        errno = ENOMEM;
        return nullptr;
    }
    return g_runtime.expand(p, size);
}

void redirect(HMODULE module) noexcept
{
    // Built here, not as a table with static storage: the heap starts before
    // any initialiser of the program has run.
    const struct
    {
        const char* name;
        void* function;
    } replacements[] = {
        {"malloc", reinterpret_cast<void*>(&guardMalloc)},
        {"calloc", reinterpret_cast<void*>(&guardCalloc)},
        {"realloc", reinterpret_cast<void*>(&guardRealloc)},
        {"free", reinterpret_cast<void*>(&guardFree)},
        {"_msize", reinterpret_cast<void*>(&guardMsize)},
        {"_recalloc", reinterpret_cast<void*>(&guardRecalloc)},
        {"_expand", reinterpret_cast<void*>(&guardExpand)},
    };
    for (const auto& replacement : replacements)
    {
        HostTools::PatchImport(module, "msvcrt.dll", replacement.name, replacement.function);
    }
}

// Libraries of the system (Wine's own among them) keep the runtime's heap.
bool isOurs(const UNICODE_STRING* path) noexcept
{
    if (path == nullptr || path->Buffer == nullptr)
    {
        return false;
    }
    const auto length = static_cast<int>(g_windowsLength);
    return path->Length / sizeof(wchar_t) <= g_windowsLength ||
           ::CompareStringOrdinal(path->Buffer, length, g_windows, length, TRUE) != CSTR_EQUAL;
}

struct LoadedData
{
    ULONG flags;
    const UNICODE_STRING* fullName;
    const UNICODE_STRING* baseName;
    void* base;
    ULONG size;
};

using NotificationFn = VOID(CALLBACK*)(ULONG, const LoadedData*, void*);
using RegisterFn = LONG(NTAPI*)(ULONG, NotificationFn, void*, void**);

VOID CALLBACK onLibrary(ULONG reason, const LoadedData* data, void*)
{
    // Called with the library's imports bound and before its entry point.
    if (reason == 1 && data != nullptr && isOurs(data->fullName))
    {
        redirect(static_cast<HMODULE>(data->base));
    }
}

// The faulting code and its callers, unwound from the fault's context.
void unwind(const CONTEXT& fault, Frames& frames) noexcept
{
    CONTEXT context = fault;
    for (unsigned i = 0; i < kFrames; ++i)
    {
        frames[i] = reinterpret_cast<void*>(context.Rip);
        DWORD64 imageBase = 0;
        RUNTIME_FUNCTION* function = ::RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        if (context.Rip == 0 || function == nullptr)
        {
            break;
        }
        void* handlerData = nullptr;
        DWORD64 establisher = 0;
        ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData,
                           &establisher, nullptr);
    }
}

LONG CALLBACK onFault(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    Frames code = {};
    char at[kFrames * (MAX_PATH + 24)];
    // The checked build's undefined-behaviour checks end in ud2; which check
    // it was, the source line of the first frame tells.
    const auto* instruction = static_cast<const unsigned char*>(record->ExceptionAddress);
    if (record->ExceptionCode == EXCEPTION_ILLEGAL_INSTRUCTION && instruction[0] == 0x0F && instruction[1] == 0x0B)
    {
        const CONTEXT& c = *info->ContextRecord;
        unwind(c, code);
        describe(at, sizeof(at), "at", code);
        stop(nullptr,
             "an undefined-behaviour check failed%s\n  rax=%llx rbx=%llx rcx=%llx rdx=%llx rsi=%llx rdi=%llx "
             "r8=%llx r9=%llx",
             at, c.Rax, c.Rbx, c.Rcx, c.Rdx, c.Rsi, c.Rdi, c.R8, c.R9);
    }
    if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2)
    {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const char* access = record->ExceptionInformation[0] == 1 ? "write" : "read";
    void* address = reinterpret_cast<void*>(record->ExceptionInformation[1]);
    if (!inRange(address))
    {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const Place place = placeOf(address);
    static const Run kNever{0, kNone, State::Unused, {}, {}};
    const Run& run = place.index < place.zone->used ? place.zone->runs[place.index] : kNever;
    unsigned char* block = blockOf(place, run.size);
    const auto* byte = static_cast<unsigned char*>(address);
    unwind(*info->ContextRecord, code);
    describe(at, sizeof(at), "by", code);
    switch (run.state)
    {
    case State::Freed:
        stop(&run, "%s of %p after its block %p of %zu bytes was freed%s", access, address, block, run.size, at);
    case State::Live:
        if (byte >= guardOf(place))
        {
            stop(&run, "%s of %p, byte %zu past the end of the block %p of %zu bytes%s", access, address,
                 static_cast<std::size_t>(byte - (block + run.size)), block, run.size, at);
        }
        stop(&run, "%s of %p, before the start of the block %p of %zu bytes%s", access, address, block, run.size,
             at);
    default:
        stop(nullptr, "%s of %p, heap memory never handed out%s", access, address, at);
    }
}

bool reserve() noexcept
{
    g_base = static_cast<unsigned char*>(::VirtualAlloc(nullptr, kZoneBytes * kZones, MEM_RESERVE, PAGE_NOACCESS));
    if (g_base == nullptr)
    {
        return false;
    }
    std::size_t records = 0;
    for (unsigned cls = kLowestClass; cls <= kHighestClass; ++cls)
    {
        records += kZoneBytes / runBytes(cls);
    }
    // Committed at once: untouched pages cost nothing until used.
    auto* runs = static_cast<Run*>(::VirtualAlloc(nullptr, records * sizeof(Run), MEM_RESERVE | MEM_COMMIT,
                                                  PAGE_READWRITE));
    if (runs == nullptr)
    {
        ::VirtualFree(g_base, 0, MEM_RELEASE);
        g_base = nullptr;
        return false;
    }
    for (unsigned cls = kLowestClass; cls <= kHighestClass; ++cls)
    {
        Zone& zone = g_zones[cls - kLowestClass];
        zone.base = g_base + kZoneBytes * (cls - kLowestClass);
        zone.runs = runs;
        zone.capacity = static_cast<std::uint32_t>(kZoneBytes / runBytes(cls));
        zone.used = 0;
        zone.head = kNone;
        zone.tail = kNone;
        zone.waiting = 0;
        runs += zone.capacity;
    }
    return true;
}

void start() noexcept
{
    if (g_active)
    {
        return;
    }
    // WARDLINE_GUARDHEAP=off leaves the C runtime's heap in place: does a
    // failure come from the program or from the checker?
    char setting[8];
    if (::GetEnvironmentVariableA("WARDLINE_GUARDHEAP", setting, sizeof(setting)) < sizeof(setting) &&
        std::strcmp(setting, "off") == 0)
    {
        return;
    }
    HMODULE msvcrt = ::GetModuleHandleW(L"msvcrt.dll");
    if (msvcrt == nullptr || !reserve())
    {
        return;
    }
    g_runtime.malloc = exported<MallocFn>(msvcrt, "malloc");
    g_runtime.free = exported<FreeFn>(msvcrt, "free");
    g_runtime.msize = exported<MsizeFn>(msvcrt, "_msize");
    g_runtime.expand = exported<ExpandFn>(msvcrt, "_expand");
    g_windowsLength = ::GetSystemWindowsDirectoryW(g_windows, MAX_PATH);
    char watched[32];
    if (::GetEnvironmentVariableA("WARDLINE_GUARDHEAP_WATCH", watched, sizeof(watched)) < sizeof(watched))
    {
        unsigned long index = 0;
        if (std::sscanf(watched, "%u:%lu", &g_watchClass, &index) == 2)
        {
            g_watchIndex = static_cast<std::uint32_t>(index);
        }
    }
    if (g_windowsLength >= MAX_PATH)
    {
        g_windowsLength = 0;
    }
    using HeapHandleFn = std::intptr_t(__cdecl*)();
    const auto heapHandle = exported<HeapHandleFn>(msvcrt, "_get_heap_handle");
    g_runtime.heap = heapHandle != nullptr ? reinterpret_cast<HANDLE>(heapHandle()) : nullptr;
    ::AddVectoredExceptionHandler(1, &onFault);
    g_active = true;

    redirect(::GetModuleHandleW(nullptr));
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    g_shutdownInProgress = exported<ShutdownFn>(ntdll, "RtlDllShutdownInProgress");
    const auto registerNotification = exported<RegisterFn>(ntdll, "LdrRegisterDllNotification");
    void* cookie = nullptr;
    if (registerNotification == nullptr || registerNotification(0, &onLibrary, nullptr, &cookie) != 0)
    {
        stop(nullptr, "cannot follow the libraries this process loads");
    }
}

// Runs before the C runtime's own start-up code in an executable.
void NTAPI onProcess(PVOID module, DWORD reason, PVOID)
{
    if (reason == DLL_PROCESS_ATTACH && module == ::GetModuleHandleW(nullptr))
    {
        start();
    }
}

} // namespace

bool Active() noexcept
{
    return g_active;
}

bool Locked() noexcept
{
    if (!::TryAcquireSRWLockExclusive(&g_lock))
    {
        return true;
    }
    ::ReleaseSRWLockExclusive(&g_lock);
    return false;
}

} // namespace GuardHeap

extern "C" {
// Placed among the image's TLS callbacks; "used" keeps the linker from
// dropping it, since nothing refers to it by name.
__attribute__((section(".CRT$XLB"), used)) extern const PIMAGE_TLS_CALLBACK wardline_guardheap_callback =
    &GuardHeap::onProcess;
}
