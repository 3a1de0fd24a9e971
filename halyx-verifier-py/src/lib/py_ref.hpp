// py_ref.hpp: owns one strong reference to a Python object. The module is built for the stable
// ABI, so counts go through Py_IncRef and Py_DecRef, never through the object's fields.
#pragma once

#include <Python.h>

#include <utility>

namespace halyx::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a reference the caller owns, as "new reference" APIs return.
  static PyRef steal(PyObject* o) noexcept {
    PyRef r;
    r.p_ = o;
    return r;
  }
  // Adds a reference of its own to a borrowed object.
  static PyRef borrow(PyObject* o) noexcept {
    Py_IncRef(o);
    return steal(o);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_DecRef(p_); }  // null-safe

  [[nodiscard]] PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the interpreter, e.g. as a function's return value.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace halyx::py
