#pragma once

#include "message/MessageBus.h"
#include "module/IOCContainer.h"
#include "module/Module.h"
#include "module/ModuleManagerShim.h"

#include <memory>
#include <string>

namespace Norvan
{

// What every hosted module shares: it keeps what the host hands over at
// initialisation, registers the bus in the module's service container,
// delivers the host's direct messages, and is itself a MessageBus that
// forwards to the bus it was given, so a derived module subscribes and
// publishes through its own `this`.
class BaseModule : public Module, public MessageBus
{
public:
    // An empty container is replaced by a new one of the module's own.
    explicit BaseModule(std::shared_ptr<Plinth::IOCContainer> container);
    ~BaseModule() override;

    ModuleStatus initialize() override;
    ModuleStatus start() override;
    ModuleStatus stop() override;
    ModuleStatus uninitialize() override;
    ModuleStatus baseInitialize(const std::wstring& name, const std::wstring& secondaryName,
                                const ModuleProperties& properties,
                                std::shared_ptr<internal::ModuleManagerShim> moduleManager,
                                std::shared_ptr<MessageBus> messageBus) override;

    // Delivers a message the host sent directly to this module's own
    // subscribers, on the calling thread, without the host's bus.
    ModuleStatus directMessage(const std::shared_ptr<Message>& message);

    // The bus operations; usable only after a successful baseInitialize.
    ModuleStatus publish(const std::shared_ptr<Message>& message) override;
    ModuleStatus publishEx(const std::shared_ptr<Message>& message) override;
    ModuleStatus request(const std::shared_ptr<Message>& message, RequestCompletion completion,
                         const std::chrono::milliseconds& timeout) override;
    ModuleStatus request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                         const std::chrono::milliseconds& timeout) override;
    ModuleStatus requestEx(const std::shared_ptr<Message>& message, RequestCompletion completion,
                           const std::chrono::milliseconds& timeout) override;
    ModuleStatus requestEx(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                           const std::chrono::milliseconds& timeout) override;
    ModuleStatus subscribe(const std::wstring& name, const std::wstring& alias, MessageHandler handler) override;
    ModuleStatus subscribe(const std::wstring& name, MessageHandler handler) override;
    ModuleStatus subscribeSession(const std::wstring& name, const std::wstring& alias,
                                  MessageHandler handler) override;
    ModuleStatus subscribeSession(const std::wstring& name, MessageHandler handler) override;
    ModuleStatus subscribeFilter(const std::wstring& pattern, const std::wstring& alias,
                                 MessageHandler handler) override;
    ModuleStatus subscribeFilter(const std::wstring& pattern, MessageHandler handler) override;
    ModuleStatus subscribeFilterSession(const std::wstring& pattern, const std::wstring& alias,
                                        MessageHandler handler) override;
    ModuleStatus subscribeFilterSession(const std::wstring& pattern, MessageHandler handler) override;
    ModuleStatus unsubscribe(const std::wstring& alias) override;

    const std::wstring& name() const noexcept { return name_; }
    const std::wstring& secondaryName() const noexcept { return secondaryName_; }
    const ModuleProperties& properties() const noexcept { return properties_; }
    const std::shared_ptr<internal::ModuleManagerShim>& moduleManager() const noexcept { return moduleManager_; }
    const std::shared_ptr<MessageBus>& messageBus() const noexcept { return messageBus_; }
    const std::shared_ptr<Plinth::IOCContainer>& container() const noexcept { return container_; }

private:
    // Forwards to the held bus. Before a successful baseInitialize there is
    // none; the call is refused instead of dereferencing nothing.
    template <typename Operation>
    ModuleStatus forward(Operation&& operation)
    {
        if (!messageBus_)
        {
            return MODULE_STATUS_INVALID_STATE;
        }
        return operation(*messageBus_);
    }

    std::wstring name_;
    std::wstring secondaryName_;
    ModuleProperties properties_;
    std::shared_ptr<internal::ModuleManagerShim> moduleManager_;
    std::shared_ptr<MessageBus> messageBus_;
    std::shared_ptr<Plinth::IOCContainer> container_;
};

} // namespace Norvan
