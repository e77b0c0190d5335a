// The module's entry point: `import halvorn` runs PyInit_halvorn.
#include "pybinding/python.hpp"

#include <atomic>

#include "pybinding/errors.hpp"
#include "pybinding/py_file_handle.hpp"
#include "pybinding/py_fs.hpp"
#include "pybinding/py_shell.hpp"
#include "pybinding/py_term.hpp"
#include "pybinding/ref.hpp"
#include "pybinding/whence.hpp"

namespace halvorn::py {

namespace {

struct ClassEntry {
    const char* name;
    PyTypeObject* (*type)();
};

// The module's classes, in the order they are listed in __all__. A class
// joins the module with one line here.
constexpr ClassEntry kClasses[] = {
    {"PyFs", &py_fs::type},
    {"PyFileHandle", &py_file_handle::type},
    {"PyTerm", &py_term::type},
    {"Whence", &whence::type},
};

// Private classes: attributes of the module, not in __all__, for the
// packages built on it (halvornsh).
constexpr ClassEntry kPrivateClasses[] = {
    {"_Shell", &py_shell::type},
};

PyModuleDef g_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "halvorn",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The module of the one successful initialisation, kept for the rest of the
// process. The type objects and the state behind them exist once per
// process, so a second module (a re-import after removal from sys.modules,
// a reload, a sub-interpreter) is refused rather than made to share them.
// Atomic because two such initialisations may run at once on an
// interpreter without the global lock: only the first to publish succeeds.
std::atomic<PyObject*> g_module = nullptr;

PyObject* refuse_second_initialisation() {
    PyErr_SetString(PyExc_ImportError,
                    "halvorn can be initialised only once per process; it cannot be "
                    "imported again after removal from sys.modules, reloaded or "
                    "imported into a sub-interpreter");
    return nullptr;
}

bool add_class(PyObject* module, const ClassEntry& entry) {
    PyTypeObject* type = entry.type();
    if (type == nullptr) return false;
    Ref name = Ref::steal(PyUnicode_FromString(entry.name));
    if (!name) return false;

    PyObject* dict = PyModule_GetDict(module);
    Borrowed all(PyDict_GetItemString(dict, "__all__"));
    if (!all) {
        Ref list = Ref::steal(PyList_New(0));
        if (!list || PyDict_SetItemString(dict, "__all__", list.get()) < 0) return false;
        all = Borrowed(list.get());  // the module's dict keeps it alive now
    }
    if (PyList_Append(all.get(), name.get()) < 0) return false;
    return PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace

}  // namespace halvorn::py

PyMODINIT_FUNC PyInit_halvorn() {
    using namespace halvorn::py;
    return guarded([]() -> PyObject* {
        if (g_module.load(std::memory_order_acquire) != nullptr)
            return refuse_second_initialisation();
        Ref module = Ref::steal(PyModule_Create(&g_definition));
        if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
        // Every call is safe without the global lock (locked.hpp has the
        // rules), so importing the module leaves a free-threaded interpreter
        // without it. Builds with the lock are untouched.
        if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
        for (const ClassEntry& entry : kClasses) {
            if (!add_class(module.get(), entry)) return nullptr;  // drops the module
        }
        for (const ClassEntry& entry : kPrivateClasses) {
            PyTypeObject* type = entry.type();
            if (type == nullptr ||
                PyObject_SetAttrString(module.get(), entry.name, reinterpret_cast<PyObject*>(type)) < 0)
                return nullptr;
        }
        PyObject* first = nullptr;
        if (!g_module.compare_exchange_strong(first, module.get(), std::memory_order_acq_rel))
            return refuse_second_initialisation();  // another thread's came first
        Py_INCREF(module.get());  // the reference g_module keeps until the process ends
        return module.release();
    });
}
