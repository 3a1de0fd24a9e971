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
// fail when that is newer than the tag the project promises (scripts/retag-wheel.sh), or when a
// symbol lives in a library the module does not list (scripts/wheel_check.py). A new need is
// answered the same way: a forwarder that asks for an older version of the same function (.symver),
// or code that avoids the call.

// The linker's name for the redirected symbol, hence the reserved identifier. The exports map
// keeps it inside the module.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
char __wrap___libc_single_threaded = 0;
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
