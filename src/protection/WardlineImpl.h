#pragma once

#include "module/BaseModule.h"
#include "wrappers/Sync.h"

#include <memory>
#include <string>
#include <vector>

namespace Norvan
{

class Message;
class SettingsManager;

// The protection-status module: keeps the machine's protection state as
// reported on the bus and republishes it as "Core.Protection.State" whenever
// a report changes it and whenever someone asks for a refresh.
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

private:
    // True once the first publication was attempted, whatever its outcome: the
    // first report is always published, even when it repeats the start value.
    bool published_ = false;
    std::wstring state_ = L"green";
    // Recursive: handlerInternalState publishes with the lock already held.
    critical_section lock_;
    std::shared_ptr<SettingsManager> settings_;
    // The names subscribed by initialize, withdrawn by the destructor.
    std::vector<std::wstring> subscribed_;
};

} // namespace Norvan
