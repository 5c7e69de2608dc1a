#include "protection/WardlineImpl.h"

#include "Logging/Log.h"
#include "message/JSONParser.h"
#include "message/Message.h"
#include "protection/ProtectionManager.h"
#include "settings/SettingsManagerClient.h"
#include "wrappers/ComApartment.h"
#include "wrappers/SrwLock.h"

#include <chrono>

namespace Norvan
{

namespace
{
constexpr const wchar_t kLogFile[] = L"WardlineImpl";
constexpr const wchar_t kIgnoreFunction[] = L"Norvan::WardlineImpl::ignoreFirewallAlert";
constexpr const wchar_t kStatusFunction[] = L"Norvan::WardlineImpl::internalIgnoreStatus";
constexpr const wchar_t kSaveFunction[] = L"Norvan::WardlineImpl::saveSetting";

constexpr const wchar_t kFirewallProtectionType[] = L"0F167695-3F7C-421c-89E8-40544CE9D1A1";
constexpr std::uint32_t kFirewallRule = 512;
constexpr const wchar_t kRequiredState[] = L"red";
constexpr const wchar_t kSettingName[] = L"Core.Protection.IgnoreFirewall";
constexpr const wchar_t kSettingMember[] = L"ignore_firewall";
constexpr std::chrono::milliseconds kSettingTimeout(5000);

constexpr const wchar_t kProtectionTypeMember[] = L"protection_type";
constexpr const wchar_t kRuleMember[] = L"rule_id";
constexpr const wchar_t kIgnoredMember[] = L"ignored";

std::wstring settingData(bool ignored)
{
    JSONParser document;
    document.setBool(kSettingMember, ignored);
    std::wstring text;
    document.toString(text);
    return text;
}

} // namespace

ModuleStatus WardlineImpl::ignoreFirewallAlert(std::shared_ptr<Message> /*message*/)
{
    // Held for the whole request, the service's calls and the settings write
    // included: state reports and other requests wait for it, for the
    // service's answer at most serviceAnswerLimit_.
    std::lock_guard<recursive_mutex> guard(lock_);
    if (state_ != kRequiredState)
    {
        WL_LOG(ETWLogging::LevelInformation, kLogFile, kIgnoreFunction,
               L"The current protection status is not '%s', it is '%s'", kRequiredState, state_.c_str());
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    WL_LOG(ETWLogging::LevelNormal, kLogFile, kIgnoreFunction, L"Ignoring Firewall Alert");

    // A bus thread of another apartment is refused, as it always was, even
    // though the service's calls no longer run on it.
    const ComApartment com;
    if (!com.initialized())
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kIgnoreFunction, L"Error initializing CoInitializeEx");
        return MODULE_STATUS_UNSUCCESSFUL;
    }

    // The service's calls run on a thread of their own, so that one that
    // never answers costs this request its bound, not the module its lock.
    const std::wstring alert = std::wstring(kFirewallProtectionType) + L"_" + std::to_wstring(kFirewallRule);
    const HRESULT hr =
        ProtectionManager::takeAlertActionWithin(alert, serviceAnswerLimit_, serviceCallsAbandoned_.get());
    if (FAILED(hr))
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kIgnoreFunction, L"Error: Failed to ignore Firewall Alert");
        return hr == RPC_E_TIMEOUT ? MODULE_STATUS_TIMEOUT : MODULE_STATUS_UNSUCCESSFUL;
    }
    WL_LOG(ETWLogging::LevelNormal, kLogFile, kIgnoreFunction, L"Firewall Alert was successfully ignored");

    return saveSetting(kSettingName, settingData(true));
}

ModuleStatus WardlineImpl::internalIgnoreStatus(std::shared_ptr<Message> message)
{
    WL_LOG(ETWLogging::LevelNormal, kLogFile, kStatusFunction, L"internalIgnoreStatus");
    if (!message)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kStatusFunction, L"Incoming data is NULL");
        return MODULE_STATUS_DATA_ERROR;
    }

    JSONParser document;
    if (!document.parse(message->getPayload()))
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kStatusFunction, L"Error parsing incoming data");
        return MODULE_STATUS_UNSUCCESSFUL;
    }

    std::wstring protectionType;
    if (!document.getString(kProtectionTypeMember, protectionType))
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kStatusFunction, L"Invalid json content %s not found",
               kProtectionTypeMember);
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    if (protectionType != kFirewallProtectionType)
    {
        WL_LOG(ETWLogging::LevelNormal, kLogFile, kStatusFunction, L"Protection type of no interest %s",
               protectionType.c_str());
        return MODULE_STATUS_SUCCESS;
    }

    std::uint32_t rule = 0;
    if (!document.getUint(kRuleMember, rule))
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kStatusFunction, L"Invalid json content %s not found",
               kRuleMember);
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    if (rule != kFirewallRule)
    {
        WL_LOG(ETWLogging::LevelNormal, kLogFile, kStatusFunction, L"RuleID of no interest %d", rule);
        return MODULE_STATUS_SUCCESS;
    }

    bool ignored = false;
    if (!document.getBool(kIgnoredMember, ignored))
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kStatusFunction, L"Invalid json content %s not found",
               kIgnoredMember);
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    return saveSetting(kSettingName, settingData(ignored));
}

ModuleStatus WardlineImpl::saveSetting(const std::wstring& name, const std::wstring& data)
{
    WL_LOG(ETWLogging::LevelInformation, kLogFile, kSaveFunction, L"Setting '%s', Data '%s'", name.c_str(),
           data.c_str());
    const std::shared_ptr<SettingsManager> settings = settingsClient();
    if (!settings)
    {
        WL_LOG(ETWLogging::LevelError, kLogFile, kSaveFunction,
               L"Memory error: creating settings manager client");
        return MODULE_STATUS_NO_MEMORY;
    }
    return settings->setProperty(name, data, kSettingTimeout) ? 1 : 0;
}

void WardlineImpl::abandonServiceCalls() noexcept
{
    if (serviceCallsAbandoned_)
    {
        ::SetEvent(serviceCallsAbandoned_.get());
    }
}

std::shared_ptr<SettingsManager> WardlineImpl::settingsClient()
{
    {
        srw_shared_guard shared(settingsLock_);
        if (settings_)
        {
            return settings_;
        }
    }
    // One resolution at a time: two handlers that both find no client yet
    // resolve it once, and both use what that resolution stored.
    srw_exclusive_guard exclusive(settingsLock_);
    if (!settings_ && container())
    {
        try
        {
            settings_ = container()->resolve<SettingsManagerClient>();
        }
        catch (...)
        {
            // A resolution that throws finds no client; the next call tries again.
        }
    }
    return settings_;
}

} // namespace Norvan
