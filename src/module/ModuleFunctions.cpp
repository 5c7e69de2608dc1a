#include "module/ModuleFunctions.h"

#include "Logging/Log.h"
#include "message/Message.h"
#include "message/MessageBusClient.h"
#include "message/MessageBusShimImpl.h"
#include "module/BaseModule.h"
#include "module/CallGuarded.h"
#include "module/IOCContainer.h"
#include "module/ModuleExports.h"
#include "protection/WardlineImpl.h"
#include "settings/SettingsManagerClient.h"

#include <new>

namespace Norvan
{

namespace
{
constexpr const wchar_t kLogFile[] = L"ModuleFunctions";
constexpr const wchar_t kRegistrationName[] = L"Unnamed registration";

// The refusal of a bad handle or handle address. Its level check may be what
// creates the log manager, and that creation may throw (again, when it failed
// at process attach): the line is then lost, but the exception must not reach
// the host and the refusal keeps its status.
void logRefusal(const wchar_t* function, const wchar_t* message) noexcept
{
    callGuarded([&] {
        WL_LOG(ETWLogging::LevelError, kLogFile, function, message);
        return MODULE_STATUS_SUCCESS;
    });
}

// A handle is usable when it holds a module; DestroyModule alone accepts one
// without (it frees the handle either way).
bool checkHandle(const ModuleHandle* handle, const wchar_t* function) noexcept
{
    if (handle == nullptr || handle->module == nullptr)
    {
        logRefusal(function, L"Invalid handle.");
        return false;
    }
    return true;
}

void registerSettingsManagerClient(Plinth::IOCContainer& container)
{
    // One owner for both registrations, destroying the client through the
    // interface it is registered under. A client that could not be built
    // (getInstance logged why) is registered as empty pointers all the same:
    // the module's settings writes then report that there is no client.
    std::unique_ptr<SettingsManager> owned(SettingsManagerClient::getInstance());
    std::shared_ptr<SettingsManager> manager(std::move(owned));
    std::shared_ptr<SettingsManagerClient> client = std::static_pointer_cast<SettingsManagerClient>(manager);
    container.registerInstance<SettingsManager>(kRegistrationName, std::move(manager));
    container.registerInstance<SettingsManagerClient>(kRegistrationName, std::move(client));
}

ModuleStatus NewModule(ModuleHandle** handleAddress, const wchar_t* applicationName)
{
    if (handleAddress == nullptr)
    {
        logRefusal(L"NewModule", L"Invalid handle address.");
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    return callGuarded([&]() -> ModuleStatus {
        if (applicationName != nullptr && *applicationName != L'\0')
        {
            // Takes effect only if the log manager is created after this.
            ETWLogging::SetLogProperties(nullptr, applicationName, nullptr, nullptr, 0);
        }

        auto container = std::make_shared<Plinth::IOCContainer>();
        registerSettingsManagerClient(*container);

        std::unique_ptr<Module> module(new (std::nothrow) WardlineImpl(container));
        if (!module)
        {
            return MODULE_STATUS_UNSUCCESSFUL;
        }
        auto* handle = new ModuleHandle{[](Module* owned) { delete owned; }, module.get()};
        static_cast<void>(module.release()); // the handle's now
        *handleAddress = handle;
        return MODULE_STATUS_SUCCESS;
    });
}

ModuleStatus DestroyModule(ModuleHandle* handle)
{
    if (handle == nullptr)
    {
        logRefusal(L"DestroyModule", L"Invalid handle.");
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    return callGuarded([&]() -> ModuleStatus {
        if (handle->module != nullptr)
        {
            handle->deleter(handle->module);
            handle->module = nullptr;
        }
        delete handle;
        return MODULE_STATUS_SUCCESS;
    });
}

using BusFactory = std::shared_ptr<MessageBus> (*)(void* busHandle, const void* busFunctions);

ModuleStatus initializeModule(ModuleHandle* handle, const wchar_t* name, const wchar_t* secondaryName,
                              std::uint32_t propertyCount, const wchar_t* const* propertyNames,
                              const wchar_t* const* propertyValues, void* moduleManager,
                              internal::ModuleManagerCallback moduleManagerCallback, BusFactory makeBus,
                              void* busHandle, const void* busFunctions, const wchar_t* logFunction)
{
    auto* base = dynamic_cast<BaseModule*>(handle->module);
    if (base == nullptr)
    {
        return handle->module->initialize();
    }

    // The host promises non-null strings and property arrays; a host that
    // breaks the promise gets a status instead of a crash.
    if (name == nullptr || secondaryName == nullptr ||
        (propertyCount != 0 && (propertyNames == nullptr || propertyValues == nullptr)))
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, logFunction, L"Invalid initialization arguments.");
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    ModuleProperties properties;
    for (std::uint32_t i = 0; i < propertyCount; ++i)
    {
        if (propertyNames[i] == nullptr || propertyValues[i] == nullptr)
        {
            WL_LOG(ETWLogging::LevelError, kLogFile, logFunction, L"Invalid initialization arguments.");
            return MODULE_STATUS_INVALID_PARAMETER;
        }
        properties.emplace(propertyNames[i], propertyValues[i]); // the first value of a name stays
    }

    auto managerShim = std::make_shared<internal::ModuleManagerShim>(moduleManager, moduleManagerCallback);
    std::shared_ptr<MessageBus> bus = makeBus(busHandle, busFunctions);

    const ModuleStatus status = base->baseInitialize(name, secondaryName, properties, std::move(managerShim),
                                                     std::move(bus));
    if (status != MODULE_STATUS_SUCCESS)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, logFunction, L"Failed to initialize base module. Error code %lu.",
               status);
        return status;
    }
    return handle->module->initialize();
}

ModuleStatus InitializeModule(ModuleHandle* handle, const wchar_t* name, const wchar_t* secondaryName,
                              std::uint32_t propertyCount, const wchar_t* const* propertyNames,
                              const wchar_t* const* propertyValues, void* moduleManager,
                              internal::ModuleManagerCallback moduleManagerCallback)
{
    if (!checkHandle(handle, L"InitializeModule"))
    {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    return callGuarded([&]() -> ModuleStatus {
        // Without a bus from the host the client finds and loads the bus library itself.
        BusFactory ownBus = [](void*, const void*) -> std::shared_ptr<MessageBus> {
            return std::make_shared<MessageBusClient>();
        };
        return initializeModule(handle, name, secondaryName, propertyCount, propertyNames, propertyValues,
                                moduleManager, moduleManagerCallback, ownBus, nullptr, nullptr,
                                L"InitializeModule::initialize");
    });
}

ModuleStatus InitializeModuleV2(ModuleHandle* handle, const wchar_t* name, const wchar_t* secondaryName,
                                std::uint32_t propertyCount, const wchar_t* const* propertyNames,
                                const wchar_t* const* propertyValues, void* moduleManager,
                                internal::ModuleManagerCallback moduleManagerCallback, void* busHandle,
                                const void* busFunctions)
{
    if (!checkHandle(handle, L"InitializeModuleV2"))
    {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    return callGuarded([&]() -> ModuleStatus {
        BusFactory hostBus = [](void* hostHandle, const void* hostFunctions) -> std::shared_ptr<MessageBus> {
            // Throws ModuleException for a null handle or table.
            auto shim = std::make_shared<MessageBusShimImpl>(
                hostHandle, static_cast<const MessageBusFunctionTable*>(hostFunctions));
            return std::make_shared<MessageBusClient>(std::move(shim), nullptr);
        };
        return initializeModule(handle, name, secondaryName, propertyCount, propertyNames, propertyValues,
                                moduleManager, moduleManagerCallback, hostBus, busHandle, busFunctions,
                                L"InitializeModuleV2::initialize");
    });
}

ModuleStatus StartModule(ModuleHandle* handle)
{
    if (!checkHandle(handle, L"StartModule"))
    {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    return callGuarded([&] { return handle->module->start(); });
}

ModuleStatus StopModule(ModuleHandle* handle)
{
    if (!checkHandle(handle, L"StopModule"))
    {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    return callGuarded([&] { return handle->module->stop(); });
}

ModuleStatus UninitializeModule(ModuleHandle* handle)
{
    if (!checkHandle(handle, L"UninitializeModule"))
    {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    return callGuarded([&] { return handle->module->uninitialize(); });
}

ModuleStatus DirectMessage(ModuleHandle* handle, const void* context, const wchar_t* name, const wchar_t* source,
                           const wchar_t* payload)
{
    if (!checkHandle(handle, L"DirectMessage"))
    {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    return callGuarded([&]() -> ModuleStatus {
        if (name == nullptr || source == nullptr || payload == nullptr)
        {
            WL_LOG(ETWLogging::LevelError, kLogFile, L"DirectMessage", L"Invalid message arguments.");
            return MODULE_STATUS_INVALID_PARAMETER;
        }
        std::shared_ptr<Message> message;
        const ModuleStatus created = createMessage(message, name, source, payload);
        if (!message)
        {
            return created != MODULE_STATUS_SUCCESS ? created : MODULE_STATUS_NO_MEMORY;
        }
        copyContext(message, context);

        auto* base = dynamic_cast<BaseModule*>(handle->module);
        if (base == nullptr)
        {
            return MODULE_STATUS_SUCCESS;
        }
        return base->directMessage(message);
    });
}

const ModuleFunctionTable kModuleFunctionTable = {
    &NewModule,  &DestroyModule,      &InitializeModule, &StartModule,
    &StopModule, &UninitializeModule, &DirectMessage,    &InitializeModuleV2,
};

} // namespace

const ModuleFunctionTable& moduleFunctionTable() noexcept
{
    return kModuleFunctionTable;
}

} // namespace Norvan

extern "C" const void* CreateObject()
{
    return &Norvan::moduleFunctionTable();
}
