#pragma once

#include "module/ModuleStatus.h"

#include <windows.h>

#include <string>

namespace Norvan
{

// Reads of HKEY_LOCAL_MACHINE behind an object, so that tests can replace
// them. Results are 0 or MODULE_STATUS_UNSUCCESSFUL; on failure the out value
// is left unchanged.
class RegistryAPI
{
public:
    // Longest text getString hands out: the 260-character buffer the host
    // framework's folders are read into, its terminating NUL included.
    static constexpr std::size_t kMaxStringLength = MAX_PATH - 1;

    virtual ~RegistryAPI() = default;

    // A REG_SZ or REG_EXPAND_SZ value (not expanded). A text longer than
    // kMaxStringLength is refused rather than cut: a cut folder is another
    // folder.
    virtual ModuleStatus getString(const std::wstring& keyPath, const std::wstring& valueName,
                                   std::wstring& value);
    // A REG_DWORD value.
    virtual ModuleStatus getDword(const std::wstring& keyPath, const std::wstring& valueName, DWORD& value);
};

} // namespace Norvan
