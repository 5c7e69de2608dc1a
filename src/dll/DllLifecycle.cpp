#include "dll/DllLifecycle.h"

#include "Logging/Log.h"
#include "Logging/LogManager.h"

namespace Norvan
{

// Nothing may leave the entry point: an exception there (the log manager's
// creation can throw) would end the host process while it loads us.

void onProcessAttach(HMODULE self)
{
    try
    {
        ETWLogging::CEntryPointScope entryPoint;
        ETWLogging::SetLogProperties(nullptr, L"Wardline", self, nullptr, 0);
        // The first level check creates the log manager with these properties.
        WL_LOG(ETWLogging::LevelNormal, L"dllmain", L"DllMain", L"DLL loaded");
    }
    catch (...)
    {
    }
}

void onProcessDetach()
{
    try
    {
        ETWLogging::CEntryPointScope entryPoint;
        WL_LOG(ETWLogging::LevelNormal, L"dllmain", L"DllMain", L"DLL unloaded");
    }
    catch (...)
    {
    }
}

} // namespace Norvan
