#include "Logging/LogWriterFactory.h"

#include "Logging/FileLogging.h"

#include <new>

namespace ETWLogging
{

CLoggingIf* CreateFileLogWriter()
{
    return new (std::nothrow) CLogging();
}

// The ETW writer is not part of the module yet: without "Logging Mechanism"
// = 1 the build fails and the manager stays without an implementation,
// which silences logging but nothing else.
CLoggingIf* CreateEtwLogWriter()
{
    return nullptr;
}

} // namespace ETWLogging
