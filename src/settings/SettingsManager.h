#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace Norvan
{

// Names of properties, or prefixes of names, in the order they go on the wire.
using PropertyNames = std::vector<std::wstring>;
// Property name to value text.
using PropertyValues = std::unordered_map<std::wstring, std::wstring>;
// Property name to whether the settings manager confirmed it.
using PropertyResults = std::unordered_map<std::wstring, bool>;

// Change notifications: the property's name, and for a set its new value text.
using PropertyNameCallback = std::function<void(const std::wstring& name)>;
using PropertyValueCallback = std::function<void(const std::wstring& name, const std::wstring& value)>;

// The typed front to the host's settings manager, which lives behind the
// message bus. Every value travels as text; every operation waits at most
// its time-out for the settings manager's reply and reports a refusal, a
// time-out or a malformed reply as false (or as false entries of a result
// map), never by throwing.
//
// The declaration order is the slot order hosts and peers were built
// against: never reorder, insert or drop an operation.
class SettingsManager
{
public:
    virtual ~SettingsManager() = default;

    // Persistent writes. A double goes out with 16 significant digits,
    // integers as decimal digits, a boolean as "1" or "0".
    virtual bool setProperty(const std::wstring& name, double value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, unsigned int value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, unsigned long long value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, unsigned long value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, long long value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, int value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, bool value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, const wchar_t* value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual bool setProperty(const std::wstring& name, const std::wstring& value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual PropertyResults setProperties(const PropertyValues& values,
                                          const std::chrono::milliseconds& timeout) = 0;

    // The same writes marked volatile; here a double goes out as "%f".
    virtual bool setVolatileProperty(const std::wstring& name, double value,
                                     const std::chrono::milliseconds& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, unsigned int value,
                                     const std::chrono::milliseconds& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, unsigned long long value,
                                     const std::chrono::milliseconds& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, unsigned long value,
                                     const std::chrono::milliseconds& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, long long value,
                                     const std::chrono::milliseconds& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, int value,
                                     const std::chrono::milliseconds& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, bool value,
                                     const std::chrono::milliseconds& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, const wchar_t* value,
                                     const std::chrono::milliseconds& timeout) = 0;
    virtual bool setVolatileProperty(const std::wstring& name, const std::wstring& value,
                                     const std::chrono::milliseconds& timeout) = 0;
    virtual PropertyResults setVolatileProperties(const PropertyValues& values,
                                                  const std::chrono::milliseconds& timeout) = 0;

    // Reads. The out argument is written only when the whole read and the
    // conversion of the text succeeded.
    virtual bool getProperty(const std::wstring& name, double& value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual bool getProperty(const std::wstring& name, unsigned int& value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual bool getProperty(const std::wstring& name, unsigned long long& value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual bool getProperty(const std::wstring& name, unsigned long& value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual bool getProperty(const std::wstring& name, long long& value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual bool getProperty(const std::wstring& name, int& value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual bool getProperty(const std::wstring& name, bool& value,
                             const std::chrono::milliseconds& timeout) = 0;
    virtual bool getProperty(const std::wstring& name, std::wstring& value,
                             const std::chrono::milliseconds& timeout) = 0;
    // Entries of `values` for names that were not returned keep what they held.
    virtual PropertyResults getProperties(const PropertyNames& names, PropertyValues& values,
                                          const std::chrono::milliseconds& timeout) = 0;
    // True once a reply was read, even when it named no property.
    virtual bool getPropertiesByPrefix(const PropertyNames& prefixes, PropertyValues& values,
                                       const std::chrono::milliseconds& timeout) = 0;
    virtual bool getPropertiesByPrefix(const std::wstring& prefix, PropertyValues& values,
                                       const std::chrono::milliseconds& timeout) = 0;

    virtual bool removeProperty(const std::wstring& name, const std::chrono::milliseconds& timeout) = 0;
    virtual PropertyResults removeProperties(const PropertyNames& names,
                                             const std::chrono::milliseconds& timeout) = 0;
    virtual PropertyResults removePropertiesByPrefix(const PropertyNames& prefixes,
                                                     const std::chrono::milliseconds& timeout) = 0;
    // True only when the reply names the prefix itself as removed.
    virtual bool removePropertiesByPrefix(const std::wstring& prefix,
                                          const std::chrono::milliseconds& timeout) = 0;

    // Change notifications. Callbacks run on the bus's delivery threads.
    // "SETTINGS_MANAGER_PROPERTY_SET" for one property, or for any.
    virtual bool subscribePropertySet(PropertyNameCallback callback, const std::wstring& name) = 0;
    virtual bool subscribePropertySet(PropertyNameCallback callback) = 0;
    // "SettingsManager.Notify.Set." + name, matched as a pattern: the name is
    // not escaped and the pattern ends in ".*", so "Net" also hears "Network".
    // An empty name subscribes nothing and reports success.
    virtual bool subscribeNotifySet(PropertyValueCallback callback, const std::wstring& name) = 0;
    virtual bool unsubscribeNotifySet(const std::wstring& name) = 0;
    // "SettingsManager.Notify.Delete." + name, matched the same way.
    virtual bool subscribeNotifyDelete(PropertyNameCallback callback, const std::wstring& name) = 0;
    virtual bool unsubscribeNotifyDelete(const std::wstring& name) = 0;
    // "SETTINGS_MANAGER_PROPERTY_REMOVED" for one property, or for any.
    virtual bool subscribePropertyRemoved(PropertyNameCallback callback, const std::wstring& name) = 0;
    virtual bool subscribePropertyRemoved(PropertyNameCallback callback) = 0;
};

} // namespace Norvan
