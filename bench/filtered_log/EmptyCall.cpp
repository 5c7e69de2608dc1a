#include "EmptyCall.h"

// In a file of its own: without link-time optimisation the caller cannot see
// that nothing happens here, so the call stays a real out-of-line call.
bool EmptyOutOfLineCall(unsigned long)
{
    return false;
}
