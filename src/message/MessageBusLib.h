#pragma once

#include "dll/SharedLibrary.h"
#include "message/MessageBusFunctions.h"
#include "message/MessageBusShim.h"
#include "wrappers/OSInfo.h"
#include "wrappers/RegistryAPI.h"
#include "wrappers/ShlObjAPI.h"

#include <memory>
#include <string>
#include <vector>

namespace Norvan
{

// The host's bus for a module that was not handed one: finds and loads the
// host's bus library, opens a bus handle of its own, and forwards every bus
// operation to a shim over that handle. Gives the handle back and the library
// up on destruction.
class MessageBusLib : public MessageBusShim
{
public:
    // Where the library is looked for and what the registry fallback reads.
    // The defaults are the product's; tests replace parts of it.
    struct Environment
    {
        std::wstring fileName;
        std::vector<std::wstring> searchList;
        std::shared_ptr<RegistryAPI> registry;
        std::shared_ptr<Plinth::OSInfo> osInfo;
        std::shared_ptr<ShlObjAPI> shell;
        // The loader of the library found; the real one when empty.
        std::shared_ptr<DllLoader> loader;

        static Environment defaults();
    };

    // Both are taken over. An empty library is found and loaded; an empty
    // shim becomes a MessageBusShimImpl over the library's bus. Throws
    // ModuleException when the bus cannot be reached.
    MessageBusLib(std::shared_ptr<SharedLibrary> library, std::shared_ptr<MessageBusShim> shim);
    MessageBusLib(std::shared_ptr<SharedLibrary> library, std::shared_ptr<MessageBusShim> shim,
                  Environment environment);
    ~MessageBusLib() override;
    MessageBusLib(const MessageBusLib&) = delete;
    MessageBusLib& operator=(const MessageBusLib&) = delete;

    ModuleStatus publish(const std::shared_ptr<Message>& message, bool extended) override;
    ModuleStatus request(const std::shared_ptr<Message>& message, std::uint64_t requestIndex,
                         void* replyContext, const std::chrono::milliseconds& timeout,
                         bool extended) override;
    ModuleStatus removeReplyCallback() override;
    std::uint32_t subscribe(const std::wstring& name, void* handlerContext) override;
    std::uint32_t subscribeFilter(const std::wstring& pattern, void* handlerContext) override;
    ModuleStatus unsubscribe(std::uint32_t subscriptionId) override;

private:
    LibraryDescription loadFromRegistry() const;
    void releaseHandle() noexcept;

    std::shared_ptr<SharedLibrary> library_;
    std::shared_ptr<MessageBusShim> shim_;
    MessageBusHandle handle_ = nullptr;
    const MessageBusFunctionTable* functions_ = nullptr;
    Environment environment_;
};

} // namespace Norvan
