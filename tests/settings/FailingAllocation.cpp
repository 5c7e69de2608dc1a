// The settings test program replaces the global allocator so that one chosen
// allocation can fail; every other allocation behaves as the library's.

#include "FailingAllocation.h"

#include <cstdlib>
#include <new>

namespace
{
// Allocations on this thread still to be served before the next one fails;
// negative serves every allocation.
thread_local long t_allocationsBeforeFailure = -1;
} // namespace

namespace SettingsTest
{
FailOneAllocation::FailOneAllocation(long served)
{
    t_allocationsBeforeFailure = served;
}
FailOneAllocation::~FailOneAllocation()
{
    t_allocationsBeforeFailure = -1;
}
} // namespace SettingsTest

void* operator new(std::size_t size)
{
    if (t_allocationsBeforeFailure == 0)
    {
        t_allocationsBeforeFailure = -1;
        throw std::bad_alloc();
    }
    if (t_allocationsBeforeFailure > 0)
    {
        --t_allocationsBeforeFailure;
    }
    if (void* block = std::malloc(size != 0 ? size : 1))
    {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}
