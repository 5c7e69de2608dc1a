#pragma once

// The two sizes of a heavy load: short in every test run, full on demand.
// WARDLINE_STRESS=long runs the full loads (make stress, which runs the test
// programs labelled "stress"); anything else the short ones.

#include <cstdlib>
#include <string>

namespace Stress
{

inline bool longMode()
{
    const char* mode = std::getenv("WARDLINE_STRESS");
    return mode != nullptr && std::string(mode) == "long";
}

inline unsigned scaled(unsigned shortCount, unsigned longCount)
{
    return longMode() ? longCount : shortCount;
}

} // namespace Stress
