// stack_room.hpp: how much of the calling thread's stack is left below the caller.
//
// prepare() needs about 50 KiB of working memory. A thread's stack can be far smaller than that
// (CPython allows threading.stack_size(32768)), and a frame larger than the room left would
// reach past the guard page into whatever is mapped below. So the verifier asks first, and works
// on the heap when the room is short.
#pragma once

#include <cstddef>

namespace halyx::mldsa {

// Returns the bytes between the caller's frame and the low end of this thread's stack, or 0 when
// they cannot be known (the system does not say, or the caller runs on a stack other than the
// thread's own). The stack's bounds are read once per thread; each call after that only compares.
[[nodiscard]] std::size_t stack_room() noexcept;

}  // namespace halyx::mldsa
