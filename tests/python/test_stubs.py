"""The stub-only package against the module it describes, and against code
that uses the module right and wrong."""

import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import halvorn

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def stub_env(tmp_path_factory):
    """An environment whose type checker takes this tree's stubs and whose
    interpreter imports the same halvorn build as this test session."""
    stubs = tmp_path_factory.mktemp("stubs")
    shutil.copy(ROOT / "halvorn-stubs" / "__init__.pyi", stubs / "halvorn.pyi")
    env = dict(os.environ)
    env["MYPYPATH"] = str(stubs)
    paths = [os.path.dirname(halvorn.__file__), env.get("PYTHONPATH")]
    env["PYTHONPATH"] = os.pathsep.join(filter(None, paths))
    env["MYPY_CACHE_DIR"] = str(stubs / ".mypy_cache")
    return env


def run(env, *args):
    return subprocess.run(
        [sys.executable, "-m", *args], env=env, capture_output=True, text=True, timeout=300
    )


def test_stubs_match_the_module(stub_env):
    result = run(stub_env, "mypy.stubtest", "halvorn")
    assert result.returncode == 0, result.stdout + result.stderr


def test_calls_are_checked(stub_env, tmp_path):
    # Every line marked "error" must be refused, and nothing else.
    source = textwrap.dedent(
        """\
        import os
        from pathlib import PurePosixPath
        from halvorn import PyFs, PyFileHandle, PyTerm, Whence

        fs = PyFs()
        files, dirs = fs.listdir("/")
        names: list[str] = files + dirs
        handle: PyFileHandle = fs.open("/a", "rw")
        count: int = handle.write(b"abc")
        data: bytes = handle.read(3)
        handle.seek(0, Whence.SEEK_END)
        position: int = handle.tell() + handle.id() + int(Whence.SEEK_CUR)
        fs.remove("/a", True)
        fs.remove(path="/a", recurse=False)
        outline: str = fs.tree("/") + fs.tree("/", None) + fs.tree("/", ident="  ")
        output: str = PyTerm(fs).exec("pwd")
        same: bool = Whence.SEEK_SET == 0
        with fs.open("/b", "wr") as inside:
            inside.write(b"x")
        done: bool = inside.closed
        limited = PyFs(max_bytes=1 << 20, max_nodes=None)
        room: int | None = limited.usage()["max_bytes"]
        used: int = limited.usage()["bytes"] + limited.usage()["nodes"]
        info: os.stat_result = fs.stat(PurePosixPath("/a"))
        there: bool = fs.exists("/a") and fs.open_existing("/a", "r").readinto(bytearray(2)) > 0
        fs.rename("/a", PurePosixPath("/c"))
        size: int = fs.open_new("/d", "w").truncate() + handle.truncate(3)
        handle.readinto(3)  # error
        fs.stat(b"/a")  # error
        fs.remove("/a")  # error
        handle.write("abc")  # error
        handle.seek(0, 0)  # error
        Whence.SEEK_SET < Whence.SEEK_END  # error
        PyTerm()  # error
        text: str = handle.read(1)  # error
        fs.open("/a", "rb")  # error
        handle.read()  # error
        inside.closed = True  # error
        PyFs(1 << 20)  # error
        PyFs(max_bytes="1M")  # error
        spare: int = limited.usage()["max_nodes"]  # error
        """
    )
    example = tmp_path / "example.py"
    example.write_text(source)
    result = run(stub_env, "mypy", "--strict", "--no-error-summary", str(example))
    refused = {int(n) for n in re.findall(r"example\.py:(\d+): error", result.stdout)}
    expected = {n for n, line in enumerate(source.splitlines(), 1) if line.endswith("# error")}
    assert refused == expected, result.stdout


def test_shell_and_examples_type_check(stub_env):
    files = [ROOT / "src" / "shell" / "halvorn_shell.py", *sorted((ROOT / "examples").glob("*.py"))]
    result = run(stub_env, "mypy", "--no-error-summary", *map(str, files))
    assert result.returncode == 0, result.stdout


def test_the_layer_type_checks_strictly(stub_env):
    pytest.importorskip("fsspec")
    result = run(stub_env, "mypy", "--strict", "--no-error-summary", str(ROOT / "src" / "halvornfs"))
    assert result.returncode == 0, result.stdout
