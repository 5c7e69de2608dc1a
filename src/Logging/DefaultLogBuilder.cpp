#include "Logging/DefaultLogBuilder.h"

#include "Logging/config/RegKey.h"

#include <memory>

namespace ETWLogging
{

bool ReadLoggingMechanismFromRegistry(DWORD* mechanism, bool* found)
{
    *found = false;
    // The product's tools may store the value scrambled; plain DWORDs read as before.
    Plinth::CObfuscatedRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kLoggingKeyPath, KEY_READ) != ERROR_SUCCESS)
    {
        return false;
    }
    DWORD value = 0;
    if (key.ReadDword(kLoggingMechanismValue, value) == ERROR_SUCCESS)
    {
        *mechanism = value;
        *found = true;
    }
    return true;
}

CDefaultLogBuilder::CDefaultLogBuilder(LogWriterFactory fileWriterFactory, LogWriterFactory etwWriterFactory)
    : m_fileWriterFactory(fileWriterFactory), m_etwWriterFactory(etwWriterFactory)
{
}

bool CDefaultLogBuilder::Build(const wchar_t* applicationName, HMODULE module, const wchar_t* logName,
                               int mechanismOverride, CLoggingIf** out, CLogConfigReaderIf* configReader)
{
    return BuildEx(nullptr, applicationName, module, logName, mechanismOverride, out, configReader);
}

DWORD CDefaultLogBuilder::ChooseMechanism(int mechanismOverride, CLogConfigReaderIf* configReader)
{
    if (mechanismOverride == static_cast<int>(kMechanismLogFile))
    {
        return kMechanismLogFile;
    }
    // A value that cannot be read leaves 0, which is the ETW writer.
    DWORD mechanism = 0;
    if (configReader != nullptr)
    {
        DWORD value = 0;
        if (configReader->ReadDword(kLoggingMechanismValue, &value) == ERROR_SUCCESS)
        {
            mechanism = value;
        }
    }
    else
    {
        bool found = false;
        DWORD value = 0;
        if (ReadLoggingMechanismFromRegistry(&value, &found) && found)
        {
            mechanism = value;
        }
    }
    return mechanism;
}

bool CDefaultLogBuilder::BuildEx(const wchar_t* profileName, const wchar_t* applicationName, HMODULE module,
                                 const wchar_t* logName, int mechanismOverride, CLoggingIf** out,
                                 CLogConfigReaderIf* configReader)
{
    const DWORD mechanism = ChooseMechanism(mechanismOverride, configReader);
    const LogWriterFactory factory =
        mechanism == kMechanismLogFile ? m_fileWriterFactory : m_etwWriterFactory;
    return BuildWriter(factory, profileName, applicationName, module, logName, out);
}

bool CDefaultLogBuilder::BuildWriter(LogWriterFactory factory, const wchar_t* profileName,
                                     const wchar_t* applicationName, HMODULE module, const wchar_t* logName,
                                     CLoggingIf** out)
{
    if (out == nullptr || *out != nullptr)
    {
        return false;
    }
    if ((applicationName != nullptr && applicationName[0] == L'\0') ||
        (logName != nullptr && logName[0] == L'\0'))
    {
        return false;
    }
    // Owned here until it is handed out: a writer whose initialisation fails,
    // or throws, is destroyed on the way out.
    std::unique_ptr<CLoggingIf> writer(factory != nullptr ? factory() : nullptr);
    if (!writer)
    {
        return false;
    }
    DWORD result = ERROR_GEN_FAILURE;
    if (CLoggingIf_ex* extended = dynamic_cast<CLoggingIf_ex*>(writer.get()))
    {
        result = extended->InitializeEx(profileName, applicationName, module, logName, nullptr);
    }
    if (result != ERROR_SUCCESS)
    {
        result = writer->Initialize(applicationName, module, logName, nullptr);
    }
    if (result != ERROR_SUCCESS)
    {
        return false;
    }
    writer->AddRef();
    *out = writer.release();
    return true;
}

} // namespace ETWLogging
