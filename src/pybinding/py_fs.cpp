#include "pybinding/py_fs.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pybinding/args.hpp"
#include "pybinding/class_type.hpp"
#include "pybinding/convert.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/object.hpp"
#include "pybinding/py_file_handle.hpp"
#include "pybinding/ref.hpp"
#include "pybinding/stat_result.hpp"

namespace halvorn::py::py_fs {

namespace {

// Shared with the file handles and terminals made on this file system.
using FsObject = Object<std::shared_ptr<FileSystem>>;

// --- Constructor and string form ---------------------------------------------

// The limits are keyword-only: a positional number could not say which it is.
constexpr Params<3> kConstructor{
    "PyFs", {"max_bytes", "max_nodes", "max_name_length"}, /*required=*/0, /*positional=*/0};
constexpr const char* kSignature = "(*, max_bytes=None, max_nodes=None, max_name_length=None)";

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        Limits limits;
        if (!bind_constructor(kConstructor, args, kwargs, arg::Limit{limits.max_bytes},
                              arg::Limit{limits.max_nodes}, arg::Limit{limits.max_name_length}))
            return nullptr;
        return FsObject::create(type, FileSystem::create(limits));
    });
}

PyObject* str(PyObject* self) noexcept {
    return guarded([&] { return to_str(file_system(self)->render()); });
}

// One short line however much the file system holds (str() renders all of
// it): the number of nodes, the root included. The count is a sum over the
// table's shards, each read under its own lock, so no lock is held while the
// text is made.
PyObject* repr(PyObject* self) noexcept {
    return guarded([&] {
        return PyUnicode_FromFormat("<halvorn.PyFs nodes=%zu>", file_system(self)->inodes().size());
    });
}

// --- Methods -----------------------------------------------------------------

constexpr Params<1> kMkdir{"PyFs.mkdir", {"path"}};
constexpr const char* kMkdirDoc =
    "mkdir($self, path)\n--\n\n\n"
    "Create a new directory in the filesystem.\n"
    "\n"
    "This function creates a new directory in the filesystem. The function will\n"
    "return an error if the directory could not be created.\n";

PyObject* mkdir(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        arg::PathText path;
        if (!bind_method(kMkdir, args, nargs, kwnames, arg::Path{path})) return nullptr;
        return from_status(file_system(self)->mkdir(path.text));
    });
}

constexpr Params<1> kTouch{"PyFs.touch", {"path"}};
constexpr const char* kTouchDoc =
    "touch($self, path)\n--\n\n\n"
    "Create a new file in the filesystem.\n"
    "\n"
    "This function creates a new file in the filesystem. The function will return\n"
    "an error if the file could not be created.\n";

PyObject* touch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        arg::PathText path;
        if (!bind_method(kTouch, args, nargs, kwnames, arg::Path{path})) return nullptr;
        return from_status(file_system(self)->touch(path.text));
    });
}

constexpr Params<2> kOpen{"PyFs.open", {"path", "mode"}};
constexpr const char* kOpenDoc =
    "open($self, path, mode)\n--\n\n\n"
    "Open a file in the filesystem.\n"
    "\n"
    "This function opens a file in the filesystem. The function will return a file\n"
    "handle that can be used to read and write data to the file. The function will\n"
    "return an error if the file could not be opened.\n";

// Opens `path` in the mode given as text, the way `creation` says. The mode
// is checked before the file system is touched, so that a bad mode does not
// leave a new empty file behind. The handle gets its own share of the file
// system.
template <std::size_t N>
PyObject* open_with(const Params<N>& params, Creation creation, PyObject* self,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    arg::PathText path;
    std::string_view mode_text;
    if (!bind_method(params, args, nargs, kwnames, arg::Path{path}, arg::Text{mode_text}))
        return nullptr;
    Result<FileHandleType> mode = FileHandleType::from_str(mode_text);
    if (!mode) return raise_io_error(mode.error());
    return from_result(FileSystem::open(file_system(self), path.text, *mode, creation),
                       py_file_handle::wrap);
}

PyObject* open(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    // Opening from Python always creates a missing file.
    return guarded(
        [&] { return open_with(kOpen, Creation::IfMissing, self, args, nargs, kwnames); });
}

constexpr Params<2> kOpenExisting{"PyFs.open_existing", {"path", "mode"}};
constexpr const char* kOpenExistingDoc =
    "open_existing($self, path, mode)\n--\n\n\n"
    "Open a file that exists, creating nothing.\n"
    "\n"
    "This function opens a file in the filesystem like open, with the same modes,\n"
    "but a missing file is an error and no file is created. The function will\n"
    "return an error if the file could not be opened.\n";

PyObject* open_existing(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return guarded(
        [&] { return open_with(kOpenExisting, Creation::Never, self, args, nargs, kwnames); });
}

constexpr Params<2> kOpenNew{"PyFs.open_new", {"path", "mode"}};
constexpr const char* kOpenNewDoc =
    "open_new($self, path, mode)\n--\n\n\n"
    "Create a new file and open it.\n"
    "\n"
    "This function creates an empty file in the filesystem and opens it in the\n"
    "given mode; no other handle can reach the file before this one does. The\n"
    "function will return an error if an entry of that name exists already.\n";

PyObject* open_new(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    return guarded(
        [&] { return open_with(kOpenNew, Creation::Exclusive, self, args, nargs, kwnames); });
}

constexpr Params<1> kListdir{"PyFs.listdir", {"path"}};
constexpr const char* kListdirDoc =
    "listdir($self, path)\n--\n\n\n"
    "List the contents of a directory.\n"
    "\n"
    "This function lists the contents of a directory. The function will return a\n"
    "list of strings with the names of the files and directories in the directory.\n"
    "The function will return an error if the directory could not be listed.\n";

// (names that are not directories, names of directories). No Python object
// is made under the directory's lock: an allocation that fails makes its
// MemoryError on the spot, which can start the garbage collector, whose
// finalizers may list or change this very directory. So the names are copied
// out under the lock, one after another into one buffer, and the str objects
// are made once it is let go, straight into lists of their exact sizes.
PyObject* listdir(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        arg::PathText path;
        if (!bind_method(kListdir, args, nargs, kwnames, arg::Path{path})) return nullptr;
        struct Entry {
            std::size_t end;  // of its name in `names`
            bool is_directory;
        };
        std::string names;
        std::vector<Entry> entries;
        Py_ssize_t directories = 0;
        Status listed = file_system(self)->visit_entries(
            path.text, [&](std::string_view name, bool is_directory) {
                names.append(name);
                entries.push_back({names.size(), is_directory});
                directories += is_directory;
            });
        if (!listed) return raise_io_error(listed.error());
        const Py_ssize_t total = static_cast<Py_ssize_t>(entries.size());
        Ref file_list = Ref::steal(PyList_New(total - directories));
        Ref directory_list = Ref::steal(PyList_New(directories));
        if (!file_list || !directory_list) return nullptr;
        const std::string_view all(names);
        std::size_t start = 0;
        Py_ssize_t next_file = 0, next_directory = 0;
        for (const Entry& entry : entries) {
            PyObject* name = to_str(all.substr(start, entry.end - start));
            if (name == nullptr) return nullptr;
            start = entry.end;
            if (entry.is_directory)
                PyList_SET_ITEM(directory_list.get(), next_directory++, name);
            else
                PyList_SET_ITEM(file_list.get(), next_file++, name);
        }
        return PyTuple_Pack(2, file_list.get(), directory_list.get());
    });
}

// The signature line shows only `recurse`, with a default, yet both
// parameters are required: the docstring is the published one, kept word for
// word, and a removal must never be recursive by accident.
constexpr Params<2> kRemove{"PyFs.remove", {"path", "recurse"}};
constexpr const char* kRemoveDoc =
    "remove(recurse=False)\n--\n\n\n"
    "Remove a file from the filesystem.\n";

PyObject* remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        arg::PathText path;
        bool recurse = false;
        if (!bind_method(kRemove, args, nargs, kwnames, arg::Path{path}, arg::Boolean{recurse}))
            return nullptr;
        return from_status(file_system(self)->rm(path.text, recurse));
    });
}

constexpr Params<2> kTree{"PyFs.tree", {"path", "ident"}, /*required=*/1};
constexpr const char* kTreeDoc =
    "tree($self, path, ident=None)\n--\n\n\n"
    "Debug the file system\n"
    "\n"
    "This function will return a debug representation of the filesystem as a string.\n";

PyObject* tree(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        arg::PathText path;
        std::optional<std::string_view> ident;
        if (!bind_method(kTree, args, nargs, kwnames, arg::Path{path}, arg::OptionalText{ident}))
            return nullptr;
        // Built in the core, which leaves out what went since its directory
        // was listed; a failure fails the whole call: no partial outline.
        Result<std::string> outline =
            file_system(self)->outline(path.text, ident.value_or(std::string_view()));
        if (!outline) return raise_io_error(outline.error());
        return to_str(*outline);
    });
}

constexpr Params<1> kStat{"PyFs.stat", {"path"}};
constexpr const char* kStatDoc =
    "stat($self, path)\n--\n\n\n"
    "Describe a file or directory.\n"
    "\n"
    "This function returns an os.stat_result for the entry at the path, links\n"
    "followed: its kind in st_mode, its inode id, its size in bytes, its\n"
    "modification time and its creation time (st_ctime). It takes no file lock,\n"
    "so it answers while a handle writes the file. The function will return an\n"
    "error if the path does not lead to an entry.\n";

PyObject* stat(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        arg::PathText path;
        if (!bind_method(kStat, args, nargs, kwnames, arg::Path{path})) return nullptr;
        const FileSystem& fs = *file_system(self);
        return from_result(fs.stat(path.text), [&](const NodeStatus& status) {
            return to_stat_result(status, fs.device());
        });
    });
}

constexpr Params<1> kExists{"PyFs.exists", {"path"}};
constexpr const char* kExistsDoc =
    "exists($self, path)\n--\n\n\n"
    "Tell whether a path leads to an entry.\n"
    "\n"
    "This function returns True if the path leads to a file or directory and\n"
    "False otherwise, also when a part of it is missing or is a file.\n";

PyObject* exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        arg::PathText path;
        if (!bind_method(kExists, args, nargs, kwnames, arg::Path{path})) return nullptr;
        return PyBool_FromLong(file_system(self)->get_inode_by_path(path.text).ok());
    });
}

constexpr Params<2> kRename{"PyFs.rename", {"src", "dst"}};
constexpr const char* kRenameDoc =
    "rename($self, src, dst)\n--\n\n\n"
    "Move a file or directory to another path.\n"
    "\n"
    "This function moves the entry at src to dst in one step, as os.replace does:\n"
    "a file replaces a file at dst, a directory replaces an empty directory.\n"
    "Open handles of a moved file keep working. The function will return an\n"
    "error, and change nothing, if the entry could not be moved.\n";

PyObject* rename(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        arg::PathText src, dst;
        if (!bind_method(kRename, args, nargs, kwnames, arg::Path{src}, arg::Path{dst}))
            return nullptr;
        return from_status(file_system(self)->rename(src.text, dst.text));
    });
}

constexpr const char* kUsageDoc =
    "usage($self)\n--\n\n\n"
    "Report what the filesystem holds against its limits.\n"
    "\n"
    "This function returns a dict: \"bytes\", the memory the contents of all files\n"
    "and all names hold, and \"nodes\", the directories, files and links with the\n"
    "root, as they stand; \"max_bytes\", \"max_nodes\" and \"max_name_length\", the\n"
    "limits the filesystem was made with, each None when it has none. Nothing is\n"
    "walked: the counts are kept as the filesystem changes.\n";

// A limit as Python shows it: its number, or None for none.
PyObject* limit_value(const std::optional<std::uint64_t>& limit) {
    return limit ? to_int(*limit) : none();
}

PyObject* usage(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const Usage& usage = file_system(self)->usage();
        const Limits& limits = usage.limits();
        struct Item {
            const char* key;
            Ref value;
        };
        const Item items[] = {
            {"bytes", Ref::steal(to_int(usage.bytes()))},
            {"nodes", Ref::steal(to_int(usage.nodes()))},
            {"max_bytes", Ref::steal(limit_value(limits.max_bytes))},
            {"max_nodes", Ref::steal(limit_value(limits.max_nodes))},
            {"max_name_length", Ref::steal(limit_value(limits.max_name_length))},
        };
        for (const Item& item : items) {
            if (!item.value) return nullptr;
        }
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        for (const Item& item : items) {
            if (PyDict_SetItemString(dict.get(), item.key, item.value.get()) < 0) return nullptr;
        }
        return dict.release();
    });
}

PyMethodDef kMethods[] = {
    method("mkdir", mkdir, kMkdirDoc),
    method("touch", touch, kTouchDoc),
    method("open", open, kOpenDoc),
    method("listdir", listdir, kListdirDoc),
    method("remove", remove, kRemoveDoc),
    method("tree", tree, kTreeDoc),
    // What the file system holds against its limits.
    method("usage", usage, kUsageDoc),
    // Beyond the first six and the limits: what ordinary file code needs.
    method("stat", stat, kStatDoc),
    method("exists", exists, kExistsDoc),
    method("rename", rename, kRenameDoc),
    method("open_existing", open_existing, kOpenExistingDoc),
    method("open_new", open_new, kOpenNewDoc),
    {},
};

// --- The class ---------------------------------------------------------------

constexpr const char* kDoc =
    "\n"
    "An highly simplified binding for a simple filesystem written in C++\n"
    "\n"
    "This class is a simple wrapper around the FileSystem struct. It defines\n"
    "the basis for a small filesystem that can be used in Python. The filesystem\n"
    "can handle files, nested directories and symlinks.\n"
    "\n"
    "The filesystem is thread-safe and can be shared between multiple threads.\n";

const PyType_Slot kSlots[] = {
    {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(&construct)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(&FsObject::dealloc)},
    {.slot = Py_tp_str, .pfunc = reinterpret_cast<void*>(&str)},
    {.slot = Py_tp_repr, .pfunc = reinterpret_cast<void*>(&repr)},
    {.slot = Py_tp_methods, .pfunc = kMethods},
};

const ClassDef kClassDef{
    .name = "builtins.PyFs",
    .signature = kSignature,
    .doc = kDoc,
    .basicsize = sizeof(FsObject),
    .slots = kSlots,
};

constinit ClassType g_type(kClassDef);

}  // namespace

PyTypeObject* type() {
    return g_type.get();
}

const std::shared_ptr<FileSystem>& file_system(PyObject* self) {
    return FsObject::of(self);
}

}  // namespace halvorn::py::py_fs
