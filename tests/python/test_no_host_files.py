"""The module never touches the host's file system.

A child interpreter imports everything first, then runs a workload of every
operation of every class between two marker lines on standard error, under
strace. Between the markers the only file or descriptor calls allowed are
the report lines of PyFileHandle.read on descriptor 1, the markers
themselves and anonymous memory mappings.

What the two strace classes hold, as strace 6.1 reports them on this
machine: %file is every call that takes a file name (openat, newfstatat,
readlink, access, ...); %desc every call that takes a descriptor (read,
write, close, lseek, ioctl, fcntl, select, poll, ...) and mmap, which takes
a descriptor argument even for an anonymous mapping (fd -1). getrandom,
futex, brk, munmap and mremap are in neither class, so seeding the hash
tables and plain memory traffic do not show, while any descriptor the
module opened or used would.
"""

import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import halvorn

BEGIN = "halvorn-workload-begin"
END = "halvorn-workload-end"

# Nothing that halvorn owns is touched before the begin marker: the first
# file system, the first terminal (which builds the command table) and the
# random seed of the hash tables all fall inside the traced workload.
WORKLOAD = textwrap.dedent(
    f"""
    import gc
    import os

    import halvorn
    from halvorn import PyFs, PyFileHandle, PyTerm, Whence


    def fails(call, *args, **kwargs):
        try:
            call(*args, **kwargs)
        except (ValueError, TypeError, OverflowError, UnicodeEncodeError):
            return True
        raise AssertionError(call)


    def throw(error):
        raise error


    # Warm the interpreter's own paths that the workload takes: raising and
    # catching each kind of exception, formatting, and the collector.
    for error in (ValueError, TypeError, OverflowError):
        fails(throw, error("warm"))
    fails(lambda: "\\ud800".encode())
    str(1), repr(b""), gc.collect()

    os.write(2, b"{BEGIN}\\n")

    fs = PyFs()
    str(fs)
    fs.mkdir("/docs")
    fs.mkdir("docs\\\\sub")
    fs.touch("/docs/notes")
    fails(fs.mkdir, "/docs")
    fails(fs.touch, "/missing/f")
    fails(fs.mkdir, "/docs/notes/x")
    fails(fs.mkdir, "/\\ud800")
    fails(fs.touch, 1)

    reads = 0
    handles = []
    for mode in ["", "r", "w", "rw", "wr"]:
        handle = fs.open("/docs/" + (mode or "none"), mode)
        handles.append(handle)
        str(handle)
        handle.id()
        handle.tell()
        handle.seek(0, Whence.SEEK_END)
        handle.seek(2**64 - 1, Whence.SEEK_CUR)
        handle.seek(1, Whence.SEEK_SET)
        if "w" in mode:
            handle.write(b"hello")
            handle.write(b"x" * (1 << 20))  # a large buffer, beyond small allocations
        else:
            fails(handle.write, b"no")
        if "r" in mode:
            handle.read(3)
            handle.read(2**64 - 1)
            reads += 2
        else:
            fails(handle.read, 1)
        fails(handle.read, -1)
        fails(handle.read, 2**64)
        fails(handle.write, bytearray(b"x"))
        fails(handle.seek, 0, 0)
        fails(handle.seek, -1, Whence.SEEK_SET)
        handle.close()
        fails(handle.close)
        fails(handle.tell)
        fails(handle.id)
        str(handle)
    fails(fs.open, "/docs", "r")
    fails(fs.open, "/docs/x", "rr")
    fails(fs.open, "/docs/x", "\\ud800")
    writer = fs.open("/docs/w", "w")
    fails(fs.open, "/docs/w", "r")
    fails(fs.remove, "/docs/w", False)
    del writer  # dropped open: the lock goes with it
    gc.collect()

    fs.listdir("/")
    fs.listdir("/docs")
    fails(fs.listdir, "/docs/notes")
    fs.tree("/")
    fs.tree("/docs", "> ")
    fails(fs.tree, "/nope")
    fails(fs.tree, "/", b"x")

    term = PyTerm(fs)
    lines = [
        "help", "pwd", "ls", "ls docs", "cd docs", "pwd", "cat notes", "cat rw",
        "mkdir made", "touch made/f", "cd made", "ls", "cd ..", "cd /", "",
        "   ", "# comment", "mkdir 'a b' \\"c\\" d\\\\ e",
    ]
    for line in lines:
        term.exec(line)
    for line in [
        "cd", "cd nowhere", "cd docs/notes", "ls nothere", "ls docs/notes", "cat",
        "cat docs", "mkdir", "mkdir docs", "touch", "touch missing/f",
        "foo", "ls 'unterminated", "ls \\\\",
    ]:
        fails(term.exec, line)
    fails(term.exec, "ls \\ud800")
    fails(term.exec, b"ls")

    repr(Whence.SEEK_CUR), int(Whence.SEEK_END), Whence.SEEK_SET == 0, Whence.SEEK_SET != 2
    fails(hash, Whence.SEEK_SET)
    fails(PyFileHandle)
    fails(Whence)
    fails(PyTerm, None)

    fs.remove("/docs/notes", False)
    fails(fs.remove, "/docs", False)
    fails(fs.remove, "/nope", True)
    fails(fs.remove, "/docs", 1)
    kept = fs.open("/docs/kept", "rw")
    del fs  # the handle and the terminal outlive their PyFs
    kept.write(b"still")
    kept.read(5)
    reads += 1
    kept.close()
    term.exec("cd docs")
    term.exec("cat kept")
    del kept, term, handles
    gc.collect()

    os.write(2, b"{END}\\n")
    print(reads, flush=True)
    """
)

# Lines of the trace between the markers that are allowed: the report of a
# read, the markers, and anonymous mappings, which are memory and no file.
# strace pads short calls with blanks before the " = ".
ALLOWED = [
    re.compile(r'write\(1, "Read \d+ bytes from file\\n", \d+\)\s+= \d+'),
    re.compile(rf'write\(2, "({BEGIN}|{END})\\n", \d+\)\s+= \d+'),
    re.compile(
        r"mmap\([^,]+, \d+, [A-Z_|]+, [A-Z_|]*MAP_ANONYMOUS[A-Z_|]*, -1, 0\)\s+= 0x[0-9a-f]+"
    ),
]

# "1234  write(1, ...) = 23" or the tail of a call that another thread's
# call interrupted, "1234  <... write resumed>...".
CALL = re.compile(r"^\d+\s+(?:<\.\.\. (?P<resumed>\w+) resumed>.*|(?P<call>(?P<name>\w+)\(.*))$")


def traced_calls(trace):
    """The system calls of the trace, in order, as (name, text) pairs;
    signals and exits are left out."""
    calls = []
    for line in trace.splitlines():
        match = CALL.match(line)
        if match is None:
            continue  # "--- SIGCHLD ... ---", "+++ exited with 0 +++"
        if match["resumed"]:
            calls.append((match["resumed"], line))
        else:
            calls.append((match["name"], match["call"]))
    return calls


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="a preloaded sanitizer runtime makes descriptor calls of its own (UBSan probes "
    "memory through a pipe); the ordinary run of the suite checks the module",
)
def test_the_workload_makes_no_file_or_descriptor_calls(tmp_path):
    trace_file = tmp_path / "trace"
    env = dict(os.environ)
    module_dir = os.path.dirname(halvorn.__file__)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    done = subprocess.run(
        ["strace", "-f", "-s", "256", "-e", "trace=%file,%desc", "-o", str(trace_file)]
        + [sys.executable, "-c", WORKLOAD],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    reads = int(done.stdout.splitlines()[-1])

    calls = traced_calls(trace_file.read_text())
    texts = [text for _, text in calls]
    begin = next(i for i, text in enumerate(texts) if BEGIN in text and text.startswith("write(2,"))
    end = next(i for i, text in enumerate(texts) if END in text and text.startswith("write(2,"))
    # The trace does see file calls: the imports before the workload open
    # files, the extension module among them.
    assert any(name == "openat" and "halvorn" in text for name, text in calls[:begin])

    window = calls[begin : end + 1]
    unexpected = [text for _, text in window if not any(p.fullmatch(text) for p in ALLOWED)]
    assert unexpected == []
    reports = [text for name, text in window if name == "write" and text.startswith("write(1,")]
    assert len(reports) == reads
