"""halvornsh beside bashkit (in-process, from PyPI) and `bash -c` (a process):
microseconds per script from Python, one interleaved run.

    python3 -m pip install . bashkit && python3 bench/shell.py

On a free-threaded interpreter (3.13t) it also runs 1, 2 and 4 shells on one
tree from threads and reports the throughput of each.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import tempfile
import threading
import time

from halvornsh import Shell

SETUP = """mkdir -p /b && cd /b && for ((i=1; i<=200; i++)); do echo line $i x; done > f
for ((i=1; i<=1000; i++)); do echo "line $i TODO x"; done > big
for ((i=1; i<=10000; i++)); do echo "w$((i % 37))"; done > words
for ((d=0; d<10; d++)); do mkdir -p t/d$d
  for ((i=0; i<100; i++)); do echo "def f$i(): pass  # TODO $i" > t/d$d/m$i.py; done
done
"""
# (label, script, runs per interpreter round)
ROWS = [
    ("echo hi", "echo hi", 1000),
    ("echo hi | wc -c", "echo hi | wc -c", 1000),
    ("cat f | grep x | wc -l", "cat f | grep x | wc -l", 1000),
    ("for loop, 100 iterations", "for ((i=0; i<100; i++)); do x=$i; done", 50),
    ("function, 1000 calls", "f() { :; }; for ((i=0; i<1000; i++)); do f; done", 50),
    ("sed -i, 1,000 lines", "sed -i 's/TODO/DONE/;s/DONE/TODO/' big", 50),
    ("grep -rn, 1,000 files", "grep -rn 'TODO 7' t", 50),
    ("find -name, 1,000 files", "find t -name 'm1*.py'", 50),
    ("sort | uniq -c, 10,000 lines", "sort words | uniq -c", 50),
]


def timed(call, repeat):
    start = time.perf_counter()
    for _ in range(repeat):
        call()
    return (time.perf_counter() - start) / repeat * 1e6


def main() -> None:
    shell = Shell()
    shell.run(SETUP)
    try:
        import bashkit
    except ImportError:
        bashkit = None

    def fresh_kit():
        # bashkit caps a session at 1,000 exec() calls: a new one per round.
        kit = bashkit.Bash()
        kit.execute_sync(SETUP)
        return kit
    tmp = tempfile.mkdtemp()
    subprocess.run(["bash", "-c", SETUP.replace("/b", tmp + "/b")], check=True)
    bash = shutil.which("bash")

    print(f"| script | halvornsh µs | bashkit µs | bash -c µs | vs bashkit |")
    print("| --- | ---: | ---: | ---: | ---: |")
    for label, script, repeat in ROWS:
        ours = kits = procs = 0.0
        # Interleaved: a round of each, several times, best of the rounds.
        rounds = 5
        best = [float("inf")] * 3
        for _ in range(rounds):
            best[0] = min(best[0], timed(lambda: shell.run(script), repeat // rounds))
            if bashkit is not None and best[1] is not None:
                try:
                    kit = fresh_kit()
                    assert kit.execute_sync(script).exit_code == 0
                    best[1] = min(best[1], timed(lambda: kit.execute_sync(script), repeat // rounds))
                except Exception:  # a command or limit bashkit lacks: no figure
                    best[1] = None
            best[2] = min(best[2], timed(
                lambda: subprocess.run([bash, "-c", script], cwd=tmp + "/b", capture_output=True),
                max(1, repeat // rounds // 20)))
        ours, kits, procs = best
        ratio = f"{kits / ours:.1f}x" if kits is not None and bashkit is not None else "-"
        kit_text = f"{kits:.1f}" if kits is not None and bashkit is not None else "-"
        print(f"| {label} | {ours:.1f} | {kit_text} | {procs:.0f} | {ratio} |")

    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"\nthreads (GIL {'on' if gil else 'off'}): scripts per second on one tree")
    fs = shell.fs
    base = None
    for n in (1, 2, 4):
        shells = [Shell(fs) for _ in range(n)]
        for s in shells:
            s.run("cd / && mkdir -p /b")
        count = 300

        def work(s):
            for _ in range(count):
                s.run("x=0; for i in 1 2 3 4 5 6 7 8 9 10; do x=$((x+i)); done; echo $x > /b/t_$RANDOM")

        threads = [threading.Thread(target=work, args=(s,)) for s in shells]
        start = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        rate = n * count / (time.perf_counter() - start)
        base = base or rate
        print(f"  {n} shell(s): {rate:8.0f}/s  ({rate / base:.2f}x)")


if __name__ == "__main__":
    main()
