"""The report line of `read` in hosts that capture standard output through a
pipe drained by one of their own threads: the write must not wait for that
thread while keeping it out, nor give up on a pipe set non-blocking that is
full for the moment. Each host runs in a process of its own, under a
deadline, since a fault here is a hang."""

import os
import time

import pytest

import halvorn

LINE = "Read 1 bytes from file\n"

# Seek back and read one byte, `reads` times: the cell of the notebook test,
# and the loop of the pipe test.
READ_LOOP = """
import halvorn
fs = halvorn.PyFs()
writer = fs.open("/f", "w")
writer.write(b"x")
writer.close()
handle = fs.open("/f", "r")
for _ in range({reads}):
    handle.seek(0, halvorn.Whence.SEEK_SET)
    handle.read(1)
"""


# Descriptor 1 becomes a pipe that a thread of this process drains, as a
# notebook kernel does; the drained text goes to standard error at the end.
DRAINED = """
import os, threading
reader, writer = os.pipe()
os.dup2(writer, 1)
os.close(writer)
chunks = []
def drain():
    while chunk := os.read(reader, 1 << 16):
        chunks.append(chunk)
drainer = threading.Thread(target=drain)
drainer.start()
{body}
os.close(1)  # the drain's end of file
drainer.join()
os.write(2, b"".join(chunks))
"""


def test_a_pipe_drained_by_a_thread_of_the_same_process(run_python):
    reads = 200_000
    done = run_python(DRAINED.format(body=READ_LOOP.format(reads=reads)))
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stderr == LINE * reads


# Descriptor 1 becomes a non-blocking pipe, filled to the brim before a read;
# the pipe is drained only once the read has had time to find it full. The
# report line must wait for room rather than be lost. The drained text, less
# the filling, goes to standard error at the end.
FULL_NON_BLOCKING = """
import os, threading
import halvorn
reader, writer = os.pipe()
os.dup2(writer, 1)
os.close(writer)
os.set_blocking(1, False)
filled = 0
for size in (1 << 16, 1):
    try:
        while True:
            filled += os.write(1, b"." * size)
    except BlockingIOError:
        pass
fs = halvorn.PyFs()
handle = fs.open("/f", "rw")
handle.write(b"x")
reading = threading.Thread(target=handle.read, args=(1,))
reading.start()
reading.join(0.5)
chunks = []
def drain():
    while chunk := os.read(reader, 1 << 16):
        chunks.append(chunk)
drainer = threading.Thread(target=drain)
drainer.start()
reading.join()
os.close(1)  # the drain's end of file
drainer.join()
os.write(2, b"".join(chunks)[filled:])
"""


def test_a_full_non_blocking_pipe_is_waited_for(run_python):
    done = run_python(FULL_NON_BLOCKING)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stderr == LINE


def kernel_environment():
    """This process's environment, less the variable by which the kernel
    tells that it runs under pytest and then leaves descriptor 1 alone."""
    env = {k: v for k, v in os.environ.items() if k != "PYTEST_CURRENT_TEST"}
    module_dir = os.path.dirname(halvorn.__file__)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    return env


def run_cell(client, code, seconds):
    """Runs `code` in the kernel; returns (the reply's status, the text of
    its stdout stream), failing if the cell is not done within `seconds`."""
    request = client.execute(code)
    deadline = time.monotonic() + seconds
    out = []
    while True:
        left = deadline - time.monotonic()
        assert left > 0, f"the cell is not done after {seconds} s"
        try:
            message = client.get_iopub_msg(timeout=left)
        except Exception:  # queue.Empty: the deadline passed without a message
            continue
        if message["parent_header"].get("msg_id") != request:
            continue
        kind, content = message["msg_type"], message["content"]
        if kind == "stream" and content["name"] == "stdout":
            out.append(content["text"])
        elif kind == "status" and content["execution_state"] == "idle":
            break
    reply = client.get_shell_msg(timeout=max(1.0, deadline - time.monotonic()))
    return reply["content"]["status"], "".join(out)


def test_a_notebook_cell_of_many_reads_finishes():
    manager = pytest.importorskip("jupyter_client.manager")
    pytest.importorskip("ipykernel")
    kernel, client = manager.start_new_kernel(kernel_name="python3", env=kernel_environment())
    try:
        status, out = run_cell(client, READ_LOOP.format(reads=50_000), seconds=120)
    finally:
        client.stop_channels()
        kernel.shutdown_kernel(now=True)
    assert status == "ok"
    # Compared by count, not as text, so that a failure does not print 50,000 lines.
    assert (out.count(LINE), len(out)) == (50_000, len(LINE) * 50_000)
