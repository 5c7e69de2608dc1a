#pragma once

#include "Logging/LoggingIf.h"
#include "Logging/config/ETWAppProperties.h"
#include "Logging/config/LoggingConfigListenerIf.h"

#include <windows.h>

#include <string>

namespace ETWLogging
{

// Applies a trace session's enable request to the ETW writer, then the
// registry's "Enable" and "Severity" overrides from the provider key, the
// provider key's subkey named after the writer's application name, and the
// subkey named after its source name, in that order: later keys win.
//
// The writer is only pointed to; it owns the listener, not the other way.
// The writer's names come from CLoggingIf's GetApplicationName and
// GetSourceName; a null or empty name skips its subkey.
class CETWConfigurationListener : public LoggingConfigListenerIf
{
public:
    explicit CETWConfigurationListener(const internal::ETWAppProperties& properties,
                                       CLoggingIf* writer = nullptr);
    ~CETWConfigurationListener() override;

    // Nothing happens while no writer is attached.
    void OnConfigurationChange(bool enabled, DWORD level, DWORD flags) override;
    // Only when no writer is attached yet and the writer is not null.
    virtual bool Attach(CLoggingIf* writer);
    virtual void GetProviderKey(HKEY& root, std::wstring& path) const;
    // Opens root\path for reading through the scrambled-value reader and
    // applies whichever of "Enable" (non-zero enables) and "Severity" it can
    // read. Returns the open result: a key that does not open changes
    // nothing.
    virtual DWORD ApplyRegistryOverrides(HKEY root, const wchar_t* path);

    const internal::ETWAppProperties& Properties() const noexcept { return properties_; }

private:
    internal::ETWAppProperties properties_;
    CLoggingIf* writer_;
};

} // namespace ETWLogging
