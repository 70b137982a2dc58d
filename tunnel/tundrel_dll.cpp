#include "win32.h"

// The library needs no work at load or unload; its singletons are function-local
// statics built on first use.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
