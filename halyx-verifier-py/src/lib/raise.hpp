// raise.hpp: the one way this module sets the interpreter's error indicator.
#pragma once

#include <Python.h>

#include <string_view>

namespace halyx::py {

// Sets the error indicator to `cls` with `text` (UTF-8) as its only argument and returns nullptr,
// so that a stage can `return raise(...)`. If the text itself cannot be built, the error of that
// failure (normally MemoryError) is left set instead.
PyObject* raise(PyObject* cls, std::string_view text) noexcept;

}  // namespace halyx::py
