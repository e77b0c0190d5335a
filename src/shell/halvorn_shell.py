"""halvorn-shell: a command line on a fresh in-memory halvorn file system.

Every line read is handed to one halvorn.PyTerm and its output printed; the
terminal's commands are cd, ls, pwd, cat, mkdir, touch and help. A failing
command prints its error on standard error and the session goes on. The file
system lives only as long as the session.

With -c LINES the given text is run as a script, with FILE the lines of that
file. Without either, on a terminal the session is interactive: the prompt
shows the current directory, Ctrl-C abandons the line being typed, and Ctrl-D
or a line that is exactly "exit" ends it; otherwise standard input is run as
a script. A script runs line by line and without prompts, until its end or an
"exit" line; the exit status is then 1 if any line failed and 0 if none did.
Script lines may end in LF, CRLF or CR. A FILE that cannot be read, like a
wrong option, ends the shell with status 2.

--max-bytes, --max-nodes and --max-name-length limit the file system, each to
a positive number: the bytes of all files' contents, the directories and
files with the root, and the bytes of one name. A command that would pass a
limit fails with its error, as any failing command does.
"""

import argparse
import io
import os
import sys
from importlib import metadata
from typing import Iterable, Optional, Sequence, TextIO

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


def version() -> str:
    try:
        return metadata.version("halvorn")
    except metadata.PackageNotFoundError:  # run from a source tree
        return "unknown"


def limit(text: str) -> int:
    """A limit as the command line gives it: a positive integer below 2**64."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 0 < value < 2**64:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="halvorn-shell",
        description=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    source = parser.add_mutually_exclusive_group()
    source.add_argument("-c", metavar="LINES", dest="lines", help="run LINES as a script")
    source.add_argument("file", nargs="?", metavar="FILE", help="run the script in FILE")
    for name, what in [
        ("bytes", "the bytes of all files' contents"),
        ("nodes", "the directories and files, the root included"),
        ("name-length", "the bytes of one name"),
    ]:
        parser.add_argument(f"--max-{name}", type=limit, metavar="N", help=f"limit {what} to N")
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    return parser.parse_args(argv)


def open_script(arguments: argparse.Namespace) -> Optional[TextIO]:
    """The script to run, or None for standard input on a terminal.

    Every script is read with universal newlines, so that a script saved with
    CRLF line ends does not put a CR at the end of each command; file names
    are UTF-8 text, and bytes that are not must not end the session.
    """
    if arguments.lines is not None:
        return io.StringIO(arguments.lines, newline=None)
    if arguments.file is not None:
        return open(arguments.file, encoding="utf-8", errors="replace", newline=None)
    if sys.stdin is None:
        return io.StringIO()
    interactive = sys.stdin.isatty()
    if hasattr(sys.stdin, "reconfigure"):
        # A typed line is left as the terminal gives it; a piped script gets
        # universal newlines as the others do.
        sys.stdin.reconfigure(errors="replace", newline="\n" if interactive else None)
    return None if interactive else sys.stdin


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parse_arguments(argv)
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    try:
        script = open_script(arguments)
    except OSError as error:
        print(f"halvorn-shell: {arguments.file}: {error.strerror}", file=sys.stderr)
        return 2

    fs = PyFs(
        max_bytes=arguments.max_bytes,
        max_nodes=arguments.max_nodes,
        max_name_length=arguments.max_name_length,
    )
    term = PyTerm(fs)
    try:
        status = run_interactive(term) if script is None else run_script(term, script)
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
