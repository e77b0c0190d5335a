#include "pybinding/py_shell.hpp"

#include <memory>
#include <string>
#include <utility>

#include "agentsh/shell.hpp"
#include "pybinding/args.hpp"
#include "pybinding/class_type.hpp"
#include "pybinding/convert.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/object.hpp"
#include "pybinding/py_fs.hpp"
#include "pybinding/ref.hpp"

namespace halvorn::py::py_shell {

namespace {

// The shell serialises its own runs (a second one is refused, not queued),
// and cancel() must reach a run in progress, so no instance mutex: the
// shell's own atomics are the synchronisation.
using ShellObject = Object<std::unique_ptr<agentsh::Shell>>;

agentsh::Shell& shell_of(PyObject* self) { return *ShellObject::of(self); }

// _Shell(fs, cwd, env, limits): env a list of (name, value) str pairs,
// limits a dict of limit name to int; halvornsh checks both first.
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
            PyErr_SetString(PyExc_TypeError, "_Shell() takes positional arguments only");
            return nullptr;
        }
        PyObject *fs, *cwd, *env, *limits;
        if (!PyArg_UnpackTuple(args, "_Shell", 4, 4, &fs, &cwd, &env, &limits)) return nullptr;
        if (!PyObject_TypeCheck(fs, py_fs::type())) {
            PyErr_SetString(PyExc_TypeError, "fs must be a PyFs");
            return nullptr;
        }
        std::string_view cwd_text;
        if (!arg::Text{cwd_text}(cwd)) return nullptr;
        agentsh::Shell::Env pairs;
        Ref items = Ref::steal(PySequence_Fast(env, "env must be a sequence of pairs"));
        if (!items) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PySequence_Fast_GET_ITEM(items.get(), i);
            std::string_view name, value;
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 ||
                !arg::Text{name}(PyTuple_GET_ITEM(pair, 0)) ||
                !arg::Text{value}(PyTuple_GET_ITEM(pair, 1))) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "env items must be (str, str)");
                return nullptr;
            }
            pairs.emplace_back(name, value);
        }
        if (!PyDict_Check(limits)) {
            PyErr_SetString(PyExc_TypeError, "limits must be a dict");
            return nullptr;
        }
        agentsh::Limits chosen;
        for (const agentsh::LimitField& field : agentsh::kLimitFields) {
            PyObject* value = PyDict_GetItemString(limits, std::string(field.name).c_str());
            if (value == nullptr) continue;
            std::uint64_t n = 0;
            if (!arg::Size{n}(value)) return nullptr;
            if (n == 0) {
                PyErr_Format(PyExc_ValueError, "%s must be positive", std::string(field.name).c_str());
                return nullptr;
            }
            chosen.*field.field = n;
        }
        auto shell = std::make_unique<agentsh::Shell>(py_fs::file_system(fs), chosen,
                                                      std::string(cwd_text), std::move(pairs));
        return ShellObject::create(type, std::move(shell));
    });
}

// run(script, stdin) -> (stdout, stderr, status), the interpreter released
// meanwhile. KeyboardInterrupt: the run's own thread takes the interpreter
// back now and then to let the signal handlers run; one that raises ends
// the run, and the exception is raised once the run has unwound.
PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return guarded([&]() -> PyObject* {
        if (nargs != 2 || !PyBytes_Check(args[0]) || !PyBytes_Check(args[1])) {
            PyErr_SetString(PyExc_TypeError, "run(script: bytes, stdin: bytes)");
            return nullptr;
        }
        // The bytes objects are immutable and held by the caller's frame.
        std::string_view script(PyBytes_AS_STRING(args[0]),
                                static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])));
        std::string_view input(PyBytes_AS_STRING(args[1]),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(args[1])));
        agentsh::Shell& shell = shell_of(self);
        agentsh::RunResult result;
        bool interrupted = false;
        PyThreadState* saved = PyEval_SaveThread();
        auto poll = [&]() {
            PyEval_RestoreThread(saved);
            bool raised = PyErr_CheckSignals() != 0;
            saved = PyEval_SaveThread();
            if (raised) interrupted = true;
            return raised;
        };
        bool ran = shell.run(script, input, result, poll);
        PyEval_RestoreThread(saved);
        if (interrupted) return nullptr;  // the handler's exception is set
        if (!ran) {
            PyErr_SetString(PyExc_RuntimeError, "this shell is already running a script");
            return nullptr;
        }
        Ref out = Ref::steal(PyBytes_FromStringAndSize(result.out.data(),
                                                       static_cast<Py_ssize_t>(result.out.size())));
        Ref err = Ref::steal(PyBytes_FromStringAndSize(result.err.data(),
                                                       static_cast<Py_ssize_t>(result.err.size())));
        if (!out || !err) return nullptr;
        return Py_BuildValue("(OOi)", out.get(), err.get(), result.status);
    });
}

PyObject* cancel(PyObject* self, PyObject*) noexcept {
    shell_of(self).cancel();
    Py_RETURN_NONE;
}

PyObject* reset(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        shell_of(self).reset();
        Py_RETURN_NONE;
    });
}

PyMethodDef kMethods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(&run)), METH_FASTCALL,
     "run(script, stdin) -> (stdout, stderr, status)"},
    {"cancel", &cancel, METH_NOARGS, "Ends the run in progress at its next command."},
    {"reset", &reset, METH_NOARGS, "Returns the shell to its starting state."},
    {},
};

const PyType_Slot kSlots[] = {
    {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(&construct)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(&ShellObject::dealloc)},
    {.slot = Py_tp_methods, .pfunc = kMethods},
};

const ClassDef kClassDef{
    .name = "halvorn._Shell",
    .signature = "(fs, cwd, env, limits)",
    .doc = "\nThe agent shell (private: use halvornsh.Shell).\n",
    .basicsize = sizeof(ShellObject),
    .slots = kSlots,
};

constinit ClassType g_type(kClassDef);

}  // namespace

PyTypeObject* type() {
    return g_type.get();
}

}  // namespace halvorn::py::py_shell
