#pragma once

#include <windows.h>
#include <tlhelp32.h>

namespace Norvan
{

// Windows process functions behind an object, so that tests can replace
// them. Each operation passes its arguments to the function of the same name
// and returns its result unchanged.
class ProcessAPI
{
public:
    virtual ~ProcessAPI() = default;

    virtual DWORD GetCurrentProcessId();
    virtual DWORD GetProcessId(HANDLE process);
    virtual BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId);
    virtual DWORD WTSGetActiveConsoleSessionId();
    virtual HANDLE GetCurrentProcess();
    // Without application name and current directory.
    virtual BOOL CreateProcessAsUserW(HANDLE token, LPWSTR commandLine,
                                      LPSECURITY_ATTRIBUTES processAttributes,
                                      LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                      DWORD creationFlags, LPVOID environment, LPSTARTUPINFOW startupInfo,
                                      LPPROCESS_INFORMATION processInformation);
    virtual BOOL CreateProcessAsUserW(HANDLE token, LPCWSTR applicationName, LPWSTR commandLine,
                                      LPSECURITY_ATTRIBUTES processAttributes,
                                      LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                      DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                                      LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation);
    virtual BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token);
    virtual BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAllPrivileges, PTOKEN_PRIVILEGES newState,
                                       DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                                       PDWORD returnLength);
    virtual BOOL LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid);
    virtual BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
    virtual BOOL TerminateProcess(HANDLE process, UINT exitCode);
    virtual BOOL CloseHandle(HANDLE handle);
    virtual DWORD GetLastError();
    virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
    virtual HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
    virtual HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
    virtual BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry);
    virtual BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry);
};

} // namespace Norvan
