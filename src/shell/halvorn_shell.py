"""halvorn-shell: a command line on a fresh in-memory halvorn file system.

Every line read is handed to one halvorn.PyTerm and its output printed; the
terminal's commands are cd, ls, pwd, cat, mkdir, touch and help. A failing
command prints its error on standard error and the session goes on. The file
system lives only as long as the session.

On a terminal the session is interactive: the prompt shows the current
directory, Ctrl-C abandons the line being typed, and Ctrl-D or a line that is
exactly "exit" ends it. Otherwise standard input is run as a script, line by
line and without prompts, until its end or an "exit" line; the exit status
is then 1 if any line failed and 0 if none did.
"""

import argparse
import os
import sys
from typing import Iterable, Optional, Sequence

from halvorn import PyFs, PyTerm


def run_line(term: PyTerm, line: str) -> bool:
    """Runs one line; prints its output or its error. True if it succeeded."""
    try:
        output = term.exec(line)
    except ValueError as error:
        # Keep the two streams in order when they go to the same place.
        sys.stdout.flush()
        print(error, file=sys.stderr, flush=True)
        return False
    if output:
        sys.stdout.write(output if output.endswith("\n") else output + "\n")
    return True


def run_script(term: PyTerm, lines: Iterable[str]) -> int:
    failed = False
    for line in lines:
        line = line.removesuffix("\n")
        if line == "exit":
            break
        failed |= not run_line(term, line)
    return 1 if failed else 0


def prompt(term: PyTerm) -> str:
    try:
        cwd = term.exec("pwd")
    except ValueError:
        # Only when the current directory has gone; the session still works.
        cwd = "?"
    return f"halvorn:{cwd}$ "


def run_interactive(term: PyTerm) -> int:
    try:
        import readline  # noqa: F401  (gives input() line editing and history)
    except ImportError:
        pass
    while True:
        try:
            line = input(prompt(term))
            if line == "exit":
                return 0
            run_line(term, line)
        except EOFError:
            print()
            return 0
        except KeyboardInterrupt:
            print()


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="halvorn-shell",
        description=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.parse_args(argv)

    # File names are UTF-8 text: bytes that are not must not end the session.
    for stream, errors in ((sys.stdin, "replace"), (sys.stdout, "backslashreplace"),
                           (sys.stderr, "backslashreplace")):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors=errors)

    term = PyTerm(PyFs())
    try:
        if sys.stdin is not None and sys.stdin.isatty():
            status = run_interactive(term)
        else:
            status = run_script(term, sys.stdin or ())
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # Whoever read our output has gone: let the interpreter's final flush
        # write into the void instead of failing again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
