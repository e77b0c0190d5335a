#!/usr/bin/env python3
"""Measures halvornsh against the public shell conformance corpus in
../shared/oils-spec (never copied into this repository).

    python3 tools/oils_corpus.py [--corpus DIR] [--tier A|B|all] [-v] [FILE...]

Each case runs twice: in real bash (the helper programs of the corpus's bin/
on PATH, run by python3) and in a fresh halvornsh.Shell (the helpers as
shell functions defined before the case). A case counts for bash when bash
gives the expected stdout and status (bash's own OK/BUG/N-I variant where
the corpus names one); the shell's score is over those cases. Prints one
line per file and the totals per tier.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

TIER_A = (
    "quote word-split word-eval var-sub var-sub-quote var-op-test var-op-strip var-op-len "
    "var-num tilde glob redirect redirect-multi redirect-command pipeline here-doc command-sub "
    "assign loop if_ case_ builtin-echo builtin-printf builtin-bracket builtin-cd exit-status "
    "errexit sh-func func-parsing shell-grammar command-parsing comments whitespace smoke posix "
    "empty-bodies subshell parse-errors command_"
).split()
TIER_B = (
    "var-op-patsub var-op-slice var-op-bash brace-expansion glob-bash append dbracket dparen "
    "arith arith-context builtin-read builtin-set builtin-eval-source builtin-vars vars-special "
    "array array-basic array-assoc array-literal array-sparse alias temp-binding builtin-meta "
    "builtin-misc builtin-special builtin-type"
).split()

# The corpus's helper programs, for the shell: functions written in its own
# language. argv.py prints its arguments as Python 2 printed a list of str.
PRELUDE = r"""
argv.py() {
  local out= sep= a q r c code
  for a in "$@"; do
    if [[ $a == *"'"* && $a != *'"'* ]]; then q='"'; else q="'"; fi
    r=
    while [ -n "$a" ]; do
      c=${a:0:1}; a=${a:1}
      printf -v code '%d' "'$c"
      if [ "$code" -lt 0 ]; then code=$((code + 256)); fi
      case $c in
        "\\") r+='\\' ;;
        "$q") r+="\\$q" ;;
        $'\n') r+='\n' ;;
        $'\t') r+='\t' ;;
        $'\r') r+='\r' ;;
        *) if [ "$code" -lt 32 ] || [ "$code" -gt 126 ]; then printf -v c '\\x%02x' "$code"; fi
           r+=$c ;;
      esac
    done
    out+="$sep$q$r$q"; sep=', '
  done
  echo "[$out]"
}
printenv.py() {
  local n d
  for n in "$@"; do
    d=$(declare -p "$n" 2>/dev/null)
    if [[ $d == "declare -"*x*" "* ]]; then echo "${!n}"; else echo None; fi
  done
}
stdout_stderr.py() { echo "${1-STDOUT}"; echo "${2-STDERR}" >&2; return "${3-0}"; }
__sh() {
  local __opts=()
  while [ $# -gt 0 ]; do
    case $1 in
      -c) shift; local __s=$1; shift; [ $# -gt 0 ] && shift
          ( set "${__opts[@]}" -- "$@"; eval "$__s" ); return ;;
      -*) __opts+=("$1"); shift ;;
      *) local __f=$1; shift; ( set "${__opts[@]}" -- "$@"; source "$__f" ); return ;;
    esac
  done
  local __in; __in=$(while IFS= read -r __l || [ -n "$__l" ]; do echo "$__l"; done)
  ( set "${__opts[@]}" --; eval "$__in" )
}
SH=__sh
TMP=/tmp
REPO_ROOT=/
mkdir -p /tmp 2>/dev/null || true
"""


@dataclass
class Case:
    name: str
    script: str
    stdout: Optional[str] = None
    status: int = 0
    bash_stdout: Optional[str] = None
    bash_status: Optional[int] = None
    variants: List[Tuple[Optional[str], Optional[int]]] = field(default_factory=list)


META = re.compile(r"^## (?:(OK|BUG|N-I) ([\w/.-]+) )?(stdout|STDOUT|stdout-json|status|STDERR|stderr|stderr-json):\s?(.*)$")


def parse(path: str) -> List[Case]:
    cases: List[Case] = []
    lines = open(path, encoding="utf-8", errors="surrogateescape").read().split("\n")
    i = 0
    current: Optional[Case] = None
    body: List[str] = []
    while i < len(lines):
        line = lines[i]
        if line.startswith("#### "):
            if current is not None:
                current.script = "\n".join(body) + "\n"
                cases.append(current)
            current = Case(line[5:].strip(), "")
            body = []
            i += 1
            continue
        if current is None:
            i += 1
            continue
        m = META.match(line)
        if m:
            kind, shells, key, value = m.groups()
            text: Optional[str] = None
            status: Optional[int] = None
            if key == "STDOUT":
                block = []
                i += 1
                while i < len(lines) and lines[i] != "## END" and not lines[i].startswith("#### "):
                    block.append(lines[i])
                    i += 1
                text = "".join(b + "\n" for b in block)
            elif key == "stdout":
                text = value + "\n"
            elif key == "stdout-json":
                text = json.loads(value)
            elif key == "status":
                status = int(value)
            elif key == "STDERR":
                i += 1
                while i < len(lines) and lines[i] != "## END" and not lines[i].startswith("#### "):
                    i += 1
            if kind is None:
                if text is not None:
                    current.stdout = text
                if status is not None:
                    current.status = status
            elif "bash" in shells.split("/"):
                if text is not None:
                    current.bash_stdout = text
                if status is not None:
                    current.bash_status = status
            i += 1
            continue
        if line.startswith("## "):
            i += 1
            continue
        body.append(line)
        i += 1
    if current is not None:
        current.script = "\n".join(body) + "\n"
        cases.append(current)
    return cases


def expected(case: Case) -> Tuple[Optional[str], int]:
    out = case.bash_stdout if case.bash_stdout is not None else case.stdout
    status = case.bash_status if case.bash_status is not None else case.status
    return out, status


def helper_bin(corpus: str, into: str) -> str:
    """The helpers for real bash: python3 in place of the python2 they name."""
    os.makedirs(into, exist_ok=True)
    argv = "import os, sys\nprint('[' + ', '.join(repr(os.fsencode(a))[1:] for a in sys.argv[1:]) + ']')\n"
    scripts = {"argv.py": argv}
    for name in os.listdir(os.path.join(corpus, "bin")):
        if name not in scripts:
            src = open(os.path.join(corpus, "bin", name)).read()
            scripts[name] = src.replace("#!/usr/bin/env python2", "")
    for name, src in scripts.items():
        path = os.path.join(into, name)
        with open(path, "w") as f:
            f.write("#!/usr/bin/env python3\n" + src)
        os.chmod(path, 0o755)
    return into


def run_bash(script: str, bindir: str, tmp: str) -> Tuple[str, int]:
    env = {"PATH": f"{bindir}:/usr/bin:/bin", "LC_ALL": "C.UTF-8", "HOME": tmp, "SH": "bash",
           "TMP": tmp, "REPO_ROOT": tmp}
    try:
        done = subprocess.run(["bash", "--norc", "--noprofile", "-c", script], capture_output=True,
                              cwd=tmp, env=env, timeout=10, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return "<timeout>", -1
    return done.stdout.decode("utf-8", "surrogateescape"), done.returncode


def run_shell(script: str) -> Tuple[str, int]:
    from halvornsh import Shell

    shell = Shell(max_wall_ms=5000, env={"HOME": "/home"})
    shell.run("mkdir -p /home /tmp 2>/dev/null; " + PRELUDE)
    result = shell.run(script)
    return result.stdout.decode("utf-8", "surrogateescape"), result.status


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--corpus", default=os.path.join(here, "..", "..", "shared", "oils-spec"))
    parser.add_argument("--tier", default="all", choices=["A", "B", "all"])
    parser.add_argument("-v", "--verbose", action="store_true", help="show each failing case")
    parser.add_argument("files", nargs="*")
    args = parser.parse_args(argv)
    corpus = os.path.abspath(args.corpus)
    if not os.path.isdir(os.path.join(corpus, "spec")):
        corpus = "/work/shared/oils-spec"
    names = args.files or (TIER_A if args.tier == "A" else TIER_B if args.tier == "B" else TIER_A + TIER_B)
    totals: Dict[str, List[int]] = {"A": [0, 0, 0], "B": [0, 0, 0]}
    with tempfile.TemporaryDirectory() as work:
        bindir = helper_bin(corpus, os.path.join(work, "bin"))
        for name in names:
            tier = "A" if name in TIER_A else "B"
            cases = parse(os.path.join(corpus, "spec", name + ".test.sh"))
            bash_ok = ours_ok = 0
            for case in cases:
                out, status = expected(case)
                tmp = tempfile.mkdtemp(dir=work)
                b_out, b_status = run_bash(case.script, bindir, tmp)
                if (out is not None and b_out != out) or b_status != status:
                    continue
                bash_ok += 1
                o_out, o_status = run_shell(case.script)
                if o_out == b_out and o_status == b_status:
                    ours_ok += 1
                elif args.verbose:
                    print(f"  FAIL {name} :: {case.name}\n    want {b_out!r} {b_status}\n    got  {o_out!r} {o_status}")
            totals[tier][0] += len(cases)
            totals[tier][1] += bash_ok
            totals[tier][2] += ours_ok
            pct = 100.0 * ours_ok / bash_ok if bash_ok else 100.0
            print(f"{tier} {name:22s} cases {len(cases):4d}  bash passes {bash_ok:4d}  shell passes {ours_ok:4d}  {pct:5.1f}%", flush=True)
    for tier, (n, b, o) in totals.items():
        if n:
            print(f"tier {tier}: {n} cases, bash passes {b}, shell passes {o} ({100.0 * o / max(b, 1):.1f}%)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
