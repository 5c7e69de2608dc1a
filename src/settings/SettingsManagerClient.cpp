#include "settings/SettingsManagerClient.h"

#include "Logging/Log.h"
#include "message/JSONFormatter.h"
#include "message/Message.h"
#include "message/MessageBus.h"
#include "message/MessageBusClient.h"
#include "message/Reply.h"
#include "module/ModuleException.h"

#include <cstdio>
#include <new>
#include <sstream>
#include <stdexcept>

namespace Norvan
{

namespace
{
constexpr wchar_t kLogFile[] = L"SettingsManagerClient";

constexpr wchar_t kMemberName[] = L"name";
constexpr wchar_t kMemberValue[] = L"value";
constexpr wchar_t kMemberVolatile[] = L"volatile";
constexpr wchar_t kMemberIsPrefix[] = L"isPrefix";
constexpr wchar_t kMemberProperties[] = L"properties";
constexpr wchar_t kMemberStatus[] = L"status";
constexpr wchar_t kMemberResponses[] = L"responses";

constexpr wchar_t kSetPropertyMessage[] = L"SETTINGS_MANAGER_SET_PROPERTY";
constexpr wchar_t kGetPropertyMessage[] = L"SETTINGS_MANAGER_GET_PROPERTY";
constexpr wchar_t kRemovePropertyMessage[] = L"SETTINGS_MANAGER_REMOVE_PROPERTY";
constexpr wchar_t kSetPropertiesMessage[] = L"SettingsManager.SetProperties.Request";
constexpr wchar_t kGetPropertiesMessage[] = L"SettingsManager.GetProperties.Request";
constexpr wchar_t kRemovePropertiesMessage[] = L"SettingsManager.RemoveProperties.Request";

constexpr wchar_t kPropertySetMessage[] = L"SETTINGS_MANAGER_PROPERTY_SET";
constexpr wchar_t kPropertyRemovedMessage[] = L"SETTINGS_MANAGER_PROPERTY_REMOVED";
constexpr wchar_t kNotifySetPrefix[] = L"SettingsManager.Notify.Set.";
constexpr wchar_t kNotifyDeletePrefix[] = L"SettingsManager.Notify.Delete.";

constexpr wchar_t kGetInstance[] = L"Norvan::SettingsManagerClient::getInstance";
constexpr wchar_t kGetProperty[] = L"Norvan::SettingsManagerClient::getProperty";
constexpr wchar_t kGetProperties[] = L"Norvan::SettingsManagerClient::getProperties";
constexpr wchar_t kGetPropertiesByPrefix[] = L"Norvan::SettingsManagerClient::getPropertiesByPrefix";
constexpr wchar_t kRemoveProperty[] = L"Norvan::SettingsManagerClient::removeProperty";
constexpr wchar_t kRemoveProperties[] = L"Norvan::SettingsManagerClient::removeProperties";
constexpr wchar_t kRemovePropertiesByPrefix[] = L"Norvan::SettingsManagerClient::removePropertiesByPrefix";
constexpr wchar_t kOnPropertyNotify[] = L"Norvan::SettingsManagerClient::onPropertyNotify";
constexpr wchar_t kOnPropertyNotifySet[] = L"Norvan::SettingsManagerClient::onPropertyNotifySet";
constexpr wchar_t kOnPropertyNotifyDelete[] = L"Norvan::SettingsManagerClient::onPropertyNotifyDelete";
constexpr wchar_t kImplTryConvert[] = L"Norvan::SettingsManagerClient::Impl::tryConvert";
constexpr wchar_t kImplSetProperty[] = L"Norvan::SettingsManagerClient::Impl::setProperty";
constexpr wchar_t kImplSetProperties[] = L"Norvan::SettingsManagerClient::Impl::setProperties";
constexpr wchar_t kImplSendSetPropertiesRequest[] =
    L"Norvan::SettingsManagerClient::Impl::sendSetPropertiesRequest";
constexpr wchar_t kImplGetResponse[] = L"Norvan::SettingsManagerClient::Impl::getSettingPropertyResponse";
constexpr wchar_t kImplGetResponseList[] =
    L"Norvan::SettingsManagerClient::Impl::getSettingPropertyResponseList";
constexpr wchar_t kImplVerifyPropertyName[] = L"Norvan::SettingsManagerClient::Impl::verifyPropertyName";
constexpr wchar_t kImplGetPropertyValue[] = L"Norvan::SettingsManagerClient::Impl::getPropertyValue";

// The 32-bit unsigned getters rely on the text-to-unsigned-long conversion
// doing the range check for them.
static_assert(sizeof(unsigned long) == 4, "unsigned long is the 32-bit unsigned type here");

// Warnings and errors of this file, always with the status's name and number.
void logStatus(const wchar_t* function, const wchar_t* format, ModuleStatus status)
{
    WL_LOG(ETWLogging::LevelWarning, kLogFile, function, format, moduleStatusName(status),
           static_cast<unsigned long>(status));
}

JSONFormatter nameItem(const std::wstring& name)
{
    JSONFormatter item;
    item.setString(kMemberName, name);
    return item;
}

JSONFormatter prefixItem(const std::wstring& prefix)
{
    JSONFormatter item;
    item.setString(kMemberName, prefix);
    item.setBool(kMemberIsPrefix, true);
    return item;
}

JSONFormatter setItem(const std::wstring& name, const std::wstring& value, bool isVolatile)
{
    JSONFormatter item;
    item.setString(kMemberName, name);
    item.setString(kMemberValue, value);
    item.setBool(kMemberVolatile, isVolatile);
    return item;
}

std::wstring sixteenDigits(double value)
{
    std::wostringstream text;
    text.precision(16);
    text << value;
    return text.str();
}

std::wstring fixedSixDecimals(double value)
{
    // The largest double has 309 integer digits; with sign, point and six
    // decimals the text stays below this.
    wchar_t buffer[400];
    _snwprintf_s(buffer, _countof(buffer), _TRUNCATE, L"%f", value);
    return buffer;
}

template <typename Integer> std::wstring decimal(Integer value)
{
    return std::to_wstring(value);
}

std::wstring notifyPattern(const wchar_t* prefix, const std::wstring& name)
{
    // Deliberately not escaped: callers subscribe to families of properties
    // by handing in a name that is itself a pattern.
    return L"^" + std::wstring(prefix) + name + L".*";
}
} // namespace

class SettingsManagerClient::Impl
{
public:
    explicit Impl(std::shared_ptr<MessageBus> bus)
        : bus_(bus ? std::move(bus) : std::shared_ptr<MessageBus>(std::make_shared<MessageBusClient>()))
    {
    }

    MessageBus& bus() { return *bus_; }

    template <typename T, typename Convert>
    bool tryConvert(const std::wstring& text, T& value, Convert convert)
    {
        try
        {
            const T converted = convert(text);
            value = converted;
            return true;
        }
        catch (const std::invalid_argument&)
        {
            WL_LOG(ETWLogging::LevelWarning, kLogFile, kImplTryConvert,
                   L"Conversion failed due to invalid arguments.");
        }
        catch (const std::out_of_range&)
        {
            WL_LOG(ETWLogging::LevelWarning, kLogFile, kImplTryConvert,
                   L"Conversion failed, out of range for destination type.");
        }
        catch (...)
        {
        }
        return false;
    }

    // Sends the request; 0 with a reply to wait on, or the status that
    // refused it.
    ModuleStatus send(const wchar_t* messageName, const JSONFormatter& request,
                      const std::chrono::milliseconds& timeout, std::shared_ptr<Reply>& reply)
    {
        reply.reset();
        std::wstring payload;
        request.toString(payload);
        std::shared_ptr<Message> message;
        const ModuleStatus made = createMessage(message, messageName, std::wstring(), std::move(payload));
        if (made != MODULE_STATUS_SUCCESS)
        {
            return made;
        }
        const ModuleStatus status = bus_->request(message, reply, timeout);
        if (status == MODULE_STATUS_SUCCESS && !reply)
        {
            // Nothing to wait on is no request.
            return MODULE_STATUS_UNSUCCESSFUL;
        }
        return status;
    }

    bool setProperty(const JSONFormatter& request, const std::chrono::milliseconds& timeout)
    {
        std::shared_ptr<Reply> reply;
        const ModuleStatus status = send(kSetPropertyMessage, request, timeout, reply);
        if (status != MODULE_STATUS_SUCCESS)
        {
            logStatus(kImplSetProperty, L"Failed to make set property request. Error code: %ls(%lu)", status);
            return false;
        }
        reply->wait();
        JSONFormatter response;
        if (!getSettingPropertyResponse(*reply, response))
        {
            return false;
        }
        std::wstring name;
        request.getString(kMemberName, name);
        if (!verifyPropertyName(name, response))
        {
            return false;
        }
        bool confirmed = false;
        if (!response.getBool(kMemberStatus, confirmed))
        {
            WL_LOG(ETWLogging::LevelWarning, kLogFile, kImplSetProperty,
                   L"Failed to read settings manager response status.");
            return false;
        }
        if (!confirmed)
        {
            WL_LOG(ETWLogging::LevelWarning, kLogFile, kImplSetProperty,
                   L"Settings Manager failed to set property value.");
            return false;
        }
        return true;
    }

    PropertyResults setProperties(const PropertyValues& values, bool isVolatile,
                                  const std::chrono::milliseconds& timeout)
    {
        PropertyResults results;
        JSONFormatter request;
        for (const auto& entry : values)
        {
            request.appendObject(kMemberProperties, setItem(entry.first, entry.second, isVolatile));
            results[entry.first] = false;
        }
        JSONFormatter response;
        if (!sendSetPropertiesRequest(request, response, timeout))
        {
            WL_LOG(ETWLogging::LevelError, kLogFile, kImplSetProperties,
                   L"Failed to set properties. Unable to make request.");
            return results;
        }
        std::vector<JSONFormatter> items;
        if (!response.getObjectArray(kMemberResponses, items))
        {
            WL_LOG(ETWLogging::LevelError, kLogFile, kImplSetProperties,
                   L"Failed to set properties. Unable to parse responses.");
            return results;
        }
        for (const JSONFormatter& item : items)
        {
            std::wstring name;
            if (!item.getString(kMemberName, name))
            {
                WL_LOG(ETWLogging::LevelWarning, kLogFile, kImplSetProperties,
                       L"Failed to read settings property response name.");
                continue;
            }
            if (values.find(name) == values.end())
            {
                WL_LOG(ETWLogging::LevelWarning, kLogFile, kImplSetProperties,
                       L"Received unexpected setting property response. Name: %ls.", name.c_str());
                continue;
            }
            bool confirmed = false;
            if (!item.getBool(kMemberStatus, confirmed))
            {
                WL_LOG(ETWLogging::LevelWarning, kLogFile, kImplSetProperties,
                       L"Failed to read settings manager response status. Property Name: %ls", name.c_str());
                continue;
            }
            if (!confirmed)
            {
                WL_LOG(ETWLogging::LevelWarning, kLogFile, kImplSetProperties,
                       L"Settings Manager failed to set property value. Property Name: %ls", name.c_str());
                continue;
            }
            results[name] = true;
        }
        return results;
    }

    bool sendSetPropertiesRequest(const JSONFormatter& request, JSONFormatter& response,
                                  const std::chrono::milliseconds& timeout)
    {
        std::shared_ptr<Reply> reply;
        const ModuleStatus status = send(kSetPropertiesMessage, request, timeout, reply);
        if (status != MODULE_STATUS_SUCCESS)
        {
            logStatus(kImplSendSetPropertiesRequest,
                      L"Failed to make set properties request. Error code: %ls(%lu)", status);
            return false;
        }
        reply->wait();
        return getSettingPropertyResponseList(*reply, response);
    }

    bool getSettingPropertyResponse(Reply& reply, JSONFormatter& response)
    {
        return readResponse(reply, response, kImplGetResponse, L"Property request timed out. Returning.",
                            L"Property request failed with DATA_ERROR. Returning.",
                            L"Property request failed on wait() with unknown error.");
    }

    bool getSettingPropertyResponseList(Reply& reply, JSONFormatter& response)
    {
        return readResponse(reply, response, kImplGetResponseList,
                            L"Property list request timed out. Returning.",
                            L"Property list request failed with DATA_ERROR. Returning.",
                            L"Property list request failed on wait() with unknown error.");
    }

    bool verifyPropertyName(const std::wstring& expected, const JSONFormatter& response)
    {
        std::wstring name;
        if (!response.getString(kMemberName, name))
        {
            WL_LOG(ETWLogging::LevelWarning, kLogFile, kImplVerifyPropertyName,
                   L"Failed to read settings manager response property name.");
            return false;
        }
        if (name != expected)
        {
            WL_LOG(ETWLogging::LevelWarning, kLogFile, kImplVerifyPropertyName,
                   L"Response property name (%ls) does not match expected property name (%ls).", name.c_str(),
                   expected.c_str());
            return false;
        }
        return true;
    }

    bool getPropertyValue(const JSONFormatter& response, std::wstring& value)
    {
        bool found = false;
        if (!response.getBool(kMemberStatus, found))
        {
            WL_LOG(ETWLogging::LevelWarning, kLogFile, kImplGetPropertyValue,
                   L"Failed to read settings manager response status.");
            return false;
        }
        if (!found)
        {
            return false;
        }
        if (!response.getString(kMemberValue, value))
        {
            WL_LOG(ETWLogging::LevelWarning, kLogFile, kImplGetPropertyValue,
                   L"Failed to read settings manager response value.");
            return false;
        }
        return true;
    }

    // The two list removals after their request is built; `results` holds
    // false for every requested entry. With onlyRequested, names that were
    // not asked for are logged and skipped.
    void removeListed(const wchar_t* function, const wchar_t* refusedFormat, const JSONFormatter& request,
                      const std::chrono::milliseconds& timeout, bool onlyRequested, PropertyResults& results)
    {
        std::shared_ptr<Reply> reply;
        const ModuleStatus status = send(kRemovePropertiesMessage, request, timeout, reply);
        if (status != MODULE_STATUS_SUCCESS)
        {
            logStatus(function, refusedFormat, status);
            return;
        }
        reply->wait();
        JSONFormatter response;
        if (!getSettingPropertyResponseList(*reply, response))
        {
            logStatus(function, L"Failed to parse remove properties response. Error code: %ls(%lu)", status);
            return;
        }
        std::vector<JSONFormatter> items;
        if (!response.getObjectArray(kMemberResponses, items))
        {
            WL_LOG(ETWLogging::LevelError, kLogFile, function,
                   L"Failed to parse statuses from remove properties response.");
            return;
        }
        for (const JSONFormatter& item : items)
        {
            std::wstring name;
            if (!item.getString(kMemberName, name))
            {
                WL_LOG(ETWLogging::LevelWarning, kLogFile, function,
                       L"Failed to read settings property response name.");
                continue;
            }
            if (onlyRequested && results.find(name) == results.end())
            {
                WL_LOG(ETWLogging::LevelWarning, kLogFile, function,
                       L"Received unexpected setting property. Name: %ls.", name.c_str());
                continue;
            }
            bool removed = false;
            if (!item.getBool(kMemberStatus, removed))
            {
                WL_LOG(ETWLogging::LevelWarning, kLogFile, function,
                       L"Failed to read settings manager response status. Property Name: %ls", name.c_str());
                continue;
            }
            if (!removed)
            {
                WL_LOG(ETWLogging::LevelWarning, kLogFile, function,
                       L"Settings Manager failed to remove property. Property Name: %ls", name.c_str());
                continue;
            }
            results[name] = true;
        }
    }

private:
    bool readResponse(Reply& reply, JSONFormatter& response, const wchar_t* function, const wchar_t* timedOut,
                      const wchar_t* dataError, const wchar_t* unknown)
    {
        const ReplyStatus status = reply.getStatus();
        if (status != REPLY_STATUS_RECEIVED)
        {
            const wchar_t* text = status == REPLY_STATUS_TIMED_OUT    ? timedOut
                                  : status == REPLY_STATUS_DATA_ERROR ? dataError
                                                                      : unknown;
            WL_LOG(ETWLogging::LevelWarning, kLogFile, function, L"%ls", text);
            return false;
        }
        std::shared_ptr<Message> message;
        reply.getReplyMessage(message);
        if (!message || !response.parse(message->getPayload()))
        {
            WL_LOG(ETWLogging::LevelWarning, kLogFile, function,
                   L"Failed to parse settings manager response message. Returning.");
            return false;
        }
        return true;
    }

    std::shared_ptr<MessageBus> bus_;
};

std::unique_ptr<SettingsManagerClient> SettingsManagerClient::getInstance()
{
    try
    {
        return std::unique_ptr<SettingsManagerClient>(new SettingsManagerClient(nullptr));
    }
    catch (const ModuleException& e)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kGetInstance,
               L"Failed to create settings manager client. Caught ModuleException - what: %hs.", e.what());
    }
    catch (const std::bad_alloc&)
    {
        WL_LOG(
            ETWLogging::LevelError, kLogFile, kGetInstance,
            L"Failed to create settings manager client. Caught bad_alloc - Failed to alllocate resources.");
    }
    catch (const std::exception& e)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kGetInstance,
               L"Faield to create setting smanager client. Caught standard exception - what: %hs.", e.what());
    }
    catch (...)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kGetInstance,
               L"Failed to create settings manager client. Caught unexpected exception.");
    }
    return nullptr;
}

SettingsManagerClient::SettingsManagerClient(std::shared_ptr<MessageBus> bus)
    : impl_(new Impl(std::move(bus)))
{
}

SettingsManagerClient::~SettingsManagerClient() = default;

// Setters: every typed value is turned into text here and sent by the
// wide-string form.

bool SettingsManagerClient::setProperty(const std::wstring& name, double value,
                                        const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setProperty(name, sixteenDigits(value), timeout);
}

bool SettingsManagerClient::setProperty(const std::wstring& name, unsigned int value,
                                        const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setProperty(name, decimal(value), timeout);
}

bool SettingsManagerClient::setProperty(const std::wstring& name, unsigned long long value,
                                        const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setProperty(name, decimal(value), timeout);
}

bool SettingsManagerClient::setProperty(const std::wstring& name, unsigned long value,
                                        const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setProperty(name, decimal(value), timeout);
}

bool SettingsManagerClient::setProperty(const std::wstring& name, long long value,
                                        const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setProperty(name, decimal(value), timeout);
}

bool SettingsManagerClient::setProperty(const std::wstring& name, int value,
                                        const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setProperty(name, decimal(value), timeout);
}

bool SettingsManagerClient::setProperty(const std::wstring& name, bool value,
                                        const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setProperty(name, std::wstring(value ? L"1" : L"0"), timeout);
}

bool SettingsManagerClient::setProperty(const std::wstring& name, const wchar_t* value,
                                        const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setProperty(name, std::wstring(value != nullptr ? value : L""), timeout);
}

bool SettingsManagerClient::setProperty(const std::wstring& name, const std::wstring& value,
                                        const std::chrono::milliseconds& timeout)
{
    return impl_->setProperty(setItem(name, value, false), timeout);
}

PropertyResults SettingsManagerClient::setProperties(const PropertyValues& values,
                                                     const std::chrono::milliseconds& timeout)
{
    return impl_->setProperties(values, false, timeout);
}

bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, double value,
                                                const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setVolatileProperty(name, fixedSixDecimals(value), timeout);
}

bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, unsigned int value,
                                                const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setVolatileProperty(name, decimal(value), timeout);
}

bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, unsigned long long value,
                                                const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setVolatileProperty(name, decimal(value), timeout);
}

bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, unsigned long value,
                                                const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setVolatileProperty(name, decimal(value), timeout);
}

bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, long long value,
                                                const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setVolatileProperty(name, decimal(value), timeout);
}

bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, int value,
                                                const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setVolatileProperty(name, decimal(value), timeout);
}

bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, bool value,
                                                const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setVolatileProperty(name, std::wstring(value ? L"1" : L"0"), timeout);
}

bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, const wchar_t* value,
                                                const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::setVolatileProperty(name, std::wstring(value != nullptr ? value : L""),
                                                      timeout);
}

bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, const std::wstring& value,
                                                const std::chrono::milliseconds& timeout)
{
    return impl_->setProperty(setItem(name, value, true), timeout);
}

PropertyResults SettingsManagerClient::setVolatileProperties(const PropertyValues& values,
                                                             const std::chrono::milliseconds& timeout)
{
    return impl_->setProperties(values, true, timeout);
}

// Typed getters: the text form, then one conversion. The out argument is
// touched only when both succeed.

bool SettingsManagerClient::getProperty(const std::wstring& name, double& value,
                                        const std::chrono::milliseconds& timeout)
{
    std::wstring text;
    return SettingsManagerClient::getProperty(name, text, timeout) &&
           impl_->tryConvert(text, value, [](const std::wstring& t) { return std::stod(t); });
}

bool SettingsManagerClient::getProperty(const std::wstring& name, unsigned int& value,
                                        const std::chrono::milliseconds& timeout)
{
    std::wstring text;
    return SettingsManagerClient::getProperty(name, text, timeout) &&
           impl_->tryConvert(text, value,
                             [](const std::wstring& t)
                             { return static_cast<unsigned int>(std::stoul(t, nullptr, 10)); });
}

bool SettingsManagerClient::getProperty(const std::wstring& name, unsigned long long& value,
                                        const std::chrono::milliseconds& timeout)
{
    std::wstring text;
    return SettingsManagerClient::getProperty(name, text, timeout) &&
           impl_->tryConvert(text, value, [](const std::wstring& t) { return std::stoull(t, nullptr, 10); });
}

bool SettingsManagerClient::getProperty(const std::wstring& name, unsigned long& value,
                                        const std::chrono::milliseconds& timeout)
{
    std::wstring text;
    return SettingsManagerClient::getProperty(name, text, timeout) &&
           impl_->tryConvert(text, value, [](const std::wstring& t) { return std::stoul(t, nullptr, 10); });
}

bool SettingsManagerClient::getProperty(const std::wstring& name, long long& value,
                                        const std::chrono::milliseconds& timeout)
{
    std::wstring text;
    return SettingsManagerClient::getProperty(name, text, timeout) &&
           impl_->tryConvert(text, value, [](const std::wstring& t) { return std::stoll(t, nullptr, 10); });
}

bool SettingsManagerClient::getProperty(const std::wstring& name, int& value,
                                        const std::chrono::milliseconds& timeout)
{
    std::wstring text;
    return SettingsManagerClient::getProperty(name, text, timeout) &&
           impl_->tryConvert(text, value, [](const std::wstring& t) { return std::stoi(t, nullptr, 10); });
}

bool SettingsManagerClient::getProperty(const std::wstring& name, bool& value,
                                        const std::chrono::milliseconds& timeout)
{
    std::wstring text;
    return SettingsManagerClient::getProperty(name, text, timeout) &&
           impl_->tryConvert(text, value,
                             [](const std::wstring& t) { return std::stoi(t, nullptr, 10) != 0; });
}

bool SettingsManagerClient::getProperty(const std::wstring& name, std::wstring& value,
                                        const std::chrono::milliseconds& timeout)
{
    std::shared_ptr<Reply> reply;
    const ModuleStatus status = impl_->send(kGetPropertyMessage, nameItem(name), timeout, reply);
    if (status != MODULE_STATUS_SUCCESS)
    {
        logStatus(kGetProperty, L"Failed to make get property request. Error code: %ls(%lu)", status);
        return false;
    }
    reply->wait();
    JSONFormatter response;
    std::wstring text;
    if (!impl_->getSettingPropertyResponse(*reply, response) || !impl_->verifyPropertyName(name, response) ||
        !impl_->getPropertyValue(response, text))
    {
        return false;
    }
    value = std::move(text);
    return true;
}

PropertyResults SettingsManagerClient::getProperties(const PropertyNames& names, PropertyValues& values,
                                                     const std::chrono::milliseconds& timeout)
{
    PropertyResults results;
    JSONFormatter request;
    for (const std::wstring& name : names)
    {
        request.appendObject(kMemberProperties, nameItem(name));
        results[name] = false;
    }
    std::shared_ptr<Reply> reply;
    const ModuleStatus status = impl_->send(kGetPropertiesMessage, request, timeout, reply);
    if (status != MODULE_STATUS_SUCCESS)
    {
        logStatus(kGetProperties, L"Failed to make get properties request. Error code: %ls(%lu)", status);
        return results;
    }
    reply->wait();
    JSONFormatter response;
    std::vector<JSONFormatter> items;
    if (!impl_->getSettingPropertyResponseList(*reply, response) ||
        !response.getObjectArray(kMemberResponses, items))
    {
        return results;
    }
    for (const JSONFormatter& item : items)
    {
        std::wstring name;
        if (!item.getString(kMemberName, name))
        {
            WL_LOG(ETWLogging::LevelWarning, kLogFile, kGetProperties,
                   L"Failed to read settings property response name.");
            continue;
        }
        bool requested = false;
        for (const std::wstring& wanted : names)
        {
            if (wanted == name)
            {
                requested = true;
                break;
            }
        }
        if (!requested)
        {
            WL_LOG(ETWLogging::LevelWarning, kLogFile, kGetProperties,
                   L"Received an unexpected setting property. Name: %ls.", name.c_str());
            continue;
        }
        bool found = true;
        if (item.getBool(kMemberStatus, found) && !found)
        {
            continue;
        }
        std::wstring value;
        if (impl_->getPropertyValue(item, value))
        {
            results[name] = true;
            values[name] = std::move(value);
        }
    }
    return results;
}

bool SettingsManagerClient::getPropertiesByPrefix(const PropertyNames& prefixes, PropertyValues& values,
                                                  const std::chrono::milliseconds& timeout)
{
    JSONFormatter request;
    for (const std::wstring& prefix : prefixes)
    {
        request.appendObject(kMemberProperties, prefixItem(prefix));
    }
    std::shared_ptr<Reply> reply;
    const ModuleStatus status = impl_->send(kGetPropertiesMessage, request, timeout, reply);
    if (status != MODULE_STATUS_SUCCESS)
    {
        logStatus(kGetPropertiesByPrefix, L"Failed to make get properties request. Error code: %ls(%lu)",
                  status);
        return false;
    }
    reply->wait();
    JSONFormatter response;
    std::vector<JSONFormatter> items;
    if (!impl_->getSettingPropertyResponseList(*reply, response) ||
        !response.getObjectArray(kMemberResponses, items))
    {
        return false;
    }
    for (const JSONFormatter& item : items)
    {
        std::wstring name;
        if (!item.getString(kMemberName, name))
        {
            WL_LOG(ETWLogging::LevelWarning, kLogFile, kGetPropertiesByPrefix,
                   L"Failed to read settings property response name. Skipping");
            continue;
        }
        std::wstring value;
        if (impl_->getPropertyValue(item, value))
        {
            values[name] = std::move(value);
        }
    }
    return true;
}

bool SettingsManagerClient::getPropertiesByPrefix(const std::wstring& prefix, PropertyValues& values,
                                                  const std::chrono::milliseconds& timeout)
{
    return SettingsManagerClient::getPropertiesByPrefix(PropertyNames{prefix}, values, timeout);
}

bool SettingsManagerClient::removeProperty(const std::wstring& name, const std::chrono::milliseconds& timeout)
{
    std::shared_ptr<Reply> reply;
    const ModuleStatus status = impl_->send(kRemovePropertyMessage, nameItem(name), timeout, reply);
    if (status != MODULE_STATUS_SUCCESS)
    {
        logStatus(kRemoveProperty, L"Failed to make remove property request. Error code: %ls(%lu)", status);
        return false;
    }
    reply->wait();
    JSONFormatter response;
    if (!impl_->getSettingPropertyResponse(*reply, response) || !impl_->verifyPropertyName(name, response))
    {
        return false;
    }
    bool removed = false;
    if (!response.getBool(kMemberStatus, removed))
    {
        WL_LOG(ETWLogging::LevelWarning, kLogFile, kRemoveProperty,
               L"Failed to read settings manager response status.");
        return false;
    }
    if (!removed)
    {
        WL_LOG(ETWLogging::LevelWarning, kLogFile, kRemoveProperty,
               L"Settings Manager failed to remove property.");
        return false;
    }
    return true;
}

PropertyResults SettingsManagerClient::removeProperties(const PropertyNames& names,
                                                        const std::chrono::milliseconds& timeout)
{
    PropertyResults results;
    JSONFormatter request;
    for (const std::wstring& name : names)
    {
        request.appendObject(kMemberProperties, nameItem(name));
        results[name] = false;
    }
    impl_->removeListed(kRemoveProperties, L"Failed to make remove properties request. Error code: %ls(%lu)",
                        request, timeout, true, results);
    return results;
}

PropertyResults SettingsManagerClient::removePropertiesByPrefix(const PropertyNames& prefixes,
                                                                const std::chrono::milliseconds& timeout)
{
    PropertyResults results;
    JSONFormatter request;
    for (const std::wstring& prefix : prefixes)
    {
        request.appendObject(kMemberProperties, prefixItem(prefix));
        results[prefix] = false;
    }
    impl_->removeListed(kRemovePropertiesByPrefix,
                        L"Failed to make remove properties by prefix request. Error code: %ls(%lu)", request,
                        timeout, false, results);
    return results;
}

bool SettingsManagerClient::removePropertiesByPrefix(const std::wstring& prefix,
                                                     const std::chrono::milliseconds& timeout)
{
    const PropertyResults results =
        SettingsManagerClient::removePropertiesByPrefix(PropertyNames{prefix}, timeout);
    const auto found = results.find(prefix);
    return found != results.end() && found->second;
}

// Change notifications. Each handler owns copies of the caller's callback
// and property name; the bus client owns the handler.

bool SettingsManagerClient::subscribePropertySet(PropertyNameCallback callback, const std::wstring& name)
{
    MessageHandler handler = [callback = std::move(callback), name](const std::shared_ptr<Message>& message)
    { return onPropertyNotify(message, callback, [&name](const std::wstring& got) { return got == name; }); };
    return impl_->bus().subscribe(kPropertySetMessage, std::move(handler)) == MODULE_STATUS_SUCCESS;
}

bool SettingsManagerClient::subscribePropertySet(PropertyNameCallback callback)
{
    MessageHandler handler = [callback = std::move(callback)](const std::shared_ptr<Message>& message)
    { return onPropertyNotify(message, callback, [](const std::wstring&) { return true; }); };
    return impl_->bus().subscribe(kPropertySetMessage, std::move(handler)) == MODULE_STATUS_SUCCESS;
}

bool SettingsManagerClient::subscribeNotifySet(PropertyValueCallback callback, const std::wstring& name)
{
    if (name.empty())
    {
        return true;
    }
    MessageHandler handler = [callback = std::move(callback)](const std::shared_ptr<Message>& message)
    { return onPropertyNotifySet(message, callback); };
    return impl_->bus().subscribeFilter(notifyPattern(kNotifySetPrefix, name), std::move(handler)) ==
           MODULE_STATUS_SUCCESS;
}

bool SettingsManagerClient::unsubscribeNotifySet(const std::wstring& name)
{
    return name.empty() ||
           impl_->bus().unsubscribe(notifyPattern(kNotifySetPrefix, name)) == MODULE_STATUS_SUCCESS;
}

bool SettingsManagerClient::subscribeNotifyDelete(PropertyNameCallback callback, const std::wstring& name)
{
    if (name.empty())
    {
        return true;
    }
    MessageHandler handler = [callback = std::move(callback)](const std::shared_ptr<Message>& message)
    { return onPropertyNotifyDelete(message, callback); };
    return impl_->bus().subscribeFilter(notifyPattern(kNotifyDeletePrefix, name), std::move(handler)) ==
           MODULE_STATUS_SUCCESS;
}

bool SettingsManagerClient::unsubscribeNotifyDelete(const std::wstring& name)
{
    return name.empty() ||
           impl_->bus().unsubscribe(notifyPattern(kNotifyDeletePrefix, name)) == MODULE_STATUS_SUCCESS;
}

bool SettingsManagerClient::subscribePropertyRemoved(PropertyNameCallback callback, const std::wstring& name)
{
    MessageHandler handler = [callback = std::move(callback), name](const std::shared_ptr<Message>& message)
    { return onPropertyNotify(message, callback, [&name](const std::wstring& got) { return got == name; }); };
    return impl_->bus().subscribe(kPropertyRemovedMessage, std::move(handler)) == MODULE_STATUS_SUCCESS;
}

bool SettingsManagerClient::subscribePropertyRemoved(PropertyNameCallback callback)
{
    MessageHandler handler = [callback = std::move(callback)](const std::shared_ptr<Message>& message)
    { return onPropertyNotify(message, callback, [](const std::wstring&) { return true; }); };
    return impl_->bus().subscribe(kPropertyRemovedMessage, std::move(handler)) == MODULE_STATUS_SUCCESS;
}

namespace
{
// Parses a notification and reads its "name"; false after logging for
// `function` when either fails.
bool readNotification(const std::shared_ptr<Message>& message, const wchar_t* function,
                      JSONFormatter& payload, std::wstring& name)
{
    if (!message || !payload.parse(message->getPayload()))
    {
        WL_LOG(ETWLogging::LevelWarning, kLogFile, function, L"Failed to parse setting property data.");
        return false;
    }
    if (!payload.getString(kMemberName, name))
    {
        WL_LOG(ETWLogging::LevelWarning, kLogFile, function, L"Failed to read setting property name.");
        return false;
    }
    return true;
}
} // namespace

ModuleStatus SettingsManagerClient::onPropertyNotify(const std::shared_ptr<Message>& message,
                                                     const PropertyNameCallback& callback,
                                                     const NameFilter& filter)
{
    if (!callback)
    {
        return MODULE_STATUS_SUCCESS;
    }
    JSONFormatter payload;
    std::wstring name;
    if (!readNotification(message, kOnPropertyNotify, payload, name))
    {
        return MODULE_STATUS_DATA_ERROR;
    }
    if (filter(name))
    {
        callback(name);
    }
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus SettingsManagerClient::onPropertyNotifySet(const std::shared_ptr<Message>& message,
                                                        const PropertyValueCallback& callback)
{
    if (!callback)
    {
        return MODULE_STATUS_SUCCESS;
    }
    JSONFormatter payload;
    std::wstring name;
    if (!readNotification(message, kOnPropertyNotifySet, payload, name))
    {
        return MODULE_STATUS_DATA_ERROR;
    }
    std::wstring value;
    if (!payload.getString(kMemberValue, value))
    {
        WL_LOG(ETWLogging::LevelWarning, kLogFile, kOnPropertyNotifySet, L"Failed to read setting value.");
        return MODULE_STATUS_DATA_ERROR;
    }
    callback(name, value);
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus SettingsManagerClient::onPropertyNotifyDelete(const std::shared_ptr<Message>& message,
                                                           const PropertyNameCallback& callback)
{
    if (!callback)
    {
        return MODULE_STATUS_SUCCESS;
    }
    JSONFormatter payload;
    std::wstring name;
    if (!readNotification(message, kOnPropertyNotifyDelete, payload, name))
    {
        return MODULE_STATUS_DATA_ERROR;
    }
    callback(name);
    return MODULE_STATUS_SUCCESS;
}

} // namespace Norvan
