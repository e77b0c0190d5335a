import gc
import sys
import weakref

import pytest

import halvorn
from halvorn import PyFileHandle, PyFs, PyTerm, Whence

EXPECTED_CLASSES = ["PyFs", "PyFileHandle", "PyTerm", "Whence"]

EMPTY_FS = (
    'FileSystem { inodes: {0: INode { id: 0, parent: 0, depth: 0, name: "", '
    "data: RwLock { data: Directory { children: [] }, poisoned: false, .. } }}, "
    "next_inode_id: 1 }"
)

PYFS_DOC = (
    "\nAn highly simplified binding for a simple filesystem written in C++\n"
    "\nThis class is a simple wrapper around the FileSystem struct. It defines\n"
    "the basis for a small filesystem that can be used in Python. The filesystem\n"
    "can handle files, nested directories and symlinks.\n"
    "\nThe filesystem is thread-safe and can be shared between multiple threads.\n"
)

WHENCE_DOC = "\nA small enumeration to determine the whence\nwhen seeking in a file.\n"

PYFILEHANDLE_DOC = (
    "\nA simple wrapper around the FileHandle struct.\n"
    "\nThis class is a simple wrapper around the FileHandle struct. It defines\n"
    "the basis for a file handle that can be used in Python. The file handle\n"
    "can be used to read and write data to a file.\n"
    "\nA file handle is always associated with a filesystem and an inode. The\n"
    "file handle can be used to read and write data to the file.\n"
)


class TestModule:
    def test_contents(self):
        assert halvorn.__all__ == EXPECTED_CLASSES
        assert halvorn.__doc__ == ""
        public = sorted(name for name in vars(halvorn) if not name.startswith("_"))
        assert public == sorted(EXPECTED_CLASSES)
        for name in EXPECTED_CLASSES:
            assert isinstance(getattr(halvorn, name), type)

    def test_second_initialisation_is_refused(self, run_python):
        result = run_python(
            """
            import sys
            import halvorn
            first = halvorn
            del sys.modules["halvorn"]
            try:
                import halvorn
            except ImportError as error:
                print("refused:", error)
            # The module of the first import keeps working.
            print(type(first.PyFs()).__name__)
            """
        )
        assert result.returncode == 0, result.stderr
        refused, still_works = result.stdout.splitlines()
        assert refused.startswith("refused:") and "only once" in refused
        assert still_works == "PyFs"


class TestClassProperties:
    @pytest.mark.parametrize("name", EXPECTED_CLASSES)
    def test_names(self, name):
        cls = getattr(halvorn, name)
        assert cls.__module__ == "builtins"
        assert cls.__name__ == cls.__qualname__ == name

    @pytest.mark.parametrize("name", EXPECTED_CLASSES)
    def test_not_subclassable(self, name):
        with pytest.raises(TypeError):
            type("Derived", (getattr(halvorn, name),), {})

    @pytest.mark.parametrize(
        "cls, signature, doc",
        [
            (PyFs, "(*, max_bytes=None, max_nodes=None, max_name_length=None)", PYFS_DOC),
            (PyFileHandle, None, PYFILEHANDLE_DOC),
            (PyTerm, "(fs)", "\nA structure representing a simple terminal\n"),
            (Whence, None, WHENCE_DOC),
        ],
        ids=lambda value: value.__name__ if isinstance(value, type) else "",
    )
    def test_documentation(self, cls, signature, doc):
        assert cls.__doc__ == doc
        assert cls.__text_signature__ == signature

    @pytest.mark.parametrize("cls", [PyFileHandle, Whence])
    def test_classes_without_a_constructor(self, cls):
        with pytest.raises(TypeError, match=r"^No constructor defined$"):
            cls()
        with pytest.raises(TypeError, match=r"^No constructor defined$"):
            cls.__new__(cls)

    def test_instances_take_no_attributes_nor_weak_references(self):
        fs = PyFs()
        for name in ("anything", "__dict__", "__weakref__"):
            with pytest.raises(AttributeError):
                setattr(fs, name, 1)
        with pytest.raises(TypeError):
            weakref.ref(fs)

    @pytest.mark.parametrize("name", EXPECTED_CLASSES)
    def test_no_uninitialised_instances(self, name):
        # Allocating behind the constructor's back would leave the payload
        # unconstructed.
        with pytest.raises(TypeError):
            object.__new__(getattr(halvorn, name))

    def test_default_identity_semantics(self):
        a, b = PyFs(), PyFs()
        assert a == a and a != b
        assert hash(a) != hash(b)
        assert repr(a) == repr(b) == "<halvorn.PyFs nodes=1>"


class TestPyFs:
    @pytest.mark.parametrize(
        "args, kwargs, error, message",
        [
            ((1,), {}, TypeError, r"PyFs\(\) takes 0 positional arguments but 1 was given"),
            ((), {"x": 1}, TypeError, r"PyFs\(\) got an unexpected keyword argument 'x'"),
            ((None,), {"fs": None}, TypeError, r"PyFs\(\) got an unexpected keyword argument 'fs'"),
            ((), {"": 1}, TypeError, r"PyFs\(\) got an unexpected keyword argument ''"),
            (
                (1, 2),
                {"max_bytes": 1},
                TypeError,
                r"PyFs\(\) takes 0 positional arguments but 2 positional arguments "
                r"\(and 1 keyword-only argument\) were given",
            ),
            ((), {"max_bytes": True}, TypeError, "argument 'max_bytes': expected int or None, got bool"),
            (
                (),
                {"max_nodes": 1.0},
                TypeError,
                "argument 'max_nodes': 'float' object cannot be interpreted as an integer",
            ),
            (
                (),
                {"max_bytes": 0},
                ValueError,
                "argument 'max_bytes': expected a positive int or None, got 0",
            ),
            (
                (),
                {"max_name_length": -(2**70)},
                ValueError,
                f"argument 'max_name_length': expected a positive int or None, got {-(2**70)}",
            ),
            ((), {"max_nodes": 2**64}, OverflowError, "int too big to convert"),
        ],
    )
    def test_constructor_takes_only_limits_by_keyword(self, args, kwargs, error, message):
        with pytest.raises(error, match=f"^{message}$"):
            PyFs(*args, **kwargs)
        with pytest.raises(error, match=f"^{message}$"):
            PyFs.__new__(PyFs, *args, **kwargs)

    def test_str_of_a_new_file_system(self):
        assert str(PyFs()) == EMPTY_FS
        assert str(PyFs.__new__(PyFs)) == EMPTY_FS

    def test_instances_are_independent(self):
        a, b = PyFs(), PyFs()
        del a
        assert str(b) == EMPTY_FS

    def test_instances_release_their_type(self):
        # Each instance holds a reference to its heap type; losing or
        # double-dropping one would show in the type's count.
        before = sys.getrefcount(PyFs)
        for _ in range(1000):
            PyFs()
        assert sys.getrefcount(PyFs) == before


class TestPyTermBinding:
    def test_construction(self):
        fs = PyFs()
        assert type(PyTerm(fs)) is PyTerm
        assert type(PyTerm(fs=fs)) is PyTerm

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, r"PyTerm\(\) missing 1 required positional argument: 'fs'"),
            ((PyFs(), PyFs()), {}, r"PyTerm\(\) takes 1 positional argument but 2 were given"),
            ((PyFs(),), {"cwd": "/"}, r"PyTerm\(\) got an unexpected keyword argument 'cwd'"),
            ((PyFs(),), {"fs": PyFs()}, r"PyTerm\(\) got multiple values for argument 'fs'"),
            ((None,), {}, r"argument 'fs': expected PyFs, got NoneType"),
            ((halvorn,), {}, r"argument 'fs': expected PyFs, got module"),
        ],
    )
    def test_constructor_errors(self, args, kwargs, message):
        with pytest.raises(TypeError, match=f"^{message}$") as info:
            PyTerm(*args, **kwargs)
        if message.startswith("argument"):
            assert type(info.value.__cause__) is TypeError

    def test_exec_returns_the_output_as_str(self):
        term = PyTerm(PyFs())
        output = term.exec(command="pwd")
        assert type(output) is str and output == "/"
        assert term.exec("") == ""

    def test_exec_failures_carry_the_terminal_text(self):
        with pytest.raises(ValueError) as info:
            PyTerm(PyFs()).exec("nonsense")
        assert info.value.args == ("nonsense: command not found",)

    @pytest.mark.parametrize(
        "args, kwargs, error, message",
        [
            ((), {}, TypeError, r"^PyTerm\.exec\(\) missing 1 required positional argument"),
            (("ls", "ls"), {}, TypeError, r"^PyTerm\.exec\(\) takes 1 positional argument but 2"),
            ((), {"cmd": "ls"}, TypeError, r"^PyTerm\.exec\(\) got an unexpected keyword argument"),
            ((b"ls",), {}, TypeError, r"^argument 'command': expected str, got bytes$"),
            (("ls \udfff",), {}, UnicodeEncodeError, "surrogates not allowed"),
        ],
    )
    def test_exec_argument_errors(self, args, kwargs, error, message):
        with pytest.raises(error, match=message):
            PyTerm(PyFs()).exec(*args, **kwargs)

    def test_exec_documentation(self):
        assert PyTerm.exec.__text_signature__ == "($self, command)"
        assert PyTerm.exec.__doc__ == "\nExecute a command in the terminal.\n"
        assert sorted(n for n in vars(PyTerm) if not n.startswith("__")) == ["exec"]

    def test_a_terminal_outlives_its_pyfs(self):
        fs = PyFs()
        fs.mkdir("/kept")
        term = PyTerm(fs)
        del fs
        gc.collect()
        assert "kept/" in term.exec("ls")
        term.exec("mkdir made")
        term.exec("cd made")
        assert term.exec("pwd") == "/made"
