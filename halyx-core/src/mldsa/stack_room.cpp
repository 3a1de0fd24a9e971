#include <halyx/mldsa/stack_room.hpp>

#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace halyx::mldsa {

#if defined(__linux__)

namespace {

struct StackBounds {
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
};

// Asks the thread library for this thread's stack. glibc reports the bounds of a created thread's
// stack above its guard page, and for the main thread those the stack may grow to under its
// limit; it reads /proc/self/maps for the latter, which is why the answer is kept per thread.
StackBounds read_bounds() noexcept {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return {};
  void* addr = nullptr;
  std::size_t size = 0;
  const bool known = pthread_attr_getstack(&attr, &addr, &size) == 0;
  pthread_attr_destroy(&attr);
  if (!known || addr == nullptr) return {};
  const auto low = reinterpret_cast<std::uintptr_t>(addr);
  return {low, low + size};
}

}  // namespace

std::size_t stack_room() noexcept {
  // Trivial thread-locals, so that they need no constructor and no per-thread allocation.
  thread_local std::uintptr_t low = 0;
  thread_local std::uintptr_t high = 0;
  if (high == 0) {
    const StackBounds bounds = read_bounds();
    if (bounds.high == 0) return 0;  // unknown: asked again next time
    low = bounds.low;
    high = bounds.high;
  }
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (here <= low || here > high) return 0;
  return here - low;
}

#else

std::size_t stack_room() noexcept { return 0; }

#endif

}  // namespace halyx::mldsa
