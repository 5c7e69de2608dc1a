#include <windows.h>

// Something to sign: the tests load it and call this.
extern "C" __declspec(dllexport) int WINAPI TrustSampleAnswer()
{
    return 42;
}
