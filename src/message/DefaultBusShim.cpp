#include "message/DefaultBusShim.h"

#include "Logging/Log.h"
#include "module/ModuleException.h"

namespace Norvan
{
namespace internal
{

std::shared_ptr<MessageBusShim> createDefaultMessageBusShim()
{
    // This library cannot load the host's bus library yet. Until it can, a
    // client without a given bus fails exactly as it will when the bus
    // library cannot be loaded, so callers already handle that outcome.
    WL_LOG(ETWLogging::LevelError, L"message\\DefaultBusShim",
           L"Norvan::internal::createDefaultMessageBusShim",
           L"Failed to load library: %ls. Throwing ModuleException.", L"Courier.dll");
    throw ModuleException("Failed to load library");
}

} // namespace internal
} // namespace Norvan
