#include "wrappers/OSInfo.h"

#include "wrappers/FileVersionInfo.h"

namespace Plinth
{

template class internal::OSInfoProxy<WinOSVersionAPI>;

bool WinOSVersionAPI::GetSystemLibraryVersion(std::wstring& version)
{
    wchar_t folder[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
    {
        return false;
    }
    FileVersionInfo info;
    if (!info.Load(std::wstring(folder, length) + L"\\kernel32.dll"))
    {
        return false;
    }
    info.GetString(version, L"ProductVersion");
    return !version.empty();
}

bool WinOSVersionAPI::IsPlatform(DWORD platformId)
{
    OSVERSIONINFOEXW wanted = {};
    wanted.dwOSVersionInfoSize = sizeof(wanted);
    wanted.dwPlatformId = platformId;
    const DWORDLONG condition = ::VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL);
    return ::VerifyVersionInfoW(&wanted, VER_PLATFORMID, condition) != FALSE;
}

bool WinOSVersionAPI::IsWow64Process(bool& wow64)
{
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32");
    if (kernel32 == nullptr)
    {
        return false;
    }
    const auto function = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel32, "IsWow64Process")));
    BOOL result = FALSE;
    if (function == nullptr || !function(::GetCurrentProcess(), &result))
    {
        return false;
    }
    wow64 = result != FALSE;
    return true;
}

} // namespace Plinth
