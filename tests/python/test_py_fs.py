import contextlib
import gc
import os
import pathlib
import stat
import time

import numpy
import pytest
from conftest import check_method_documentation, public_names

from halvorn import PyFileHandle, PyFs, PyTerm

NOT_FOUND = "Inode not found"
NOT_A_DIRECTORY = "The specified INode is not a directory"
NOT_A_FILE = "The specified INode is not a file"
EXISTS = "Resource already exists"
TOO_DEEP = "Maximum filesystem depth exceeded"
NOT_EMPTY = "Directory is not empty"
IN_USE = "Resource is currently in use"
BAD_MODE = "Unrecognized file mode"
INTO_ITSELF = "Cannot move a directory into its own subtree"
ROOT = "The root directory cannot be moved or replaced"
NO_SPACE = "No space left on file system"
NO_NODES = "No nodes left on file system"
TOO_LONG = "File name too long"

MAX_DEPTH = 64


@contextlib.contextmanager
def raises_exactly(message):
    """ValueError whose one argument is `message`, nothing added."""
    with pytest.raises(ValueError) as info:
        yield info
    assert info.value.args == (message,)


def chain(depth):
    """The paths of `depth` directories, each inside the one before."""
    return ["/d" * level for level in range(1, depth + 1)]


class TestMkdirAndTouch:
    def test_create_entries_and_return_none(self, fs):
        assert fs.mkdir("/docs") is None
        assert fs.touch("/docs/a.txt") is None
        assert fs.mkdir(path="docs\\sub") is None  # either separator, no leading one
        assert fs.listdir("/docs") == (["a.txt"], ["sub"])

    @pytest.mark.parametrize("create", ["mkdir", "touch"])
    @pytest.mark.parametrize(
        "setup, path, message",
        [
            ([], "/missing/x", NOT_FOUND),
            (["/x"], "/x", EXISTS),
            (["/x"], "/x/", EXISTS),  # the last name is empty
            ([], "/", EXISTS),
            (chain(MAX_DEPTH), "/d" * MAX_DEPTH + "/x", TOO_DEEP),
        ],
    )
    def test_failures(self, fs, create, setup, path, message):
        for directory in setup:
            fs.mkdir(directory)
        before = fs.tree("/")
        with raises_exactly(message):
            getattr(fs, create)(path)
        assert fs.tree("/") == before

    def test_touch_of_an_existing_file_is_an_error(self, fs):
        fs.touch("/f")
        with raises_exactly(EXISTS):
            fs.touch("/f")

    def test_under_a_file(self, fs):
        fs.touch("/f")
        with raises_exactly(NOT_A_DIRECTORY):
            fs.mkdir("/f/x")

    def test_names_round_trip_as_utf8(self, fs):
        fs.mkdir("/ünïcødé ✓")
        fs.touch("/ünïcødé ✓/😀")
        assert fs.listdir("/") == ([], ["ünïcødé ✓"])
        assert fs.listdir("/ünïcødé ✓") == (["😀"], [])


class TestOpen:
    @pytest.mark.parametrize("mode", ["", "r", "w", "rw", "wr"])
    def test_a_missing_file_is_created_empty_in_any_mode(self, fs, mode):
        handle = fs.open("/new", mode)
        assert type(handle) is PyFileHandle
        assert fs.listdir("/") == (["new"], [])
        handle.close()
        assert fs.open("/new", "r").read(10) == b""

    @pytest.mark.parametrize("mode", ["x", "rr", "ww", "R", "r+", "a", "rb", " r", "rwr"])
    def test_a_bad_mode_creates_nothing(self, fs, mode):
        with raises_exactly(BAD_MODE):
            fs.open("/f", mode)
        assert fs.listdir("/") == ([], [])

    def test_the_mode_is_checked_before_the_path(self, fs):
        with raises_exactly(BAD_MODE):
            fs.open("/missing/f", "x")

    @pytest.mark.parametrize(
        "path, message",
        [("/", NOT_A_FILE), ("/d", NOT_A_FILE), ("/d/", NOT_A_FILE), ("/missing/f", NOT_FOUND)],
    )
    def test_failures(self, fs, path, message):
        fs.mkdir("/d")
        with raises_exactly(message):
            fs.open(path, "r")
        assert fs.listdir("/") == ([], ["d"])

    def test_each_call_gives_an_independent_handle(self, fs):
        first, second = fs.open("/f", "r"), fs.open("/f", "r")
        assert first is not second
        first.close()
        assert second.tell() == 0  # still open

    def test_an_existing_file_keeps_its_contents(self, fs):
        with_data = fs.open("/f", "w")
        with_data.write(b"hello")
        with_data.close()
        handle = fs.open("/f", "rw")
        assert handle.read(100) == b"hello"

    def test_a_writer_excludes_every_other_open_until_it_goes(self, fs):
        writer = fs.open("/f", "w")
        for mode in ["", "r", "w", "rw"]:
            with raises_exactly(IN_USE):
                fs.open("/f", mode)
        writer.close()
        again = fs.open("/f", "w")
        del again  # the last reference: closes the handle
        fs.open("/f", "w").close()

    def test_readers_share_and_keep_writers_out(self, fs):
        readers = [fs.open("/f", "r"), fs.open("/f", "")]
        with raises_exactly(IN_USE):
            fs.open("/f", "w")
        for reader in readers:
            reader.close()
        fs.open("/f", "w")


class TestListdir:
    def test_files_then_directories_in_creation_order(self, fs):
        fs.touch("/b")
        fs.mkdir("/a")
        fs.touch("/c")
        fs.mkdir("/0")
        listing = fs.listdir("/")
        assert type(listing) is tuple
        assert listing == (["b", "c"], ["a", "0"])
        assert all(type(name) is str for names in listing for name in names)

    def test_an_empty_directory(self, fs):
        assert fs.listdir("/") == ([], [])

    def test_every_call_makes_new_lists(self, fs):
        fs.touch("/f")
        first = fs.listdir("/")
        first[0].append("changed")
        assert fs.listdir("/") == (["f"], [])
        assert fs.listdir("/")[0] is not fs.listdir("/")[0]

    @pytest.mark.parametrize("path, message", [("/f", NOT_A_DIRECTORY), ("/nope", NOT_FOUND)])
    def test_failures(self, fs, path, message):
        fs.touch("/f")
        with raises_exactly(message):
            fs.listdir(path)


class TestRemove:
    def test_a_file_and_an_empty_directory(self, fs):
        fs.touch("/f")
        fs.mkdir("/d")
        assert fs.remove("/f", False) is None
        assert fs.remove(recurse=False, path="/d") is None
        assert fs.listdir("/") == ([], [])

    def test_a_full_directory_needs_recurse(self, fs):
        fs.mkdir("/d")
        fs.mkdir("/d/e")
        fs.touch("/d/e/f")
        with raises_exactly(NOT_EMPTY):
            fs.remove("/d", False)
        assert fs.tree("/") == "d/\n  e/\n    f\n"
        fs.remove("/d", True)
        assert fs.listdir("/") == ([], [])

    @pytest.mark.parametrize("flag, removed", [(numpy.True_, True), (numpy.False_, False)])
    def test_numpy_booleans_are_flags(self, fs, flag, removed):
        fs.mkdir("/d")
        fs.touch("/d/f")
        if removed:
            fs.remove("/d", flag)
            assert fs.listdir("/") == ([], [])
        else:
            with raises_exactly(NOT_EMPTY):
                fs.remove("/d", flag)

    @pytest.mark.parametrize("flag", [1, 0, None, "yes", numpy.int8(1), numpy.array([True])])
    def test_other_flags_are_refused(self, fs, flag):
        fs.mkdir("/d")
        with pytest.raises(TypeError, match=r"^argument 'recurse': expected bool, got ") as info:
            fs.remove("/d", flag)
        assert isinstance(info.value.__cause__, TypeError)
        assert fs.listdir("/") == ([], ["d"])

    def test_recurse_is_required(self, fs):
        fs.touch("/f")
        with pytest.raises(
            TypeError, match=r"^PyFs\.remove\(\) missing 1 required positional argument: 'recurse'$"
        ):
            fs.remove("/f")
        assert fs.listdir("/") == (["f"], [])

    def test_an_open_file_stays_until_its_handle_goes(self, fs):
        handle = fs.open("/f", "r")
        with raises_exactly(IN_USE):
            fs.remove("/f", False)
        del handle
        gc.collect()
        fs.remove("/f", False)

    def test_a_missing_entry(self, fs):
        with raises_exactly(NOT_FOUND):
            fs.remove("/nope", True)


class TestTree:
    @pytest.fixture
    def example(self, fs):
        fs.mkdir("/a")
        fs.touch("/a/x")
        fs.mkdir("/a/b")
        fs.touch("/c")
        return fs

    def test_outline(self, example):
        assert example.tree("/") == "a/\n  b/\n  x\nc\n"

    def test_ident_prefixes_every_line(self, example):
        assert example.tree("/", "> ") == "> a/\n>   b/\n>   x\n> c\n"
        assert example.tree(ident="", path="/") == example.tree("/")
        assert example.tree("/", None) == example.tree("/")

    @pytest.mark.parametrize("path", ["/a", "a", "/a/", "//a", "\\a"])
    def test_a_subdirectory_starts_unindented(self, example, path):
        example.mkdir("/a/b/deep")
        assert example.tree(path) == "b/\n  deep/\nx\n"

    def test_directories_come_first_at_every_level(self, fs):
        fs.touch("/f1")
        fs.mkdir("/d1")
        fs.touch("/d1/g")
        fs.mkdir("/d1/e")
        fs.touch("/f2")
        fs.mkdir("/d2")
        assert fs.tree("/") == "d1/\n  e/\n  g\nd2/\nf1\nf2\n"

    def test_an_empty_directory(self, fs):
        assert fs.tree("/") == ""
        assert fs.tree("/", "xx") == ""

    def test_the_deepest_tree(self, fs):
        for directory in chain(MAX_DEPTH):
            fs.mkdir(directory)
        lines = fs.tree("/", "|").splitlines()
        assert len(lines) == MAX_DEPTH
        assert lines[-1] == "|" + "  " * (MAX_DEPTH - 1) + "d/"

    @pytest.mark.parametrize("path, message", [("/c", NOT_A_DIRECTORY), ("/nope", NOT_FOUND)])
    def test_failures(self, example, path, message):
        with raises_exactly(message):
            example.tree(path)

    def test_ident_must_be_text(self, fs):
        with pytest.raises(TypeError, match=r"^argument 'ident': expected str, got bytes$"):
            fs.tree("/", b"> ")


def build(fs, entries):
    """Directories end in "/"; a file is a (path, contents) pair."""
    for entry in entries:
        if isinstance(entry, str):
            fs.mkdir(entry.rstrip("/"))
        else:
            with fs.open(entry[0], "w") as handle:
                handle.write(entry[1])


def snapshot(fs):
    """The outline of the tree and every file's contents, without reporting."""
    contents = {}

    def walk(path):
        files, dirs = fs.listdir(path)
        for name in files:
            with fs.open_existing(f"{path}/{name}", "r") as handle:
                buffer = bytearray(fs.stat(f"{path}/{name}").st_size)
                handle.readinto(buffer)
                contents[f"{path}/{name}"] = bytes(buffer)
        for name in dirs:
            walk(f"{path}/{name}")

    walk("")
    return fs.tree("/"), contents


TREE = ["/a/", ("/a/f", b"A"), "/a/sub/", ("/a/sub/g", b"G"), "/b/", "/c/", ("/c/h", b"H"),
        ("/x", b"X"), ("/y", b"Y")]


class TestRename:
    # (source, target, the error, or what the tree shows afterwards)
    @pytest.mark.parametrize(
        "src, dst, outcome",
        [
            ("/x", "/z", {"/z": b"X"}),
            ("/x", "/a/sub/z", {"/a/sub/z": b"X"}),
            ("/x", "/y", {"/y": b"X"}),  # replaces the file there
            ("/a", "/b", {"/b/f": b"A", "/b/sub/g": b"G"}),  # replaces an empty directory
            ("/a/", "/d/", {"/d/f": b"A"}),
            ("/a/sub/..", "/d", {"/d/f": b"A", "/d/sub/g": b"G"}),
            ("/a", "/a", {"/a/f": b"A"}),
            ("/a", "/c", NOT_EMPTY),
            ("/a/sub", "/a", NOT_EMPTY),  # onto the directory that holds it
            ("/x", "/b", NOT_A_FILE),  # a file onto a directory, even an empty one
            ("/x", "/a/", NOT_A_FILE),
            ("/a", "/x", NOT_A_DIRECTORY),
            ("/a", "/a/sub/q", INTO_ITSELF),  # where copying and then deleting loses all
            ("/a", "/a/q", INTO_ITSELF),
            ("/", "/q", ROOT),
            ("/a", "/", ROOT),
            ("/nope", "/q", NOT_FOUND),
            ("/x", "/nope/q", NOT_FOUND),
            ("/x", "/y/q", NOT_A_DIRECTORY),
        ],
    )
    def test_cases(self, fs, src, dst, outcome):
        build(fs, TREE)
        before = snapshot(fs)
        if isinstance(outcome, str):
            with raises_exactly(outcome):
                fs.rename(src, dst)
            assert snapshot(fs) == before  # nothing lost, nothing moved
            return
        assert fs.rename(src, dst) is None
        _, contents = snapshot(fs)
        for path, data in outcome.items():
            assert contents[path] == data
        # Every file is still there under exactly one name, but the one a
        # file replaced.
        replaced = [b"Y"] if dst == "/y" else []
        kept = [data for data in before[1].values() if data not in replaced]
        assert sorted(contents.values()) == sorted(kept)

    def test_the_entry_keeps_its_node_and_takes_a_new_entrys_place(self, fs):
        build(fs, ["/d/", ("/d/one", b"1"), ("/d/two", b"2"), "/e/"])
        ino = fs.stat("/d/one").st_ino
        fs.rename("/d/one", "/d/first")
        assert fs.listdir("/d") == (["two", "first"], [])
        fs.rename("/d/first", "/e/one")
        assert fs.stat("/e/one").st_ino == ino
        assert not fs.exists("/d/first")

    def test_an_open_file_moves_and_an_open_target_stays(self, fs):
        build(fs, [("/t", b"target")])
        writer = fs.open("/w", "w")
        fs.rename("/w", "/moved")
        writer.write(b"after the move")
        with raises_exactly(IN_USE):
            fs.rename("/t", "/moved")  # the target is open
        writer.close()
        reader = fs.open("/t", "r")
        with raises_exactly(IN_USE):
            fs.rename("/moved", "/t")
        reader.close()
        fs.rename("/moved", "/t")
        assert snapshot(fs)[1] == {"/t": b"after the move"}

    def test_a_subtree_too_deep_for_its_new_place_stays(self, fs):
        for path in chain(MAX_DEPTH - 2):
            fs.mkdir(path)
        fs.mkdir("/t")
        fs.mkdir("/t/u")
        fs.touch("/t/u/f")
        before = snapshot(fs)
        with raises_exactly(TOO_DEEP):
            fs.rename("/t", chain(MAX_DEPTH - 2)[-1] + "/t")
        assert snapshot(fs) == before
        fs.rename("/t", chain(MAX_DEPTH - 3)[-1] + "/t")  # the file ends at depth 64
        assert fs.exists(chain(MAX_DEPTH - 3)[-1] + "/t/u/f")


class TestStat:
    def test_files_and_directories(self, fs):
        fs.mkdir("/d")
        handle = fs.open("/d/f", "w")
        handle.write(b"12345")
        # No file lock is taken: the writer still holds the file.
        info = fs.stat(pathlib.PurePosixPath("/d/f"))
        assert isinstance(info, os.stat_result)
        assert stat.S_ISREG(info.st_mode) and stat.S_IMODE(info.st_mode) == 0o644
        assert (info.st_ino, info.st_size, info.st_nlink, info.st_uid, info.st_gid) == (
            handle.id(), 5, 1, 0, 0)
        directory = fs.stat("/d/f/..")
        assert stat.S_ISDIR(directory.st_mode) and directory.st_size == 0
        assert fs.stat("/").st_ino == 0
        assert info.st_dev == directory.st_dev != PyFs().stat("/").st_dev

    def test_times(self, fs):
        before = time.time_ns()
        fs.mkdir("/d")
        handle = fs.open("/d/f", "w")
        created = fs.stat("/d/f")
        # A coarse clock: a few milliseconds either way.
        assert abs(created.st_ctime_ns - before) < 1_000_000_000
        assert created.st_mtime_ns == created.st_ctime_ns
        assert created.st_mtime == pytest.approx(created.st_mtime_ns / 1e9)
        assert created.st_atime_ns == created.st_mtime_ns
        time.sleep(0.02)
        handle.write(b"x")
        handle.truncate(0)
        written = fs.stat("/d/f")
        assert written.st_ctime_ns == created.st_ctime_ns
        assert written.st_mtime_ns > created.st_mtime_ns
        assert fs.stat("/d").st_mtime_ns >= created.st_ctime_ns  # gained an entry

    @pytest.mark.parametrize(
        "path, message", [("/missing", NOT_FOUND), ("/f/x", NOT_A_DIRECTORY)]
    )
    def test_failures(self, fs, path, message):
        fs.touch("/f")
        with raises_exactly(message):
            fs.stat(path)


class TestExistsAndOpening:
    def test_exists_never_raises_for_a_path(self, fs):
        build(fs, ["/d/", ("/d/f", b"")])
        answers = {path: fs.exists(path) for path in ["/", "/d", "/d/f", "/d/f/..", "/d/g",
                                                      "/d/f/x", "/nope/x", ""]}
        assert answers == {"/": True, "/d": True, "/d/f": True, "/d/f/..": True,
                           "/d/g": False, "/d/f/x": False, "/nope/x": False, "": True}
        with pytest.raises(TypeError, match=r"^argument 'path': expected str, got int$"):
            fs.exists(1)

    def test_open_existing_creates_nothing(self, fs):
        with raises_exactly(NOT_FOUND):
            fs.open_existing("/missing", "r")
        assert fs.listdir("/") == ([], [])
        fs.mkdir("/d")
        with raises_exactly(NOT_A_FILE):
            fs.open_existing("/d", "r")
        with raises_exactly(BAD_MODE):
            fs.open_existing("/d/f", "rb")
        fs.touch("/d/f")
        with fs.open_existing("/d/f", "rw") as handle:
            assert handle.id() == fs.stat("/d/f").st_ino

    def test_open_new_creates_or_refuses(self, fs):
        with fs.open_new("/f", "w") as handle:
            handle.write(b"first")
            with raises_exactly(IN_USE):
                fs.remove("/f", False)  # held from the moment it exists
        with raises_exactly(EXISTS):
            fs.open_new("/f", "w")
        with raises_exactly(NOT_FOUND):
            fs.open_new("/missing/f", "w")
        assert fs.stat("/f").st_size == 5


# Every text parameter of every method, with the other arguments valid.
PATH_PARAMETERS = [
    ("mkdir", "path", lambda v: ((v,), {})),
    ("touch", "path", lambda v: ((v,), {})),
    ("open", "path", lambda v: ((v, "r"), {})),
    ("listdir", "path", lambda v: ((v,), {})),
    ("remove", "path", lambda v: ((v, False), {})),
    ("tree", "path", lambda v: ((v,), {})),
    ("stat", "path", lambda v: ((v,), {})),
    ("exists", "path", lambda v: ((v,), {})),
    ("rename", "src", lambda v: ((v, "/t"), {})),
    ("rename", "dst", lambda v: (("/x",), {"dst": v})),
    ("open_existing", "path", lambda v: ((v, "r"), {})),
    ("open_new", "path", lambda v: ((v, "r"), {})),
]
TEXT_PARAMETERS = PATH_PARAMETERS + [
    ("open", "mode", lambda v: (("/f",), {"mode": v})),
    ("open_existing", "mode", lambda v: (("/f",), {"mode": v})),
    ("open_new", "mode", lambda v: (("/f",), {"mode": v})),
    ("tree", "ident", lambda v: (("/", v), {})),
]


class TestConversions:
    @pytest.mark.parametrize("method, name, call", TEXT_PARAMETERS)
    @pytest.mark.parametrize("value", [b"/x", 1, ["/x"]])
    def test_a_text_must_be_a_str(self, fs, method, name, call, value):
        args, kwargs = call(value)
        with pytest.raises(TypeError) as info:
            getattr(fs, method)(*args, **kwargs)
        expected = f"argument '{name}': expected str, got {type(value).__name__}"
        assert str(info.value) == expected
        assert type(info.value.__cause__) is TypeError
        assert fs.listdir("/") == ([], [])

    @pytest.mark.parametrize("method, name, call", TEXT_PARAMETERS)
    def test_a_text_without_utf8_form(self, fs, method, name, call):
        args, kwargs = call("/\ud800")
        with pytest.raises(UnicodeEncodeError):
            getattr(fs, method)(*args, **kwargs)
        assert fs.listdir("/") == ([], [])

    @pytest.mark.parametrize("method, name, call", PATH_PARAMETERS)
    def test_a_path_may_be_path_like(self, fs, method, name, call):
        fs.mkdir("/d")
        args, kwargs = call(pathlib.PurePosixPath("/d"))
        try:
            getattr(fs, method)(*args, **kwargs)
        except ValueError:
            pass  # the path was taken; what it names is another matter

        class BytesPath:
            def __fspath__(self):
                return b"/d"

        args, kwargs = call(BytesPath())
        with pytest.raises(TypeError) as info:
            getattr(fs, method)(*args, **kwargs)
        assert str(info.value) == f"argument '{name}': expected str from os.fspath(), got bytes"

    def test_str_subclasses_are_texts(self, fs):
        class Path(str):
            pass

        fs.mkdir(Path("/d"))
        assert fs.tree(Path("/"), Path("-")) == "-d/\n"


# Every way to make a node, and the text its failure reads, from the path and
# the core's message.
CREATIONS = {
    "mkdir": (lambda fs, path: fs.mkdir(path), lambda path, why: why),
    "touch": (lambda fs, path: fs.touch(path), lambda path, why: why),
    "open": (lambda fs, path: fs.open(path, "w").close(), lambda path, why: why),
    "terminal mkdir": (
        lambda fs, path: PyTerm(fs).exec("mkdir " + path),
        lambda path, why: f"mkdir: cannot create directory '{path}': {why}",
    ),
    "terminal touch": (
        lambda fs, path: PyTerm(fs).exec("touch " + path),
        lambda path, why: f"touch: cannot create file '{path}': {why}",
    ),
}


class TestLimits:
    def test_a_new_file_system_reports_its_usage(self):
        unlimited = {"max_bytes": None, "max_nodes": None, "max_name_length": None}
        assert PyFs().usage() == {"bytes": 0, "nodes": 1, **unlimited}
        limits = {"max_bytes": 2**64 - 1, "max_nodes": 1, "max_name_length": 255}
        assert PyFs(**limits).usage() == {"bytes": 0, "nodes": 1, **limits}

    @pytest.mark.parametrize("create, text", CREATIONS.values(), ids=CREATIONS)
    def test_nodes_up_to_the_limit_and_no_further(self, create, text):
        fs = PyFs(max_nodes=3)  # the root and two more
        create(fs, "/a")
        create(fs, "/b")
        before = fs.listdir("/")
        with raises_exactly(text("/c", NO_NODES)):
            create(fs, "/c")
        assert fs.listdir("/") == before and fs.usage()["nodes"] == 3
        fs.remove("/b", False)
        create(fs, "/c")
        assert fs.usage()["nodes"] == 3

    @pytest.mark.parametrize("create, text", CREATIONS.values(), ids=CREATIONS)
    def test_names_up_to_the_limit_in_utf8_bytes(self, create, text):
        fs = PyFs(max_name_length=255)
        create(fs, "/" + "é" * 127 + "a")  # 255 bytes
        long_name = "/" + "é" * 128  # 128 characters, 256 bytes
        with raises_exactly(text(long_name, TOO_LONG)):
            create(fs, long_name)
        assert fs.usage()["nodes"] == 2 and "next_inode_id: 2 }" in str(fs)

    def test_a_write_past_max_bytes_fails_whole_and_removal_gives_back(self, capfd):
        fs = PyFs(max_bytes=102)  # the names "a" and "b" count too
        with fs.open("/a", "rw") as a, fs.open("/b", "w") as b:
            assert a.write(b"x" * 60) == 60
            with raises_exactly(NO_SPACE):
                a.write(b"y" * 101)
            with raises_exactly(NO_SPACE):
                b.write(b"z" * 41)
            assert b.write(b"z" * 40) == 40
            assert fs.usage()["bytes"] == 102
            with raises_exactly(NO_SPACE):
                b.write(b"z" * 41)
            with raises_exactly(NO_SPACE):
                fs.mkdir("/c")
            assert a.read(200) == b"x" * 60
        fs.remove("/b", False)
        assert fs.usage()["bytes"] == 61
        with fs.open("/c", "w") as c:
            assert c.write(b"w" * 40) == 40
        assert capfd.readouterr().out == "Read 60 bytes from file\n"

    def test_truncation_and_renames_keep_the_count(self):
        fs = PyFs(max_bytes=102, max_name_length=3)
        with fs.open("/a", "w") as a:
            a.write(b"x" * 100)
            assert a.truncate(10) == 10 and fs.usage()["bytes"] == 11
            assert a.truncate(2**40) == 2**40 and fs.usage()["bytes"] == 11  # growth is a hole
            assert fs.stat("/a").st_size == 2**40
            assert a.truncate(100) == 100 and a.pwrite(b"x" * 90, 10) == 90
        fs.touch("/b")
        fs.rename("/a", "/b")  # the replaced file's bytes and name go back; the moved one's stay
        assert fs.usage() == {"bytes": 101, "nodes": 2, "max_bytes": 102, "max_nodes": None,
                              "max_name_length": 3}
        with raises_exactly(NO_SPACE):
            fs.rename("/b", "/bcd")  # two bytes more than the budget has
        assert fs.usage()["bytes"] == 101 and fs.stat("/b").st_size == 100
        fs.rename("/b", "/bc")
        assert fs.usage()["bytes"] == 102
        with raises_exactly(TOO_LONG):
            fs.rename("/bc", "/long")


class TestBinding:
    @pytest.mark.parametrize(
        "call, message",
        [
            (
                lambda fs: fs.mkdir(),
                r"PyFs\.mkdir\(\) missing 1 required positional argument: 'path'",
            ),
            (
                lambda fs: fs.open(),
                r"PyFs\.open\(\) missing 2 required positional arguments: 'path' and 'mode'",
            ),
            (
                lambda fs: fs.touch("/a", "/b"),
                r"PyFs\.touch\(\) takes 1 positional argument but 2 were given",
            ),
            (
                lambda fs: fs.tree("/", "", ""),
                r"PyFs\.tree\(\) takes from 1 to 2 positional arguments but 3 were given",
            ),
            (
                lambda fs: fs.listdir("/", path="/"),
                r"PyFs\.listdir\(\) got multiple values for argument 'path'",
            ),
            (
                lambda fs: fs.remove("/", recurse=True, force=True),
                r"PyFs\.remove\(\) got an unexpected keyword argument 'force'",
            ),
        ],
    )
    def test_arity_and_keywords(self, fs, call, message):
        with pytest.raises(TypeError, match=f"^{message}$"):
            call(fs)
        assert fs.listdir("/") == ([], [])

    def test_the_receiver_must_be_a_pyfs(self):
        with pytest.raises(TypeError):
            PyFs.mkdir(object(), "/d")


DOCS = {
    "mkdir": (
        "($self, path)",
        "\nCreate a new directory in the filesystem.\n\n"
        "This function creates a new directory in the filesystem. The function will\n"
        "return an error if the directory could not be created.\n",
    ),
    "touch": (
        "($self, path)",
        "\nCreate a new file in the filesystem.\n\n"
        "This function creates a new file in the filesystem. The function will return\n"
        "an error if the file could not be created.\n",
    ),
    "open": (
        "($self, path, mode)",
        "\nOpen a file in the filesystem.\n\n"
        "This function opens a file in the filesystem. The function will return a file\n"
        "handle that can be used to read and write data to the file. The function will\n"
        "return an error if the file could not be opened.\n",
    ),
    "listdir": (
        "($self, path)",
        "\nList the contents of a directory.\n\n"
        "This function lists the contents of a directory. The function will return a\n"
        "list of strings with the names of the files and directories in the directory.\n"
        "The function will return an error if the directory could not be listed.\n",
    ),
    "remove": ("(recurse=False)", "\nRemove a file from the filesystem.\n"),
    "tree": (
        "($self, path, ident=None)",
        "\nDebug the file system\n\n"
        "This function will return a debug representation of the filesystem as a string.\n",
    ),
    "usage": (
        "($self)",
        "\nReport what the filesystem holds against its limits.\n\n"
        'This function returns a dict: "bytes", the memory the contents of all files\n'
        'and all names hold, and "nodes", the directories, files and links with the\n'
        'root, as they stand; "max_bytes", "max_nodes" and "max_name_length", the\n'
        "limits the filesystem was made with, each None when it has none. Nothing is\n"
        "walked: the counts are kept as the filesystem changes.\n",
    ),
}


@pytest.mark.parametrize("name", DOCS)
def test_method_documentation(name):
    check_method_documentation(PyFs, name, DOCS)


# Methods beyond the first six, documented in their own words.
ADDED = ["exists", "open_existing", "open_new", "rename", "stat"]


def test_methods_are_exactly_these():
    assert public_names(PyFs) == sorted([*DOCS, *ADDED])


def test_repr_counts_the_nodes_and_str_renders_them(fs):
    assert repr(fs) == "<halvorn.PyFs nodes=1>"  # the root
    fs.mkdir("/d")
    fs.touch("/d/f")
    assert repr(fs) == "<halvorn.PyFs nodes=3>"
    fs.remove("/d", True)
    assert repr(fs) == "<halvorn.PyFs nodes=1>"
    assert str(fs).startswith("FileSystem { inodes: {0: INode {")


def test_handles_keep_the_file_system_alive():
    fs = PyFs()
    fs.mkdir("/kept")
    handle = fs.open("/kept/f", "w")
    del fs
    gc.collect()
    assert handle.write(b"still here") == 10
    assert 'name: "kept"' in str(handle)
