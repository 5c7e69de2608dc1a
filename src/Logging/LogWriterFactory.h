#pragma once

#include "Logging/LoggingIf.h"

namespace ETWLogging
{

// The two writers the builder can choose from. Each returns a new,
// uninitialised writer that the caller owns, or null when it cannot be made.
CLoggingIf* CreateFileLogWriter();
CLoggingIf* CreateEtwLogWriter();

using LogWriterFactory = CLoggingIf* (*)();

} // namespace ETWLogging
