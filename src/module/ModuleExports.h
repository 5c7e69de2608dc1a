#pragma once

#include <cstdint>

// The four exports every library of the host framework has. Undecorated C
// names, listed in the library's .def file.
extern "C"
{
    const void* CreateObject();
    void ReleaseObject();
    std::uint32_t GetVersionNum();
    const char* GetVersionStr();
}

namespace Norvan
{
// 2.1.0 as major * 1,000,000 + minor * 1,000 + patch. Also the framework
// interface version the host's libraries are asked for.
constexpr std::uint32_t kModuleVersionNumber = 2001000u;
constexpr const char kModuleVersionText[] = "2.1.0";
} // namespace Norvan
