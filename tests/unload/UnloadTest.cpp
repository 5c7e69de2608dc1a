#include "HostSupport.h"
#include "wrappers/UniqueResource.h"

#include <windows.h>
#include <winternl.h>

#include <malloc.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace integration;

namespace
{

constexpr unsigned kHostThreads = 4;
constexpr int kWarmUpCycles = 2;
constexpr int kCycles = 50;
// The host process itself may create an object or two at any time (a lock's
// wait event on its first contention); what a load loses shows once per
// cycle and thread.
constexpr int kHandleSlack = 3;
constexpr std::uint32_t kUnknownException = 0x8000000Fu;

// ---- The process's handles, by object type --------------------------------
//
// Wine answers GetProcessHandleCount with 0. It does list each process's
// handles through NtQuerySystemInformation(SystemExtendedHandleInformation)
// and names a handle's object type through NtQueryObject, as Windows does.

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

std::map<std::string, int> handlesByType()
{
    std::map<std::string, int> counts;
    std::vector<unsigned char> buffer(1 << 20);
    NTSTATUS status = 0;
    for (;;)
    {
        ULONG needed = 0;
        status = NtQuerySystemInformation(kSystemExtendedHandleInformation, buffer.data(),
                                          static_cast<ULONG>(buffer.size()), &needed);
        if (status != kInfoLengthMismatch)
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
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    const ULONG_PTR self = GetCurrentProcessId();
    for (ULONG_PTR i = 0; i < table->count; ++i)
    {
        if (table->entries[i].processId != self)
        {
            continue;
        }
        alignas(8) unsigned char info[1024];
        ULONG length = 0;
        if (NtQueryObject(reinterpret_cast<HANDLE>(table->entries[i].handle), kObjectTypeInformation, info,
                          sizeof(info), &length) < 0)
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

std::string describe(const std::map<std::string, int>& counts)
{
    std::string text;
    for (const auto& [type, count] : counts)
    {
        text += type + "=" + std::to_string(count) + " ";
    }
    return text;
}

// The lowest free TLS slot: it moves up when a load takes a slot and its
// unload does not give it back.
DWORD lowestFreeTlsSlot()
{
    const DWORD slot = TlsAlloc();
    TlsFree(slot);
    return slot;
}

// Bytes in use on the C runtime's heap, which the library shares with us.
std::size_t crtHeapInUse()
{
    std::size_t used = 0;
    _HEAPINFO entry{};
    while (_heapwalk(&entry) == _HEAPOK)
    {
        used += entry._useflag == _USEDENTRY ? entry._size : 0;
    }
    return used;
}

// ---- The host's side ---------------------------------------------------------

// Threads that outlive every load of the library, as a host's own threads do.
// runRound gives each of them the work once and returns when all are done.
class HostThreads
{
public:
    explicit HostThreads(unsigned count)
    {
        for (unsigned i = 0; i < count; ++i)
        {
            threads_.emplace_back([this, i] { run(i); });
        }
    }
    ~HostThreads()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        for (std::thread& thread : threads_)
        {
            thread.join();
        }
    }
    HostThreads(const HostThreads&) = delete;
    HostThreads& operator=(const HostThreads&) = delete;

    void runRound(const std::function<void(unsigned)>& work)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        work_ = &work;
        remaining_ = threads_.size();
        ++round_;
        wake_.notify_all();
        done_.wait(lock, [this] { return remaining_ == 0; });
        work_ = nullptr;
    }

private:
    void run(unsigned index)
    {
        std::uint64_t seen = 0;
        for (;;)
        {
            const std::function<void(unsigned)>* work = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return stop_ || round_ != seen; });
                if (stop_)
                {
                    return;
                }
                seen = round_;
                work = work_;
            }
            (*work)(index);
            std::lock_guard<std::mutex> lock(mutex_);
            if (--remaining_ == 0)
            {
                done_.notify_all();
            }
        }
    }

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const std::function<void(unsigned)>* work_ = nullptr;
    std::size_t remaining_ = 0;
    std::uint64_t round_ = 0;
    bool stop_ = false;
};

class Failures
{
public:
    void check(bool ok, const std::string& what)
    {
        if (!ok)
        {
            std::lock_guard<std::mutex> lock(mutex_);
            failures_.push_back(what);
        }
    }
    std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::move(failures_);
    }

private:
    std::mutex mutex_;
    std::vector<std::string> failures_;
};

// What a host thread does with the loaded library: the version exports, a
// module whose initialisation throws inside the library (a thrown and caught
// exception), and a module on the bus that handles a state report and a
// refresh (its locks, JSON, a publication) before it is destroyed.
void driveModule(const HostModuleTable& table, const Courier& bus, CourierHandle busHandle,
                 Failures& failures)
{
    const HMODULE library = GetModuleHandleW(L"Wardline.dll");
    const auto versionNumber = exportOf<std::uint32_t (*)()>(library, "GetVersionNum");
    const auto versionText = exportOf<const char* (*)()>(library, "GetVersionStr");
    failures.check(versionNumber != nullptr && versionNumber() == 2001000u, "GetVersionNum");
    failures.check(versionText != nullptr && std::strcmp(versionText(), "2.1.0") == 0, "GetVersionStr");

    void* failing = nullptr;
    failures.check(table.NewModule(&failing, L"UnloadHost") == 0, "NewModule");
    failures.check(table.InitializeModuleV2(failing, L"Wardline", L"", 0, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr) == kUnknownException,
                   "InitializeModuleV2 without a bus");
    failures.check(table.DestroyModule(failing) == 0, "DestroyModule after a failed initialisation");

    void* module = nullptr;
    failures.check(table.NewModule(&module, L"UnloadHost") == 0, "NewModule");
    failures.check(table.InitializeModuleV2(module, L"Wardline", L"", 0, nullptr, nullptr, nullptr, nullptr,
                                            busHandle, bus.table) == 0,
                   "InitializeModuleV2");
    failures.check(table.DirectMessage(module, nullptr, L"Core.Internal.Protection.State", L"UnloadHost",
                                       L"{\"state\":\"red\"}") == 0,
                   "DirectMessage with a state report");
    failures.check(
        table.DirectMessage(module, nullptr, L"Core.Protection.RefreshState", L"UnloadHost", L"") == 0,
        "DirectMessage with a refresh");
    failures.check(table.DestroyModule(module) == 0, "DestroyModule");
}

} // namespace

// Each round loads the library, lets the host threads that stay alive and
// one thread that ends before the unload call into it, and frees it again.
TEST(Unload, LoadAndFreeFromHostThreadsLosesNoHandlesTlsSlotsOrMemory)
{
    Courier bus;
    ASSERT_TRUE(bus.loaded()) << "Courier.dll or one of its exports is missing";
    std::vector<std::unique_ptr<Handle>> busHandles;
    for (unsigned i = 0; i <= kHostThreads; ++i)
    {
        busHandles.push_back(std::make_unique<Handle>(bus.table));
        ASSERT_EQ(0u, busHandles.back()->status);
    }
    HostThreads hostThreads(kHostThreads);
    Failures failures;

    const auto cycle = [&](int number)
    {
        WardlineLibrary wardline;
        ASSERT_NE(nullptr, wardline.table) << "Wardline.dll or its CreateObject is missing";
        hostThreads.runRound([&](unsigned index)
                             { driveModule(*wardline.table, bus, *busHandles[index], failures); });
        std::thread shortLived([&]
                               { driveModule(*wardline.table, bus, *busHandles[kHostThreads], failures); });
        shortLived.join();
        for (const std::string& failure : failures.take())
        {
            ADD_FAILURE() << "cycle " << number << ": " << failure;
        }
    };

    // Whatever the process creates once, on the first load or the first call
    // from a thread, is there before the count.
    for (int i = 0; i < kWarmUpCycles; ++i)
    {
        cycle(i);
    }
    const std::map<std::string, int> before = handlesByType();
    const DWORD slotBefore = lowestFreeTlsSlot();
    const std::size_t heapBefore = crtHeapInUse();
    ASSERT_FALSE(before.empty());

    for (int i = 0; i < kCycles; ++i)
    {
        cycle(kWarmUpCycles + i);
    }

    const std::map<std::string, int> after = handlesByType();
    for (const auto& [type, count] : after)
    {
        const auto found = before.find(type);
        const int grown = count - (found != before.end() ? found->second : 0);
        EXPECT_LE(grown, kHandleSlack)
            << type << " handles grew by " << grown << " in " << kCycles
            << " cycles; before: " << describe(before) << "after: " << describe(after);
    }
    EXPECT_EQ(slotBefore, lowestFreeTlsSlot())
        << "lowest free TLS slot before and after " << kCycles << " cycles";
    // What one load used to keep (libstdc++'s emergency exception pool alone
    // is about 73 KB) would show many times over.
    const std::size_t heapAfter = crtHeapInUse();
    EXPECT_LT(heapAfter, heapBefore + 1024 * kCycles)
        << "C runtime heap in use: " << heapBefore << " bytes before, " << heapAfter << " after " << kCycles
        << " cycles";
    std::printf("after %d cycles: %s; C runtime heap in use %zu bytes (before %zu)\n", kCycles,
                describe(after).c_str(), heapAfter, heapBefore);
}

// Storage the library keeps for a thread goes when the thread ends, not only
// at the unload: a host that runs short-lived threads keeps the library's
// memory flat while it stays loaded.
TEST(Unload, AThreadsStorageGoesWhenTheThreadEnds)
{
    WardlineLibrary wardline;
    ASSERT_NE(nullptr, wardline.table) << "Wardline.dll or its CreateObject is missing";
    // Each module's settings client opens Courier.dll, which a host has loaded
    // for its own bus: held here the same way, so that only the library's own
    // storage is measured, not what loading the bus library costs each time.
    const Norvan::unique_hmodule hostBus(LoadLibraryW(L"Courier.dll"));
    ASSERT_TRUE(hostBus) << "Courier.dll is missing beside the test";
    // Each thread throws and catches inside the library: its exception
    // globals are thread-local storage of the library.
    const auto throwInside = [&]
    {
        void* module = nullptr;
        if (wardline.table->NewModule(&module, L"UnloadHost") == 0)
        {
            wardline.table->InitializeModuleV2(module, L"Wardline", L"", 0, nullptr, nullptr, nullptr,
                                               nullptr, nullptr, nullptr);
            wardline.table->DestroyModule(module);
        }
    };
    std::thread(throwInside).join();
    const std::size_t before = crtHeapInUse();
    constexpr int kThreads = 200;
    for (int i = 0; i < kThreads; ++i)
    {
        std::thread(throwInside).join();
    }
    const std::size_t after = crtHeapInUse();
    std::printf("C runtime heap in use: %zu bytes before, %zu after %d threads\n", before, after, kThreads);
    EXPECT_LT(after, before + 16 * kThreads);
}
