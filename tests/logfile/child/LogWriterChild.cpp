// A second process for the log-file tests: writes numbered lines through the
// module's WriteLog from several threads into one log set, the tail lines of
// each thread only once every writer has reached the named barrier.
// Usage: logfile_child <application> <tag> <threads> <lines per thread> <tail lines> <barrier>
//        logfile_child hold <set folder> <ready event> <milliseconds>
//        logfile_child exit-in-write <Wardline.dll>

#include "../LogFileSupport.h"
#include "Logging/Log.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace
{

// Takes the set's lock, sets the event and keeps the lock that long.
int HoldSet(wchar_t** args)
{
    ETWLogging::CLogSetMutex set;
    set.Open(args[0]);
    Norvan::unique_handle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, args[1]));
    if (!set.Problem().empty() || !set.Acquire(ETWLogging::CLogSetMutex::Wait::Bounded) || !ready)
    {
        return 3;
    }
    ::SetEvent(ready.get());
    ::Sleep(static_cast<DWORD>(_wtoi(args[2])));
    return 0;
}

using NewModuleFn = std::uint32_t (*)(void** handleAddress, const wchar_t* applicationName);

// Loads the module and ends the process while a thread is inside a write of
// it (one that waits for the set the test holds).
int ExitInWrite(const wchar_t* library)
{
    const ULONGLONG start = ::GetTickCount64();
    const HMODULE module = ::LoadLibraryW(library);
    std::printf("LOADED-MS %llu\n", ::GetTickCount64() - start);
    std::fflush(stdout);
    const auto create = reinterpret_cast<const void* (*)()>(
        reinterpret_cast<void*>(::GetProcAddress(module, "CreateObject")));
    // The table's first function is NewModule, which logs the refused call.
    const NewModuleFn newModule = create != nullptr ? *static_cast<const NewModuleFn*>(create()) : nullptr;
    std::atomic<bool> entered{false};
    std::thread([&] { entered = true, newModule(nullptr, L"host"); }).detach();
    while (newModule != nullptr && !entered)
    {
        ::Sleep(1);
    }
    ::Sleep(1000);
    ::ExitProcess(newModule != nullptr ? 0 : 3);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 5 && std::wcscmp(argv[1], L"hold") == 0)
    {
        return HoldSet(argv + 2);
    }
    if (argc == 3 && std::wcscmp(argv[1], L"exit-in-write") == 0)
    {
        return ExitInWrite(argv[2]);
    }
    if (argc != 7)
    {
        std::printf("usage: see LogWriterChild.cpp\n");
        return 2;
    }
    const wchar_t* tag = argv[2];
    const int threads = _wtoi(argv[3]);
    const int lines = _wtoi(argv[4]);
    LogFileTest::WriterBarrier barrier(argv[6]);

    auto* writer = new ETWLogging::CLogging();
    const DWORD initialized = writer->Initialize(argv[1], nullptr, nullptr, nullptr);
    if (initialized != 0)
    {
        std::printf("CHILD-FAILED initialize %lu\n", initialized);
        return 3;
    }
    delete ETWLogging::CLogManager::ReplaceImplementationForTest(writer);

    const std::wstring padding(80, L'x');
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
    {
        workers.emplace_back(
            [&, t]
            {
                for (int i = 0; i < lines + _wtoi(argv[5]); ++i)
                {
                    failures += i == lines && !barrier.ArriveAndWait() ? 1 : 0;
                    if (ETWLogging::WriteLog(1, L"tests\\logfile\\child", L"LogWriterChild", i,
                                             L"%s T%d N%05d %s", tag, t, i, padding.c_str()) != 0)
                    {
                        ++failures;
                    }
                }
            });
    }
    for (std::thread& worker : workers)
    {
        worker.join();
    }
    std::printf("CHILD-DONE %d\n", failures.load());
    std::fflush(stdout);
    return failures.load() == 0 ? 0 : 1;
}
