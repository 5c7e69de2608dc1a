#pragma once

#include "module/ModuleStatus.h"
#include "settings/SettingsManager.h"

#include <memory>

namespace Norvan
{

class Message;
class MessageBus;

// Talks to the settings manager through requests on a bus of its own, so
// that its traffic neither shares a host handle with the module's bus nor
// ends with it. Holds no lock and no cache: calls from several threads run
// side by side and share only the bus.
class SettingsManagerClient : public SettingsManager
{
public:
    // A client over a bus client that loads the host's bus library itself;
    // empty when that cannot be built (the reason is logged).
    static std::unique_ptr<SettingsManagerClient> getInstance();

    // An empty bus makes the client build its own default bus client, which
    // throws ModuleException when the host's bus library cannot be loaded.
    explicit SettingsManagerClient(std::shared_ptr<MessageBus> bus);
    ~SettingsManagerClient() override;

    SettingsManagerClient(const SettingsManagerClient&) = delete;
    SettingsManagerClient& operator=(const SettingsManagerClient&) = delete;

    bool setProperty(const std::wstring& name, double value,
                     const std::chrono::milliseconds& timeout) override;
    bool setProperty(const std::wstring& name, unsigned int value,
                     const std::chrono::milliseconds& timeout) override;
    bool setProperty(const std::wstring& name, unsigned long long value,
                     const std::chrono::milliseconds& timeout) override;
    bool setProperty(const std::wstring& name, unsigned long value,
                     const std::chrono::milliseconds& timeout) override;
    bool setProperty(const std::wstring& name, long long value,
                     const std::chrono::milliseconds& timeout) override;
    bool setProperty(const std::wstring& name, int value, const std::chrono::milliseconds& timeout) override;
    bool setProperty(const std::wstring& name, bool value, const std::chrono::milliseconds& timeout) override;
    bool setProperty(const std::wstring& name, const wchar_t* value,
                     const std::chrono::milliseconds& timeout) override;
    bool setProperty(const std::wstring& name, const std::wstring& value,
                     const std::chrono::milliseconds& timeout) override;
    PropertyResults setProperties(const PropertyValues& values,
                                  const std::chrono::milliseconds& timeout) override;

    bool setVolatileProperty(const std::wstring& name, double value,
                             const std::chrono::milliseconds& timeout) override;
    bool setVolatileProperty(const std::wstring& name, unsigned int value,
                             const std::chrono::milliseconds& timeout) override;
    bool setVolatileProperty(const std::wstring& name, unsigned long long value,
                             const std::chrono::milliseconds& timeout) override;
    bool setVolatileProperty(const std::wstring& name, unsigned long value,
                             const std::chrono::milliseconds& timeout) override;
    bool setVolatileProperty(const std::wstring& name, long long value,
                             const std::chrono::milliseconds& timeout) override;
    bool setVolatileProperty(const std::wstring& name, int value,
                             const std::chrono::milliseconds& timeout) override;
    bool setVolatileProperty(const std::wstring& name, bool value,
                             const std::chrono::milliseconds& timeout) override;
    bool setVolatileProperty(const std::wstring& name, const wchar_t* value,
                             const std::chrono::milliseconds& timeout) override;
    bool setVolatileProperty(const std::wstring& name, const std::wstring& value,
                             const std::chrono::milliseconds& timeout) override;
    PropertyResults setVolatileProperties(const PropertyValues& values,
                                          const std::chrono::milliseconds& timeout) override;

    bool getProperty(const std::wstring& name, double& value,
                     const std::chrono::milliseconds& timeout) override;
    bool getProperty(const std::wstring& name, unsigned int& value,
                     const std::chrono::milliseconds& timeout) override;
    bool getProperty(const std::wstring& name, unsigned long long& value,
                     const std::chrono::milliseconds& timeout) override;
    bool getProperty(const std::wstring& name, unsigned long& value,
                     const std::chrono::milliseconds& timeout) override;
    bool getProperty(const std::wstring& name, long long& value,
                     const std::chrono::milliseconds& timeout) override;
    bool getProperty(const std::wstring& name, int& value, const std::chrono::milliseconds& timeout) override;
    bool getProperty(const std::wstring& name, bool& value,
                     const std::chrono::milliseconds& timeout) override;
    bool getProperty(const std::wstring& name, std::wstring& value,
                     const std::chrono::milliseconds& timeout) override;
    PropertyResults getProperties(const PropertyNames& names, PropertyValues& values,
                                  const std::chrono::milliseconds& timeout) override;
    bool getPropertiesByPrefix(const PropertyNames& prefixes, PropertyValues& values,
                               const std::chrono::milliseconds& timeout) override;
    bool getPropertiesByPrefix(const std::wstring& prefix, PropertyValues& values,
                               const std::chrono::milliseconds& timeout) override;

    bool removeProperty(const std::wstring& name, const std::chrono::milliseconds& timeout) override;
    PropertyResults removeProperties(const PropertyNames& names,
                                     const std::chrono::milliseconds& timeout) override;
    PropertyResults removePropertiesByPrefix(const PropertyNames& prefixes,
                                             const std::chrono::milliseconds& timeout) override;
    bool removePropertiesByPrefix(const std::wstring& prefix,
                                  const std::chrono::milliseconds& timeout) override;

    bool subscribePropertySet(PropertyNameCallback callback, const std::wstring& name) override;
    bool subscribePropertySet(PropertyNameCallback callback) override;
    bool subscribeNotifySet(PropertyValueCallback callback, const std::wstring& name) override;
    bool unsubscribeNotifySet(const std::wstring& name) override;
    bool subscribeNotifyDelete(PropertyNameCallback callback, const std::wstring& name) override;
    bool unsubscribeNotifyDelete(const std::wstring& name) override;
    bool subscribePropertyRemoved(PropertyNameCallback callback, const std::wstring& name) override;
    bool subscribePropertyRemoved(PropertyNameCallback callback) override;

private:
    class Impl;

    using NameFilter = std::function<bool(const std::wstring& name)>;

    // The bus handlers of the notification subscriptions.
    static ModuleStatus onPropertyNotify(const std::shared_ptr<Message>& message,
                                         const PropertyNameCallback& callback, const NameFilter& filter);
    static ModuleStatus onPropertyNotifySet(const std::shared_ptr<Message>& message,
                                            const PropertyValueCallback& callback);
    static ModuleStatus onPropertyNotifyDelete(const std::shared_ptr<Message>& message,
                                               const PropertyNameCallback& callback);

    std::unique_ptr<Impl> impl_;
};

} // namespace Norvan
