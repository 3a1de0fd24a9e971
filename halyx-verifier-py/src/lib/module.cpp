// The halyx_verifier extension module. In Python terms it is:
//
//   class HalyxVerificationError(Exception): ...
//   class HalyxInvalidProofError(HalyxVerificationError): ...
//   class HalyxStaleSthError(HalyxVerificationError): ...
//   class VerificationResult: ...            # read-only leaf_index, tree_size, timestamp_ms
//   def verify_inclusion(leaf_bytes, proof_bytes, sth_bytes, signature, ca_public_key): ...
//   __all__ = [those five names, in that order]
//   __version__ = "X.Y.Z"
#include <Python.h>

#include "class_slots.hpp"
#include "py_ref.hpp"
#include <halyx/signing/ml_dsa_65.hpp>
#include "verify_inclusion.hpp"

namespace halyx::py {
namespace {

constexpr const char MODULE_DOC[] =
    "Halyx ML-DSA-65 post-quantum verifier Python module.\n"
    "\n"
    "Exposes:\n"
    "- `HalyxVerificationError` \xE2\x80\x94 base exception (subclass of `Exception`)\n"
    "- `HalyxInvalidProofError` \xE2\x80\x94 proof/signature verification failed\n"
    "- `HalyxStaleSthError` \xE2\x80\x94 STH older than `max_age`\n"
    "- `VerificationResult` \xE2\x80\x94 result dataclass with `leaf_index`, `tree_size`,\n"
    "  `timestamp_ms` read-only attributes\n"
    "- `verify_inclusion(leaf_bytes, proof_bytes, sth_bytes, signature,\n"
    "  ca_public_key)` \xE2\x80\x94 full MTAC provenance verification; raises on failure";

// Adds `value` to the module under `name` and appends the name to the module's __all__, creating
// the list on first use. Returns 0, or -1 with the error set.
int add_public(PyObject* module, const char* name, PyObject* value) noexcept {
  if (value == nullptr) return -1;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    PyErr_Format(PyExc_TypeError, "%s.__all__ must be a list", PyModule_GetName(module));
    return -1;
  }
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return -1;
  return PyObject_SetAttr(module, key.get(), value);
}

int module_exec(PyObject* module) noexcept {
  // Initialising the signature library may wait for another thread doing the same; it must not
  // wait while holding the interpreter lock.
  Py_BEGIN_ALLOW_THREADS
  signing::ensure_signature_backend_ready();
  Py_END_ALLOW_THREADS

  if (add_public(module, "HalyxVerificationError", verification_error_class()) < 0) return -1;
  if (add_public(module, "HalyxInvalidProofError", invalid_proof_error_class()) < 0) return -1;
  if (add_public(module, "HalyxStaleSthError", stale_sth_error_class()) < 0) return -1;
  if (add_public(module, "VerificationResult", verification_result_class()) < 0) return -1;

  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  PyRef function = PyRef::steal(PyCMethod_New(&verify_inclusion_method, module, module_name.get(), nullptr));
  if (add_public(module, verify_inclusion_method.ml_name, function.get()) < 0) return -1;
  // The distribution's version, from the one place it is written (CMake's project()); not one of
  // the public names, so __all__ leaves it out.
  return PyModule_AddStringConstant(module, "__version__", HALYX_VERSION);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if defined(Py_GIL_DISABLED)
    // A free-threaded interpreter runs calls side by side. Nothing here needs the lock to stand in
    // for one of our own: a call keeps its state on its own stack and in heap memory of its own,
    // reads only immutable bytes, results are never changed once returned, the classes are made
    // once behind an atomic slot and a mutex, and the core's process-wide choices (the ML-DSA code
    // path, CPU features, the signature backend) are made once under the compiler's or
    // std::call_once's own locking.
    // Without this slot, importing the module would turn the lock back on for the whole process.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "halyx_verifier",
    MODULE_DOC,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace halyx::py

PyMODINIT_FUNC PyInit_halyx_verifier(void) {
  return PyModuleDef_Init(&halyx::py::module_def);
}
