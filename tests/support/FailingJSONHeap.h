#pragma once

#include "message/JSONDocument.h"

#include <cstddef>
#include <cstdlib>

namespace WardlineTest
{

// For its lifetime, lets the JSON heap serve `allowed` more allocations and
// fail every one after them. One thread at a time.
class FailingJSONHeap
{
public:
    explicit FailingJSONHeap(long allowed)
    {
        left() = static_cast<std::size_t>(allowed);
        refused() = false;
        previous_ = Norvan::internal::setJSONHeapFunctionsForTest(&kFunctions);
    }
    ~FailingJSONHeap() { Norvan::internal::setJSONHeapFunctionsForTest(previous_); }
    FailingJSONHeap(const FailingJSONHeap&) = delete;
    FailingJSONHeap& operator=(const FailingJSONHeap&) = delete;

    // Whether an allocation was refused.
    bool Failed() const { return refused(); }

private:
    static std::size_t& left()
    {
        static std::size_t count = 0;
        return count;
    }
    static bool& refused()
    {
        static bool any = false;
        return any;
    }
    static bool take()
    {
        if (left() == 0)
        {
            refused() = true;
            return false;
        }
        --left();
        return true;
    }
    static void* allocate(std::size_t size) { return take() ? std::malloc(size) : nullptr; }
    static void* reallocate(void* block, std::size_t size)
    {
        return take() ? std::realloc(block, size) : nullptr;
    }

    static constexpr Norvan::internal::JSONHeapFunctions kFunctions = {&allocate, &reallocate};
    const Norvan::internal::JSONHeapFunctions* previous_ = nullptr;
};

} // namespace WardlineTest
