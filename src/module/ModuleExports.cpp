#include "module/ModuleExports.h"

extern "C" void ReleaseObject()
{
    // The function table is static; there is nothing to give back.
}

extern "C" std::uint32_t GetVersionNum()
{
    return Norvan::kModuleVersionNumber;
}

extern "C" const char* GetVersionStr()
{
    return Norvan::kModuleVersionText;
}
