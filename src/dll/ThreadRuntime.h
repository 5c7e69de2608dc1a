#pragma once

namespace Norvan::runtime
{
// The library entry point reports here when a thread ends and when the
// library is unloaded (`processTerminating`: the whole process is ending).
void onThreadDetach() noexcept;
void onProcessDetach(bool processTerminating) noexcept;
} // namespace Norvan::runtime
