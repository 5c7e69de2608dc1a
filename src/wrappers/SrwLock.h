#pragma once

#include "wrappers/Sync.h"

namespace Norvan
{

// Scoped holds on a slim reader/writer lock (an srw_mutex): released on every
// way out of the scope, exceptions included. The names are older than the
// guards of Sync.h, which they are.
using srw_exclusive_guard = lock_guard<srw_mutex>;
using srw_shared_guard = shared_lock<srw_mutex>;

} // namespace Norvan
