#include "Logging/LogWriterFactory.h"

namespace ETWLogging
{

// Neither writer is part of the module yet: the build fails and the manager
// stays without an implementation, which silences logging but nothing else.
CLoggingIf* CreateFileLogWriter()
{
    return nullptr;
}

CLoggingIf* CreateEtwLogWriter()
{
    return nullptr;
}

} // namespace ETWLogging
