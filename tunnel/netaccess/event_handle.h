#pragma once
// A Windows event handle held together with its closing function.
#include <memory>

#include "win32.h"

namespace rimcap
{
struct event_closer {
    void operator()(HANDLE event) const noexcept
    {
        if (event != nullptr && event != INVALID_HANDLE_VALUE)
            ::CloseHandle(event);
    }
};

using unique_event = std::unique_ptr<void, event_closer>;

// A manual-reset, non-signalled, unnamed event; empty when it cannot be created.
inline unique_event make_manual_reset_event()
{
    return unique_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}
} // namespace rimcap
