#include "message/DefaultBusShim.h"

#include "message/MessageBusLib.h"

namespace Norvan
{
namespace internal
{

std::shared_ptr<MessageBusShim> createDefaultMessageBusShim()
{
    return std::make_shared<MessageBusLib>(nullptr, nullptr);
}

} // namespace internal
} // namespace Norvan
