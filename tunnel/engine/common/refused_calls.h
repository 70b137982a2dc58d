#pragma once
// System calls that undo what a tunnel set up (deleting its rows, cancelling its
// registration) can be refused for a moment; they are tried a few times at once, with a
// short pause, before the tunnel keeps what it could not undo for a later try.
#include "win32.h"

namespace wireguard
{
inline constexpr int refused_call_attempts = 3;
inline constexpr DWORD refused_call_pause_ms = 10;

// Calls `call` (which returns a Windows error code) until `done` accepts its result, at
// most refused_call_attempts times; the last result.
template <class Call, class Done>
DWORD call_until_done(Call call, Done done) noexcept
{
    DWORD result = call();
    for (int attempt = 1; attempt < refused_call_attempts && !done(result); ++attempt) {
        ::Sleep(refused_call_pause_ms);
        result = call();
    }
    return result;
}
} // namespace wireguard
