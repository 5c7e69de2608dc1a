#pragma once

#include <windows.h>

namespace ETWLogging
{

// The severity a writer can hold: 1 to 6 as given, 0 as 1, anything above 6
// as 6. Both writers' setters go through this.
constexpr DWORD ClampSeverity(DWORD level) noexcept
{
    return level == 0 ? 1 : (level > 6 ? 6 : level);
}

// The process-wide current severity: whatever a writer's SetSeverity stored
// last (3 until then). Returns the value it replaces.
DWORD ExchangeCurrentSeverity(DWORD severity) noexcept;
DWORD CurrentSeverity() noexcept;

} // namespace ETWLogging
