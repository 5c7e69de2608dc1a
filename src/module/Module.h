#pragma once

#include "module/ModuleStatus.h"

#include <memory>
#include <string>
#include <unordered_map>

namespace Norvan
{

class MessageBus;

namespace internal
{
class ModuleManagerShim;
}

using ModuleProperties = std::unordered_map<std::wstring, std::wstring>;

// What the module function table drives. The order of the operations is the
// order of the interface's virtual slots.
class Module
{
public:
    virtual ~Module() = default;
    virtual ModuleStatus initialize() = 0;
    virtual ModuleStatus start() = 0;
    virtual ModuleStatus stop() = 0;
    virtual ModuleStatus uninitialize() = 0;
    virtual ModuleStatus baseInitialize(const std::wstring& name, const std::wstring& secondaryName,
                                        const ModuleProperties& properties,
                                        std::shared_ptr<internal::ModuleManagerShim> moduleManager,
                                        std::shared_ptr<MessageBus> messageBus) = 0;
};

} // namespace Norvan
