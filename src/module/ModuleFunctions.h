#pragma once

#include "module/ModuleManagerShim.h"
#include "module/ModuleStatus.h"

#include <cstdint>
#include <functional>

namespace Norvan
{

class Module;

// The host's opaque handle: the sole owner of one module.
struct ModuleHandle
{
    std::function<void(Module*)> deleter;
    Module* module = nullptr;
};

// The eight module functions, in the order the host expects them.
struct ModuleFunctionTable
{
    ModuleStatus (*NewModule)(ModuleHandle** handleAddress, const wchar_t* applicationName);
    ModuleStatus (*DestroyModule)(ModuleHandle* handle);
    ModuleStatus (*InitializeModule)(ModuleHandle* handle, const wchar_t* name, const wchar_t* secondaryName,
                                     std::uint32_t propertyCount, const wchar_t* const* propertyNames,
                                     const wchar_t* const* propertyValues, void* moduleManager,
                                     internal::ModuleManagerCallback moduleManagerCallback);
    ModuleStatus (*StartModule)(ModuleHandle* handle);
    ModuleStatus (*StopModule)(ModuleHandle* handle);
    ModuleStatus (*UninitializeModule)(ModuleHandle* handle);
    ModuleStatus (*DirectMessage)(ModuleHandle* handle, const void* context, const wchar_t* name,
                                  const wchar_t* source, const wchar_t* payload);
    ModuleStatus (*InitializeModuleV2)(ModuleHandle* handle, const wchar_t* name, const wchar_t* secondaryName,
                                       std::uint32_t propertyCount, const wchar_t* const* propertyNames,
                                       const wchar_t* const* propertyValues, void* moduleManager,
                                       internal::ModuleManagerCallback moduleManagerCallback, void* busHandle,
                                       const void* busFunctions);
};

static_assert(sizeof(ModuleFunctionTable) == 8 * sizeof(void*), "the host reads eight plain function pointers");

// The static table CreateObject hands out.
const ModuleFunctionTable& moduleFunctionTable() noexcept;

} // namespace Norvan
