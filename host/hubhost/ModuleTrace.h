#pragma once

#include <windows.h>

// Wine has no trace sessions, so a module's events (its log, by default)
// would go nowhere. hubhost plays the session: it points the module's
// classic ETW imports at its own stand-ins, enables the module's provider at
// level 1 as soon as it registers, and hands the message of every event to
// the module log lines that LoaderReport reads.
namespace hubhost
{

// True when the module imports the ETW functions and they now reach hubhost.
bool traceModule(HMODULE module);

} // namespace hubhost
