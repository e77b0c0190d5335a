"""One big file written and read back: halvorn's core and its fsspec class
(uncapped, and with max_bytes 10% above the data), fsspec's memory file
system, and the kernel's tmpfs (/dev/shm) through os.

    python3 -m pip install '.[fsspec]' && python3 bench/big_files.py
    python3 bench/big_files.py --halvorn-path build/before-lib   # another build

About 500 MB is written in 8 MiB pieces and in 4 KiB pieces, then read back
whole. Every case runs in a process of its own, so that its peak resident
memory is its own; the cases are interleaved, one round. Columns: the write
and read times on the clock, and the peak resident memory over the data
after the write and after the read (the read's result is a second copy of
the data). For tmpfs the memory is the growth of the kernel's shared memory
(Shmem in /proc/meminfo) over the data: the file is not in the process.

Options: --megabytes N, --only NAME[,NAME], --builds LABEL=DIR[,LABEL=DIR]
(halvorn's cases run once for each build, DIR put first on sys.path; an
empty DIR is the installed module), for example
    --builds before=build/before-lib,after=
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import time

# A case still running after this long is stopped: a file that is copied
# whole at every write near its cap takes hours in 4 KiB pieces.
TIMEOUT = 60
PIECES = {"8MiB": 8 << 20, "4KiB": 4 << 10}
CASES = [
    "halvorn-fsspec",
    "halvorn-fsspec-capped",
    "halvorn-core",
    "halvorn-core-capped",
    "fsspec-memory",
    "tmpfs",
]


def peak_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def shmem() -> int:
    with open("/proc/meminfo") as info:
        for line in info:
            if line.startswith("Shmem:"):
                return int(line.split()[1]) * 1024
    return 0


def run_case(case: str, piece_size: int, total: int) -> dict[str, float]:
    piece = os.urandom(piece_size)
    count = total // piece_size
    data = count * piece_size
    cap = int(data * 1.1) if case.endswith("-capped") else None
    # Imported before the baseline: fsspec's import alone is some 15 MB.
    if case.startswith("halvorn"):
        import halvorn  # noqa: F401
    if case.startswith("halvorn-fsspec"):
        import halvornfs

        _ = halvornfs.HalvornFileSystem  # the fsspec class imports fsspec when first used
    if case == "fsspec-memory":
        import fsspec  # noqa: F401
    base = peak_rss()
    base_shm = shmem()
    result: dict[str, float] = {}

    if case.startswith("halvorn"):
        import halvorn

        tree = halvorn.PyFs(max_bytes=cap)
        if case.startswith("halvorn-fsspec"):
            import halvornfs

            fs = halvornfs.HalvornFileSystem(fs=tree, skip_instance_cache=True)
            start = time.perf_counter()
            with fs.open("/big", "wb") as out:
                for _ in range(count):
                    out.write(piece)
            result["write"] = time.perf_counter() - start
            result["mem_write"] = (peak_rss() - base) / data
            start = time.perf_counter()
            back = fs.cat_file("/big")
        else:
            start = time.perf_counter()
            with tree.open("/big", "w") as out:
                for i in range(count):
                    out.pwrite(piece, i * piece_size)
            result["write"] = time.perf_counter() - start
            result["mem_write"] = (peak_rss() - base) / data
            start = time.perf_counter()
            with tree.open("/big", "r") as handle:
                back = handle.pread(data, 0)
    elif case == "fsspec-memory":
        import fsspec

        fs = fsspec.filesystem("memory", skip_instance_cache=True)
        start = time.perf_counter()
        with fs.open("/big", "wb") as out:
            for _ in range(count):
                out.write(piece)
        result["write"] = time.perf_counter() - start
        result["mem_write"] = (peak_rss() - base) / data
        start = time.perf_counter()
        back = fs.cat_file("/big")
    else:
        path = f"/dev/shm/halvorn-bench-{os.getpid()}"
        try:
            start = time.perf_counter()
            with open(path, "wb", buffering=0) as out:
                for _ in range(count):
                    out.write(piece)
            result["write"] = time.perf_counter() - start
            result["mem_write"] = (shmem() - base_shm) / data
            start = time.perf_counter()
            with open(path, "rb", buffering=0) as file:
                back = file.read()
        finally:
            os.unlink(path)
    result["read"] = time.perf_counter() - start
    if case == "tmpfs":
        result["mem_read"] = result["mem_write"] + (peak_rss() - base) / data
    else:
        result["mem_read"] = (peak_rss() - base) / data
    assert len(back) == data and back[:piece_size] == piece
    return result


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--megabytes", type=int, default=504)
    parser.add_argument("--only", default="")
    parser.add_argument("--builds", default="")
    parser.add_argument("--halvorn-path", default="", help=argparse.SUPPRESS)
    parser.add_argument("--case", help=argparse.SUPPRESS)
    parser.add_argument("--piece", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.halvorn_path:
        sys.path.insert(0, args.halvorn_path)
    total = args.megabytes * 1_000_000
    if args.case:
        print(json.dumps(run_case(args.case, args.piece, total)))
        return
    cases = [c for c in CASES if not args.only or c in args.only.split(",")]
    print(f"{args.megabytes} MB; write and read in seconds, peak memory over the data")
    print(f"{'case':28} {'piece':>5} {'write':>7} {'read':>7} {'mem(w)':>7} {'mem(r)':>7}")
    builds = [b.split("=", 1) for b in args.builds.split(",")] if args.builds else [["", ""]]
    for label, size in PIECES.items():
        for case in cases:
            for build, where in builds if case.startswith("halvorn") else [["", ""]]:
                name = f"{case} {build}".strip()
                command = [sys.executable, __file__, "--case", case, "--piece", str(size)]
                command += ["--megabytes", str(args.megabytes), "--halvorn-path", where]
                try:
                    out = subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT)
                except subprocess.TimeoutExpired:
                    print(f"{name:28} {label:>5} over {TIMEOUT} s, stopped", flush=True)
                    continue
                if out.returncode != 0:
                    print(f"{name:28} {label:>5} failed: {out.stderr.strip().splitlines()[-1:]}")
                    continue
                r = json.loads(out.stdout)
                print(
                    f"{name:28} {label:>5} {r['write']:7.2f} {r['read']:7.2f} "
                    f"{r['mem_write']:6.2f}x {r['mem_read']:6.2f}x",
                    flush=True,
                )


if __name__ == "__main__":
    main()
