// A second process for the log-file tests.
//   logfile_child write <application> <tag> <threads> <lines> <tail lines> <barrier>
//     writes numbered lines through the module's WriteLog from several threads
//     into one log set; each thread writes its tail lines only after every
//     writer has reached the named barrier (LogFileTest::WriterBarrier).
//   logfile_child hold <set folder> <ready event> <milliseconds>
//     takes the set's lock, sets the event and keeps the lock that long.
//   logfile_child exit-in-write <Wardline.dll>
//     loads the module (printing "LOADED-MS <n>"), lets a thread log a line,
//     and ends the process while that thread is inside the write.

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

int WriteLines(wchar_t** args)
{
    const wchar_t* tag = args[1];
    const int threads = _wtoi(args[2]);
    const int lines = _wtoi(args[3]);
    const int tail = _wtoi(args[4]);
    LogFileTest::WriterBarrier barrier(args[5]);

    auto* writer = new ETWLogging::CLogging();
    const DWORD initialized = writer->Initialize(args[0], nullptr, nullptr, nullptr);
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
                for (int i = 0; i < lines + tail; ++i)
                {
                    if (i == lines && !barrier.ArriveAndWait())
                    {
                        ++failures;
                    }
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
    return failures.load() == 0 ? 0 : 1;
}

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

int ExitInWrite(const wchar_t* library)
{
    const ULONGLONG start = ::GetTickCount64();
    const HMODULE module = ::LoadLibraryW(library);
    std::printf("LOADED-MS %llu\n", ::GetTickCount64() - start);
    std::fflush(stdout);
    const auto create = reinterpret_cast<const void* (*)()>(
        reinterpret_cast<void*>(::GetProcAddress(module, "CreateObject")));
    if (create == nullptr)
    {
        return 3;
    }
    // The table's first function is NewModule, which logs the refused call.
    static NewModuleFn newModule = *static_cast<const NewModuleFn*>(create());
    Norvan::unique_handle entered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    static HANDLE enteredEvent = entered.get();
    Norvan::unique_handle writer(::CreateThread(
        nullptr, 0,
        [](void*) -> DWORD
        {
            ::SetEvent(enteredEvent);
            return newModule(nullptr, L"host");
        },
        nullptr, 0, nullptr));
    // The line waits for the set the test holds, with the writer's lock held.
    ::WaitForSingleObject(entered.get(), 60 * 1000);
    ::Sleep(1000);
    std::printf("EXITING\n");
    std::fflush(stdout);
    ::ExitProcess(0);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    int result = 2;
    if (argc == 8 && std::wcscmp(argv[1], L"write") == 0)
    {
        result = WriteLines(argv + 2);
    }
    else if (argc == 5 && std::wcscmp(argv[1], L"hold") == 0)
    {
        result = HoldSet(argv + 2);
    }
    else if (argc == 3 && std::wcscmp(argv[1], L"exit-in-write") == 0)
    {
        result = ExitInWrite(argv[2]);
    }
    else
    {
        std::printf("usage: see the top of LogWriterChild.cpp\n");
    }
    std::fflush(stdout);
    return result;
}
