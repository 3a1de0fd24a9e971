// class_slots.hpp: the module's classes, each made at most once per process and shared by every
// module object: a second import after removal from sys.modules sees the very same classes, so an
// exception raised through the old module is caught by an except clause naming the new one's class.
#pragma once

#include <Python.h>

#include <cstdint>

namespace halyx::py {

// Each returns the class as a borrowed reference, creating it on first use, or nullptr with the
// error indicator set. Classes are never released: static destructors may run after the interpreter
// is gone.
PyObject* verification_error_class() noexcept;
PyObject* invalid_proof_error_class() noexcept;
PyObject* stale_sth_error_class() noexcept;
PyObject* verification_result_class() noexcept;

// Returns a new VerificationResult holding the three values, or nullptr with the error indicator set.
PyObject* new_verification_result(std::uint64_t leaf_index, std::uint64_t tree_size,
                                  std::uint64_t timestamp_ms) noexcept;

}  // namespace halyx::py
