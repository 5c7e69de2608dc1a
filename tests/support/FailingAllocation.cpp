// Replaces the global allocator of the test program that links it so that
// one chosen allocation can fail; every other allocation behaves as the
// library's.

#include "FailingAllocation.h"

#include <cstdlib>
#include <new>

namespace
{
// Allocations on this thread still to be served before the next one fails;
// negative serves every allocation.
thread_local long t_allocationsBeforeFailure = -1;
thread_local bool t_failed = false;
} // namespace

namespace WardlineTest
{
FailOneAllocation::FailOneAllocation(long served)
{
    t_failed = false;
    t_allocationsBeforeFailure = served;
}
FailOneAllocation::~FailOneAllocation()
{
    t_allocationsBeforeFailure = -1;
}
bool FailOneAllocation::Failed() const
{
    return t_failed;
}
} // namespace WardlineTest

void* operator new(std::size_t size)
{
    if (t_allocationsBeforeFailure == 0)
    {
        t_allocationsBeforeFailure = -1;
        t_failed = true;
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
