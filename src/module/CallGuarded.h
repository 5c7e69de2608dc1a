#pragma once

#include "module/ModuleStatus.h"

#include <utility>

namespace Norvan
{

// Runs work that answers with a module status and makes sure no exception
// gets past it: every function the host calls, and every callback the host
// bus makes into the module, goes through here.
template <typename Callable>
ModuleStatus callGuarded(Callable&& callable) noexcept
{
    try
    {
        return std::forward<Callable>(callable)();
    }
    catch (...)
    {
        return MODULE_STATUS_UNKNOWN_EXCEPTION;
    }
}

} // namespace Norvan
