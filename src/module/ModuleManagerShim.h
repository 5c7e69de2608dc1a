#pragma once

#include <cstdint>

namespace Norvan
{
namespace internal
{

// The host's module-manager callback: four pointer-sized arguments.
using ModuleManagerCallback = std::uint32_t (*)(std::uintptr_t, std::uintptr_t, std::uintptr_t, std::uintptr_t);

// Keeps the host's module-manager object and callback. The module only holds
// on to them; what the callback means is the host's business.
class ModuleManagerShim
{
public:
    ModuleManagerShim(void* manager, ModuleManagerCallback callback) noexcept
        : manager_(manager), callback_(callback)
    {
    }
    virtual ~ModuleManagerShim() = default;

    // Forwards to the host as (manager, first, null, third); the second
    // argument is not passed on.
    virtual std::uint32_t call(std::uintptr_t first, std::uintptr_t second, std::uintptr_t third);

    void* manager() const noexcept { return manager_; }
    ModuleManagerCallback callback() const noexcept { return callback_; }

private:
    void* manager_;
    ModuleManagerCallback callback_;
};

} // namespace internal
} // namespace Norvan
