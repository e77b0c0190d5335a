"""halvornsh: run a script file, -c TEXT, or an interactive session on a
fresh in-memory tree."""

from __future__ import annotations

import argparse
import sys
from typing import List, Optional

from halvornsh._shell import LIMIT_NAMES, Shell


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="halvornsh", description=__doc__)
    parser.add_argument("-c", dest="command", help="run this script text")
    parser.add_argument("file", nargs="?", help="a script file from the host to run")
    for name in LIMIT_NAMES:
        parser.add_argument("--" + name.replace("_", "-"), dest=name, type=int)
    args = parser.parse_args(argv)
    limits = {n: getattr(args, n) for n in LIMIT_NAMES if getattr(args, n) is not None}
    shell = Shell(**limits)

    def show(script: str, stdin: bytes = b"") -> int:
        result = shell.run(script, stdin)
        sys.stdout.buffer.write(result.stdout)
        sys.stdout.buffer.flush()
        sys.stderr.buffer.write(result.stderr)
        sys.stderr.buffer.flush()
        return result.status

    if args.command is not None:
        stdin = b"" if sys.stdin.isatty() else sys.stdin.buffer.read()
        return show(args.command, stdin)
    if args.file is not None:
        with open(args.file, encoding="utf-8") as source:
            return show(source.read())
    status = 0
    while True:
        try:
            line = input("$ ")
        except EOFError:
            print()
            return status
        except KeyboardInterrupt:
            print()
            continue
        try:
            status = show(line)
        except KeyboardInterrupt:
            print("^C")
            status = 130


if __name__ == "__main__":
    sys.exit(main())
