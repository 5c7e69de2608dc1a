#pragma once

#include <cstdint>
#include <string>

namespace Norvan
{
namespace internal
{

// Times a named step on the unbiased interrupt-time clock (which stands still
// while the machine sleeps) and logs one machine-readable line when the step
// ends: at stop(), or at destruction, also when the scope is left by an
// exception.
class PerfTimer
{
public:
    explicit PerfTimer(const std::wstring& name);
    ~PerfTimer();
    PerfTimer(const PerfTimer&) = delete;
    PerfTimer& operator=(const PerfTimer&) = delete;

    // Logs "M12NPerfTimer|name|start|end|elapsed" (milliseconds) once.
    void stop();

    // The clock, in milliseconds.
    static std::uint64_t now() noexcept;

private:
    std::uint64_t start_;
    std::wstring name_;
    bool stopped_;
};

} // namespace internal
} // namespace Norvan
