"""Side-by-side benchmark: halvorn, the in-memory file systems a Python
program would pick instead, and the kernel's tmpfs through `os`.

Every workload runs on every implementation in one process, interleaved
round by round, and each round starts by timing the cheapest call from
Python into C with one `str` argument (a bound `dict.get`): the "floor".
Machines are noisy and only ratios are stable, so results are reported as
medians in nanoseconds, in floors, and as a ratio to the fastest.

    python3 -m pip install . fsspec fs pyfakefs && python3 bench/compare.py

Options: --rounds N, --only NAME[,NAME...], --workloads TEXT[,TEXT...],
--skip-memory, --quick.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Callable

KIB = 1024
BLOCK = b"\x5a" * (4 * KIB)
MIB_OF_BYTES = b"\x33" * (1024 * KIB)

# The bar each halvorn figure should meet, in floors (None: reported only).
TARGETS = {
    "mkdir (5,000 siblings)": 10,
    "touch (5,000 siblings)": 10,
    "create in a depth-4 tree": 15,
    "open+close": 8,
    "write 4 KiB": 3.5,
    "seek+read 4 KiB": 12,
    "listdir, 100 entries": 100,
    "listdir, 10,000 entries": 10_000,
    "recursive remove, per node": 6,
    "open+close 32 levels down": 40,
    "stat": 8,
    "exists": 6,
    "rename, same directory": 25,
    "rename, across directories": 25,
    "readinto 4 KiB": 4,
}


# --- The implementations -------------------------------------------------------
# Each adapter makes a fresh file system and hands out plain callables, so
# that the timed loops call the implementation itself with no layer between.


class Halvorn:
    name = "halvorn"

    def __init__(self) -> None:
        import halvorn

        self.module = halvorn
        self.fs = halvorn.PyFs()
        self.path = str
        self.mkdir = self.fs.mkdir
        self.touch = self.fs.touch
        self.listdir = self.fs.listdir

    def rmtree(self, path: str) -> None:
        self.fs.remove(path, True)

    def open_read(self, path):
        return self.fs.open(path, "r")

    def open_write(self, path):
        return self.fs.open(path, "w")

    def close(self, handle) -> None:
        handle.close()

    def write_at_start(self, handle) -> Callable[[], object]:
        write = handle.write  # the offset stays where it is after a write
        return lambda: write(BLOCK)

    def read_from_start(self, handle) -> Callable[[], object]:
        seek, read, start = handle.seek, handle.read, self.module.Whence.SEEK_SET

        def op():
            seek(0, start)
            return read(4 * KIB)

        return op

    def open_close(self, path) -> Callable[[], None]:
        open_ = self.fs.open

        def op():
            open_(path, "r").close()

        return op

    def stat(self):
        return self.fs.stat

    def exists(self):
        return self.fs.exists

    def rename(self):
        return self.fs.rename

    def truncate(self, handle):
        truncate = handle.truncate
        return lambda: truncate(0)

    def readinto(self, handle, buffer):
        return readinto_loop(handle.readinto, handle.seek, buffer, self.module.Whence.SEEK_SET)


def readinto_loop(readinto, seek, buffer, *start):
    """Reads through a file in buffer-sized steps, from the start again at its end."""

    def op():
        if not readinto(buffer):
            seek(0, *start)

    return op


class HalvornLimited(Halvorn):
    """halvorn with every limit set, too high to refuse anything here, so
    that each creation and growth takes the reserving path of a limit."""

    name = "halvorn-limited"

    def __init__(self) -> None:
        super().__init__()
        self.fs = self.module.PyFs(max_bytes=1 << 40, max_nodes=1 << 40, max_name_length=255)
        self.mkdir = self.fs.mkdir
        self.touch = self.fs.touch
        self.listdir = self.fs.listdir


class Fsspec:
    name = "fsspec"

    def __init__(self) -> None:
        from fsspec.implementations.memory import MemoryFileSystem

        self.fs = MemoryFileSystem(skip_instance_cache=True)
        self.fs.store = {}  # the class shares one store unless told otherwise
        self.fs.pseudo_dirs = [""]
        self.path = str
        self.mkdir = self.fs.mkdir
        self.touch = self.fs.touch

    def listdir(self, path):
        return self.fs.ls(path, detail=False)

    def rmtree(self, path: str) -> None:
        self.fs.rm(path, recursive=True)

    def open_read(self, path):
        return self.fs.open(path, "rb")

    def open_write(self, path):
        return self.fs.open(path, "wb")

    def close(self, handle) -> None:
        handle.close()

    def write_at_start(self, handle):
        seek, write = handle.seek, handle.write

        def op():
            seek(0)
            return write(BLOCK)

        return op

    def read_from_start(self, handle):
        seek, read = handle.seek, handle.read

        def op():
            seek(0)
            return read(4 * KIB)

        return op

    def open_close(self, path):
        open_ = self.fs.open

        def op():
            open_(path, "rb").close()

        return op

    def stat(self):
        return self.fs.info

    def exists(self):
        return self.fs.exists

    def rename(self):
        return self.fs.mv

    def truncate(self, handle):
        truncate = handle.truncate
        return lambda: truncate(0)

    def readinto(self, handle, buffer):
        return readinto_loop(handle.readinto, handle.seek, buffer)


class PyFilesystem2:
    name = "fs"

    def __init__(self) -> None:
        from fs.memoryfs import MemoryFS

        self.fs = MemoryFS()
        self.path = str
        self.mkdir = self.fs.makedir
        self.touch = self.fs.create
        self.listdir = self.fs.listdir
        self.rmtree = self.fs.removetree

    def open_read(self, path):
        return self.fs.openbin(path, "r")

    def open_write(self, path):
        return self.fs.openbin(path, "w")

    def close(self, handle) -> None:
        handle.close()

    write_at_start = Fsspec.write_at_start
    read_from_start = Fsspec.read_from_start

    def open_close(self, path):
        openbin = self.fs.openbin

        def op():
            openbin(path, "r").close()

        return op

    def stat(self):
        getinfo = self.fs.getinfo
        return lambda path: getinfo(path, namespaces=["details"])

    def exists(self):
        return self.fs.exists

    def rename(self):
        move = self.fs.move
        return lambda src, dst: move(src, dst, overwrite=True)

    truncate = Fsspec.truncate
    readinto = Fsspec.readinto


class Pyfakefs:
    name = "pyfakefs"

    def __init__(self) -> None:
        from pyfakefs import fake_filesystem

        self.fake = fake_filesystem.FakeFilesystem()
        self.os = fake_filesystem.FakeOsModule(self.fake)
        self.open = fake_filesystem.FakeFileOpen(self.fake)
        self.path = str
        self.mkdir = self.os.mkdir
        self.touch = self.fake.create_file
        self.listdir = self.os.listdir

    def rmtree(self, path: str) -> None:
        # The fake shutil reaches for the real os; walk the fake tree instead.
        for entry in self.os.listdir(path):
            child = path + "/" + entry
            if self.os.path.isdir(child):
                self.rmtree(child)
            else:
                self.os.remove(child)
        self.os.rmdir(path)

    def open_read(self, path):
        return self.open(path, "rb")

    def open_write(self, path):
        return self.open(path, "wb")

    def close(self, handle) -> None:
        handle.close()

    write_at_start = Fsspec.write_at_start
    read_from_start = Fsspec.read_from_start

    def open_close(self, path):
        open_ = self.open

        def op():
            open_(path, "rb").close()

        return op

    def stat(self):
        return self.os.stat

    def exists(self):
        return self.os.path.exists

    def rename(self):
        return self.os.replace

    truncate = Fsspec.truncate
    readinto = Fsspec.readinto


class Tmpfs:
    """The kernel's tmpfs, through the cheapest `os` calls for each job."""

    name = "tmpfs"

    def __init__(self) -> None:
        self.base = tempfile.mkdtemp(prefix="halvorn-bench-", dir="/dev/shm")
        self.mkdir = os.mkdir
        self.listdir = os.listdir
        self.rmtree = shutil.rmtree

    def path(self, path: str) -> str:
        return self.base + path

    def touch(self, path: str) -> None:
        os.close(os.open(path, os.O_CREAT | os.O_WRONLY | os.O_EXCL, 0o644))

    def open_read(self, path):
        return os.open(path, os.O_RDONLY)

    def open_write(self, path):
        return os.open(path, os.O_RDWR | os.O_CREAT, 0o644)

    def close(self, handle) -> None:
        os.close(handle)

    def write_at_start(self, fd):
        pwrite = os.pwrite
        return lambda: pwrite(fd, BLOCK, 0)

    def read_from_start(self, fd):
        pread = os.pread
        return lambda: pread(fd, 4 * KIB, 0)

    def open_close(self, path):
        open_, close, flags = os.open, os.close, os.O_RDONLY

        def op():
            close(open_(path, flags))

        return op

    def stat(self):
        return os.stat

    def exists(self):
        return os.path.exists

    def rename(self):
        return os.replace

    def truncate(self, fd):
        ftruncate = os.ftruncate
        return lambda: ftruncate(fd, 0)

    def readinto(self, fd, buffer):
        preadv, buffers, size = os.preadv, [buffer], os.fstat(fd).st_size
        offset = [0]

        def op():
            offset[0] = 0 if offset[0] >= size else offset[0] + preadv(fd, buffers, offset[0])

        return op

    def dispose(self) -> None:
        shutil.rmtree(self.base, ignore_errors=True)


IMPLEMENTATIONS = [Halvorn, HalvornLimited, Fsspec, PyFilesystem2, Pyfakefs, Tmpfs]


# --- Timing ---------------------------------------------------------------------------


def floor_ns(calls: int = 300_000) -> float:
    """The cost of the cheapest Python-to-C call with one str argument."""
    get, key = {}.get, "key"
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter_ns()
        for _ in range(calls):
            get(key)
        best = min(best, (time.perf_counter_ns() - start) / calls)
    return best


def per_call(op: Callable[[], object], calls: int) -> float:
    start = time.perf_counter_ns()
    for _ in range(calls):
        op()
    return (time.perf_counter_ns() - start) / calls


@contextlib.contextmanager
def stdout_to_devnull():
    """halvorn's read writes a report line to file descriptor 1 itself."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


# --- Workloads: each returns nanoseconds per operation -------------------------------


def siblings(impl, make: str, count: int) -> float:
    paths = [impl.path(f"/n{i}") for i in range(count)]
    create = getattr(impl, make)
    start = time.perf_counter_ns()
    for path in paths:
        create(path)
    return (time.perf_counter_ns() - start) / count


def create_in_tree(impl) -> float:
    dirs = []
    for a in range(10):
        impl.mkdir(impl.path(f"/{a}"))
        for b in range(10):
            impl.mkdir(impl.path(f"/{a}/{b}"))
            for c in range(10):
                impl.mkdir(impl.path(f"/{a}/{b}/{c}"))
                dirs.append(impl.path(f"/{a}/{b}/{c}"))
    paths = [f"{d}/f{f}" for d in dirs for f in range(10)]
    touch = impl.touch
    start = time.perf_counter_ns()
    for path in paths:
        touch(path)
    return (time.perf_counter_ns() - start) / len(paths)


def open_close(impl, calls: int) -> float:
    path = impl.path("/file")
    impl.close(impl.open_write(path))
    return per_call(impl.open_close(path), calls)


def deep_open_close(impl, calls: int) -> float:
    path = ""
    for level in range(32):
        path += f"/level{level}"
        impl.mkdir(impl.path(path))
    path = impl.path(path + "/file")
    impl.close(impl.open_write(path))
    return per_call(impl.open_close(path), calls)


def write_block(impl, calls: int) -> float:
    handle = impl.open_write(impl.path("/file"))
    try:
        return per_call(impl.write_at_start(handle), calls)
    finally:
        impl.close(handle)


def open_big_file(impl):
    """A handle for reading a file of 1 MiB."""
    path = impl.path("/big")
    handle = impl.open_write(path)
    if isinstance(impl, Tmpfs):
        os.write(handle, MIB_OF_BYTES)
    else:
        handle.write(MIB_OF_BYTES)
    impl.close(handle)
    return impl.open_read(path)


def read_block(impl, calls: int) -> float:
    handle = open_big_file(impl)
    try:
        with stdout_to_devnull():
            return per_call(impl.read_from_start(handle), calls)
    finally:
        impl.close(handle)


def stat_file(impl, method: str, calls: int) -> float:
    impl.mkdir(impl.path("/d"))
    path = impl.path("/d/file")
    impl.close(impl.open_write(path))
    call = getattr(impl, method)()
    return per_call(lambda: call(path), calls)


def rename_back_and_forth(impl, across: bool, calls: int) -> float:
    impl.mkdir(impl.path("/d"))
    impl.mkdir(impl.path("/e"))
    there, back = impl.path("/d/a"), impl.path("/e/a" if across else "/d/b")
    impl.close(impl.open_write(there))
    rename = impl.rename()

    def op():
        rename(there, back)
        rename(back, there)

    return per_call(op, calls) / 2


def truncate_file(impl, calls: int) -> float:
    handle = impl.open_write(impl.path("/file"))
    try:
        return per_call(impl.truncate(handle), calls)
    finally:
        impl.close(handle)


def readinto_block(impl, calls: int) -> float:
    handle = open_big_file(impl)
    try:
        return per_call(impl.readinto(handle, bytearray(4 * KIB)), calls)
    finally:
        impl.close(handle)


def listing(impl, entries: int, calls: int) -> float:
    impl.mkdir(impl.path("/d"))
    for i in range(entries):
        impl.touch(impl.path(f"/d/entry{i}"))
    path, listdir = impl.path("/d"), impl.listdir
    return per_call(lambda: listdir(path), calls)


def remove_tree(impl) -> float:
    nodes = 1
    impl.mkdir(impl.path("/t"))
    for a in range(10):
        impl.mkdir(impl.path(f"/t/{a}"))
        for b in range(10):
            impl.mkdir(impl.path(f"/t/{a}/{b}"))
            for c in range(100):
                impl.touch(impl.path(f"/t/{a}/{b}/{c}"))
            nodes += 101
        nodes += 1
    start = time.perf_counter_ns()
    impl.rmtree(impl.path("/t"))
    return (time.perf_counter_ns() - start) / nodes


def terminal(command: str, calls: int) -> Callable[[], float]:
    def run(impl) -> float:
        term = impl.module.PyTerm(impl.fs)
        impl.fs.mkdir("/d")
        for i in range(100):
            impl.fs.touch(f"/d/entry{i}")
        handle = impl.fs.open("/d/text", "w")
        handle.write(b"x" * (4 * KIB))
        handle.close()
        term.exec("cd d")
        exec_ = term.exec
        return per_call(lambda: exec_(command), calls)

    return run


def workloads(scale: float):
    def n(count: int) -> int:
        return max(1, int(count * scale))

    return [
        ("mkdir (5,000 siblings)", lambda i: siblings(i, "mkdir", n(5000)), None),
        ("touch (5,000 siblings)", lambda i: siblings(i, "touch", n(5000)), None),
        ("create in a depth-4 tree", create_in_tree, None),
        ("open+close", lambda i: open_close(i, n(20000)), None),
        ("write 4 KiB", lambda i: write_block(i, n(50000)), None),
        ("seek+read 4 KiB", lambda i: read_block(i, n(50000)), None),
        ("listdir, 100 entries", lambda i: listing(i, 100, n(2000)), None),
        ("listdir, 10,000 entries", lambda i: listing(i, 10_000, n(20)), None),
        ("recursive remove, per node", remove_tree, None),
        ("open+close 32 levels down", lambda i: deep_open_close(i, n(5000)), None),
        ("stat", lambda i: stat_file(i, "stat", n(50000)), None),
        ("exists", lambda i: stat_file(i, "exists", n(50000)), None),
        ("rename, same directory", lambda i: rename_back_and_forth(i, False, n(20000)), None),
        ("rename, across directories", lambda i: rename_back_and_forth(i, True, n(20000)), None),
        ("truncate to 0", lambda i: truncate_file(i, n(50000)), None),
        ("readinto 4 KiB", lambda i: readinto_block(i, n(50000)), None),
        ("one directory, N = 1,000", lambda i: siblings(i, "touch", 1000), None),
        ("one directory, N = 10,000", lambda i: siblings(i, "touch", 10_000), None),
        ("one directory, N = 100,000", lambda i: siblings(i, "touch", n(100_000)), None),
        ("exec pwd", terminal("pwd", n(20000)), "halvorn"),
        ("exec ls (100 entries)", terminal("ls", n(2000)), "halvorn"),
        ("exec cat (4 KiB)", terminal("cat text", n(20000)), "halvorn"),
    ]


# --- Memory per empty file, each in a fresh process ----------------------------------


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def kernel_file_bytes() -> int:
    """tmpfs keeps its files in kernel memory: shared pages and slab."""
    fields = {}
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            key, value = line.split(":")
            fields[key] = int(value.split()[0]) * 1024
    return fields["Shmem"] + fields["Slab"]


def memory_child(name: str, files: int) -> None:
    impl_class = next(c for c in IMPLEMENTATIONS if c.name == name)
    impl = impl_class()
    measure = kernel_file_bytes if impl_class is Tmpfs else resident_bytes
    per_dir = 1000
    dirs = [impl.path(f"/d{i}") for i in range(files // per_dir)]
    gc.collect()
    before = measure()
    for d in dirs:
        impl.mkdir(d)
        touch = impl.touch
        for f in range(per_dir):
            touch(f"{d}/f{f}")
    gc.collect()
    print((measure() - before) / files)
    if isinstance(impl, Tmpfs):
        impl.dispose()


def memory_per_file(names, files: int, peer_files: int) -> dict[str, float]:
    result = {}
    for name in names:
        count = files if name.startswith("halvorn") else peer_files
        out = subprocess.run(
            [sys.executable, __file__, "--memory-child", name, str(count)],
            capture_output=True,
            text=True,
            check=True,
        )
        result[name] = float(out.stdout.strip())
    return result


# --- Report -----------------------------------------------------------------------------


def report(results, floors, names, memory, rounds) -> None:
    floor = statistics.median(floors)
    print(f"\nfloor (bound dict.get, one str argument): median {floor:.1f} ns over {rounds} rounds")
    width = 20
    print(f"\n{'workload':32}" + "".join(f"{name:>{width}}" for name in names))
    print(f"{'(median ns / floors)':32}")
    for workload, per_impl in results.items():
        medians = {k: statistics.median(per_impl[k]) for k in names if per_impl.get(k)}
        fastest = min(medians.values())
        cells = []
        for name in names:
            if name not in medians:
                cells.append(f"{'-':>{width}}")
                continue
            ns = medians[name]
            in_floors = statistics.median(per_impl[name + "/floors"])
            floors_text = f"{in_floors:,.0f}" if in_floors >= 100 else f"{in_floors:.3g}"
            cells.append(f"{ns:,.0f} / {floors_text}".rjust(width))
        print(f"{workload:32}" + "".join(cells))
        ratios = "  ".join(f"{name} {medians[name] / fastest:.2f}x" for name in names if name in medians)
        target = TARGETS.get(workload)
        mark = ""
        if target is not None and "halvorn" in medians:
            ok = statistics.median(per_impl["halvorn/floors"]) <= target
            mark = f"   target <= {target} floors: {'met' if ok else 'MISSED'}"
        print(f"{'':32}ratio to fastest: {ratios}{mark}")
    scale = [results.get(f"one directory, N = {n}", {}) for n in ("1,000", "100,000")]
    if all(r.get("halvorn") for r in scale):
        growth = statistics.median(scale[1]["halvorn"]) / statistics.median(scale[0]["halvorn"])
        print(f"\nhalvorn ns per file at N = 100,000 over N = 1,000: {growth:.2f}x (target <= 1.5x)")
    if memory:
        print("\nbytes of memory per empty file (RSS delta; tmpfs: kernel shared memory + slab):")
        for name, value in memory.items():
            print(f"  {name:10} {value:8.0f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", help="comma-separated implementation names")
    parser.add_argument("--workloads", help="comma-separated parts of workload names to run")
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--quick", action="store_true", help="a tenth of the calls, for a try run")
    parser.add_argument("--memory-files", type=int, default=1_000_000)
    parser.add_argument("--memory-peer-files", type=int, default=200_000,
                        help="files for the peers' memory figure (they are slow to fill)")
    parser.add_argument("--memory-child", nargs=2, metavar=("NAME", "FILES"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child[0], int(args.memory_child[1]))
        return

    classes = IMPLEMENTATIONS
    if args.only:
        wanted = set(args.only.split(","))
        classes = [c for c in classes if c.name in wanted]
    names = [c.name for c in classes]
    scale = 0.1 if args.quick else 1.0
    jobs = workloads(scale)
    if args.workloads:
        parts = args.workloads.split(",")
        jobs = [job for job in jobs if any(part in job[0] for part in parts)]
    results = {name: {} for name, _, _ in jobs}
    floors = []
    for round_number in range(args.rounds):
        floors.append(floor_ns())
        for workload, run, only in jobs:
            for impl_class in classes:
                if only and impl_class.name != only:
                    continue
                impl = impl_class()
                try:
                    gc.collect()
                    gc.disable()
                    ns = run(impl)
                finally:
                    gc.enable()
                    if isinstance(impl, Tmpfs):
                        impl.dispose()
                results[workload].setdefault(impl_class.name, []).append(ns)
                results[workload].setdefault(impl_class.name + "/floors", []).append(ns / floors[-1])
        print(f"round {round_number + 1}/{args.rounds} done (floor {floors[-1]:.1f} ns)", file=sys.stderr)

    for per_impl in results.values():
        for name in names:
            per_impl.setdefault(name, [])
    memory = {}
    if not args.skip_memory:
        memory = memory_per_file(names, args.memory_files, args.memory_peer_files)
    report(results, floors, names, memory, args.rounds)


if __name__ == "__main__":
    main()
