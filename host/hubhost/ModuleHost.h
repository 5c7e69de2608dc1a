#pragma once

#include "Bus.h"
#include "ContextRecord.h"
#include "Output.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace hubhost
{

// The eight functions every module library hands out, in table order.
struct ModuleFunctionTable
{
    using ManagerCallback = std::uint32_t (*)(std::uintptr_t, std::uintptr_t, std::uintptr_t, std::uintptr_t);

    std::uint32_t (*NewModule)(void** handle, const wchar_t* applicationName);
    std::uint32_t (*DestroyModule)(void* handle);
    std::uint32_t (*InitializeModule)(void* handle, const wchar_t* name, const wchar_t* secondaryName,
                                      std::uint32_t propertyCount, const wchar_t* const* propertyNames,
                                      const wchar_t* const* propertyValues, void* moduleManager,
                                      ManagerCallback moduleManagerCallback);
    std::uint32_t (*StartModule)(void* handle);
    std::uint32_t (*StopModule)(void* handle);
    std::uint32_t (*UninitializeModule)(void* handle);
    std::uint32_t (*DirectMessage)(void* handle, const void* context, const wchar_t* name,
                                   const wchar_t* source, const wchar_t* payload);
    std::uint32_t (*InitializeModuleV2)(void* handle, const wchar_t* name, const wchar_t* secondaryName,
                                        std::uint32_t propertyCount, const wchar_t* const* propertyNames,
                                        const wchar_t* const* propertyValues, void* moduleManager,
                                        ManagerCallback moduleManagerCallback, void* busHandle,
                                        const void* busTable);
};

struct ModuleConfig
{
    std::wstring path;
    std::wstring name; // given at initialisation; also how scripts refer to the module
    std::wstring secondaryName;
};

struct HostConfig
{
    std::wstring applicationName = L"hubhost";
    std::vector<std::pair<std::wstring, std::wstring>> properties;
    bool initializeV1 = false; // the module then finds the bus library itself
};

// The module manager the host hands to every module. Modules only keep it;
// any call of its callback is shown and counted.
struct ModuleManagerStandIn
{
    std::uint32_t magic = 0x4D4D4748u; // "HGMM": recognisable in a debugger
    Output* output = nullptr;
    std::wstring moduleName;
    unsigned calls = 0;
};

// One module library driven through its table, from loading to unloading.
class LoadedModule
{
public:
    LoadedModule(ModuleConfig config, Output& output, Bus& bus);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    const std::wstring& name() const { return m_config.name; }
    bool running() const { return m_handle != nullptr; }

    // Loads the library and runs CreateObject, NewModule, an initialisation
    // and StartModule. False when any of them failed; what could be undone is
    // undone. `failures` counts the module functions that failed.
    bool start(const HostConfig& host, unsigned& failures, std::string& error);

    // StopModule, UninitializeModule, DestroyModule, then the module's bus
    // handle. Does nothing for a module that is not running.
    void stop(unsigned& failures);

    // DirectMessage through slot 6. False when the module is not running.
    bool direct(const RecordOptions& record, const std::wstring& name, const std::wstring& source,
                const std::wstring& payload, std::uint32_t& status);

    static std::uint32_t managerCallback(std::uintptr_t a, std::uintptr_t b, std::uintptr_t c,
                                         std::uintptr_t d);

private:
    std::uint32_t report(const char* function, std::uint32_t status, unsigned& failures);
    void destroy(unsigned& failures);

    ModuleConfig m_config;
    Output& m_output;
    Bus& m_bus;
    HMODULE m_library = nullptr;
    const ModuleFunctionTable* m_table = nullptr;
    void* m_handle = nullptr;
    CourierHandle m_busHandle = nullptr;
    std::unique_ptr<ModuleManagerStandIn> m_manager;
};

} // namespace hubhost
