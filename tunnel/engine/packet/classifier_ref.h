#pragma once
// How the packet paths call the classification: a reference to the classifier that the
// tunnel's filter handler owns.
#include <memory>
#include <type_traits>

#include "netaccess/driver_records.h"

namespace wireguard
{
// The classification function object as the outgoing handler calls it: a reference to
// a callable that takes the record and answers true for a frame that goes through the
// tunnel. Valid while the referenced object lives (the filter's handler owns it).
class classifier_ref
{
public:
    template <typename F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, classifier_ref>)
    classifier_ref(F& classifier) noexcept
        : object_(static_cast<void*>(std::addressof(classifier))),
          call_([](void* object, _INTERMEDIATE_BUFFER& record) {
              return static_cast<bool>((*static_cast<F*>(object))(record));
          })
    {
    }

    bool operator()(_INTERMEDIATE_BUFFER& record) const { return call_(object_, record); }

private:
    void* object_;
    bool (*call_)(void*, _INTERMEDIATE_BUFFER&);
};
} // namespace wireguard
