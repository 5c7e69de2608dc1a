#pragma once

#include "module/BaseModule.h"
#include "wrappers/Sync.h"
#include "wrappers/UniqueResource.h"

#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace Norvan
{

class Message;
class SettingsManager;

// The protection-status module: keeps the machine's protection state as
// reported on the bus and republishes it as "Core.Protection.State" whenever
// a report changes it and whenever someone asks for a refresh. While the
// state is "red" it carries out the user's choice to ignore the firewall
// alert, and it records in the settings manager whether that alert is
// ignored.
class WardlineImpl : public BaseModule
{
public:
    explicit WardlineImpl(std::shared_ptr<Plinth::IOCContainer> container);
    ~WardlineImpl() override;

    ModuleStatus initialize() override;

    ModuleStatus publishState();
    ModuleStatus handlerInternalState(std::shared_ptr<Message> message);
    ModuleStatus ignoreFirewallAlert(std::shared_ptr<Message> message);
    ModuleStatus internalIgnoreStatus(std::shared_ptr<Message> message);

    // 1 when the settings manager confirmed the write, 0 when it did not,
    // MODULE_STATUS_NO_MEMORY when there is no settings client.
    ModuleStatus saveSetting(const std::wstring& name, const std::wstring& data);

    // How long an ignore request waits for the protection manager's answer
    // before it fails with MODULE_STATUS_TIMEOUT. State reports wait behind
    // the request meanwhile, as behind its settings write: the bound caps
    // that wait for a service that stopped answering. Well above a cold
    // start of the service (about two seconds on a loaded machine here).
    static constexpr std::chrono::milliseconds kServiceAnswerLimit{10000};
    void setServiceAnswerLimit(std::chrono::milliseconds limit) noexcept { serviceAnswerLimit_ = limit; }

private:
    // The message that publishes `state`, or the message factory's status.
    // Memory running out while the payload is written raises std::bad_alloc.
    ModuleStatus stateMessage(const std::wstring& state, std::shared_ptr<Message>& message) const;

    // The settings client, resolved from the service container on first use;
    // it stays empty after a failed resolution, so that the next call retries.
    std::shared_ptr<SettingsManager> settingsClient();
    // Ends the wait of an ignore request for the protection manager, now and
    // for every later request: the module is going away.
    void abandonServiceCalls() noexcept;

    // True once the first publication was attempted, whatever its outcome: the
    // first report is always published, even when it repeats the start value.
    bool published_ = false;
    std::wstring state_ = L"green";
    // Guards state_ and published_ and is held across every publication, so
    // that reports are published in the order in which they took it, and
    // across an ignore request. Recursive, so that a holder may reach code
    // that takes it again.
    recursive_mutex lock_;
    // Guards settings_ only. internalIgnoreStatus reaches the first use
    // without the module's lock, so the resolution cannot rely on it; the
    // settings request itself runs outside this lock.
    SRWLOCK settingsLock_ = SRWLOCK_INIT;
    std::shared_ptr<SettingsManager> settings_;
    // The names subscribed by initialize, withdrawn by the destructor.
    std::vector<std::wstring> subscribed_;
    std::chrono::milliseconds serviceAnswerLimit_ = kServiceAnswerLimit;
    // Set by abandonServiceCalls. Without it (no event could be made) a
    // waiting request ends at its bound all the same.
    unique_handle serviceCallsAbandoned_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

} // namespace Norvan
