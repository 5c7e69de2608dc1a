#include "Logging/LogWriterFactory.h"

#include "Logging/ETWLogging.h"
#include "Logging/FileLogging.h"

#include <new>

namespace ETWLogging
{

CLoggingIf* CreateFileLogWriter()
{
    return new (std::nothrow) CLogging();
}

CLoggingIf* CreateEtwLogWriter()
{
    return new (std::nothrow) CETWLogging();
}

} // namespace ETWLogging
