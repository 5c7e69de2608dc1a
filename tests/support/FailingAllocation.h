#pragma once

// Allocation failures on demand for the test programs that link
// FailingAllocation.cpp, which replaces the global allocator: every
// allocation is served as usual except the one a test chooses.

namespace WardlineTest
{

// For its lifetime, the `served`-th allocation of this thread from now
// (0 = the next one) raises std::bad_alloc; every other one is served.
class FailOneAllocation
{
public:
    explicit FailOneAllocation(long served);
    ~FailOneAllocation();
    FailOneAllocation(const FailOneAllocation&) = delete;
    FailOneAllocation& operator=(const FailOneAllocation&) = delete;

    // Whether the chosen allocation was reached (and failed).
    bool Failed() const;
};

// Runs `operation` with its first allocation failing, then its second, and
// so on, until a run reaches no failing allocation; `afterFailure(n)` checks
// what the run that failed at allocation n left behind (with every
// allocation served again). Returns the number of failing runs, or -1 when
// the operation still allocated after `limit` runs. `Failure` is the scope
// that makes the n-th allocation fail: the global allocator's by default, or
// another heap's (FailingJSONHeap).
template <typename Failure = FailOneAllocation, typename Operation, typename AfterFailure>
long FailEachAllocationInTurn(Operation operation, AfterFailure afterFailure, long limit = 2000)
{
    for (long served = 0; served < limit; ++served)
    {
        bool failed = false;
        {
            Failure failing(served);
            operation();
            failed = failing.Failed();
        }
        if (!failed)
        {
            return served;
        }
        afterFailure(served);
    }
    return -1;
}

} // namespace WardlineTest
