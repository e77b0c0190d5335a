import sys
import weakref

import pytest

import halvorn
from halvorn import PyFs

# Grows as the classes join the module, in this order.
EXPECTED_CLASSES = ["PyFs"]

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

    def test_pyfs_documentation(self):
        assert PyFs.__doc__ == PYFS_DOC
        assert PyFs.__text_signature__ == "()"

    def test_instances_take_no_attributes_nor_weak_references(self):
        fs = PyFs()
        for name in ("anything", "__dict__", "__weakref__"):
            with pytest.raises(AttributeError):
                setattr(fs, name, 1)
        with pytest.raises(TypeError):
            weakref.ref(fs)

    def test_no_uninitialised_instances(self):
        # Allocating behind the constructor's back would leave the payload
        # unconstructed.
        with pytest.raises(TypeError):
            object.__new__(PyFs)

    def test_default_identity_semantics(self):
        a, b = PyFs(), PyFs()
        assert a == a and a != b
        assert hash(a) != hash(b)
        assert repr(a).startswith("<builtins.PyFs object at 0x")


class TestPyFs:
    @pytest.mark.parametrize(
        "args, kwargs",
        [((1,), {}), ((), {"x": 1}), ((None,), {"fs": None}), ((), {"": 1})],
    )
    def test_constructor_takes_no_arguments(self, args, kwargs):
        with pytest.raises(TypeError, match=r"^PyFs\(\) takes no arguments$"):
            PyFs(*args, **kwargs)
        with pytest.raises(TypeError, match=r"^PyFs\(\) takes no arguments$"):
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
