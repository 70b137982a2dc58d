// The module that holds the library's code.
#include "library_module.h"

namespace wireguard
{
namespace
{
// The address of this datum lies in the module that holds the library's code.
const char module_anchor = 0;
} // namespace

HMODULE reference_library_module(bool pin) noexcept
{
    HMODULE module = nullptr;
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | (pin ? GET_MODULE_HANDLE_EX_FLAG_PIN : 0);
    if (!::GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(&module_anchor), &module))
        return nullptr;
    return module;
}
} // namespace wireguard
