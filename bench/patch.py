"""The transparent mode against pyfakefs and the real tmpfs: the same plain
code (builtin open, os, pathlib, shutil) timed under each, interleaved round
by round in one process, and the cost of each pytest fixture per test.

    python3 -m pip install . pyfakefs && python3 bench/patch.py [--rounds N]

Figures are medians over rounds of the mean CPU time of one operation (the
calling thread's, kernel time included, so a busy machine shifts them less
than wall time would), in µs; the fixture rows are the CPU time pytest's
process spends, per test, beyond a test that asks for no fixture.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import pathlib
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from typing import Any, Callable, Iterator

import halvornfs

SMALL = "x" * 100
REPEAT = 200


@contextlib.contextmanager
def halvorn_mode() -> Iterator[str]:
    with halvornfs.patch():
        os.makedirs("/bench", exist_ok=True)
        yield "/bench"


@contextlib.contextmanager
def pyfakefs_mode() -> Iterator[str]:
    from pyfakefs.fake_filesystem_unittest import Patcher

    with Patcher():
        os.makedirs("/bench", exist_ok=True)
        yield "/bench"


@contextlib.contextmanager
def tmpfs_mode() -> Iterator[str]:
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    root = tempfile.mkdtemp(dir=base)
    try:
        yield root
    finally:
        shutil.rmtree(root)


MODES: dict[str, Callable[[], Any]] = {
    "halvorn": halvorn_mode,
    "pyfakefs": pyfakefs_mode,
    "tmpfs": tmpfs_mode,
}


def per_call(function: Callable[[int], object], count: int) -> float:
    start = time.thread_time()
    for i in range(count):
        function(i)
    return (time.thread_time() - start) / count * 1e6


def workloads(root: str) -> dict[str, float]:
    """One round of every operation under the mode running now."""
    result: dict[str, float] = {}
    d = os.path.join(root, "w")
    os.mkdir(d)
    names = [os.path.join(d, f"f{i}") for i in range(REPEAT)]

    def create(i: int) -> None:
        with open(names[i], "w") as f:
            f.write(SMALL)

    result["create+write+close (open)"] = per_call(create, REPEAT)
    result["os.stat"] = per_call(lambda i: os.stat(names[i]), REPEAT)

    def read(i: int) -> None:
        with open(names[i]) as f:
            f.read()

    result["open+read+close"] = per_call(read, REPEAT)
    listing = os.path.join(root, "l")
    os.mkdir(listing)
    for i in range(100):
        open(os.path.join(listing, f"e{i}"), "w").close()
    result["os.listdir (100)"] = per_call(lambda i: os.listdir(listing), REPEAT)
    paths = [pathlib.Path(name) for name in names]
    result["Path.write_text"] = per_call(lambda i: paths[i].write_text(SMALL), REPEAT)
    result["Path.read_text"] = per_call(lambda i: paths[i].read_text(), REPEAT)
    copies = [name + ".copy" for name in names]
    result["shutil.copyfile"] = per_call(lambda i: shutil.copyfile(names[i], copies[i]), REPEAT)
    result["os.remove"] = per_call(lambda i: os.remove(names[i]), REPEAT)
    tree = os.path.join(root, "t")
    os.makedirs(os.path.join(tree, "sub"))
    for i in range(1000):
        with open(os.path.join(tree, "sub" if i % 2 else "", f"c{i}"), "w") as f:
            f.write(SMALL)
    result["shutil.copytree (1,000 files)"] = per_call(
        lambda i: shutil.copytree(tree, os.path.join(root, f"t{i}")), 1
    )
    return result


def start_stop(mode: str) -> float:
    def once(_: int) -> None:
        with MODES[mode]():
            pass

    return per_call(once, 20)


FIXTURE_TEST = """
import pytest
@pytest.mark.parametrize("i", range({count}))
def test_one({fixture}i):
    pass
"""


def _children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def fixture_costs(count: int) -> dict[str, float]:
    """Per test, over a test that asks for no fixture, in µs."""
    fixtures = {"none": "", "halvorn_fs": "halvorn_fs, ", "pyfakefs fs": "fs, ",
                "tmp_path": "tmp_path, "}
    times: dict[str, list[float]] = {name: [] for name in fixtures}
    with tempfile.TemporaryDirectory() as work:
        for name, argument in fixtures.items():
            path = os.path.join(work, f"test_{name.replace(' ', '_')}.py")
            with open(path, "w") as f:
                f.write(textwrap.dedent(FIXTURE_TEST.format(count=count, fixture=argument)))
        for _ in range(5):
            for name in fixtures:
                path = os.path.join(work, f"test_{name.replace(' ', '_')}.py")
                before = _children_cpu()
                subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                path], cwd=work, check=True, capture_output=True)
                times[name].append(_children_cpu() - before)
    base = statistics.median(times["none"])
    return {name: (statistics.median(values) - base) / count * 1e6
            for name, values in times.items() if name != "none"}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--tests", type=int, default=300)
    parser.add_argument("--fixtures-only", action="store_true")
    options = parser.parse_args()
    if options.fixtures_only:
        _print_fixtures(fixture_costs(options.tests))
        return
    rounds: dict[str, list[dict[str, float]]] = {mode: [] for mode in MODES}
    for _ in range(options.rounds):
        for mode, make in MODES.items():
            with make() as root:
                rounds[mode].append(workloads(root))
            rounds[mode][-1]["start+stop"] = start_stop(mode)
    rows = list(rounds["halvorn"][0])
    print(f"| operation (µs, median of {options.rounds}) | " + " | ".join(MODES)
          + " | pyfakefs / halvorn | tmpfs / halvorn |")
    print("|---" * (len(MODES) + 3) + "|")
    for row in rows:
        values = {mode: statistics.median(r[row] for r in rounds[mode]) for mode in MODES}
        print(f"| {row} | " + " | ".join(f"{values[m]:.1f}" for m in MODES)
              + f" | {values['pyfakefs'] / values['halvorn']:.1f}x"
              + f" | {values['tmpfs'] / values['halvorn']:.2f}x |")
    _print_fixtures(fixture_costs(options.tests))


def _print_fixtures(costs: dict[str, float]) -> None:
    print()
    print("| pytest fixture, added per test (µs) | " + " | ".join(costs) + " |")
    print("|---" * (len(costs) + 1) + "|")
    print("| per test | " + " | ".join(f"{value:.0f}" for value in costs.values()) + " |")


if __name__ == "__main__":
    main()
