"""Threads sharing one file system, its handles and a terminal. Written for a
free-threaded interpreter, where the calls truly run side by side; with the
interpreter lock they still run, interleaved at a short switch interval."""

import random
import sys
import threading
import time

import pytest

from halvorn import PyFs, PyTerm, Whence

NOT_FOUND = "Inode not found"
IN_USE = "Resource is currently in use"
CONTENT = b"0123456789"


@pytest.fixture(autouse=True)
def short_switch_interval():
    """With the interpreter lock, switch threads often so that calls interleave."""
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(saved)


def run_together(count, work, seconds=120):
    """Runs work(index) in `count` threads released together; re-raises the
    first failure and fails if any thread is still running at the deadline."""
    start = threading.Barrier(count)
    failures = []

    def body(index):
        try:
            start.wait()
            work(index)
        except BaseException as failure:  # noqa: B036 -- handed to the test thread
            failures.append(failure)

    threads = [threading.Thread(target=body, args=(i,), daemon=True) for i in range(count)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + seconds
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    assert not any(thread.is_alive() for thread in threads), "threads still running: a hang"
    if failures:
        raise failures[0]


class Rendezvous:
    """A point that `count` threads pass together, round after round. Without
    the interpreter lock they spin, to leave it within a few instructions of
    each other (a blocking barrier wakes them one by one, too far apart to
    race); with the lock, where calls cannot overlap anyway, they block."""

    def __init__(self, count):
        self.count = count
        self.free = not getattr(sys, "_is_gil_enabled", lambda: True)()
        self.barrier = threading.Barrier(count)
        self.lock = threading.Lock()
        self.arrived = 0

    def wait(self, round_number):
        if not self.free:
            self.barrier.wait()
            return
        with self.lock:
            self.arrived += 1
        while self.arrived < self.count * (round_number + 1):
            pass


def attempt(call, *args):
    """The call's result, or the message of the ValueError it raised. Racing
    threads record outcomes and the test judges them afterwards, so that no
    thread is left alone at a rendezvous."""
    try:
        return call(*args)
    except ValueError as error:
        return error.args[0]


def outcome(call, *args, allowed=()):
    """The call's result, or the message of a ValueError it raised, which
    must be one of `allowed`."""
    try:
        return call(*args)
    except ValueError as error:
        assert error.args[0] in allowed, f"{call.__name__}{args}: {error.args[0]!r}"
        return error.args[0]


def test_every_class_shared_between_threads_then_removed_whole():
    fs = PyFs()
    fs.mkdir("/shared")
    writer = fs.open("/shared/data", "w")
    writer.write(CONTENT)
    writer.close()
    shared_reader = fs.open("/shared/data", "r")
    shared_writer = fs.open("/scratch", "w")
    shared_term = PyTerm(fs)
    threads, rounds = 4, 300

    def work(index):
        rng = random.Random(index)
        own = f"/t{index}"
        fs.mkdir(own)
        term = PyTerm(fs)
        assert term.exec(f"cd {own}") == ""
        for k in range(rounds):
            step = rng.randrange(9)
            if step == 0:
                fs.touch(f"{own}/f{k}")
                handle = fs.open(f"{own}/f{k}", "w")
                assert handle.write(b"x" * k) == k
                handle.close()
                assert term.exec(f"cat f{k}") == "x" * k
            elif step == 1:
                fs.mkdir(f"{own}/d{k}")
                assert term.exec(f"mkdir d{k}/inner") == ""
            elif step == 2:
                # Shared offset: whatever the others did in between, a read
                # to the end gives a tail of the file.
                shared_reader.seek(rng.randrange(11), Whence.SEEK_SET)
                assert CONTENT.endswith(shared_reader.read(10))
                assert 0 <= shared_reader.tell() <= 10
            elif step == 3:
                assert shared_writer.write(b"w" * k) == k
                assert "FileHandle" in str(shared_writer)
            elif step == 4:
                own_reader = fs.open("/shared/data", "r")
                assert own_reader.read(100) == CONTENT
                own_reader.close()
            elif step == 5:
                shared_term.exec(f"cd {own}")
                pwd = shared_term.exec("pwd")
                assert pwd == "/" or pwd.startswith("/t"), pwd
                assert "data\n" in shared_term.exec("ls /shared")
            elif step == 6:
                handle = outcome(fs.open, "/contended", "w", allowed=(IN_USE,))
                if not isinstance(handle, str):
                    handle.write(b"c")
                    handle.close()
                outcome(fs.remove, "/contended", False, allowed=(IN_USE, NOT_FOUND))
            elif step == 7:
                files, dirs = fs.listdir(own)
                assert len(set(files + dirs)) == len(files) + len(dirs)
                assert "shared/\n" in fs.tree("/")
            else:
                assert str(fs).startswith("FileSystem")

    run_together(threads, work)
    shared_reader.close()
    shared_writer.close()
    for index in range(threads):
        fs.remove(f"/t{index}", True)
    fs.remove("/shared", True)
    fs.remove("/scratch", False)
    outcome(fs.remove, "/contended", False, allowed=(NOT_FOUND,))
    assert fs.listdir("/") == ([], [])


def test_racing_opens_of_one_new_path_all_succeed():
    fs = PyFs()
    fs.mkdir("/race")
    rounds, start = 1000, Rendezvous(2)
    failures = []

    def work(index):
        for k in range(rounds):
            start.wait(k)
            handle = attempt(fs.open, f"/race/f{k}", "r")
            if isinstance(handle, str):
                failures.append(handle)
            else:
                handle.close()

    run_together(2, work)
    assert failures == []
    assert sorted(fs.listdir("/race")[0]) == sorted(f"f{k}" for k in range(rounds))


def test_an_open_racing_the_removal_of_its_file_exactly_one_wins():
    fs = PyFs()
    rounds, start = 500, Rendezvous(2)
    opened, removed, original = [None] * rounds, [None] * rounds, [None] * rounds
    for k in range(rounds):
        probe = fs.open(f"/f{k}", "r")
        original[k] = probe.id()
        probe.close()

    def work(index):
        for k in range(rounds):
            start.wait(k)
            if index == 0:
                opened[k] = attempt(fs.open, f"/f{k}", "r")
            else:
                removed[k] = attempt(fs.remove, f"/f{k}", False)

    run_together(2, work)
    for k in range(rounds):
        handle = opened[k]
        # A removal holds the file's lock while it takes the file out: an
        # open meeting it then finds the file in use, or gone.
        assert handle in (NOT_FOUND, IN_USE) or not isinstance(handle, str), (k, handle)
        assert removed[k] in (None, IN_USE), (k, removed[k])
        kept_the_file = not isinstance(handle, str) and handle.id() == original[k]
        assert kept_the_file != (removed[k] is None), k
        if not isinstance(handle, str):
            handle.close()


def test_readers_of_a_directory_racing_its_writers():
    fs = PyFs()
    fs.mkdir("/d")
    fs.mkdir("/d/sub")
    stable = {f"s{i}" for i in range(10)}
    for name in sorted(stable):
        fs.touch(f"/d/{name}")
    done = threading.Event()

    def write(index):
        for k in range(1500):
            path = f"/d/x{index}_{k}"
            fs.touch(path)
            if k % 2:
                fs.remove(path, False)

    def read(index):
        term = PyTerm(fs)
        while not done.is_set():
            files, dirs = fs.listdir("/d")
            assert dirs == ["sub"]
            assert len(set(files)) == len(files)
            assert stable <= set(files)
            assert all(name in stable or name.startswith("x") for name in files)
            lines = fs.tree("/").splitlines()
            assert lines[0] == "d/" and "  sub/" in lines
            assert stable <= {line.strip() for line in lines}
            assert "s0\n" in term.exec("ls /d")
            assert str(fs).startswith("FileSystem")

    def work(index):
        if index < 2:
            try:
                write(index)
            finally:
                done.set()
        else:
            read(index)

    run_together(4, work)
    files = fs.listdir("/d")[0]
    assert len(files) == len(stable) + 2 * 750


def test_import_leaves_a_free_threaded_interpreter_without_its_lock(run_python):
    if not hasattr(sys, "_is_gil_enabled"):
        pytest.skip("an interpreter before 3.13 has no free-threaded build")
    done = run_python(
        """
        import sys, warnings
        warnings.simplefilter("error")
        gil_before = sys._is_gil_enabled()
        import halvorn
        assert sys._is_gil_enabled() == gil_before, "import changed the interpreter lock"
        """
    )
    assert (done.returncode, done.stderr) == (0, "")


def test_tree_of_a_directory_there_throughout_never_fails_while_entries_below_move():
    fs = PyFs()
    for path in ("/a", "/a/b", "/a/b/c", "/z"):
        fs.mkdir(path)
    done = threading.Event()
    failures = []

    def work(index):
        if index == 0:
            for _ in range(3000):
                attempt(fs.rename, "/a/b", "/z/b")
                attempt(fs.rename, "/z/b", "/a/b")
            done.set()
            return
        while not done.is_set():
            result = attempt(fs.tree, "/")
            if not (result.startswith("a/\n") and "z/\n" in result):
                failures.append(result)

    run_together(2, work)
    assert failures == []
    assert fs.tree("/") == "a/\n  b/\n    c/\nz/\n"
