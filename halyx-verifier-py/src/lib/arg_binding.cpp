#include "arg_binding.hpp"

#include <cstring>
#include <string>

#include "py_ref.hpp"
#include "raise.hpp"

namespace halyx::py {
namespace {

bool missing_arguments(std::string_view display_name, const std::string_view* names, std::size_t count,
                       PyObject* const* slots) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < count; ++i) missing += slots[i] == nullptr ? 1 : 0;
  // "'a'", "'a' and 'b'", "'a', 'b', and 'c'": a comma between neighbours only when more than two
  // are listed, and "and" before the last.
  std::string list;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (slots[i] != nullptr) continue;
    if (listed > 0) {
      if (missing > 2) list += ',';
      list += listed + 1 == missing ? " and " : " ";
    }
    list += '\'';
    list += names[i];
    list += '\'';
    ++listed;
  }
  std::string text(display_name);
  text += " missing " + std::to_string(missing) + " required positional " +
          (missing == 1 ? "argument" : "arguments") + ": " + list;
  raise(PyExc_TypeError, text);
  return false;
}

}  // namespace

bool bind_arguments(std::string_view display_name, const std::string_view* names, std::size_t count,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  const auto positional = static_cast<std::size_t>(nargs);
  for (std::size_t i = 0; i < count; ++i) slots[i] = i < positional ? args[i] : nullptr;
  if (positional > count) {
    std::string text(display_name);
    text += " takes " + std::to_string(count) + " positional arguments but " + std::to_string(positional) +
            (positional == 1 ? " was" : " were") + " given";
    raise(PyExc_TypeError, text);
    return false;
  }

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GetItem(kwnames, k);  // borrowed
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) PyErr_Clear();  // no UTF-8 form (lone surrogates): matches no parameter
    std::size_t match = count;
    for (std::size_t i = 0; utf8 != nullptr && i < count; ++i) {
      if (names[i].size() == static_cast<std::size_t>(size) && std::memcmp(names[i].data(), utf8, names[i].size()) == 0) {
        match = i;
        break;
      }
    }
    if (match == count) {
      // Formatted by the interpreter, so the name appears exactly as str() shows it, even when it
      // has no UTF-8 form.
      const std::string display(display_name);
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", display.c_str(), name);
      return false;
    }
    if (slots[match] != nullptr) {
      std::string text(display_name);
      text += " got multiple values for argument '";
      text += names[match];
      text += '\'';
      raise(PyExc_TypeError, text);
      return false;
    }
    slots[match] = args[nargs + k];
  }

  if (positional < count) {
    for (std::size_t i = positional; i < count; ++i) {
      if (slots[i] == nullptr) return missing_arguments(display_name, names, count, slots);
    }
  }
  return true;
}

std::optional<ByteView> bytes_argument(PyObject* value, std::string_view parameter) {
  if ((PyType_GetFlags(Py_TYPE(value)) & Py_TPFLAGS_BYTES_SUBCLASS) != 0) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(value, &data, &size) == 0) {
      return ByteView{reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
    }
    return std::nullopt;
  }

  std::string mismatch;
  if (value == Py_None) {
    mismatch = "'None' is not an instance of 'bytes'";
  } else {
    std::string type_name = "<failed to extract type name>";
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
    const char* utf8 = qualname ? PyUnicode_AsUTF8AndSize(qualname.get(), nullptr) : nullptr;
    if (utf8 != nullptr) {
      type_name = utf8;
    } else {
      PyErr_Clear();
    }
    mismatch = "'" + type_name + "' object is not an instance of 'bytes'";
  }
  std::string text = "argument '";
  text += parameter;
  text += "': " + mismatch;

  // The TypeError is raised with an explicit empty cause, which marks its context as suppressed:
  // it is a conversion failure of its own, not a consequence of anything else that happened.
  PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!message) return std::nullopt;
  PyRef error = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!error) return std::nullopt;
  PyException_SetCause(error.get(), nullptr);
  PyErr_SetObject(PyExc_TypeError, error.get());
  return std::nullopt;
}

}  // namespace halyx::py
