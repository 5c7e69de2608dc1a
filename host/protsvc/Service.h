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
// Calls of the four steps not answered yet (a hanging one among them).
LONG callsInProgress();
// Strong connections COM reports on the class object from outside the
// process. While the class is registered COM's own table may count as one;
// after the revocation only clients that still hold the class object count.
LONG factoryConnections();

} // namespace ProtSvc
