#include "class_slots.hpp"

#include <atomic>
#include <mutex>
#include <new>
#include <string>

#include "py_ref.hpp"
#include "raise.hpp"

namespace halyx::py {
namespace {

// A process-wide slot for one class: empty, being filled, or filled; once filled it never changes.
class ClassSlot {
 public:
  // Returns the class (borrowed), running make() to create it if the slot is empty. make() returns a
  // new reference, which the slot keeps forever, or nullptr with the error set.
  template <class Make>
  PyObject* get(Make make) noexcept {
    if (PyObject* cls = cls_.load(std::memory_order_acquire)) return cls;
    // Wait for the mutex without the interpreter lock: the thread creating the class needs that lock
    // to finish, so holding it here could deadlock the pair.
    PyThreadState* saved = PyEval_SaveThread();
    std::lock_guard guard(mutex_);
    PyEval_RestoreThread(saved);
    if (PyObject* cls = cls_.load(std::memory_order_acquire)) return cls;
    // A mutex rather than call_once: a failed creation must leave the slot empty and retryable.
    PyObject* made = make();
    if (made != nullptr) cls_.store(made, std::memory_order_release);
    return made;
  }

 private:
  std::atomic<PyObject*> cls_{nullptr};
  std::mutex mutex_;
};

ClassSlot verification_error_slot;
ClassSlot invalid_proof_error_slot;
ClassSlot stale_sth_error_slot;
ClassSlot result_class_slot;
ClassSlot internal_fault_slot;

// Returns "TypeName: message" for the pending error, clearing it; the text describes a failure
// inside another failure, so it never raises itself. Throws std::bad_alloc when the text cannot be
// built.
std::string take_error_description() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
  std::string out;
  if (t) {
    if (PyRef name = PyRef::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(t.get())))) {
      if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), nullptr)) out = s;
    }
  }
  if (v) {
    if (PyRef text = PyRef::steal(PyObject_Str(v.get()))) {
      if (const char* s = PyUnicode_AsUTF8AndSize(text.get(), nullptr); s != nullptr && *s != '\0') {
        out += ": ";
        out += s;
      }
    }
  }
  PyErr_Clear();
  return out.empty() ? "unknown error" : out;
}

// The interpreter could not create one of our exception classes. That is a fault of the process,
// not of any input, so it is raised as a BaseException subclass that ordinary `except Exception`
// handlers do not swallow.
void raise_internal_fault() noexcept {
  constexpr std::string_view FIRST_SENTENCE = "Failed to initialize new exception type.";
  std::string text;
  try {
    text = std::string(FIRST_SENTENCE) + " " + take_error_description();
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    text.clear();  // the first sentence alone still says what happened
  }
  PyObject* cls = internal_fault_slot.get([] {
    return PyErr_NewExceptionWithDoc("halyx_verifier.InternalFault", nullptr, PyExc_BaseException, nullptr);
  });
  if (cls == nullptr) {  // the interpreter is in no state to make classes at all
    PyErr_Clear();
    cls = PyExc_BaseException;
  }
  raise(cls, text.empty() ? FIRST_SENTENCE : std::string_view(text));
}

PyObject* make_exception_class(const char* name, PyObject* base) noexcept {
  if (base == nullptr) return nullptr;  // the base's own failure is already raised
  PyObject* cls = PyErr_NewExceptionWithDoc(name, nullptr, base, nullptr);
  if (cls == nullptr) raise_internal_fault();
  return cls;
}

// VerificationResult instances: the object header and three unsigned 64-bit fields, nothing else.
struct ResultObject {
  PyObject_HEAD
  std::uint64_t leaf_index;
  std::uint64_t tree_size;
  std::uint64_t timestamp_ms;
};

ResultObject* as_result(PyObject* self) noexcept { return reinterpret_cast<ResultObject*>(self); }

PyObject* get_leaf_index(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(as_result(self)->leaf_index);
}
PyObject* get_tree_size(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(as_result(self)->tree_size);
}
PyObject* get_timestamp_ms(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(as_result(self)->timestamp_ms);
}

PyObject* result_repr(PyObject* self) noexcept {
  const ResultObject* r = as_result(self);
  try {
    std::string text = "VerificationResult(leaf_index=" + std::to_string(r->leaf_index) +
                       ", tree_size=" + std::to_string(r->tree_size) +
                       ", timestamp_ms=" + std::to_string(r->timestamp_ms) + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

void result_dealloc(PyObject* self) noexcept {
  // Instances of a heap type hold a reference to their type, released after the memory.
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

constexpr const char RESULT_DOC[] =
    "Result returned by a successful [`verify_inclusion`] call.\n"
    "\n"
    "All fields are read-only (`#[pyo3(get)]`). There is intentionally no\n"
    "`verified: bool` field \xE2\x80\x94 a successful return ALWAYS implies verification\n"
    "passed; failure paths raise exceptions (AD-1.6-05 / Stage 6 WARN-8).\n"
    "\n"
    "```python\n"
    "result = halyx_verifier.verify_inclusion(\n"
    "    leaf_bytes=..., proof_bytes=..., sth_bytes=...,\n"
    "    signature=..., ca_public_key=...,\n"
    ")\n"
    "print(result.leaf_index, result.tree_size, result.timestamp_ms)\n"
    "```";

PyGetSetDef result_getset[] = {
    {"leaf_index", get_leaf_index, nullptr, "0-based index of the verified leaf in the batch Merkle tree.",
     nullptr},
    {"tree_size", get_tree_size, nullptr, "Number of leaves in the batch Merkle tree at issuance time.",
     nullptr},
    {"timestamp_ms", get_timestamp_ms, nullptr,
     "STH timestamp in milliseconds since Unix epoch (RFC 9162 \xC2\xA7" "4.9).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_doc, const_cast<char*>(RESULT_DOC)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, result_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {0, nullptr},
};

PyType_Spec result_spec = {
    "builtins.VerificationResult",
    static_cast<int>(sizeof(ResultObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    result_slots,
};

PyObject* make_result_class() noexcept {
  PyObject* cls = PyType_FromSpec(&result_spec);
  if (cls != nullptr) return cls;
  // Report the failure as the class's own, with the interpreter's error as its cause.
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef cause_type = PyRef::steal(type), trace = PyRef::steal(tb);
  PyRef cause = PyRef::steal(value);
  if (cause && trace) PyException_SetTraceback(cause.get(), trace.get());
  PyRef text = PyRef::steal(PyUnicode_FromString("An error occurred while initializing class VerificationResult"));
  if (!text) return nullptr;
  PyRef error = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, text.get(), nullptr));
  if (!error) return nullptr;
  PyException_SetCause(error.get(), cause.release());  // steals the reference
  PyErr_SetObject(PyExc_RuntimeError, error.get());
  return nullptr;
}

}  // namespace

PyObject* verification_error_class() noexcept {
  return verification_error_slot.get(
      [] { return make_exception_class("halyx_verifier.HalyxVerificationError", PyExc_Exception); });
}

PyObject* invalid_proof_error_class() noexcept {
  return invalid_proof_error_slot.get([] {
    return make_exception_class("halyx_verifier.HalyxInvalidProofError", verification_error_class());
  });
}

PyObject* stale_sth_error_class() noexcept {
  return stale_sth_error_slot.get([] {
    return make_exception_class("halyx_verifier.HalyxStaleSthError", verification_error_class());
  });
}

PyObject* verification_result_class() noexcept { return result_class_slot.get(make_result_class); }

PyObject* new_verification_result(std::uint64_t leaf_index, std::uint64_t tree_size,
                                  std::uint64_t timestamp_ms) noexcept {
  PyObject* cls = verification_result_class();
  if (cls == nullptr) return nullptr;
  // The class refuses instantiation from Python, so instances come from object's own tp_new.
  auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  if (!no_args) return nullptr;
  PyObject* self = object_new(reinterpret_cast<PyTypeObject*>(cls), no_args.get(), nullptr);
  if (self == nullptr) return nullptr;
  ResultObject* r = as_result(self);
  r->leaf_index = leaf_index;
  r->tree_size = tree_size;
  r->timestamp_ms = timestamp_ms;
  return self;
}

}  // namespace halyx::py
