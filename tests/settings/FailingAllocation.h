#pragma once

namespace SettingsTest
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
};

} // namespace SettingsTest
