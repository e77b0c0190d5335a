// PyTerm: the Python class of a terminal on a PyFs's file system.
#pragma once

#include "pybinding/python.hpp"

namespace halvorn::py::py_term {

// The PyTerm type object, made on first use; null with a Python exception
// set if it cannot be made.
PyTypeObject* type();

}  // namespace halvorn::py::py_term
