#include "pybinding/stat_result.hpp"

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <memory>
#include <optional>

#include "pybinding/ref.hpp"

namespace halvorn::py {

namespace {

// The fields filled beyond the ten every interpreter shows as a tuple. Which
// of them a stat_result has, and where it keeps them, depends on the
// interpreter and the platform (st_birthtime is not on Linux), so both are
// found once by asking the type itself.
enum Field : std::size_t {
    AtimeFloat,
    MtimeFloat,
    CtimeFloat,
    AtimeNs,
    MtimeNs,
    CtimeNs,
    Blksize,
    Blocks,
    Rdev,
    BirthtimeFloat,
    BirthtimeNs,
    kFieldCount,
};
constexpr std::array<const char*, kFieldCount> kFieldNames = {
    "st_atime",    "st_mtime",  "st_ctime", "st_atime_ns",  "st_mtime_ns",    "st_ctime_ns",
    "st_blksize",  "st_blocks", "st_rdev",  "st_birthtime", "st_birthtime_ns",
};
constexpr Py_ssize_t kVisible = 10;
constexpr Py_ssize_t kAbsent = -1;
// More than any interpreter's stat_result has (19 on Linux today).
constexpr Py_ssize_t kMaxFields = 64;

// Values every result shares.
struct Constants {
    Ref file_mode = Ref::steal(PyLong_FromUnsignedLong(S_IFREG | 0644));
    Ref directory_mode = Ref::steal(PyLong_FromUnsignedLong(S_IFDIR | 0755));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref two = Ref::steal(PyLong_FromLong(2));
    Ref block_size = Ref::steal(PyLong_FromLong(4096));
    explicit operator bool() const {
        return file_mode && directory_mode && zero && one && two && block_size;
    }
};

struct Layout {
    Ref type;
    Py_ssize_t size = 0;  // every field, the visible ten included
    std::array<Py_ssize_t, kFieldCount> index{};
    Constants constants;
};

// Made once without a lock and published with one exchange; a thread that
// loses the race drops its copy.
std::atomic<Layout*> g_layout{nullptr};

// Finds where each field lives: a probe made through the type's own
// constructor, with a distinct number in each field it has, is read back
// item by item.
Layout* make_layout() {
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!os) return nullptr;
    auto layout = std::make_unique<Layout>();
    layout->type = Ref::steal(PyObject_GetAttrString(os.get(), "stat_result"));
    if (!layout->type) return nullptr;
    Ref fields = Ref::steal(PyObject_GetAttrString(layout->type.get(), "n_fields"));
    if (!fields) return nullptr;
    layout->size = PyLong_AsSsize_t(fields.get());
    if (!layout->constants) return nullptr;
    if (layout->size < kVisible || layout->size > kMaxFields) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "unknown layout of os.stat_result");
        return nullptr;
    }
    Ref visible = Ref::steal(PyTuple_New(kVisible));
    Ref named = Ref::steal(PyDict_New());
    if (!visible || !named) return nullptr;
    for (Py_ssize_t i = 0; i < kVisible; ++i) {
        PyObject* zero = PyLong_FromLong(0);
        if (zero == nullptr) return nullptr;
        PyTuple_SET_ITEM(visible.get(), i, zero);
    }
    constexpr long kProbeBase = 1000;
    for (std::size_t f = 0; f < kFieldCount; ++f) {
        layout->index[f] = kAbsent;
        const int has = PyObject_HasAttrString(layout->type.get(), kFieldNames[f]);
        if (!has) continue;
        Ref probe = Ref::steal(PyLong_FromLong(kProbeBase + static_cast<long>(f)));
        if (!probe || PyDict_SetItemString(named.get(), kFieldNames[f], probe.get()) < 0)
            return nullptr;
    }
    Ref sample = Ref::steal(
        PyObject_CallFunctionObjArgs(layout->type.get(), visible.get(), named.get(), nullptr));
    if (!sample) return nullptr;
    for (Py_ssize_t i = kVisible; i < layout->size; ++i) {
        PyObject* item = PyStructSequence_GetItem(sample.get(), i);
        if (item == nullptr || !PyLong_CheckExact(item)) continue;
        const long value = PyLong_AsLong(item) - kProbeBase;
        if (value >= 0 && value < static_cast<long>(kFieldCount)) layout->index[value] = i;
    }
    PyErr_Clear();
    return layout.release();
}

Layout* layout() {
    if (Layout* known = g_layout.load(std::memory_order_acquire)) return known;
    Layout* made = make_layout();
    if (made == nullptr) return nullptr;
    Layout* published = nullptr;
    if (!g_layout.compare_exchange_strong(published, made, std::memory_order_acq_rel)) {
        delete made;
        return published;
    }
    return made;  // kept until the process ends, as the type objects are
}

// Seconds, as os.stat gives them: whole ones, a float, and nanoseconds.
struct Time {
    Ref seconds, floating, nanoseconds;
    explicit Time(std::int64_t ns)
        : seconds(Ref::steal(PyLong_FromLongLong(ns / 1'000'000'000))),
          floating(Ref::steal(PyFloat_FromDouble(static_cast<double>(ns) * 1e-9))),
          nanoseconds(Ref::steal(PyLong_FromLongLong(ns))) {}
    explicit operator bool() const { return seconds && floating && nanoseconds; }
};

}  // namespace

PyObject* to_stat_result(const NodeStatus& status, std::uint64_t device) noexcept {
    Layout* fields = layout();
    if (fields == nullptr) return nullptr;
    const Time modified(status.modified_ns);
    if (!modified) return nullptr;
    // A node not changed since it was made (within the clock's few
    // milliseconds) shares its three time objects.
    std::optional<Time> created_apart;
    if (status.created_ns != status.modified_ns) {
        created_apart.emplace(status.created_ns);
        if (!*created_apart) return nullptr;
    }
    const Time& created = created_apart ? *created_apart : modified;
    // Every value first, so that a failed allocation leaves no half-made
    // result; the constants were made with the layout.
    Ref ino = Ref::steal(PyLong_FromUnsignedLongLong(status.id));
    Ref dev = Ref::steal(PyLong_FromUnsignedLongLong(device));
    Ref size = Ref::steal(PyLong_FromUnsignedLongLong(status.size));
    Ref blocks = Ref::steal(PyLong_FromUnsignedLongLong((status.size + 511) / 512));
    if (!ino || !dev || !size || !blocks) return nullptr;
    PyObject* result =
        PyStructSequence_New(reinterpret_cast<PyTypeObject*>(fields->type.get()));
    if (result == nullptr) return nullptr;
    std::array<PyObject*, kMaxFields> items{};
    const Constants& constant = fields->constants;
    items[0] = status.is_directory ? constant.directory_mode.get() : constant.file_mode.get();
    items[1] = ino.get();
    items[2] = dev.get();
    items[3] = status.is_directory ? constant.two.get() : constant.one.get();
    items[4] = items[5] = constant.zero.get();  // owner and group
    items[6] = size.get();
    // No access time is kept: it reads as the last change, as on a file
    // system mounted noatime that has seen no read since.
    items[7] = items[8] = modified.seconds.get();
    items[9] = created.seconds.get();
    auto put = [&](Field field, PyObject* value) {
        if (fields->index[field] != kAbsent) items[fields->index[field]] = value;
    };
    put(AtimeFloat, modified.floating.get());
    put(MtimeFloat, modified.floating.get());
    put(CtimeFloat, created.floating.get());
    put(AtimeNs, modified.nanoseconds.get());
    put(MtimeNs, modified.nanoseconds.get());
    put(CtimeNs, created.nanoseconds.get());
    put(Blksize, constant.block_size.get());
    put(Blocks, blocks.get());
    put(Rdev, constant.zero.get());
    put(BirthtimeFloat, created.floating.get());
    put(BirthtimeNs, created.nanoseconds.get());
    for (Py_ssize_t i = 0; i < fields->size; ++i)
        PyStructSequence_SetItem(result, i, Py_NewRef(items[i] ? items[i] : Py_None));
    return result;
}

}  // namespace halvorn::py
