#include "wrappers/RegistryAPI.h"

#include "Logging/config/RegKey.h"

namespace Norvan
{

namespace
{
// KEY_READ, spelled as the host framework's readers open their keys.
constexpr REGSAM kReadAccess = 0x20019;
} // namespace

ModuleStatus RegistryAPI::getString(const std::wstring& keyPath, const std::wstring& valueName,
                                    std::wstring& value)
{
    Plinth::CRegKey key;
    std::wstring text;
    if (key.Open(HKEY_LOCAL_MACHINE, keyPath.c_str(), kReadAccess) != 0 ||
        key.ReadString(valueName.c_str(), text) != 0 || text.size() > kMaxStringLength)
    {
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    value.swap(text);
    return 0;
}

ModuleStatus RegistryAPI::getDword(const std::wstring& keyPath, const std::wstring& valueName, DWORD& value)
{
    Plinth::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, keyPath.c_str(), kReadAccess) != 0 ||
        key.ReadDword(valueName.c_str(), value) != 0)
    {
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    return 0;
}

} // namespace Norvan
