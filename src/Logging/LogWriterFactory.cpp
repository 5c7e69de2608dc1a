#include "Logging/LogWriterFactory.h"

#include "Logging/ETWLogging.h"

#include <new>

namespace ETWLogging
{

// The log-file writer is not part of the module yet: with "Logging
// Mechanism" = 1 the build fails and the manager stays without an
// implementation, which silences logging but nothing else.
CLoggingIf* CreateFileLogWriter()
{
    return nullptr;
}

CLoggingIf* CreateEtwLogWriter()
{
    return new (std::nothrow) CETWLogging();
}

} // namespace ETWLogging
