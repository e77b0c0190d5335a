"""halvorn-shell run as a script through a pipe, and once on a terminal."""

import os
import select
import shutil
import signal
import subprocess
import sys
import time
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path

import pytest

import halvorn

SHELL_SOURCE = Path(__file__).resolve().parents[2] / "src" / "shell"


def shell_env():
    # The shell of this tree, on the same halvorn build as this test session.
    env = dict(os.environ)
    paths = [str(SHELL_SOURCE), os.path.dirname(halvorn.__file__), env.get("PYTHONPATH")]
    env["PYTHONPATH"] = os.pathsep.join(filter(None, paths))
    return env


def run_shell(script, *args):
    """Runs `python -m halvorn_shell` with script (str or bytes) as its stdin."""
    return subprocess.run(
        [sys.executable, "-m", "halvorn_shell", *args],
        input=script.encode() if isinstance(script, str) else script,
        capture_output=True,
        env=shell_env(),
        timeout=60,
    )


class TestScript:
    def test_a_failing_line_is_reported_and_the_script_goes_on(self):
        result = run_shell("mkdir docs\ncd docs\ntouch notes.txt\nls\ncat missing\npwd\n")
        assert result.stdout == b"notes.txt\n/docs\n"
        assert result.stderr == b"missing: Inode not found\n"
        assert result.returncode == 1

    def test_a_clean_script_exits_0_and_prints_each_output_once_per_line(self):
        # Empty outputs print nothing, pwd's gets its line feed, ls's already
        # has one; blank and comment lines are fine; the last line needs no
        # line feed of its own.
        result = run_shell("\n# set up\nmkdir a\nmkdir b\nls\n  \npwd\ncd a\npwd")
        assert result.stdout == b"a/\nb/\n/\n/a\n"
        assert result.stderr == b""
        assert result.returncode == 0

    def test_empty_input_shows_no_prompt(self):
        result = run_shell("")
        assert (result.stdout, result.stderr, result.returncode) == (b"", b"", 0)

    @pytest.mark.parametrize(
        "script, stdout, status",
        [
            ("mkdir a\nexit\nfoo\n", b"", 0),
            ("foo\nexit\nls\n", b"", 1),  # a failure before exit still counts
            ("mkdir a\nexit \nls\n", b"a/\n", 1),  # only a bare exit leaves
        ],
    )
    def test_exit_stops_the_script(self, script, stdout, status):
        result = run_shell(script)
        assert result.stdout == stdout
        assert result.returncode == status

    def test_input_that_is_not_utf8_does_not_end_the_session(self):
        result = run_shell(b"mkdir a\xffb\nls\n")
        assert result.stdout.decode() == "a\ufffdb/\n"
        assert result.returncode == 0

    def test_help_option(self):
        result = run_shell("", "--help")
        assert result.returncode == 0
        assert result.stdout.startswith(b"usage: halvorn-shell")

    def test_limits_of_the_file_system(self):
        script = "mkdir abc\nmkdir abcd\ntouch abc/f\nls\n"
        result = run_shell(script, "--max-nodes", "2", "--max-name-length=3", "--max-bytes", "3")
        assert result.stdout == b"abc/\n"
        assert result.stderr == (
            b"mkdir: cannot create directory 'abcd': File name too long\n"
            b"touch: cannot create file 'abc/f': No nodes left on file system\n"
        )
        assert result.returncode == 1

    @pytest.mark.parametrize("value", ["0", "-1", "x", "1.5", str(2**64)])
    def test_a_limit_must_be_a_positive_integer(self, value):
        result = run_shell("", "--max-nodes", value)
        assert b"--max-nodes: expected a positive integer" in result.stderr
        assert result.returncode == 2

    @pytest.mark.parametrize("source", ["stdin", "-c", "file"])
    def test_a_script_from_each_source_with_crlf_line_ends(self, source, tmp_path):
        # The CR of a CRLF line end must not become part of a name ("a\r").
        script = "mkdir a\r\ncd a\r\ntouch f\rls\r\ncat nope\r\n"
        if source == "stdin":
            result = run_shell(script)
        elif source == "-c":
            result = run_shell("mkdir stdin-is-not-read\n", "-c", script)
        else:
            (tmp_path / "script").write_bytes(script.encode())
            result = run_shell("", str(tmp_path / "script"))
        assert (result.stdout, result.stderr) == (b"f\n", b"nope: Inode not found\n")
        assert result.returncode == 1

    def test_a_missing_script_file(self, tmp_path):
        result = run_shell("", str(tmp_path / "missing"))
        assert result.stderr.endswith(b"missing: No such file or directory\n")
        assert result.returncode == 2

    def test_version_option(self):
        try:
            expected = version("halvorn")
        except PackageNotFoundError:  # the module of a build folder, not installed
            expected = "unknown"
        result = run_shell("", "--version")
        assert result.stdout == f"halvorn-shell {expected}\n".encode()
        assert result.returncode == 0


def test_installed_console_script(tmp_path):
    # pip puts console scripts beside the interpreter, which may be off PATH
    # (behind shims, say).
    search = os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")])
    script = shutil.which("halvorn-shell", path=search)
    if script is None:
        pytest.skip("halvorn-shell is not installed")
    result = subprocess.run(
        [script], input=b"mkdir x\ncd x\npwd\n", capture_output=True, cwd=tmp_path, timeout=60
    )
    assert (result.stdout, result.returncode) == (b"/x\n", 0)


def test_interactive_session_on_a_terminal():
    pty = pytest.importorskip("pty")
    pid, fd = pty.fork()
    if pid == 0:  # the child: its stdin, stdout and stderr are the terminal
        try:
            # A session on a terminal starts with Ctrl-C at its default, also
            # when this run was started with it ignored (as a background job).
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            os.execve(sys.executable, [sys.executable, "-m", "halvorn_shell"], shell_env())
        finally:
            os._exit(127)

    seen = b""

    def wait_for(text, timeout):
        """True once text has come (what came up to it is dropped), False
        if it has not come within timeout seconds."""
        nonlocal seen
        deadline = time.monotonic() + timeout
        while text not in seen:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            if select.select([fd], [], [], left)[0]:
                try:
                    chunk = os.read(fd, 4096)
                except OSError:  # the child has gone and closed the terminal
                    chunk = b""
                assert chunk, f"never saw {text!r} in {seen!r}"
                seen += chunk
        seen = seen[seen.index(text) + len(text) :]
        return True

    def read_until(text, timeout=30):
        assert wait_for(text, timeout), f"never saw {text!r} in {seen!r}"

    try:
        read_until(b"halvorn:/$ ")
        os.write(fd, b"mkdir docs\n")
        read_until(b"halvorn:/$ ")
        os.write(fd, b"cd docs\n")
        read_until(b"halvorn:/docs$ ")
        # Ctrl-C drops the half-typed line: no "nonsense: command not found".
        # The interpreter only notices a signal that arrives while it waits
        # for a key; one that lands just before, while the shell is still
        # echoing, waits for the next key. A person would press Ctrl-C
        # again, and so does the test, however long the shell takes.
        os.write(fd, b"nonsense")
        read_until(b"nonsense")
        for _ in range(30):
            os.write(fd, b"\x03")
            if wait_for(b"halvorn:/docs$ ", timeout=1):
                break
        else:
            pytest.fail(f"Ctrl-C never brought the prompt back: {seen!r}")
        os.write(fd, b"cat nope\n")
        read_until(b"nope: Inode not found")
        read_until(b"halvorn:/docs$ ")
        os.write(fd, b"\x04")  # Ctrl-D on an empty line leaves
        _, status = os.waitpid(pid, 0)
    except BaseException:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        raise
    finally:
        os.close(fd)
    assert os.waitstatus_to_exitcode(status) == 0
