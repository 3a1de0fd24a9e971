#include "raise.hpp"

#include <climits>

#include "py_ref.hpp"

namespace halyx::py {

PyObject* raise(PyObject* cls, std::string_view text) noexcept {
  // Messages are short: a few hundred bytes at most, far from Py_ssize_t's range.
  PyRef value = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (value) PyErr_SetObject(cls, value.get());
  return nullptr;
}

}  // namespace halyx::py
