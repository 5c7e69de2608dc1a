#include "dll/ThreadRuntime.h"

// Three entry points of the C++ runtime, for Wardline.dll only.
//
// The toolchain's runtime keeps its thread-related state in the statically
// linked winpthread: libgcc's thread-local storage (used by every throw, for
// the exception globals, and by thread_local variables), libsupc++'s guards of
// function-local statics, and pthread_once (std::locale). winpthread gives
// every thread that reaches it a thread handle and an event, and takes a TLS
// slot per load; it gives them back when the thread ends, never when this
// library is unloaded. A host that keeps its threads and loads and unloads us
// would lose a handle pair per thread and a TLS slot at every unload.
//
// The linker takes an archive member only for a symbol that is still
// undefined, so these definitions take the place of libgcc's emutls.o,
// libsupc++'s guard.o and winpthread's pthread_once. They use Win32
// primitives; the thread-local storage is given back when its thread ends
// (thread detach) and all of it when the library is unloaded. Nothing of the
// library may run after that: the next use of thread-local storage, which
// every throw makes, stops the process.
//
// At the unload this file also gives back libstdc++'s emergency pool for
// exceptions thrown when memory is short (about 73 KB, allocated when the
// library starts), which libstdc++ itself never frees.

#if defined(__MINGW32__)

#include <windows.h>

#include <malloc.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace __gnu_cxx
{
// libstdc++'s hook for memory checkers: frees the emergency exception pool.
void __freeres() noexcept;
} // namespace __gnu_cxx

namespace
{

// ---- Thread-local storage ------------------------------------------------

// The compiler's descriptor of one thread_local variable (libgcc's layout).
// `index` is 0 until the variable is first used; index n is slot n - 1.
struct EmulatedTlsObject
{
    std::size_t size;
    std::size_t align;
    std::uintptr_t index;
    void* initialValue; // null: zero-filled
};

// One thread's variables, linked into a list so that the unload can free
// those of threads that are still running.
struct ThreadSlots
{
    ThreadSlots* previous;
    ThreadSlots* next;
    std::size_t capacity;
    void** objects;
};

// Guards the list. The indices are handed out without a lock: while the
// process exits, a thread that ExitProcess ended may have died holding it.
SRWLOCK g_tlsLock = SRWLOCK_INIT;
ThreadSlots* g_threads = nullptr;
std::uintptr_t g_indicesHandedOut = 0;
DWORD g_tlsIndex = TLS_OUT_OF_INDEXES;
bool g_released = false;

// ---- Process exit --------------------------------------------------------

bool g_processTerminating = false;
// ntdll's answer covers the exit from its start, before our DllMain hears of
// it (the library's own detach work runs before it tells us).
using ShutdownQuery = BOOLEAN(WINAPI*)();
ShutdownQuery g_dllShutdownInProgress = nullptr;

// True once ExitProcess has ended every other thread, wherever they were.
bool processExiting() noexcept
{
    return __atomic_load_n(&g_processTerminating, __ATOMIC_ACQUIRE) ||
           (g_dllShutdownInProgress != nullptr && g_dllShutdownInProgress() != 0);
}

// Stops the process at once, past every exception handler, with a line for
// the debugger: going on would corrupt memory or leak for good.
[[noreturn]] void failFast(const char* reason) noexcept
{
    OutputDebugStringA(reason);
    RaiseFailFastException(nullptr, nullptr, 0);
    std::abort(); // not reached: nothing tells the compiler that the call does not return
}

// As libgcc does, though loudly: a throw cannot go on without its globals.
[[noreturn]] void outOfMemory() noexcept
{
    failFast("Wardline runtime: out of memory for thread-local storage\n");
}

void* allocateObject(const EmulatedTlsObject& object) noexcept
{
    const std::size_t align = object.align < sizeof(void*) ? sizeof(void*) : object.align;
    const std::size_t size = object.size == 0 ? 1 : object.size;
    void* memory = _aligned_malloc(size, align);
    if (memory == nullptr)
    {
        outOfMemory();
    }
    if (object.initialValue != nullptr)
    {
        std::memcpy(memory, object.initialValue, object.size);
    }
    else
    {
        std::memset(memory, 0, size);
    }
    return memory;
}

void freeSlots(ThreadSlots* slots) noexcept
{
    for (std::size_t i = 0; i < slots->capacity; ++i)
    {
        _aligned_free(slots->objects[i]);
    }
    std::free(slots->objects);
    std::free(slots);
}

// The library's TLS index, taken on first use. Of two threads that take one
// at once, the second gives its own back.
DWORD libraryTlsIndex() noexcept
{
    DWORD index = __atomic_load_n(&g_tlsIndex, __ATOMIC_ACQUIRE);
    if (index != TLS_OUT_OF_INDEXES)
    {
        return index;
    }
    const DWORD allocated = TlsAlloc();
    if (allocated == TLS_OUT_OF_INDEXES)
    {
        outOfMemory();
    }
    if (__atomic_compare_exchange_n(&g_tlsIndex, &index, allocated, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
    {
        return allocated;
    }
    TlsFree(allocated);
    return index;
}

// The variable's index, handed out on first use. Two threads that reach a
// variable first together may both draw a number: the later one stays
// unused, an empty place in each thread's table.
std::uintptr_t variableIndex(EmulatedTlsObject& object) noexcept
{
    std::uintptr_t index = __atomic_load_n(&object.index, __ATOMIC_ACQUIRE);
    if (index != 0)
    {
        return index;
    }
    const std::uintptr_t drawn = __atomic_add_fetch(&g_indicesHandedOut, 1, __ATOMIC_ACQ_REL);
    if (__atomic_compare_exchange_n(&object.index, &index, drawn, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
    {
        return drawn;
    }
    return index;
}

ThreadSlots* newThreadSlots(DWORD tlsIndex) noexcept
{
    auto* slots = static_cast<ThreadSlots*>(std::calloc(1, sizeof(ThreadSlots)));
    if (slots == nullptr)
    {
        outOfMemory();
    }
    // Carrying on would give the thread fresh variables at every use.
    if (!TlsSetValue(tlsIndex, slots))
    {
        std::free(slots);
        outOfMemory();
    }
    // Nothing walks the list at process exit, and its lock may have died
    // with a thread.
    if (processExiting())
    {
        return slots;
    }
    AcquireSRWLockExclusive(&g_tlsLock);
    slots->next = g_threads;
    if (g_threads != nullptr)
    {
        g_threads->previous = slots;
    }
    g_threads = slots;
    ReleaseSRWLockExclusive(&g_tlsLock);
    return slots;
}

void grow(ThreadSlots& slots, std::uintptr_t index) noexcept
{
    // Room for every index handed out so far, so that growing is rare.
    std::size_t capacity = __atomic_load_n(&g_indicesHandedOut, __ATOMIC_ACQUIRE);
    if (capacity < index)
    {
        capacity = index;
    }
    auto* objects = static_cast<void**>(std::realloc(slots.objects, capacity * sizeof(void*)));
    if (objects == nullptr)
    {
        outOfMemory();
    }
    std::memset(objects + slots.capacity, 0, (capacity - slots.capacity) * sizeof(void*));
    slots.objects = objects;
    slots.capacity = capacity;
}

void unlink(ThreadSlots* slots) noexcept
{
    if (slots->previous != nullptr)
    {
        slots->previous->next = slots->next;
    }
    else
    {
        g_threads = slots->next;
    }
    if (slots->next != nullptr)
    {
        slots->next->previous = slots->previous;
    }
}

// Runs after every static destructor of the library (see the constructor
// below), which may still throw and catch.
void releaseAtUnload() noexcept
{
    // Threads ended by the process exit may have died holding the lock, and
    // the memory goes with the process anyway.
    if (processExiting())
    {
        return;
    }
    // Before the index goes: a use that finds no index finds this too.
    __atomic_store_n(&g_released, true, __ATOMIC_SEQ_CST);
    const DWORD tlsIndex = __atomic_exchange_n(&g_tlsIndex, TLS_OUT_OF_INDEXES, __ATOMIC_SEQ_CST);
    AcquireSRWLockExclusive(&g_tlsLock);
    ThreadSlots* threads = g_threads;
    g_threads = nullptr;
    ReleaseSRWLockExclusive(&g_tlsLock);
    while (threads != nullptr)
    {
        ThreadSlots* next = threads->next;
        freeSlots(threads);
        threads = next;
    }
    // Also clears the slot in every thread, so that a later owner of the
    // index never sees our pointers.
    if (tlsIndex != TLS_OUT_OF_INDEXES)
    {
        TlsFree(tlsIndex);
    }
    // libstdc++ frees its pool's memory but leaves the pool's free list
    // pointing into it, for a throw that malloc cannot serve to walk. A throw
    // takes its memory first and its globals next: from here on it stops the
    // process there (see __emutls_get_address), unless memory had already run
    // out for it.
    __gnu_cxx::__freeres();
}

// The first exit handler registered is the last to run: this one is
// registered before any constructor of the library runs.
__attribute__((constructor(101))) void registerRelease()
{
    g_dllShutdownInProgress = reinterpret_cast<ShutdownQuery>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress")));
    std::atexit(releaseAtUnload);
}

// ---- Once-only initialisation ----------------------------------------------

// Shared by the guards of function-local statics and by pthread_once; both
// are rare and short.
SRWLOCK g_onceLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_onceDone = CONDITION_VARIABLE_INIT;

// g_onceLock held for one step. At process exit only this thread runs: one
// that ExitProcess ended may have died holding the lock, or in the middle of
// an initialiser that will never finish, so it neither waits for the lock
// nor for another thread's initialiser (which it then runs again itself, as
// after a throw).
class OnceLockHold
{
public:
    OnceLockHold() noexcept : exiting_(processExiting())
    {
        if (exiting_)
        {
            held_ = TryAcquireSRWLockExclusive(&g_onceLock) != 0;
        }
        else
        {
            AcquireSRWLockExclusive(&g_onceLock);
            held_ = true;
        }
    }
    ~OnceLockHold() { release(); }
    OnceLockHold(const OnceLockHold&) = delete;
    OnceLockHold& operator=(const OnceLockHold&) = delete;

    // Whether another thread's initialiser may be taken over.
    bool exiting() const noexcept { return exiting_; }
    void waitForOthers() noexcept { SleepConditionVariableSRW(&g_onceDone, &g_onceLock, INFINITE, 0); }
    void release() noexcept
    {
        if (held_)
        {
            ReleaseSRWLockExclusive(&g_onceLock);
            held_ = false;
        }
    }

private:
    bool exiting_;
    bool held_ = false;
};

// A static's 64-bit guard. The compiler's inline check reads the first byte.
struct StaticGuard
{
    unsigned char initialised;
    unsigned char inProgress;
    unsigned char unused[2];
    DWORD initialisingThread;
};
static_assert(sizeof(StaticGuard) == 8, "the guard of a static is 64 bits");

void finishGuard(StaticGuard& guard, unsigned char initialised) noexcept
{
    OnceLockHold hold;
    __atomic_store_n(&guard.initialised, initialised, __ATOMIC_RELEASE);
    guard.inProgress = 0;
    guard.initialisingThread = 0;
    hold.release();
    WakeAllConditionVariable(&g_onceDone);
}

// pthread_once_t is a long: not yet run, running, done.
constexpr long kOnceNotRun = 0;
constexpr long kOnceRunning = 1;
constexpr long kOnceDone = 2;

void finishOnce(long& control, long state) noexcept
{
    OnceLockHold hold;
    __atomic_store_n(&control, state, __ATOMIC_RELEASE);
    hold.release();
    WakeAllConditionVariable(&g_onceDone);
}

} // namespace

extern "C" void* __emutls_get_address(EmulatedTlsObject* object)
{
    // TlsGetValue clears the last error, and taking an index or memory may
    // set it, while a caller may be about to read it (a throw right after a
    // failed call).
    const DWORD lastError = GetLastError();
    std::uintptr_t index = __atomic_load_n(&object->index, __ATOMIC_ACQUIRE);
    DWORD tlsIndex = __atomic_load_n(&g_tlsIndex, __ATOMIC_ACQUIRE);
    if (index == 0 || tlsIndex == TLS_OUT_OF_INDEXES)
    {
        // A new index now would never be given back, and a throw from here
        // on could walk the freed exception pool.
        if (__atomic_load_n(&g_released, __ATOMIC_SEQ_CST))
        {
            failFast("Wardline runtime: thread-local storage or a throw after the library was unloaded\n");
        }
        tlsIndex = libraryTlsIndex();
        index = variableIndex(*object);
    }
    auto* slots = static_cast<ThreadSlots*>(TlsGetValue(tlsIndex));
    if (slots == nullptr)
    {
        slots = newThreadSlots(tlsIndex);
    }
    if (index > slots->capacity)
    {
        grow(*slots, index);
    }
    void*& variable = slots->objects[index - 1];
    if (variable == nullptr)
    {
        variable = allocateObject(*object);
    }
    SetLastError(lastError);
    return variable;
}

// For a thread_local in common storage: the largest size and alignment win.
extern "C" void __emutls_register_common(EmulatedTlsObject* object, std::size_t size, std::size_t align,
                                         void* initialValue)
{
    if (object->size < size)
    {
        object->size = size;
        object->initialValue = nullptr;
    }
    if (object->align < align)
    {
        object->align = align;
    }
    if (initialValue != nullptr && size == object->size)
    {
        object->initialValue = initialValue;
    }
}

extern "C" int __cxa_guard_acquire(long long* guardWord)
{
    auto* guard = reinterpret_cast<StaticGuard*>(guardWord);
    if (__atomic_load_n(&guard->initialised, __ATOMIC_ACQUIRE) != 0)
    {
        return 0;
    }
    const DWORD self = GetCurrentThreadId();
    OnceLockHold hold;
    for (;;)
    {
        if (guard->initialised != 0)
        {
            return 0;
        }
        if (guard->inProgress != 0 && guard->initialisingThread == self)
        {
            // The static's initialiser reached the static itself: waiting
            // would never end.
            hold.release();
            std::terminate();
        }
        if (guard->inProgress == 0 || hold.exiting())
        {
            guard->inProgress = 1;
            guard->initialisingThread = self;
            return 1;
        }
        hold.waitForOthers();
    }
}

extern "C" void __cxa_guard_release(long long* guardWord) noexcept
{
    finishGuard(*reinterpret_cast<StaticGuard*>(guardWord), 1);
}

// The initialiser threw: the next use tries again.
extern "C" void __cxa_guard_abort(long long* guardWord) noexcept
{
    finishGuard(*reinterpret_cast<StaticGuard*>(guardWord), 0);
}

// Also the tripwire of this arrangement: whatever brings winpthread's thread
// functions back into the library (std::mutex, std::condition_variable,
// std::thread, std::future, ... all reach them) brings a second pthread_once,
// and the link fails with "multiple definition of `pthread_once'". Use the
// primitives of wrappers/Sync.h and wrappers/Promise.h instead.
extern "C" int pthread_once(long* control, void (*routine)(void))
{
    if (__atomic_load_n(control, __ATOMIC_ACQUIRE) == kOnceDone)
    {
        return 0;
    }
    {
        OnceLockHold hold;
        for (;;)
        {
            if (*control == kOnceDone)
            {
                return 0;
            }
            if (*control == kOnceNotRun || hold.exiting())
            {
                *control = kOnceRunning;
                break;
            }
            hold.waitForOthers();
        }
    }
    try
    {
        routine();
    }
    catch (...)
    {
        finishOnce(*control, kOnceNotRun);
        throw;
    }
    finishOnce(*control, kOnceDone);
    return 0;
}

namespace Norvan::runtime
{

void onThreadDetach() noexcept
{
    const DWORD tlsIndex = __atomic_load_n(&g_tlsIndex, __ATOMIC_ACQUIRE);
    if (tlsIndex == TLS_OUT_OF_INDEXES)
    {
        return;
    }
    auto* slots = static_cast<ThreadSlots*>(TlsGetValue(tlsIndex));
    if (slots == nullptr)
    {
        return;
    }
    TlsSetValue(tlsIndex, nullptr);
    AcquireSRWLockExclusive(&g_tlsLock);
    unlink(slots);
    ReleaseSRWLockExclusive(&g_tlsLock);
    freeSlots(slots);
}

void onProcessDetach(bool processTerminating) noexcept
{
    __atomic_store_n(&g_processTerminating, processTerminating, __ATOMIC_RELEASE);
}

} // namespace Norvan::runtime

#else

namespace Norvan::runtime
{
void onThreadDetach() noexcept {}
void onProcessDetach(bool) noexcept {}
} // namespace Norvan::runtime

#endif
