// A second process for the log-file tests.
//   logfile_child write <application> <tag> <threads> <lines> <tail lines> <barrier>
//     writes numbered lines through the module's WriteLog from several threads
//     into one log set; each thread writes its tail lines only after every
//     writer has reached the named barrier (LogFileTest::WriterBarrier).

#include "../LogFileSupport.h"
#include "Logging/Log.h"

#include <atomic>
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

} // namespace

int wmain(int argc, wchar_t** argv)
{
    int result = 2;
    if (argc == 8 && std::wcscmp(argv[1], L"write") == 0)
    {
        result = WriteLines(argv + 2);
    }
    else
    {
        std::printf("usage: see the top of LogWriterChild.cpp\n");
    }
    std::fflush(stdout);
    return result;
}
