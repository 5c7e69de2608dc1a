#pragma once

#include <windows.h>

#include "protsvc.h"

namespace ProtSvc
{

// The class object of the surrogate broker class: an unauthenticated class
// factory that lives as long as the process.
IKvClassFactoryNoAuth* brokerFactory();

// Objects handed out and not yet released (the class factory is not one of
// them). The service ends when this has stayed at zero for a while.
LONG liveObjects();
// Objects handed out since the start; tells a quiet spell from one in which
// an object came and went.
LONG createdObjects();

} // namespace ProtSvc
