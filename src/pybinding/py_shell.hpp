// _Shell: the agent shell's private class; the package halvornsh is its
// public face.
#pragma once

#include "pybinding/python.hpp"

namespace halvorn::py::py_shell {

PyTypeObject* type();

}  // namespace halvorn::py::py_shell
