// The _halyx_bench helper module, for benchmarks only. In Python terms it is:
//
//   def verify_raw(message: bytes, signature: bytes, context: bytes, public_key: bytes) -> bool: ...
//   def backend_name() -> str: ...
//
// verify_raw does what one signature check of a verify_inclusion call does, no more: it creates
// its own ML-DSA-65 handle, as every call does, and verifies once. Timing it beside
// halyx_verifier.verify_inclusion in one process gives the floor of a call with the same backend.
// It lives in its own module so that halyx_verifier keeps exactly its public names.
#include <Python.h>

#include <cstddef>
#include <new>
#include <optional>

#include <halyx/bytes.hpp>
#include <halyx/signing/ml_dsa_65.hpp>

namespace {

// Returns the view of a bytes argument, or nothing with TypeError set.
std::optional<halyx::ByteView> bytes_view(PyObject* o, const char* name) noexcept {
  if (!(PyType_GetFlags(Py_TYPE(o)) & Py_TPFLAGS_BYTES_SUBCLASS)) {
    PyErr_Format(PyExc_TypeError, "verify_raw(): %s must be bytes", name);
    return std::nullopt;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(o, &data, &size) < 0) return std::nullopt;
  return halyx::ByteView{reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
}

PyObject* verify_raw(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs != 4) {
    PyErr_Format(PyExc_TypeError, "verify_raw() takes 4 positional arguments (%zd given)", nargs);
    return nullptr;
  }
  const char* names[4] = {"message", "signature", "context", "public_key"};
  halyx::ByteView views[4];
  for (std::size_t i = 0; i < 4; ++i) {
    auto view = bytes_view(args[i], names[i]);
    if (!view) return nullptr;
    views[i] = *view;
  }
  try {
    auto scheme = halyx::signing::create_ml_dsa_65();
    if (!scheme) {
      PyErr_SetString(PyExc_RuntimeError, "no ML-DSA-65 handle");
      return nullptr;
    }
    return PyBool_FromLong(scheme->verify_one(views[0], views[1], views[2], views[3]) ? 1 : 0);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* backend_name(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  const std::string_view name = halyx::signing::ml_dsa_65_backend_name();
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyMethodDef methods[] = {
    {"verify_raw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verify_raw)), METH_FASTCALL,
     "verify_raw(message, signature, context, public_key)\n--\n\n"
     "One ML-DSA-65 verification through a new handle; True when the signature holds."},
    {"backend_name", backend_name, METH_NOARGS,
     "backend_name()\n--\n\nThe name and version of the library behind the ML-DSA-65 handle."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* /*module*/) noexcept {
  Py_BEGIN_ALLOW_THREADS
  halyx::signing::ensure_signature_backend_ready();
  Py_END_ALLOW_THREADS
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_halyx_bench", "Benchmark helpers for halyx_verifier; not part of it.",
    0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__halyx_bench(void) { return PyModuleDef_Init(&module_def); }
