#include "dll/DllLoader.h"

#include "Logging/Log.h"
#include "module/CallGuarded.h"

namespace Norvan
{

namespace
{
constexpr wchar_t kFile[] = L"dll\\DllLoader";
} // namespace

DllLoader::DllLoader(std::shared_ptr<DllAPI> api) : api_(api ? std::move(api) : std::make_shared<DllAPI>()) {}

DllLoader::~DllLoader() = default;

bool DllLoader::loadDLL(const std::wstring& path, HMODULE* module)
{
    if (module == nullptr)
    {
        WL_LOG(ETWLogging::LevelWarning, kFile, L"Norvan::DllLoader::loadDLL",
               L"Invalid pHandle specified. Exiting.");
        return false;
    }
    if (api_->getModuleHandleEx(0, path.c_str(), module))
    {
        return true;
    }
    const ModuleStatus status = callGuarded(
        [&]() -> ModuleStatus
        {
            return api_->loadLibrary(path.c_str(), module) ? ModuleStatus(0)
                                                           : ModuleStatus(MODULE_STATUS_UNSUCCESSFUL);
        });
    if (status != 0)
    {
        *module = nullptr;
        WL_LOG(ETWLogging::LevelError, kFile, L"Norvan::DllLoader::loadDLL",
               L"Failed to load library. Error code: %ls(%lu).", moduleStatusName(status), status);
        return false;
    }
    return true;
}

FARPROC DllLoader::getProcAddress(HMODULE module, const char* name)
{
    FARPROC address = nullptr;
    callGuarded(
        [&]() -> ModuleStatus
        {
            address = api_->getProcAddress(module, name);
            if (address == nullptr)
            {
                WL_LOG(ETWLogging::LevelWarning, kFile,
                       L"Norvan::DllLoader::getProcAddress::<lambda_1>::operator ()",
                       L"getProcAddress was unsuccessful in finding the handle's address");
            }
            return 0;
        });
    return address;
}

bool DllLoader::freeDLL(HMODULE module)
{
    return api_->freeLibrary(module);
}

} // namespace Norvan
