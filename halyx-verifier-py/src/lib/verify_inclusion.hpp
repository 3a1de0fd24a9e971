// verify_inclusion.hpp: the module's one function.
#pragma once

#include <Python.h>

namespace halyx::py {

// The method definition of verify_inclusion (METH_FASTCALL | METH_KEYWORDS), with its doc string.
extern PyMethodDef verify_inclusion_method;

}  // namespace halyx::py
