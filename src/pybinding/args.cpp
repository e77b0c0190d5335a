#include "pybinding/args.hpp"

#include <algorithm>
#include <string>

#include "pybinding/errors.hpp"
#include "pybinding/ref.hpp"

namespace halvorn::py::detail {

namespace {

// The messages below follow the interpreter's own for Python functions,
// so that a call of ours fails the way a call of a Python function would.

bool takes_no_arguments(const ParamList& params) {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", params.qualname);
    return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const ParamList& params, PyObject* const* slots, std::size_t count) {
    std::string text;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < params.required; ++i) {
        if (slots[i] != nullptr) continue;
        if (listed > 0) text += count == 2 ? " and " : (listed + 1 == count ? ", and " : ", ");
        text += '\'';
        text += params.names[i];
        text += '\'';
        ++listed;
    }
    return text;
}

// "f() takes 2 positional arguments but 3 were given", "from 1 to 2", and
// with keyword-only arguments given too, "but 3 positional arguments (and 1
// keyword-only argument) were given".
bool too_many_positional(const ParamList& params, std::size_t given, PyObject* const* slots) {
    std::size_t keyword_only = 0;
    for (std::size_t i = params.positional; i < params.names.size(); ++i)
        keyword_only += slots[i] != nullptr;
    const bool range = params.required < params.positional;
    const std::string takes = range ? "from " + std::to_string(params.required) + " to " +
                                          std::to_string(params.positional)
                                    : std::to_string(params.positional);
    std::string keywords;
    if (keyword_only > 0) {
        keywords = std::string(" positional argument") + (given == 1 ? "" : "s") + " (and " +
                   std::to_string(keyword_only) + " keyword-only argument" +
                   (keyword_only == 1 ? "" : "s") + ")";
    }
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zu%s %s given",
                 params.qualname, takes.c_str(), range || params.positional != 1 ? "s" : "", given,
                 keywords.c_str(), given == 1 && keyword_only == 0 ? "was" : "were");
    return false;
}

bool check_counts(const ParamList& params, Py_ssize_t nargs, PyObject* const* slots) {
    const std::size_t given = static_cast<std::size_t>(nargs);
    if (given > params.positional) return too_many_positional(params, given, slots);
    std::size_t missing = 0;
    for (std::size_t i = 0; i < params.required; ++i)
        missing += slots[i] == nullptr;
    if (missing > 0) {
        const std::string names = quoted_list(params, slots, missing);
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                     params.qualname, missing, missing == 1 ? "" : "s", names.c_str());
        return false;
    }
    return true;
}

void place_positional(const ParamList& params, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** slots) {
    const std::size_t count = std::min(static_cast<std::size_t>(nargs), params.positional);
    for (std::size_t i = 0; i < count; ++i)
        slots[i] = args[i];
}

bool place_keyword(const ParamList& params, PyObject* name, PyObject* value, PyObject** slots) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", params.qualname);
        return false;
    }
    for (std::size_t i = 0; i < params.names.size(); ++i) {
        // Compares in place, without making a str of the parameter name.
        if (PyUnicode_CompareWithASCIIString(name, params.names[i]) != 0) continue;
        if (slots[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         params.qualname, params.names[i]);
            return false;
        }
        slots[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", params.qualname,
                 name);
    return false;
}

}  // namespace

bool bind_vector(const ParamList& params, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (params.names.empty()) return nargs == 0 && nkw == 0 ? true : takes_no_arguments(params);
    place_positional(params, args, nargs, slots);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (!place_keyword(params, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots))
            return false;
    }
    return check_counts(params, nargs, slots);
}

bool bind_tuple(const ParamList& params, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    if (params.names.empty()) return nargs == 0 && nkw == 0 ? true : takes_no_arguments(params);
    if (nargs > 0) place_positional(params, PySequence_Fast_ITEMS(args), nargs, slots);
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (nkw > 0 && PyDict_Next(kwargs, &position, &name, &value)) {
        if (!place_keyword(params, name, value, slots)) return false;
    }
    return check_counts(params, nargs, slots);
}

bool blame_argument(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    Ref first = fetch_exception();
    PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, first.get());
    Ref second = fetch_exception();
    if (second) {
        PyException_SetCause(second.get(), Ref::share(first.get()).release());
        PyException_SetContext(second.get(), first.release());
    }
    restore_exception(std::move(second));
    return false;
}

}  // namespace halvorn::py::detail
