#pragma once
// The module that holds the library's code: tundrel.dll, or the program that links the
// library.
#include "win32.h"

namespace wireguard
{
// A new reference on that module (FreeLibrary gives it back); null when none can be
// had. Pinned: the module then stays loaded until the process ends.
HMODULE reference_library_module(bool pin = false) noexcept;
} // namespace wireguard
