// Makes one memory error that the guard-page heap must stop, named by its
// argument; "survived" means it was not stopped.
#include "GuardHeap.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
// Out of the optimiser's sight: the errors below must really happen.
char* volatile g_block;

// A thread that never leaves the heap alone.
DWORD WINAPI allocateForever(void*)
{
    for (;;)
    {
        g_block = static_cast<char*>(std::malloc(64));
        std::free(g_block);
    }
}

void makeError(const char* kind)
{
    if (std::strcmp(kind, "overrun") == 0)
    {
        g_block = static_cast<char*>(std::malloc(32));
        g_block[32] = 'x';
    }
    else if (std::strcmp(kind, "overrun-unaligned") == 0)
    {
        g_block = static_cast<char*>(std::malloc(13));
        g_block[13] = 'x';
        std::free(g_block);
    }
    else if (std::strcmp(kind, "read-after-free") == 0)
    {
        g_block = static_cast<char*>(std::malloc(32));
        std::free(g_block);
        std::printf("%d\n", g_block[0]);
    }
    else if (std::strcmp(kind, "double-free") == 0)
    {
        g_block = static_cast<char*>(std::malloc(32));
        std::free(g_block);
        std::free(g_block);
    }
    else if (std::strcmp(kind, "foreign-free") == 0)
    {
        char local[32];
        g_block = local;
        std::free(g_block);
    }
    else if (std::strcmp(kind, "exit-while-allocating") == 0)
    {
        if (::LoadLibraryW(L"guardheap_library.dll") == nullptr)
        {
            std::printf("guardheap_library.dll: error %lu\n", ::GetLastError());
            std::exit(2);
        }
        // Caught inside the heap, its lock held, when the process ends.
        const HANDLE thread = ::CreateThread(nullptr, 0, &allocateForever, nullptr, 0, nullptr);
        for (;;)
        {
            ::SuspendThread(thread);
            ::Sleep(10); // Wine stops a thread asynchronously
            if (GuardHeap::Locked())
            {
                break;
            }
            ::ResumeThread(thread);
        }
        std::printf("survived\n");
        std::fflush(stdout);
        ::ExitProcess(0); // the program's own exit handlers would wait for the lock too
    }
    else if (std::strcmp(kind, "none") == 0)
    {
        char* text = new char[100];
        std::memset(text, 'a', 100);
        delete[] text;
    }
}
} // namespace

int main(int argc, char** argv)
{
    if (argc > 1)
    {
        makeError(argv[1]);
    }
    std::printf("survived\n");
    return 0;
}
