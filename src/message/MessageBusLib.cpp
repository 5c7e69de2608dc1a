#include "message/MessageBusLib.h"

#include "Logging/Log.h"
#include "message/MessageBusShimImpl.h"
#include "module/CallGuarded.h"
#include "module/ModuleException.h"
#include "module/ModuleExports.h"
#include "performance/PerfTimer.h"
#include "wrappers/UniqueResource.h"

#include <knownfolders.h>

namespace Norvan
{

namespace
{

constexpr wchar_t kFile[] = L"MessageBusLib";

// Process-wide, fixed once the library is loaded.
const std::wstring g_busLibrary = L"Courier.dll";
const std::vector<std::wstring> g_searchList = {L"$(App.Folder)", L"$(Hubframe.InstallDir)"};

} // namespace

MessageBusLib::Environment MessageBusLib::Environment::defaults()
{
    Environment environment;
    environment.fileName = g_busLibrary;
    environment.searchList = g_searchList;
    return environment;
}

MessageBusLib::MessageBusLib(std::shared_ptr<SharedLibrary> library, std::shared_ptr<MessageBusShim> shim)
    : MessageBusLib(std::move(library), std::move(shim), Environment::defaults())
{
}

MessageBusLib::MessageBusLib(std::shared_ptr<SharedLibrary> library, std::shared_ptr<MessageBusShim> shim,
                             Environment environment)
    : library_(std::move(library)), shim_(std::move(shim)), environment_(std::move(environment))
{
    internal::PerfTimer timer(L"MessageBusLib::MessageBusLib");
    if (!library_)
    {
        LibraryDescription description;
        if (environment_.searchList.empty())
        {
            description = loadFromRegistry();
        }
        else
        {
            description.fileName = environment_.fileName;
            description.folders = environment_.searchList;
        }
        library_ = std::make_shared<SharedLibrary>(description, environment_.loader, nullptr, nullptr,
                                                   nullptr, nullptr);
    }

    const HostLibraryFunctions* exports = library_->getFunctions();
    functions_ =
        exports->CreateObject != nullptr
            ? static_cast<const MessageBusFunctionTable*>(exports->CreateObject(kModuleVersionNumber))
            : nullptr;
    if (functions_ == nullptr)
    {
        WL_LOG(ETWLogging::LevelError, kFile, L"Norvan::MessageBusLib::MessageBusLib",
               L"Failed to get message bus functions object. Throwing ModuleException.");
        throw ModuleException("Failed to get message bus functions object");
    }

    const ModuleStatus status =
        functions_->getHandle != nullptr ? functions_->getHandle(&handle_) : MODULE_STATUS_NOT_IMPLEMENTED;
    if (status != 0)
    {
        // Whatever the library left there is not ours to give back.
        handle_ = nullptr;
        WL_LOG(ETWLogging::LevelError, kFile, L"Norvan::MessageBusLib::MessageBusLib",
               L"Failed to get message bus handle. Error code: %ls(%lu). Throwing ModuleException.",
               moduleStatusName(status), status);
        throw ModuleException("Failed to get message bus handle");
    }

    if (!shim_)
    {
        try
        {
            shim_ = std::make_shared<MessageBusShimImpl>(handle_, functions_);
        }
        catch (...)
        {
            releaseHandle();
            throw;
        }
    }
}

MessageBusLib::~MessageBusLib()
{
    shim_.reset();
    releaseHandle();
    library_.reset();
}

void MessageBusLib::releaseHandle() noexcept
{
    if (handle_ == nullptr || functions_ == nullptr || functions_->releaseHandle == nullptr)
    {
        return;
    }
    callGuarded(
        [this]() -> ModuleStatus
        {
            const ModuleStatus status = functions_->releaseHandle(handle_);
            if (status != 0)
            {
                WL_LOG(ETWLogging::LevelWarning, kFile,
                       L"Norvan::MessageBusLib::{dtor}::<lambda_1>::operator ()",
                       L"Failed to release message bus. Error code %ls(%lu).", moduleStatusName(status),
                       status);
            }
            return status;
        });
    handle_ = nullptr;
}

LibraryDescription MessageBusLib::loadFromRegistry() const
{
    const std::shared_ptr<Plinth::OSInfo> osInfo =
        environment_.osInfo ? environment_.osInfo : std::make_shared<Plinth::OSInfo>();
    const std::shared_ptr<RegistryAPI> registry =
        environment_.registry ? environment_.registry : std::make_shared<RegistryAPI>();
    const std::shared_ptr<ShlObjAPI> shell =
        environment_.shell ? environment_.shell : std::make_shared<ShlObjAPI>();

    const bool wow64 = osInfo->IsWow64();
    std::wstring folder;
    if (registry->getString(L"SOFTWARE\\KORVEX\\HUBFRM", wow64 ? L"Install Dir32" : L"Install Dir", folder) !=
        0)
    {
        folder.clear();
        if (wow64)
        {
            WL_LOG(ETWLogging::LevelError, kFile, L"Norvan::MessageBusLib::loadFromRegistry",
                   L"Failed to retrieve Hubfrm WoW64 path from registry");
        }
        else
        {
            WL_LOG(ETWLogging::LevelError, kFile, L"Norvan::MessageBusLib::loadFromRegistry",
                   L"Failed to retrieve Hubfrm path from registry");
        }
    }
    if (folder.empty())
    {
        unique_cotaskmem_string common;
        if (SUCCEEDED(shell->getKnownFolderPath(FOLDERID_ProgramFilesCommon, 0, nullptr, common.put())) &&
            common)
        {
            folder = std::wstring(common.get()) + L"\\Korvex\\Hubframe";
        }
    }
    WL_LOG(ETWLogging::LevelInformation, kFile, L"Norvan::MessageBusLib::loadFromRegistry",
           L"Loading MesageBusLib by force from path: %s", folder.c_str());
    return LibraryDescription{environment_.fileName, {folder}};
}

ModuleStatus MessageBusLib::publish(const std::shared_ptr<Message>& message, bool extended)
{
    return shim_->publish(message, extended);
}

ModuleStatus MessageBusLib::request(const std::shared_ptr<Message>& message, std::uint64_t requestIndex,
                                    void* replyContext, const std::chrono::milliseconds& timeout,
                                    bool extended)
{
    return shim_->request(message, requestIndex, replyContext, timeout, extended);
}

ModuleStatus MessageBusLib::removeReplyCallback()
{
    return shim_->removeReplyCallback();
}

std::uint32_t MessageBusLib::subscribe(const std::wstring& name, void* handlerContext)
{
    return shim_->subscribe(name, handlerContext);
}

std::uint32_t MessageBusLib::subscribeFilter(const std::wstring& pattern, void* handlerContext)
{
    return shim_->subscribeFilter(pattern, handlerContext);
}

ModuleStatus MessageBusLib::unsubscribe(std::uint32_t subscriptionId)
{
    return shim_->unsubscribe(subscriptionId);
}

} // namespace Norvan
