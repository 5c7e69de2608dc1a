#include "protection/WardlineImpl.h"

#include "Logging/Log.h"

namespace Norvan
{

// Ignoring the firewall alert needs the protection-manager client and the
// settings manager client, which this build does not carry yet. The messages
// are subscribed all the same, so that a request is answered with a clear
// status instead of going unanswered.

ModuleStatus WardlineImpl::ignoreFirewallAlert(std::shared_ptr<Message> /*message*/)
{
    WL_LOG(ETWLogging::LevelError, L"WardlineImpl", L"Norvan::WardlineImpl::ignoreFirewallAlert",
           L"Ignoring the firewall alert is not available in this build");
    return MODULE_STATUS_NOT_IMPLEMENTED;
}

ModuleStatus WardlineImpl::internalIgnoreStatus(std::shared_ptr<Message> /*message*/)
{
    WL_LOG(ETWLogging::LevelError, L"WardlineImpl", L"Norvan::WardlineImpl::internalIgnoreStatus",
           L"Recording the firewall alert's ignore status is not available in this build");
    return MODULE_STATUS_NOT_IMPLEMENTED;
}

} // namespace Norvan
