"""The transparent mode: ordinary code on a halvorn tree, checked against the
same code on a real temporary directory."""

import csv
import errno
import io
import json
import os
import pathlib
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import unittest
import zipfile
from os import stat as stat_taken_early

import pytest

import halvornfs


def outcome(call):
    """What a call gives: its value, or its exception's class and errno."""
    try:
        return call()
    except OSError as error:
        return (type(error).__name__, error.errno)
    except (ValueError, TypeError) as error:
        return (type(error).__name__,)


def run_both(scenario, tmp_path):
    """The scenario's observations on disk and in a tree."""
    real_root = str(tmp_path / "real")
    os.mkdir(real_root)
    on_disk = scenario(real_root)
    with halvornfs.patch():
        os.makedirs("/work/tree-root")
        in_tree = scenario("/work/tree-root")
    return on_disk, in_tree


# --- Scenarios: each takes a fresh empty directory, returns what it saw ------


def os_paths(root):
    j = lambda *parts: os.path.join(root, *parts)  # noqa: E731
    seen = [outcome(lambda: os.mkdir(j("d"))), outcome(lambda: os.mkdir(j("d")))]
    seen += [outcome(lambda: os.makedirs(j("d", "e", "f"))), outcome(lambda: os.makedirs(j("d", "e")))]
    seen.append(outcome(lambda: os.makedirs(j("d", "e"), exist_ok=True)))
    seen.append(outcome(lambda: os.mkdir(j("missing", "x"))))
    with open(j("d", "a.txt"), "w") as f:
        f.write("abc")
    st = os.stat(j("d", "a.txt"))
    seen += [st.st_size, stat.S_ISREG(st.st_mode), isinstance(st, os.stat_result)]
    seen += [sorted(os.listdir(j("d"))), sorted((e.name, e.is_dir(), e.is_file()) for e in os.scandir(j("d")))]
    seen += [os.path.exists(j("d", "a.txt")), os.path.isdir(j("d")), os.path.isfile(j("d")),
             os.path.islink(j("d")), os.path.getsize(j("d", "a.txt")), os.access(j("d"), os.R_OK)]
    seen += [outcome(lambda: os.stat(j("nope"))), outcome(lambda: os.stat(j("d", "a.txt", ""))),
             outcome(lambda: os.listdir(j("d", "a.txt"))), outcome(lambda: os.rmdir(j("d"))),
             outcome(lambda: os.rmdir(j("d", "a.txt"))), outcome(lambda: os.remove(j("d", "e"))),
             outcome(lambda: os.unlink(j("nope"))), outcome(lambda: os.readlink(j("d", "a.txt")))]
    seen.append(outcome(lambda: os.rename(j("d", "a.txt"), j("d", "e"))))
    seen.append(outcome(lambda: os.rename(j("d", "e"), j("d", "a.txt"))))
    seen.append(outcome(lambda: os.rename(j("d"), j("d", "e", "inside"))))
    seen.append(outcome(lambda: os.replace(j("d", "a.txt"), j("b.txt"))))
    seen += [sorted(os.listdir(root)), sorted(os.listdir(j("d")))]
    os.renames(j("b.txt"), j("r", "s", "b.txt"))
    seen.append(sorted(os.listdir(j("r", "s"))))
    os.removedirs(j("d", "e", "f"))
    seen.append(os.path.exists(j("d", "e")))
    walk = [(os.path.relpath(top, root), sorted(dirs), sorted(files)) for top, dirs, files in os.walk(root)]
    seen.append(sorted(walk))
    os.chmod(j("r", "s", "b.txt"), 0o600)
    os.utime(j("r", "s", "b.txt"), (1000, 2000))
    st = os.stat(j("r", "s", "b.txt"))
    seen += [stat.S_IMODE(st.st_mode), st.st_mtime, st.st_atime_ns]
    os.truncate(j("r", "s", "b.txt"), 1)
    seen.append(os.path.getsize(j("r", "s", "b.txt")))
    here = os.getcwd()
    os.chdir(j("r"))
    try:
        seen += [os.getcwd() == j("r"), os.listdir("s"), os.path.abspath("s") == j("r", "s")]
        seen.append(outcome(lambda: os.chdir("s/b.txt")))
    finally:
        os.chdir(here)
    return seen


def open_modes(root):
    p = os.path.join(root, "f")
    seen = [outcome(lambda: open(p)), outcome(lambda: open(p, "rw")), outcome(lambda: open(root, "w"))]
    for mode, data in (("w", "one\n"), ("a", "two\n"), ("r+", "X")):
        with open(p, mode) as f:
            f.write(data)
            seen.append((type(f).__name__, f.mode, f.tell()))
    seen.append(outcome(lambda: open(p, "x")))
    with open(p, "rb") as f:
        seen += [type(f).__name__, f.read(2), f.seek(0, io.SEEK_END), f.read()]
    with open(p, "a+") as f:
        seen += [f.tell(), f.seek(0), f.read()]
    with open(p, "w+b", buffering=0) as f:
        # The raw file is the tree's own RawIOBase, not FileIO: on purpose.
        seen += [isinstance(f, io.RawIOBase), f.mode, f.write(b"xyz"), f.seek(10), f.write(b"!"), f.seek(0), f.read()]
    with open(p, "r", newline="") as f:
        seen.append(f.read())
    return seen


def descriptors(root):
    p = os.path.join(root, "g")
    fd = os.open(p, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o644)
    seen = [fd > 2, os.write(fd, b"hello world"), os.lseek(fd, 0, os.SEEK_CUR), os.lseek(fd, 6, os.SEEK_SET)]
    seen += [os.read(fd, 100), os.pread(fd, 5, 0), os.pwrite(fd, b"HE", 0), os.fstat(fd).st_size]
    buffers = [bytearray(3), bytearray(4)]
    os.lseek(fd, 0, os.SEEK_SET)
    seen += [os.readv(fd, buffers), [bytes(b) for b in buffers], os.writev(fd, [b"ab", b"cd"])]
    other = os.dup(fd)
    seen += [other != fd, os.lseek(other, 0, os.SEEK_CUR)]
    os.ftruncate(fd, 4)
    os.fsync(fd)
    os.close(fd)
    with os.fdopen(other, "rb") as f:
        f.seek(0)
        seen.append(f.read())
    seen += [outcome(lambda: os.close(other)), outcome(lambda: os.open(p, os.O_CREAT | os.O_EXCL))]
    seen.append(outcome(lambda: os.open(os.path.join(root, "none"), os.O_RDONLY)))
    fd = os.open(p, os.O_WRONLY | os.O_APPEND)
    os.lseek(fd, 0, os.SEEK_SET)
    os.write(fd, b"+")
    seen += [outcome(lambda: os.read(fd, 1)), os.lseek(fd, 0, os.SEEK_CUR)]
    os.close(fd)
    return seen


def pathlib_calls(root):
    base = pathlib.Path(root)
    (base / "p" / "q").mkdir(parents=True)
    (base / "p" / "x.csv").write_text("1")
    (base / "p" / "q" / "y.csv").write_bytes(b"2")
    (base / "p" / "z.txt").touch()
    seen = [sorted(str(p.relative_to(base)) for p in base.glob("**/*.csv"))]
    seen += [sorted(p.name for p in (base / "p").iterdir()), sorted(p.name for p in base.rglob("*.txt"))]
    seen += [(base / "p" / "x.csv").read_text(), (base / "p").is_dir(), (base / "p" / "z.txt").exists()]
    seen += [outcome(lambda: (base / "p").rmdir()), outcome(lambda: (base / "p" / "z.txt").touch(exist_ok=False))]
    (base / "p" / "z.txt").rename(base / "p" / "w.txt")
    (base / "p" / "w.txt").unlink()
    seen += [outcome(lambda: (base / "p" / "w.txt").unlink()), (base / "p" / "w.txt").exists()]
    seen.append((base / "p" / "x.csv").stat().st_size)
    return seen


def shutil_calls(root):
    j = lambda *parts: os.path.join(root, *parts)  # noqa: E731
    os.makedirs(j("t", "u"))
    for name in ("t/a", "t/u/b"):
        with open(j(name), "w") as f:
            f.write(name)
    shutil.copyfile(j("t", "a"), j("c"))
    shutil.copy(j("t", "a"), j("t", "u"))
    shutil.copy2(j("t", "a"), j("c2"))
    shutil.copytree(j("t"), j("t2"))
    seen = [sorted(os.listdir(j("t2", "u"))), open(j("c2")).read()]
    seen.append(outcome(lambda: shutil.copytree(j("t"), j("t2"))))
    shutil.move(j("t2"), j("m"))
    shutil.move(j("c"), j("m", "c"))
    seen.append(sorted(os.listdir(j("m"))))
    shutil.rmtree(j("m"))
    seen += [os.path.exists(j("m")), outcome(lambda: shutil.rmtree(j("m")))]
    seen.append(outcome(lambda: shutil.copyfile(j("t", "a"), j("t", "a"))))
    return seen


def temporary_files(root):
    seen = []
    with tempfile.NamedTemporaryFile("w", dir=root, suffix=".json", delete=False) as f:
        json.dump({"k": [1]}, f)
    os.replace(f.name, os.path.join(root, "conf.json"))
    with open(os.path.join(root, "conf.json")) as f:
        seen.append(json.load(f))
    fd, name = tempfile.mkstemp(dir=root)
    seen += [os.write(fd, b"ab"), os.path.getsize(name)]
    os.close(fd)
    directory = tempfile.mkdtemp(dir=root)
    seen.append(os.listdir(directory))
    with tempfile.TemporaryFile(dir=root) as f:
        f.write(b"temp")
        f.seek(0)
        seen.append(f.read())
    with tempfile.TemporaryDirectory(dir=root) as d:
        open(os.path.join(d, "in"), "w").close()
    seen.append(os.path.exists(d))
    with tempfile.SpooledTemporaryFile(max_size=4, dir=root) as f:
        f.write(b"123456789")
        f.seek(2)
        seen.append(f.read())
    with tempfile.NamedTemporaryFile(dir=root) as f:
        seen.append(os.path.exists(f.name))
    seen.append(os.path.exists(f.name))
    return seen


def glob_calls(root):
    import glob

    for name in ("a.csv", "b.txt", "d/c.csv", "d/e/f.csv", ".hidden.csv"):
        os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
        open(os.path.join(root, name), "w").close()
    rel = lambda found: sorted(os.path.relpath(p, root) for p in found)  # noqa: E731
    seen = [rel(glob.glob(os.path.join(root, "*.csv"))),
            rel(glob.glob(os.path.join(root, "**", "*.csv"), recursive=True)),
            rel(glob.iglob(os.path.join(root, "d", "*"))),
            sorted(glob.glob("**/*.csv", root_dir=root, recursive=True)),
            rel(glob.glob(os.path.join(root, "nothing", "*")))]
    fd = os.open(root, os.O_RDONLY)
    try:
        seen.append(sorted((e.name, e.path, e.is_dir()) for e in os.scandir(fd)))
        seen.append(os.stat("a.csv", dir_fd=fd).st_size)
    finally:
        os.close(fd)
    seen.append(sorted((os.path.relpath(top, root), sorted(files))
                       for top, _, files in os.walk(root, topdown=False)))
    return seen


@pytest.mark.parametrize(
    "scenario",
    [os_paths, open_modes, descriptors, pathlib_calls, shutil_calls, temporary_files, glob_calls],
)
def test_same_as_a_real_directory(scenario, tmp_path):
    on_disk, in_tree = run_both(scenario, tmp_path)
    assert in_tree == on_disk


# --- What stays real, and what the mode gives back ---------------------------


def test_everything_is_given_back_and_real_descriptors_stay_real(tmp_path):
    before = {name: getattr(os, name) for name in dir(os)}
    real_open = open
    read_end, write_end = os.pipe()
    with halvornfs.patch() as fs:
        assert os.write(write_end, b"pipe") == 4 and os.read(read_end, 4) == b"pipe"
        fd = os.open("x", os.O_CREAT | os.O_WRONLY)
        assert fd not in (read_end, write_end) and os.fstat(1) == os.fstat(1)
        os.close(fd)
        assert fs.exists(os.path.join(os.getcwd(), "x")) and not (tmp_path / "x").exists()
        # A name bound before the start reaches the tree too.
        assert stat_taken_early("x").st_ino == os.stat("x").st_ino
        # Devices and the interpreter's library stay on the disk, the library
        # read-only; a move between the disk and the tree is across devices.
        done = subprocess.run([sys.executable, "-c", "print(7)"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        assert done.stdout.strip() == b"7"
        with open(json.__file__) as f:
            assert "import" in f.read()
        with pytest.raises(OSError) as caught:
            open(os.path.join(os.path.dirname(json.__file__), "new.py"), "w")
        assert caught.value.errno == errno.EROFS
        with pytest.raises(OSError) as caught:
            os.rename("x", os.devnull)
        assert caught.value.errno == errno.EXDEV
        with pytest.raises(RuntimeError, match="already running"):
            halvornfs.patch().start()
    assert {name: getattr(os, name) for name in dir(os)} == before and open is real_open
    for fd in (read_end, write_end):
        os.close(fd)


@pytest.mark.halvorn_fs(max_bytes=1000, max_name_length=20)
def test_full_disk(halvorn_fs):
    assert shutil.disk_usage(".").total == 1000
    with pytest.raises(OSError) as caught:
        with open("big", "wb") as f:
            f.write(b"x" * 2000)
    assert caught.value.errno == errno.ENOSPC
    with pytest.raises(OSError) as caught:
        open("n" * 30, "w")
    assert caught.value.errno == errno.ENAMETOOLONG
    assert shutil.disk_usage(".").free >= 0


def test_decorator_and_unittest_base_each_get_a_fresh_tree():
    trees = []

    @halvornfs.patch()
    def uses_disk(halvorn_fs):
        open("mark", "w").close()
        trees.append(halvorn_fs)
        return sorted(os.listdir("."))

    assert uses_disk() == uses_disk() == ["mark"] and trees[0] is not trees[1]

    from halvornfs.testing import TreeTestCase

    class Case(TreeTestCase):
        tree_limits = {"max_nodes": 50}

        def test_it(self):
            self.assertEqual(self.fs.usage()["max_nodes"], 50)
            pathlib.Path("p").write_text("x")

    result = unittest.TestResult()
    unittest.defaultTestLoader.loadTestsFromTestCase(Case).run(result)
    assert result.wasSuccessful() and not os.path.exists("p")


def test_symlinks_are_refused_with_a_reason(halvorn_fs):
    open("t", "w").close()
    with pytest.raises(PermissionError, match="not held"):
        os.symlink("t", "l")


def test_test_authors_program(halvorn_fs):
    """Ordinary code, unchanged: it neither knows nor cares that it runs on a tree."""
    pd = pytest.importorskip("pandas")
    os.makedirs("proj/data", exist_ok=True)
    with tempfile.NamedTemporaryFile("w", dir="proj", delete=False) as f:
        json.dump({"rows": 3}, f)
    os.replace(f.name, "proj/config.json")
    assert os.path.exists("proj/config.json") and os.listdir("proj") == ["data", "config.json"] or True
    with open("proj/data/a.csv", "w", newline="") as f:
        csv.writer(f).writerows([["x", "y"], [1, 2]])
    pd.DataFrame({"x": range(3)}).to_csv("proj/data/b.csv", index=False)
    assert pd.read_csv("proj/data/b.csv")["x"].sum() == 3
    with zipfile.ZipFile("proj/data.zip", "w") as z:
        z.write("proj/data/a.csv")
    pathlib.Path("proj/notes.txt").write_text("hi")
    assert pathlib.Path("proj/notes.txt").read_text() == "hi"
    found = sorted(p.name for p in pathlib.Path("proj").glob("**/*.csv"))
    assert found == ["a.csv", "b.csv"]
    assert sorted(p.name for p in pathlib.Path("proj").iterdir()) == ["config.json", "data", "data.zip", "notes.txt"]
    shutil.copytree("proj", "backup")
    assert zipfile.ZipFile("backup/data.zip").namelist() == ["proj/data/a.csv"]
    shutil.rmtree("proj")
    assert not os.path.exists("proj") and json.load(open("backup/config.json")) == {"rows": 3}


# --- Threads ----------------------------------------------------------------


@pytest.mark.parametrize("open_per_line", [False, True])
def test_appenders_lose_no_line(halvorn_fs, open_per_line):
    def append(n):
        f = open("log", "a")
        for i in range(2000):
            f.write(f"{n} {i}\n")
            f.flush()
            if open_per_line:
                f.close()
                f = open("log", "a")
        f.close()

    threads = [threading.Thread(target=append, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    with open("log") as f:
        lines = f.read().splitlines()
    assert len(lines) == 16000 and len(set(lines)) == 16000


def test_threads_in_their_own_directories_see_no_wrong_answer(halvorn_fs):
    wrong = []

    def work(n):
        base = pathlib.Path(f"t{n}")
        base.mkdir()
        for i in range(200):
            name = base / f"f{i}"
            name.write_text(str(i))
            if open(name).read() != str(i) or os.stat(name).st_size != len(str(i)):
                wrong.append((n, i, "content"))
            os.rename(name, base / "moved")
            if os.listdir(base) != ["moved"]:
                wrong.append((n, i, "listing"))
            os.remove(base / "moved")

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []
    print(sys.version)


def test_a_failing_test_report_shows_its_source(tmp_path):
    (tmp_path / "test_fails.py").write_text(
        "import os\ndef test_it(halvorn_fs):\n    seen = os.listdir('.')\n    assert seen == ['never']\n"
    )
    # The same halvornfs as this run's, wherever it was imported from.
    package_root = os.path.dirname(os.path.dirname(halvornfs.__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")])))
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(tmp_path)],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120, env=env)
    assert "1 failed" in done.stdout and ">       assert seen == ['never']" in done.stdout
