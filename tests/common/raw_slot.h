// Calls a virtual function by its position in the object's table with a given
// signature, bypassing the C++ names: the host calls by position, so a test
// that did otherwise would not see a shifted slot.
#pragma once

#include <utility>

namespace testcommon {

template <class Sig>
struct RawSlot;

template <class R, class... A>
struct RawSlot<R(A...)> {
#if defined(__clang__)
  __attribute__((no_sanitize("function")))
#endif
  static R
  Call(const void* object, int slot, A... args) {
    void* const* table = *static_cast<void* const* const*>(object);
    auto function = reinterpret_cast<R (*)(const void*, A...)>(table[slot]);
    return function(object, std::forward<A>(args)...);
  }
};

template <class Sig, class... Args>
auto Slot(const void* object, int slot, Args&&... args) {
  return RawSlot<Sig>::Call(object, slot, std::forward<Args>(args)...);
}

}  // namespace testcommon
