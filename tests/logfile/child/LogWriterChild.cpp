// A second process for the log-file tests: writes numbered lines through the
// module's WriteLog from several threads into one log set.
// Usage: logfile_child <application> <tag> <threads> <lines per thread>

#include "Logging/FileLogging.h"
#include "Logging/Log.h"
#include "Logging/LogManager.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5)
    {
        std::printf("usage: logfile_child <application> <tag> <threads> <lines>\n");
        return 2;
    }
    const wchar_t* tag = argv[2];
    const int threads = _wtoi(argv[3]);
    const int lines = _wtoi(argv[4]);

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
                for (int i = 0; i < lines; ++i)
                {
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
