#pragma once

#include "message/MessageBusShim.h"

#include <memory>

namespace Norvan
{
namespace internal
{

// The bus of a client that was given none: the host's bus library, found and
// loaded by the module itself. Throws ModuleException when that fails.
std::shared_ptr<MessageBusShim> createDefaultMessageBusShim();

} // namespace internal
} // namespace Norvan
