from __future__ import annotations

import threading
from dataclasses import dataclass
from typing import Mapping, Optional, Union

import halvorn

# Every limit a host may set, each per run and each finite; the defaults
# live in the C++ core (src/agentsh/limits.hpp).
LIMIT_NAMES = (
    "max_commands",
    "max_loop_iterations",
    "max_call_depth",
    "max_subst_depth",
    "max_wall_ms",
    "max_output_bytes",
    "max_string_bytes",
    "max_script_bytes",
    "max_heredoc_bytes",
    "max_expansion_words",
)


class ShellBusyError(RuntimeError):
    """A second run was started on a shell that is running one."""


@dataclass(frozen=True)
class Result:
    stdout: bytes
    stderr: bytes
    status: int


class Shell:
    """One shell session on a tree: state (cwd, variables, functions,
    options) persists between runs, like lines typed into one bash."""

    def __init__(
        self,
        fs: Optional[halvorn.PyFs] = None,
        *,
        cwd: str = "/",
        env: Optional[Mapping[str, str]] = None,
        **limits: int,
    ) -> None:
        unknown = sorted(set(limits) - set(LIMIT_NAMES))
        if unknown:
            raise TypeError(f"unknown limit(s): {', '.join(unknown)}")
        for name, value in limits.items():
            if not isinstance(value, int) or isinstance(value, bool) or value <= 0:
                raise ValueError(f"{name} must be a positive int, not {value!r}")
        if not cwd.startswith("/"):
            raise ValueError("cwd must be an absolute path")
        self.fs = fs if fs is not None else halvorn.PyFs()
        pairs = [(str(k), str(v)) for k, v in (env or {}).items()]
        self._shell = halvorn._Shell(self.fs, cwd, pairs, dict(limits))
        self._lock = threading.Lock()

    def run(self, script: Union[str, bytes], stdin: bytes = b"") -> Result:
        """Runs `script`; returns its stdout, stderr and bash's `$?`."""
        if isinstance(script, str):
            script = script.encode("utf-8", "surrogateescape")
        if not isinstance(stdin, (bytes, bytearray, memoryview)):
            raise TypeError("stdin must be bytes")
        if not self._lock.acquire(blocking=False):
            raise ShellBusyError("this shell is already running a script")
        try:
            out, err, status = self._shell.run(bytes(script), bytes(stdin))
        except RuntimeError as error:
            raise ShellBusyError(str(error)) from None
        finally:
            self._lock.release()
        return Result(out, err, status)

    def cancel(self) -> None:
        """Ends the run in progress (from another thread) at its next command."""
        self._shell.cancel()

    def reset(self) -> None:
        """Returns the shell to the state it started with (the tree is kept)."""
        with self._lock:
            self._shell.reset()
