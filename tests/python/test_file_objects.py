"""halvornfs.open against the builtin open on a real temporary directory: the
same calls in the same mode must give the same values, the same positions,
the same exception classes and the same bytes left in the file."""

import errno
import io
import os
import sys
import threading

import pytest
from test_threads import run_together

import halvornfs
from halvorn import PyFs

BEFORE = b"hello\nworld\n"

# (mode, whether the file exists beforehand, open()'s keywords, calls). A call
# is a method name and its arguments; "list" is list(file).
CASES = [
    ("r", True, {}, [("read",), ("tell",), ("read",)]),
    ("r", True, {}, [("readline",), ("list",)]),
    ("r", False, {}, []),
    ("rt", True, {"newline": ""}, [("readlines",)]),
    ("r", True, {}, [("write", "x")]),
    ("rb", True, {}, [("read", 3), ("seek", -2, 1), ("read",), ("seek", 0, 2), ("tell",)]),
    ("rb", True, {}, [("seek", 100), ("read",), ("tell",), ("seek", -1)]),
    ("rb", True, {}, [("seek", 2, os.SEEK_DATA), ("seek", 0, os.SEEK_HOLE), ("seek", 99, 3)]),
    ("rb", True, {}, [("seek", 0, 5), ("seekable",), ("readable",), ("writable",)]),
    ("rb", True, {}, [("isatty",), ("truncate", 1), ("flush",), ("peek", 1)]),
    ("rb", True, {"buffering": 0}, [("read", 3), ("readall",), ("read", 1)]),
    ("rb", True, {"buffering": 0}, [("readinto", bytearray(4)), ("tell",)]),
    ("rb", True, {"buffering": 0}, [("read", 2), ("read", None), ("seek", 1), ("read", -1),
                                    ("seek", 99), ("read", 2), ("read", 0), ("read", "2")]),
    ("r+b", True, {}, [("write", b"J"), ("read", 4), ("seek", 0), ("read",)]),
    ("r+", True, {}, [("truncate", 3), ("read",), ("tell",), ("write", "!"), ("seek", 0)]),
    ("r+b", False, {}, []),
    ("w", True, {}, [("write", "ab"), ("write", "cd"), ("tell",)]),
    ("w", False, {}, [("writelines", ["a\n", "b\n"]), ("read",)]),
    ("w", False, {"newline": "\r\n"}, [("write", "one\ntwo\n")]),
    ("w", False, {"encoding": "utf-16"}, [("write", "ünï")]),
    ("wb", True, {}, [("read",)]),
    ("wb", False, {}, [("seek", 5), ("write", b"x"), ("tell",), ("seek", 2), ("write", b"yy")]),
    ("wb", False, {"buffering": 0}, [("write", b"abc"), ("seek", -1, 2), ("write", b"Z")]),
    ("wb", False, {"buffering": 0}, [("seek", 9), ("write", b""), ("write", bytearray(70000))]),
    ("r+b", True, {"buffering": 0}, [("seek", 20), ("write", b""), ("seek", 0, 2), ("write", b"X")]),
    ("w+b", True, {}, [("write", b"abc"), ("seek", 0), ("read",), ("truncate", 10), ("read",)]),
    ("w+", False, {}, [("write", "abcdef"), ("truncate", 2), ("tell",), ("seek", 0), ("read",)]),
    ("a", True, {}, [("tell",), ("write", "more"), ("tell",)]),
    ("a", False, {}, [("write", "new")]),
    ("ab", True, {}, [("write", b"!"), ("seek", 0), ("write", b"?"), ("tell",)]),
    ("a+b", True, {}, [("seek", 0), ("read", 5), ("write", b"!"), ("tell",), ("seek", 0)]),
    ("a+b", True, {"buffering": 0}, [("seek", 1), ("write", b""), ("tell",), ("read", 2)]),
    ("a+", False, {}, [("write", "x"), ("seek", 0), ("read",)]),
    ("x", False, {}, [("write", "fresh")]),
    ("x", True, {}, []),
    ("xb", False, {}, [("read",)]),
    ("x+b", False, {}, [("write", b"ab"), ("seek", 1), ("read",)]),
    ("x+", True, {}, []),
    ("rw", True, {}, []),
    ("rbt", True, {}, []),
    ("", True, {}, []),
    ("r++", True, {}, []),
    ("rb", True, {"encoding": "utf-8"}, []),
    ("w", False, {"buffering": 0}, []),
]


def outcome(call):
    """What a call gave: its value, or its exception's class and errno."""
    try:
        value = call()
    except Exception as error:  # noqa: BLE001 -- compared, not handled
        return type(error), getattr(error, "errno", None)
    return value.copy() if isinstance(value, bytearray) else value


def run(opener, mode, keywords, calls):
    """The outcomes of opening and then of each call, in order."""
    opened = outcome(lambda: opener(mode, **keywords))
    if isinstance(opened, tuple):
        return [opened]
    # Unbuffered, the builtin gives its FileIO and halvornfs its RawFile.
    results = [type(opened).__name__.replace("RawFile", "FileIO")]
    with opened as file:
        for name, *args in calls:
            if name == "list":
                results.append(outcome(lambda: list(file)))
            else:
                results.append(outcome(lambda: getattr(file, name)(*args)))
                # readinto fills its argument: what it holds is compared too.
                results.extend(arg.copy() for arg in args if isinstance(arg, bytearray))
    return results


@pytest.mark.parametrize("mode, exists, keywords, calls", CASES)
def test_like_the_builtin_open(tmp_path, mode, exists, keywords, calls):
    fs = PyFs()
    path = tmp_path / "f"
    if exists:
        path.write_bytes(BEFORE)
        with halvornfs.open(fs, "/f", "wb") as file:
            file.write(BEFORE)
    expected = run(lambda *a, **k: open(path, *a, **k), mode, keywords, calls)
    got = run(lambda *a, **k: halvornfs.open(fs, "/f", *a, **k), mode, keywords, calls)
    assert got == expected
    left = path.read_bytes() if path.exists() else None
    assert (halvornfs.open(fs, "/f", "rb").read() if fs.exists("/f") else None) == left


@pytest.mark.parametrize(
    "setup, path, mode, error, code",
    [
        ([], "/missing/f", "w", FileNotFoundError, errno.ENOENT),
        (["d"], "/d", "r", IsADirectoryError, errno.EISDIR),
        (["d"], "/d", "a", IsADirectoryError, errno.EISDIR),
        (["d", "d/f"], "/d/f", "x", FileExistsError, errno.EEXIST),
        (["f"], "/f/x", "w", NotADirectoryError, errno.ENOTDIR),
        (["f"], "/f/x", "r", NotADirectoryError, errno.ENOTDIR),
    ],
)
def test_paths_fail_as_on_disk(tmp_path, setup, path, mode, error, code):
    fs = PyFs()
    for name in setup:
        if name.endswith("d"):
            fs.mkdir("/" + name)
            os.mkdir(tmp_path / name)
        else:
            fs.touch("/" + name)
            (tmp_path / name).touch()
    with pytest.raises(error) as on_disk:
        open(str(tmp_path) + path, mode)
    with pytest.raises(error) as info:
        halvornfs.open(fs, path, mode)
    assert (info.value.errno, on_disk.value.errno) == (code, code)
    assert info.value.filename == path
    assert type(info.value.__cause__) is ValueError


def fill(fs, path, data, offset=0):
    with halvornfs.open(fs, path, "wb") as file:
        file.seek(offset)
        file.write(data)


@pytest.mark.parametrize(
    "limits, step, code, message",
    [
        ({"max_bytes": 10}, lambda fs: fill(fs, "/f", b"x" * 11), errno.ENOSPC, "No space left"),
        ({"max_bytes": 10}, lambda fs: fill(fs, "/f", b"x", 10), errno.ENOSPC, "No space left"),
        ({"max_nodes": 2}, lambda fs: [fill(fs, p, b"") for p in ("/a", "/b")], errno.ENOSPC, "No nodes"),
        ({"max_name_length": 3}, lambda fs: fill(fs, "/four", b""), errno.ENAMETOOLONG, "File name"),
    ],
)
def test_limits_of_the_tree_are_os_errors(limits, step, code, message):
    fs = PyFs(**limits)
    with pytest.raises(OSError) as info:
        step(fs)
    assert info.value.errno == code and info.value.__cause__.args[0].startswith(message)
    fill(fs, "/a", b"")  # the failed write let its file go


def test_a_busy_file_says_who_holds_it():
    fs = PyFs()
    reader = halvornfs.open(fs, "/f", "x")
    with pytest.raises(OSError) as info:
        halvornfs.open(fs, "/f", "w")
    assert info.value.errno == errno.EBUSY and info.value.filename == "/f"
    assert "another handle holds the file" in str(info.value)
    assert info.value.__cause__.args == ("Resource is currently in use",)
    reader.close()
    halvornfs.open(fs, "/f", "w").close()  # closing let the lock go


def test_pathlike_paths_and_the_objects_stacked():
    fs = PyFs()
    with halvornfs.open(fs, _Path("/f"), "w+b") as file:
        assert type(file) is io.BufferedRandom and file.name == "/f"
        assert type(file.raw) is halvornfs.RawFile and file.mode == "rb+"
    kinds = {"rb": io.BufferedReader, "ab": io.BufferedWriter, "r": io.TextIOWrapper}
    for mode, kind in kinds.items():
        with halvornfs.open(fs, "/f", mode) as file:
            assert type(file) is kind and file.mode == mode
    with pytest.raises(TypeError):
        halvornfs.open(fs, b"/f", "rb")
    with halvornfs.open(fs, "/f", "rb", buffering=0) as raw, pytest.raises(io.UnsupportedOperation):
        raw.fileno()  # no descriptor: numpy and shutil look for this error


class _Path:
    def __init__(self, text):
        self.text = text

    def __fspath__(self):
        return self.text


def test_threads_reading_one_file_get_its_bytes():
    fs = PyFs()
    data = os.urandom(1 << 20)
    with halvornfs.open(fs, "/big", "wb") as file:
        file.write(data)
    wrong = []
    lock = threading.Lock()

    def work(index):
        for round_number in range(20):
            with halvornfs.open(fs, "/big", "rb") as file:
                file.seek(index * 1000)
                got = file.read(1000 + round_number) + file.read()
            if got != data[index * 1000 :]:
                with lock:
                    wrong.append((index, round_number))

    run_together(4, work)
    assert wrong == []


@pytest.mark.parametrize("where", ["disk", "halvorn"])
def test_threads_sharing_one_unbuffered_file_move_its_position_together(tmp_path, where):
    # Each chunk must land once and be read once, as with the kernel's
    # position: no chunk written over another, none read twice.
    fs = PyFs()

    def opener(mode):
        if where == "disk":
            return open(tmp_path / "f", mode, buffering=0)
        return halvornfs.open(fs, "/f", mode, buffering=0)

    chunks = [[b"%d:%07d\n" % (index, k) for k in range(50_000)] for index in range(2)]
    read = [[], []]

    def reader(file, index):
        while chunk := file.read(10):
            read[index].append(chunk)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # with the GIL, switch threads within the calls
    try:
        with opener("wb") as file:
            run_together(2, lambda index: [file.write(chunk) for chunk in chunks[index]])
        with opener("rb") as file:
            run_together(2, lambda index: reader(file, index))
    finally:
        sys.setswitchinterval(interval)
    assert sorted(read[0] + read[1]) == sorted(chunks[0] + chunks[1])
