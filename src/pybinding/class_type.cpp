#include "pybinding/class_type.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace halvorn::py {

namespace {

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

bool has_slot(std::span<const PyType_Slot> slots, int id) {
    for (const PyType_Slot& slot : slots) {
        if (slot.slot == id) return true;
    }
    return false;
}

PyTypeObject* make_type(const ClassDef& def) {
    // The interpreter reads a constructor's signature from the head of the
    // class docstring ("PyFs()\n--\n\n"), reports it as __text_signature__
    // and shows only the rest as __doc__. The docstring is copied by the
    // type, so a temporary text will do.
    std::string doc;
    if (def.signature != nullptr) {
        doc += short_name(def.name);
        doc += def.signature;
        doc += "\n--\n\n";
    }
    doc += def.doc;

    std::vector<PyType_Slot> slots(def.slots.begin(), def.slots.end());
    slots.push_back({Py_tp_doc, doc.data()});
    if (!has_slot(def.slots, Py_tp_new)) {
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(&no_constructor)});
    }
    slots.push_back({0, nullptr});

    PyType_Spec layout = {
        .name = def.name,
        .basicsize = def.basicsize,
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT,
        .slots = slots.data(),
    };
    PyObject* type = PyType_FromSpec(&layout);
    if (type == nullptr) return nullptr;
    if (def.populate != nullptr && !def.populate(reinterpret_cast<PyTypeObject*>(type))) {
        Py_DECREF(type);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

const char* short_name(const char* dotted_name) {
    const char* dot = std::strrchr(dotted_name, '.');
    return dot == nullptr ? dotted_name : dot + 1;
}

PyTypeObject* ClassType::get() {
    if (PyTypeObject* known = type_.load(std::memory_order_acquire)) return known;
    PyTypeObject* made = make_type(*def_);
    if (made == nullptr) return nullptr;
    PyTypeObject* published = nullptr;
    if (!type_.compare_exchange_strong(published, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);  // another thread published its own first
        return published;
    }
    return made;  // our reference, kept until the process ends
}

}  // namespace halvorn::py
