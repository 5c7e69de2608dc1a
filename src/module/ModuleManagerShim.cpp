#include "module/ModuleManagerShim.h"

namespace Norvan
{
namespace internal
{

std::uint32_t ModuleManagerShim::call(std::uintptr_t first, std::uintptr_t /*second*/, std::uintptr_t third)
{
    if (callback_ == nullptr)
    {
        return 0x80000008u; // MODULE_STATUS_INVALID_PARAMETER: the host gave no callback
    }
    return callback_(reinterpret_cast<std::uintptr_t>(manager_), first, 0, third);
}

} // namespace internal
} // namespace Norvan
