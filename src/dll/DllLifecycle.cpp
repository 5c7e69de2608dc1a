#include "dll/DllLifecycle.h"

#include "Logging/Log.h"

namespace Norvan
{

void onProcessAttach(HMODULE self)
{
    ETWLogging::SetLogProperties(nullptr, L"Wardline", self, nullptr, 0);
    // The first level check creates the log manager with these properties.
    WL_LOG(ETWLogging::LevelNormal, L"dllmain", L"DllMain", L"DLL loaded");
}

void onProcessDetach()
{
    WL_LOG(ETWLogging::LevelNormal, L"dllmain", L"DllMain", L"DLL unloaded");
}

} // namespace Norvan
