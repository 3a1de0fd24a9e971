// Keeps the wheel's module loadable on glibc releases older than the one it was linked against.
//
// The module carries its own libstdc++, compiled against a recent glibc. Where glibc has it,
// libstdc++ reads __libc_single_threaded (glibc 2.32) to skip atomic instructions while a process
// has one thread; no older glibc defines that variable, under any version. The link
// (-Wl,--wrap=__libc_single_threaded) points every read at the copy below instead, which always
// says "threads may exist": libstdc++ then takes its atomic path, which is correct everywhere and
// costs nothing measurable here.
//
// auditwheel proves from the module's version needs which glibc it asks for, and the wheel tests
// fail when that is newer than the tag the project promises (scripts/retag-wheel.sh). A new need is answered
// the same way: a forwarder that asks for an older version of the same function (.symver), or code
// that avoids the call.

//
// The verifier asks for the calling thread's stack bounds (mldsa/stack_room.cpp) with
// pthread_getattr_np and pthread_attr_getstack, which glibc 2.32 and 2.34 versioned anew when it
// moved libpthread into libc. Both keep their first versions, with the same behaviour, so the
// links (-Wl,--wrap=...) point the calls at forwarders that ask for those.
#include <pthread.h>

#include <cstddef>

#if defined(__x86_64__)
#define HALYX_GLIBC_FIRST "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define HALYX_GLIBC_FIRST "GLIBC_2.17"
#else
#error "no first glibc version is known for this architecture"
#endif

// The linker's names for the redirected symbols, hence the reserved identifiers. The exports map
// keeps them inside the module.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
char __wrap___libc_single_threaded = 0;

int halyx_first_pthread_getattr_np(pthread_t thread, pthread_attr_t* attr);
int halyx_first_pthread_attr_getstack(const pthread_attr_t* attr, void** addr, std::size_t* size);
__asm__(".symver halyx_first_pthread_getattr_np,pthread_getattr_np@" HALYX_GLIBC_FIRST);
__asm__(".symver halyx_first_pthread_attr_getstack,pthread_attr_getstack@" HALYX_GLIBC_FIRST);

int __wrap_pthread_getattr_np(pthread_t thread, pthread_attr_t* attr) {
  return halyx_first_pthread_getattr_np(thread, attr);
}
int __wrap_pthread_attr_getstack(const pthread_attr_t* attr, void** addr, std::size_t* size) {
  return halyx_first_pthread_attr_getstack(attr, addr, size);
}
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
