#pragma once

#include <windows.h>

namespace Norvan
{
// What the library entry point does, kept out of DllMain so tests can run it.
void onProcessAttach(HMODULE self);
void onProcessDetach();
} // namespace Norvan
