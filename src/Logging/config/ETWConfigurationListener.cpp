#include "Logging/config/ETWConfigurationListener.h"

#include "Logging/config/RegKey.h"

#include <initializer_list>
#include <new>

namespace ETWLogging
{

CETWConfigurationListener::CETWConfigurationListener(const internal::ETWAppProperties& properties,
                                                     CLoggingIf* writer)
    : properties_(properties), writer_(writer)
{
}

CETWConfigurationListener::~CETWConfigurationListener() = default;

void CETWConfigurationListener::OnConfigurationChange(bool enabled, DWORD level, DWORD /*flags*/)
{
    if (writer_ == nullptr)
    {
        return;
    }
    writer_->SetEnabled(enabled);
    writer_->SetSeverity(level);

    try
    {
        HKEY root = nullptr;
        std::wstring provider;
        GetProviderKey(root, provider);
        ApplyRegistryOverrides(root, provider.c_str());

        for (const wchar_t* name : {writer_->GetApplicationName(), writer_->GetSourceName()})
        {
            if (name != nullptr && *name != L'\0')
            {
                const std::wstring path = provider + L"\\" + name;
                ApplyRegistryOverrides(root, path.c_str());
            }
        }
    }
    catch (const std::bad_alloc&)
    {
        // The session's own request stays applied.
    }
}

bool CETWConfigurationListener::Attach(CLoggingIf* writer)
{
    if (writer_ != nullptr || writer == nullptr)
    {
        return false;
    }
    writer_ = writer;
    return true;
}

void CETWConfigurationListener::GetProviderKey(HKEY& root, std::wstring& path) const
{
    root = properties_.RegistryRoot();
    path = properties_.ProviderKeyPath();
}

DWORD CETWConfigurationListener::ApplyRegistryOverrides(HKEY root, const wchar_t* path)
{
    if (writer_ == nullptr)
    {
        return ERROR_INVALID_HANDLE;
    }
    // An empty path would open the root itself.
    if (path == nullptr || *path == L'\0')
    {
        return ERROR_INVALID_PARAMETER;
    }
    Plinth::CObfuscatedRegKey key;
    const DWORD status = key.Open(root, path, KEY_READ);
    if (status != 0)
    {
        return status;
    }
    DWORD value = 0;
    if (key.ReadDword(L"Enable", value) == 0)
    {
        writer_->SetEnabled(value != 0);
    }
    if (key.ReadDword(L"Severity", value) == 0)
    {
        writer_->SetSeverity(value);
    }
    return 0;
}

} // namespace ETWLogging
