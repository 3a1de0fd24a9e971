// arg_binding.hpp: binds a vectorcall argument list to a fixed list of required parameters, and
// takes `bytes` arguments as read-only views, raising the interpreter's own TypeError texts.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include <halyx/bytes.hpp>

namespace halyx::py {

// What the binder works from: a function whose parameters may all be given by position or by
// keyword, all required, with no defaults and no catch-all parameters.
template <std::size_t N>
struct ParameterSpec {
  std::string_view display_name;  // e.g. "verify_inclusion()"
  std::array<std::string_view, N> names;
};

// Fills `slots` with borrowed references to the arguments in parameter order. Returns false with a
// TypeError set when the call does not bind: too many positional arguments, an unknown keyword, a
// parameter given twice, or missing parameters (checked in that order). Throws std::bad_alloc when a
// message cannot be built.
bool bind_arguments(std::string_view display_name, const std::string_view* names, std::size_t count,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

template <std::size_t N>
bool bind_arguments(const ParameterSpec<N>& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::array<PyObject*, N>& slots) {
  return bind_arguments(spec.display_name, spec.names.data(), N, args, nargs, kwnames, slots.data());
}

// Returns the view of a `bytes` object (or of a subclass's) buffer. Anything else, bytearray and
// memoryview included, is refused with "argument '<name>': ..." as TypeError: no buffer protocol is
// consulted, since a mutable buffer could change under the view while the call reads it. Throws
// std::bad_alloc when the message cannot be built.
std::optional<ByteView> bytes_argument(PyObject* value, std::string_view parameter);

}  // namespace halyx::py
