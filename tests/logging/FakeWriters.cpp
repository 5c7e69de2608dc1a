#include "FakeWriters.h"

namespace LoggingTest
{

WriterScript& Script()
{
    static WriterScript script;
    return script;
}

void ResetScript()
{
    Script() = WriterScript();
}

} // namespace LoggingTest
