#pragma once

#include <windows.h>

#include <cstdarg>
#include <stdexcept>
#include <string>

#include "Logging/LoggingIf.h"

namespace LoggingTest
{

// What the fake writers were asked to do, and what they answer. One global
// script: the builder's factories are plain functions.
struct WriterScript
{
    DWORD initializeExResult = 0;
    DWORD initializeResult = 0;
    bool initializeThrows = false; // Initialize and InitializeEx throw
    bool writeThrows = false;      // WritePreformatted and WriteFormattedEx throw
    DWORD prepareResult = 0;
    bool levelEnabled = true;

    int created = 0;
    int destroyed = 0;
    int initializeExCalls = 0;
    int initializeCalls = 0;
    int addRefCalls = 0;
    int preformattedCalls = 0;
    int preformattedExCalls = 0;
    int formattedExCalls = 0;
    bool profileWasNull = false;
    std::wstring lastProfile;
    std::wstring lastApplication;
    std::wstring lastLogName;
    HMODULE lastModule = nullptr;
    DWORD lastLevel = 0;
    std::wstring lastMessage;
};

WriterScript& Script();
void ResetScript();

template <typename Base> class FakeWriterT : public Base
{
public:
    FakeWriterT() { ++Script().created; }
    ~FakeWriterT() override { ++Script().destroyed; }

    DWORD Initialize(const wchar_t* applicationName, HMODULE module, const wchar_t* logName,
                     ETWLogging::LoggingConfigListenerIf*) override
    {
        ++Script().initializeCalls;
        Remember(applicationName, module, logName);
        ThrowIfScripted();
        return Script().initializeResult;
    }
    DWORD Prepare() override { return Script().prepareResult; }
    const wchar_t* GetSourceName() override { return L"fake"; }
    const wchar_t* GetApplicationName() override { return L"fake"; }
    DWORD Uninitialize() override { return 0; }
    void SetEnabled(bool) override {}
    bool IsEnabled() override { return true; }
    DWORD WriteFormatted(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override
    {
        return 0;
    }
    DWORD WritePreformatted(const wchar_t*, const wchar_t*, int, DWORD level, const wchar_t* message) override
    {
        ++Script().preformattedCalls;
        ThrowIfWriteScripted();
        Script().lastLevel = level;
        Script().lastMessage = message != nullptr ? message : L"";
        return 0;
    }
    bool IsLevelEnabled(DWORD) override { return Script().levelEnabled; }
    DWORD SetMaxEntries(DWORD) override { return 0; }
    DWORD GetMaxEntries() override { return 0; }
    DWORD SetMaxSize(DWORD) override { return 0; }
    DWORD GetMaxSize() override { return 0; }
    DWORD SetSeverity(DWORD) override { return 0; }
    DWORD GetSeverity() override { return 0; }
    ULONG AddRef() override { return static_cast<ULONG>(++Script().addRefCalls); }
    ULONG Release() override { return 0; }
    DWORD LogNormal(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogError(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogWarning(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogCritical(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogInformation(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }

protected:
    static void ThrowIfScripted()
    {
        if (Script().initializeThrows)
        {
            throw std::runtime_error("initialisation failure");
        }
    }
    static void ThrowIfWriteScripted()
    {
        if (Script().writeThrows)
        {
            throw std::length_error("formatting failure");
        }
    }
    static void Remember(const wchar_t* applicationName, HMODULE module, const wchar_t* logName)
    {
        Script().lastApplication = applicationName != nullptr ? applicationName : L"<null>";
        Script().lastLogName = logName != nullptr ? logName : L"<null>";
        Script().lastModule = module;
    }
};

using FakeWriter = FakeWriterT<ETWLogging::CLoggingIf>;

class FakeWriterEx : public FakeWriterT<ETWLogging::CLoggingIf_ex>
{
public:
    DWORD InitializeEx(const wchar_t* profileName, const wchar_t* applicationName, HMODULE module,
                       const wchar_t* logName, ETWLogging::LoggingConfigListenerIf*) override
    {
        ++Script().initializeExCalls;
        Script().profileWasNull = profileName == nullptr;
        Script().lastProfile = profileName != nullptr ? profileName : L"";
        Remember(applicationName, module, logName);
        ThrowIfScripted();
        return Script().initializeExResult;
    }
    DWORD WritePreformattedEx(DWORD level, const wchar_t*, const wchar_t*, int,
                              const wchar_t* message) override
    {
        ++Script().preformattedExCalls;
        Script().lastLevel = level;
        Script().lastMessage = message != nullptr ? message : L"";
        return 0;
    }
    DWORD WriteFormattedEx(DWORD level, const wchar_t*, const wchar_t*, int, const wchar_t*, va_list) override
    {
        ++Script().formattedExCalls;
        ThrowIfWriteScripted();
        Script().lastLevel = level;
        return 0;
    }
};

inline ETWLogging::CLoggingIf* MakeFakeWriter()
{
    return new FakeWriter();
}
inline ETWLogging::CLoggingIf* MakeFakeWriterEx()
{
    return new FakeWriterEx();
}

} // namespace LoggingTest
