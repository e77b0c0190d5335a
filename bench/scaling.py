"""Thread scaling: 1, 2 and 4 threads sharing one file system, on halvorn
and the in-memory peers that can run the same work.

    python3 -m pip install . fsspec fs pyfakefs && python3 bench/scaling.py

Two workloads, each run for a fixed time per thread count:
  independent  each thread in its own directory: create a file, open+close
               it, write 4 KiB, read 4 KiB, list the directory, remove the
               file (six operations a round);
  shared       every thread in one directory of 100 entries: open+close of
               one file and a listing (two operations a round).
Reported: operations per second (all threads together, median of the rounds)
and the ratio to one thread; then the CPU time the threads spent per
operation and the share of the run they were on a CPU. On a machine whose
cores are busy with other work the throughput cannot grow, but a CPU cost per
operation that stays flat as threads are added shows that the threads do not
get in each other's way, and the share on CPU tells a thread that waited
(for a lock, or detached) from one the machine did not run. Every answer is checked; wrong answers
("corrupt") and exceptions are counted and the first few shown, since some
peers are not made for threads.

Scaling needs an interpreter without the global lock (a free-threaded
build, such as 3.13t); with the lock, the figures show its cost instead.

Options: --seconds S (per run), --rounds N, --threads 1,2,4, --only NAME[,NAME...].
"""

from __future__ import annotations

import argparse
import statistics
import sys
import sysconfig
import threading
import time

import compare
from compare import BLOCK, KIB

SHARED_ENTRIES = 100
OWN_ENTRIES = 16


# Without the global lock, an object that many threads take references to
# (a bound method, a bytes block, an Event) has its reference count bounced
# between the cores, which is a cost of the benchmark, not of the file
# system. So each thread binds its own methods, writes its own block, and
# looks at the stop flag once every few rounds.
CHECK_EVERY = 32


def own(method):
    """A bound method of this thread's own making, for the same object."""
    owner = getattr(method, "__self__", None)
    if owner is None or isinstance(owner, type(sys)):
        return method
    return getattr(owner, method.__name__)


def block_ops(impl, reader, writer, block):
    """Rewrite 4 KiB at the start of `writer`; read 4 KiB from the start of `reader`."""
    read_seek, read, write = own(reader.seek), own(reader.read), own(writer.write)
    if isinstance(impl, compare.Halvorn):  # write leaves the offset where it was
        start = impl.module.Whence.SEEK_SET
        return (lambda: write(block)), (lambda: (read_seek(0, start), read(4 * KIB))[1])
    write_seek = own(writer.seek)

    def write_block():
        write_seek(0)
        write(block)

    def read_block():
        read_seek(0)
        return read(4 * KIB)

    return write_block, read_block


def remover(impl):
    """Removal of one file: the adapters of compare.py only remove trees."""
    if isinstance(impl, compare.Halvorn):
        return lambda path: impl.fs.remove(path, False)
    if isinstance(impl, compare.Fsspec):
        return impl.fs.rm
    if isinstance(impl, compare.PyFilesystem2):
        return impl.fs.remove
    return impl.os.remove


class Tally:
    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.ops = 0
        self.cpu_ns = 0  # CPU time of the worker threads, summed
        self.corrupt = 0
        self.errors = 0
        self.examples: list[str] = []

    def add(self, ops: int, corrupt: int, errors: list[str], cpu_ns: int = 0) -> None:
        with self.lock:
            self.ops += ops
            self.cpu_ns += cpu_ns
            self.corrupt += corrupt
            self.errors += len(errors)
            for error in errors:
                if len(self.examples) < 3 and error not in self.examples:
                    self.examples.append(error)


def independent(impl, index: int, stop: threading.Event, tally: Tally) -> None:
    ops = corrupt = 0
    errors = []
    try:
        own_dir = impl.path(f"/t{index}")
        impl.mkdir(own_dir)
        for i in range(OWN_ENTRIES):
            impl.touch(f"{own_dir}/keep{i}")
        block = bytes(bytearray(BLOCK))
        source = f"{own_dir}/source"
        writer = impl.open_write(source)
        writer.write(block)
        impl.close(writer)
        reader, writer = impl.open_read(source), impl.open_write(f"{own_dir}/sink")
        write, read = block_ops(impl, reader, writer, block)
        touch, listdir, remove = own(impl.touch), own(impl.listdir), remover(impl)
        # What the directory holds now, and the new file of each round (a
        # peer may show the sink only once it is closed).
        expected_entries = len(listdir(own_dir)) + 1
    except Exception as error:
        tally.add(0, 0, [f"{type(error).__name__}: {error} (setting up)"])
        return
    k, cpu_started = 0, time.thread_time_ns()
    while k % CHECK_EVERY or not stop.is_set():
        path = f"{own_dir}/f{k}"
        k += 1
        try:
            touch(path)
            impl.close(impl.open_read(path))
            write()
            corrupt += read() != block
            corrupt += len(listdir(own_dir)) != expected_entries
            remove(path)
            ops += 6
        except Exception as error:  # counted and shown: peers may fail under threads
            errors.append(f"{type(error).__name__}: {error}")
    cpu_ns = time.thread_time_ns() - cpu_started
    impl.close(reader)
    impl.close(writer)
    tally.add(ops, corrupt, errors, cpu_ns)


def prepare_shared(impl) -> None:
    impl.mkdir(impl.path("/shared"))
    for i in range(SHARED_ENTRIES):
        impl.touch(impl.path(f"/shared/e{i}"))


def shared(impl, index: int, stop: threading.Event, tally: Tally) -> None:
    directory, path = impl.path("/shared"), impl.path("/shared/e0")
    open_read, close, listdir = own(impl.open_read), impl.close, own(impl.listdir)
    ops = corrupt = 0
    errors = []
    k, cpu_started = 0, time.thread_time_ns()
    while k % CHECK_EVERY or not stop.is_set():
        k += 1
        try:
            close(open_read(path))
            corrupt += len(listdir(directory)) != SHARED_ENTRIES
            ops += 2
        except Exception as error:
            errors.append(f"{type(error).__name__}: {error}")
    tally.add(ops, corrupt, errors, time.thread_time_ns() - cpu_started)


class HalvornEntries:
    """halvorn lists (files, directories); the checks count entries."""

    def __init__(self, fs) -> None:
        self.fs = fs

    def listdir(self, path):
        files, directories = self.fs.listdir(path)
        return files + directories


def python_only(index: int, stop: threading.Event, tally: Tally) -> None:
    """The machine's own scaling: plain Python work on a thread's own dict,
    as a yardstick for what a file system can reach on it at the moment."""
    table, prefix, ops, k = {}, f"/t{index}/", 0, 0
    cpu_started = time.thread_time_ns()
    while k % CHECK_EVERY or not stop.is_set():
        path = prefix + str(k)
        k += 1
        table[path] = k
        del table[path]
        ops += 2
    tally.add(ops, 0, [], time.thread_time_ns() - cpu_started)


def run(impl_class, workload, threads: int, seconds: float) -> Tally:
    impl = impl_class() if impl_class else None
    if isinstance(impl, compare.Halvorn):
        impl.listdir = HalvornEntries(impl.fs).listdir
    if workload is shared:
        prepare_shared(impl)
    tally = Tally()
    stop = threading.Event()
    ready = threading.Barrier(threads + 1)

    def body(index: int) -> None:
        ready.wait()
        if impl is None:
            python_only(index, stop, tally)
        else:
            workload(impl, index, stop, tally)

    pool = [threading.Thread(target=body, args=(i,)) for i in range(threads)]
    for thread in pool:
        thread.start()
    ready.wait()
    started = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for thread in pool:
        thread.join()
    elapsed = time.perf_counter() - started
    tally.cpu_per_op = tally.cpu_ns / max(1, tally.ops)
    tally.busy = tally.cpu_ns / 1e9 / (threads * elapsed)  # share of the time the threads ran
    tally.ops = int(tally.ops / elapsed)  # now ops per second
    return tally


def gil_state() -> str:
    enabled = getattr(sys, "_is_gil_enabled", lambda: True)()
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL"
    return f"{build} build, GIL {'on' if enabled else 'off'}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--threads", default="1,2,4")
    parser.add_argument("--only", help="comma-separated implementation names")
    args = parser.parse_args()

    classes = [c for c in compare.IMPLEMENTATIONS if c is not compare.Tmpfs]
    if args.only:
        classes = [c for c in classes if c.name in set(args.only.split(","))]
    counts = [int(n) for n in args.threads.split(",")]
    workloads = [("independent", independent), ("shared", shared)]

    results: dict[tuple[str, str, int], list[Tally]] = {}
    with compare.stdout_to_devnull():  # halvorn's read reports on descriptor 1
        for _ in range(args.rounds):
            for threads in counts:
                tally = run(None, None, threads, args.seconds)
                results.setdefault(("yardstick", "plain Python", threads), []).append(tally)
            for workload_name, workload in workloads:
                for impl_class in classes:
                    for threads in counts:
                        tally = run(impl_class, workload, threads, args.seconds)
                        results.setdefault((workload_name, impl_class.name, threads), []).append(tally)

    print(f"Python {sys.version.split()[0]}, {gil_state()}; {args.rounds} rounds of {args.seconds:g} s")
    header = f"{'workload':12} {'implementation':15}" + "".join(
        f"{f'{n} thread' + ('s' if n > 1 else ''):>24}" for n in counts
    )
    print(header + "   corrupt  exceptions")
    rows = [("yardstick", "plain Python")]
    rows += [(workload_name, c.name) for workload_name, _ in workloads for c in classes]
    for workload_name, impl_name in rows:
        tallies = [results[(workload_name, impl_name, n)] for n in counts]
        medians = [statistics.median(t.ops for t in runs) for runs in tallies]
        cells = "".join(
            f"{f'{ops:,.0f} ({ops / medians[0]:.2f}x)' if medians[0] else '-':>24}"
            for ops in medians
        )
        everything = [t for runs in tallies for t in runs]
        corrupt = sum(t.corrupt for t in everything)
        errors = sum(t.errors for t in everything)
        print(f"{workload_name:12} {impl_name:15}{cells}   {corrupt:7}  {errors:10}")
        cpu = [statistics.median(t.cpu_per_op for t in runs) for runs in tallies]
        busy = [statistics.median(t.busy for t in runs) for runs in tallies]
        cpu_cells = "".join(f"{f'{ns:,.0f} ns, {b:.0%} on CPU':>24}" for ns, b in zip(cpu, busy))
        print(f"{'':12} {'  CPU per op':15}{cpu_cells}")
        examples = []
        for tally in everything:
            examples += [e for e in tally.examples if e not in examples]
        for example in examples[:3]:
            print(f"{'':28}e.g. {example[:100]}")


if __name__ == "__main__":
    main()
