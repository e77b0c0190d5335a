"""The agent shell against real bash: each case runs in both (bash in a
temporary directory, the shell on a fresh tree) and must give the same
stdout, the same status, and stderr empty in one exactly when in the other.
Cases use builtins only, plus files the script makes itself."""

import os
import shutil
import signal
import subprocess
import threading
import time
import warnings

import pytest

from halvornsh import Shell, ShellBusyError

BASH = shutil.which("bash")
pytestmark = pytest.mark.skipif(BASH is None, reason="bash is not installed")


def bash(script, tmp_path, stdin=b""):
    env = {"PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8", "HOME": str(tmp_path)}
    done = subprocess.run(
        [BASH, "--norc", "--noprofile", "-c", script],
        input=stdin,
        capture_output=True,
        cwd=tmp_path,
        env=env,
        timeout=20,
    )
    return done.stdout, done.returncode, done.stderr


def check(script, tmp_path, stdin=b""):
    want_out, want_status, want_err = bash(script, tmp_path, stdin)
    got = Shell().run(script, stdin)
    assert (got.stdout, got.status) == (want_out, want_status), got.stderr
    assert bool(got.stderr) == bool(want_err), (got.stderr, want_err)


QUOTING = [
    "echo 'single $x' \"double $HOME_UNSET\" plain\\ space",
    "echo \"a\\\"b\" 'it'\\''s' \"\\$x \\\\ \\`\"",
    "echo $'tab\\there\\nline' $'\\x41\\101'",
    "x='a  b'; echo $x; echo \"$x\"",
    "echo \"\" '' x; set -- \"\" ''; echo $#",
    "echo a\\\nb",
    "echo '#not' # comment",
    "echo {a,b}{1,2} {1..3} {5..1..2} {a..c} x{,y}z {01..03}",
    "echo {} {x} a{b}c '{a,b}'",
]

PARAMETERS = [
    "x=hello; echo ${x} ${#x} ${x:1} ${x:1:3} ${x: -2} ${x:0:-1}",
    "unset u; echo ${u:-def} ${u-def} ${u:+alt} [${u}]; e=; echo ${e:-d} ${e-d} ${e:+a}",
    "echo ${u:=set}; echo $u",
    "p=/a/b/c.tar.gz; echo ${p#*/} ${p##*/} ${p%.*} ${p%%.*}",
    "s=aXbXc; echo ${s/X/-} ${s//X/-} ${s/#a/A} ${s/%c/C} ${s//[ab]/}",
    "s=hello; echo ${s^} ${s^^} ${s,,} X${s/l/&&}",
    "set -- a 'b c' d; echo $# $1 $2; for a in \"$@\"; do echo \"[$a]\"; done",
    "set -- a 'b c' d; for a in $*; do echo \"[$a]\"; done; echo \"$*\"",
    "set -- a b c d; shift 2; echo $@ $#",
    "f() { echo $# \"$1\"; }; f; f ''; f a b",
    "IFS=:; x=a:b::c; for w in $x; do echo \"<$w>\"; done",
    "x='  lead trail  '; echo [$x]; IFS=; echo [$x]",
    "n=name; name=value; echo ${!n}",
    "echo ${u:?oops}; echo not reached",
    "set -u; echo $unset_var; echo not reached",
    "echo $((1+2*3)) $((7/2)) $((7%3)) $((2**10)) $((1<<4)) $((-5/2))",
    "i=0; echo $((i++)) $((++i)) $i; ((i+=5)); echo $i",
    "echo $((0x10 + 010 + 2#101)) $((3>2 && 1)) $((5?6:7)) $(( (1,2) ))",
    "x=3; y=x; echo $((y*2)) $((x==3 ? 10 : 20))",
    "(( 0 )); echo $?; (( 5 )); echo $?",
    "echo $((1/0)); echo after",
    "echo $(echo a $(echo b)) `echo c`",
    "x=$(printf 'a\\n\\n\\n'); echo \"[$x]\"",
    "echo $(exit 3); echo $?; y=$(false); echo $?",
    "echo $(case 5 in [0-9]) echo digit;; *) echo other;; esac)",
    "v='a b *'; declare d=$v; export e=$v; f() { local l=$v; echo \"$l\"; }; f; echo \"$d|$e\"",
    "declare q='$HOME' n=1; export r='$PWD'; declare -a a=(\"$q\" 'x y'); echo \"$q $r ${a[1]}\" ${#a[@]}",
    "f() { for a; do echo \"<$a>\"; done; }; f ${u:-1 \"2 3\" 4} \"${u:-\"q\"}\" ${u:+x} $\"tr\"",
    "echo -e 'caf\\u00e9 \\U0001F600'; printf '\\u00e9\\n'; echo $'\\u00e9'",
]

CONTROL = [
    "if false; then echo a; elif true; then echo b; else echo c; fi",
    "for i in 1 2 3; do for j in a b; do [ $j = b ] && continue 2; echo $i$j; done; done",
    "for i in 1 2 3 4; do if [ $i = 3 ]; then break; fi; echo $i; done",
    "i=0; while [ $i -lt 3 ]; do i=$((i+1)); echo $i; done",
    "i=0; until [ $i -ge 2 ]; do i=$((i+1)); done; echo $i",
    "for ((i=0; i<3; i++)); do echo $i; done",
    "case abc in a) echo 1;; ab*) echo 2;; *) echo 3;; esac",
    "case x in y|x) echo hit;& z) echo fell;; q) echo no;; esac",
    "case B in [a-z]) echo lower;; [[:upper:]]) echo upper;; esac",
    "true && echo y || echo n; false && echo y || echo n",
    "! true; echo $?; ! false; echo $?",
    "{ echo a; echo b; } | { read x; read y; echo $y$x; }",
    "x=1; (x=2; echo $x); echo $x",
    "x=1; echo a | x=2; echo $x",
    "f() { local v=in; g; }; g() { echo $v; }; v=out; f; echo $v",
    "f() { return 7; }; f; echo $?",
    "fact() { if [ $1 -le 1 ]; then echo 1; else echo $(( $1 * $(fact $(( $1 - 1 ))) )); fi; }; fact 6",
    "set -e; true; false; echo no",
    "set -e; false || true; if false; then :; fi; echo survived",
    "set -o pipefail; false | true; echo $?",
    "false | true; echo $? ${PIPESTATUS[@]}",
    "exit 4",
    "(exit 5); echo $?",
    "for x; do echo $x; done",
    "if then",
    "echo ok; if",
]

REDIRECTIONS = [
    "echo a > f; echo b >> f; read x < f; echo $x; while read l; do echo \"<$l>\"; done < f",
    "echo err >&2; echo out",
    "{ echo out; echo err >&2; } 2>&1 >/dev/null",
    "{ echo o; echo e >&2; } > both 2>&1; while read l; do echo $l; done < both",
    "{ echo o; echo e >&2; } &> all; while read l; do echo $l; done < all",
    "echo x > /dev/null; echo y 2>/dev/null",
    "read x < missing; echo $?",
    "while read -r a b; do echo \"$b-$a\"; done <<EOF\n1 2\n3 4\nEOF",
    "x=v; cat_it() { while read l; do echo \"$l\"; done; }; cat_it <<'E'\n$x `y`\nE\ncat_it <<E\n$x \\$x\nE",
    "f() { while read l; do echo \"[$l]\"; done; }; f <<-E\n\tindented\n\tE",
    "read a b <<< 'one two three'; echo $b",
    "echo 3>f3 hi; echo hi 3>&1 1>&2 2>&3 | { read x; echo \"got:$x\"; }",
    "echo data > g; exec_it() { read x; echo $x; }; exec_it < g",
    "mkd() { echo > d/x; }; mkd; echo $?",
    "exec 3> f3; echo one >&3; echo two >&3; exec 3>&-; while read l; do echo $l; done < f3",
    "exec > out; echo hidden; exec 2>&1; echo more >&2",
    "f() { echo out; echo err >&2; }; f |& { while read l; do echo \"[$l]\"; done; }",
    "cd nothere/.. ; echo $?",
    "echo a > f; set -C; echo b > f; echo $?; echo c >| f; read x < f; echo $x",
    "v='two words'; echo x > $v; echo $?; echo y > one.txt; read l < o*.txt; echo $l",
]

BUILTINS = [
    "printf '%s-%d-%5.2f|%-4s|%04d|%x|%o|%c\\n' a 42 3.14159 ab 7 255 8 xyz",
    "printf '%s\\n' a b c; printf '%s %s\\n' 1 2 3",
    "printf '%b|%q\\n' 'a\\tb' 'x y'; printf '%%\\n'",
    "printf -v out '%03d' 5; echo $out; a=(x y z); printf -v 'a[1]' %s Y; echo ${a[@]}",
    "printf '%d %x\\n' \"'A\" \"'\u00e9\"",
    "printf '%d\\n' abc; echo $?",
    "echo -n a; echo -e 'b\\tc'; echo -E 'd\\n'; echo -- -n",
    "test 1 -lt 2 && [ abc = abc ] && [ -n x ] && [ -z '' ] && echo ok",
    "[ 1 -eq 1 -a 2 -eq 3 ]; echo $?; [ ! -e nope ]; echo $?; [ a '<' b ]; echo $?",
    "[ x -eq 1 ]; echo $?",
    "[[ -n x && ( a < b || 1 -eq 2 ) ]]; echo $?; [[ x == \"*\" ]]; echo $?",
    "[[ foo123 =~ ^foo([0-9]+)$ ]] && echo ${BASH_REMATCH[1]}",
    # =~: the parenthesised groups are the pattern's own, unmatched ones are
    # empty elements, and quoted parts match literally.
    'r=; [[ ab =~ (a)(x)?(b) ]]; echo "$? ${#BASH_REMATCH[@]} ${BASH_REMATCH[*]}"',
    '[[ x =~ "(" ]]; echo $?; [[ a.b =~ a"."b ]]; echo $?; [[ axb =~ a"."b ]]; echo $?',
    '[[ axb =~ a\\.b ]]; echo $?; re="^v([0-9]+)\\.([0-9]+)$"; [[ v1.22 =~ $re ]] && echo ${BASH_REMATCH[2]}',
    '[[ abc =~ (z|b)c ]] && echo "${BASH_REMATCH[0]}"; [[ abc =~ z ]]; echo "$? ${#BASH_REMATCH[@]}"',
    "echo hi > f; [[ -f f && ! -d f && -s f ]] && echo file; mkdir_=1; [ -d . ] && echo dir",
    "read -r a b c <<< 'x\\y z'; echo \"$a|$b|$c\"",
    "IFS=, read -a arr <<< 'p,q,r'; echo ${arr[2]} ${#arr[@]}",
    "read -d ';' x <<< 'a;b'; echo $x",
    "echo 'a b' | { read; echo \"$REPLY\"; }",
    "x=1; export x; export -n x; unset x; echo ${x-gone}",
    "readonly r=1; r=2; echo $r",
    "declare -i n=5; n+=3; echo $n; declare -a a=(1 2); a+=(3); echo ${a[@]}",
    "declare -A m=([a]=1 [b]=2); echo ${m[a]}${m[b]} ${#m[@]}",
    "declare -p nothere; echo $?",
    "a=(x y z); unset 'a[1]'; echo ${a[@]} ${!a[@]}; a[5]=w; echo ${#a[@]} ${a[-1]}",
    "let x=2+3 y=x*2; echo $x $y; let 0; echo $?",
    "eval 'x=1; echo $x'; eval echo '$((x+1))'",
    "type echo; type if; type nosuch; echo $?",
    "command -v echo; command echo via command",
    "f() { echo fn; }; command -v f; type -t f",
    "set -- -a -b val rest; while getopts ab: o; do echo $o ${OPTARG-}; done; echo $OPTIND",
    "set -- -x; getopts ab o; echo $o $?",
    "shopt -s nullglob; echo none*; shopt -u nullglob; echo none*",
    "set -f; echo *; set +f",
    "cd /; pwd; cd nope; echo $?",
    "mkdir_a() { :; }; x=$(pwd); cd .; [ \"$x\" = \"$(pwd)\" ] && echo same",
    "true; echo $?; false; echo $?; :; echo $?",
    "set -x; echo traced; set +x",
    "break; continue; echo fine",
    "source nofile; echo $?",
    "echo 'echo sourced $1' > s.sh; . ./s.sh arg; source s.sh",
    "echo 'return 3; echo no' > r.sh; . ./r.sh; echo $?",
    "unknown_cmd; echo $?",
    "shopt -s expand_aliases; alias say='echo said' q='echo '; alias say\nsay it; q say; unalias say; say 2>/dev/null; echo $?",
    "./not_here; echo $?",
]

ARRAYS_AND_MORE = [
    "a=(one two three); for i in \"${!a[@]}\"; do echo $i=${a[i]}; done; echo ${a[@]:1:2} ${#a[1]}",
    "a=(); a+=(x); a+=(y z); echo ${#a[@]} \"${a[*]}\"; unset a; echo ${#a[@]}",
    "declare -A h; h[x]=1; h[y]=2; for k in x y; do echo $k=${h[$k]}; done; unset 'h[x]'; echo ${#h[@]}",
    "a=(3 1 2); IFS=,; echo \"${a[*]}\"; unset IFS; echo \"${a[*]}\"",
    "s='a,b;c'; IFS=',;' read -r x y z <<< \"$s\"; echo $z$y$x",
    "mapfile -t lines <<< $'l1\\nl2\\nl3'; echo ${#lines[@]} ${lines[2]}",
    "f() { local -a arr=(\"$@\"); echo ${#arr[@]}; }; f a 'b c' d",
    "x=5; f() { local x; x=1; echo in=$x; }; f; echo out=$x",
    "f() { echo \"$FUNCNAME_UNSET$#:$*\"; shift; echo \"$@\"; }; f 1 2 3",
    "seq 3 | while read n; do echo line$n; done",
    "seq 1 5 | { s=0; while read n; do s=$((s+n)); done; echo $s; }",
    "printf 'b\\na\\nc\\n' | sort | tr -d '\\n'; echo",
    "echo hello | cat | cat | wc -c",
    "cat <<EOF | wc -l\na\nb\nEOF",
    "x=$(cat <<'EOF'\nraw $HOME\nEOF\n); echo \"$x\"",
    "n=0; for f in a b c; do ((n++)); done; echo $n; ((n > 2)) && echo big",
    "echo $(( 10 % 3 )) $(( -7 / 2 )) $(( 2 ** 3 ** 2 )) $(( 1 ? 2 : 3 )) $(( ~0 )) $(( 5 & 3 | 8 ))",
    "case 'a b' in 'a b') echo quoted-match;; esac; case x in *) echo star;; esac",
    "case foo.txt in *.md|*.txt) echo doc;; esac; case '' in '') echo empty;; esac",
    "[[ abc < abd ]] && echo lt; [[ 10 -gt 9 ]] && echo gt; [[ -z '' && -n a ]] && echo zn",
    "[[ 'a b' == a* ]] && echo glob; [[ ab == 'a*' ]] || echo literal",
    "x=; [[ $x ]] || echo empty; y=v; [[ $y ]] && echo set",
    "set -- one two; echo ${1:0:1}${2: -1} ${@: -1} ${#@}",
    "v=AbC; echo ${v,,} ${v^^} ${v~~}",
    "f() { return $1; }; f 3 || echo failed $?; f 0 && echo ok",
    "for i in {1..3}; do for j in {1..3}; do [ $j -eq 2 ] && break; echo $i$j; done; done",
    "i=0; while :; do i=$((i+1)); [ $i -ge 3 ] && break; done; echo $i",
    "echo a b c | { read -a w; echo ${w[1]} ${#w[@]}; }",
    "test -e /; echo $?; test ! -d /; echo $?; [ -f / ]; echo $?",
    "echo one; exit 3; echo never",
    "trap_ok() { :; }; command -v trap_ok >/dev/null && echo has",
    "eval 'for i in 1 2; do echo e$i; done'",
    "x='$HOME'; eval \"y=$x\"; [ \"$y\" = \"$HOME\" ] && echo same",
]

GLOBBING = [
    "echo x > a.txt; echo y > b.txt; echo z > c.md; echo *.txt; echo ?.md; echo [ab].*",
    "echo x > .hidden; echo x > shown; echo *",
    "echo x > f1; echo 'f*' \"f*\" f\\*",
    "echo nomatch*",
    "echo x > 'sp ace'; for f in sp*; do echo \"[$f]\"; done",
    "echo > d1; v='d*'; echo $v \"$v\"",
]


@pytest.mark.parametrize("script", QUOTING)
def test_quoting(script, tmp_path):
    check(script, tmp_path)


@pytest.mark.parametrize("script", PARAMETERS)
def test_parameters(script, tmp_path):
    check(script, tmp_path)


@pytest.mark.parametrize("script", CONTROL)
def test_control(script, tmp_path):
    check(script, tmp_path)


@pytest.mark.parametrize("script", REDIRECTIONS)
def test_redirections(script, tmp_path):
    check(script, tmp_path)


@pytest.mark.parametrize("script", BUILTINS)
def test_builtins(script, tmp_path):
    check(script, tmp_path)


@pytest.mark.parametrize("script", ARRAYS_AND_MORE)
def test_arrays_pipes_and_more(script, tmp_path):
    check(script, tmp_path)


@pytest.mark.parametrize("script", GLOBBING)
def test_globbing(script, tmp_path):
    check(script, tmp_path)


# Scripts that would run bash out of memory or time: each ends bounded, with
# a message that names the limit, and the shell answers afterwards.
HOSTILE = [
    ("while :; do :; done", "max_loop_iterations"),
    ("x=a; while :; do x=$x$x; done", "max_string_bytes"),
    ("echo {1,2,3,4,5,6,7,8,9}{1,2,3,4,5,6,7,8,9}{1,2,3,4,5,6,7,8,9}{1,2,3,4,5,6,7,8,9}"
     "{1,2,3,4,5,6,7,8,9}{1,2,3,4,5,6,7,8,9}{1,2,3,4,5,6,7,8,9}", "max_expansion_words"),
    ("f() { f; }; f", "max_call_depth"),
    ("echo " + "$(echo " * 10000 + "x" + ")" * 10000, "max_subst_depth"),
    ("cat_ <<EOF\n" + "y" * 100 + "\n" * 10 + ("z" * 1000 + "\n") * 10_000 + "EOF", "max_"),
    ("f() { echo $(f); }; f", "max_subst_depth"),
]


@pytest.mark.parametrize("script,limit", HOSTILE)
def test_hostile_scripts_end_bounded(script, limit):
    sh = Shell()
    result = sh.run(script)
    assert result.status != 0
    assert limit in result.stderr.decode().splitlines()[-1]
    after = sh.run("echo ok")
    assert (after.stdout, after.status) == (b"ok\n", 0)


def test_here_document_over_its_limit():
    sh = Shell(max_heredoc_bytes=1000)
    result = sh.run("read x <<EOF\n" + "a" * 2000 + "\nEOF\necho reached")
    assert result.status != 0 and b"max_heredoc_bytes" in result.stderr
    assert result.stdout == b""


def test_endless_producer_ends_with_its_consumer():
    sh = Shell()
    result = sh.run("while :; do echo y; done | { read a; echo $a; }; echo after")
    assert result.stdout == b"y\nafter\n"


def test_limits_are_per_run_and_validated():
    sh = Shell(max_loop_iterations=10)
    for _ in range(3):
        assert sh.run("for i in 1 2 3 4 5 6 7 8 9; do :; done; echo ok").stdout == b"ok\n"
    with pytest.raises(ValueError):
        Shell(max_commands=0)
    with pytest.raises(TypeError):
        Shell(max_nothing=1)


def test_output_limit():
    result = Shell(max_output_bytes=100).run("while :; do echo 0123456789; done")
    assert result.status != 0 and len(result.stdout) <= 100
    assert b"max_output_bytes" in result.stderr


def test_state_persists_between_runs_until_reset(fs):
    sh = Shell(fs, env={"GREETING": "hi"})
    sh.run("x=1; f() { echo f$x; }; set -- p q; mkdir_() { :; }; cd /")
    assert sh.run('echo $x $GREETING "$@"; f').stdout == b"1 hi p q\nf1\n"
    sh.reset()
    assert sh.run("echo ${x-unset}; f").stdout == b"unset\n"
    assert sh.run("echo $GREETING").stdout == b"hi\n"


def test_writes_reach_the_tree_and_its_caps(fs):
    sh = Shell(fs)
    assert sh.run("echo hello > /note.txt").status == 0
    assert fs.exists("/note.txt") and sh.run("read x < /note.txt; echo $x").stdout == b"hello\n"
    long_name = "n" * 300
    capped = Shell(__import__("halvorn").PyFs(max_name_length=16))
    result = capped.run(f"echo x > {long_name}")
    assert result.status == 1 and result.stderr.endswith(b"File name too long\n")
    small = Shell(__import__("halvorn").PyFs(max_bytes=10))
    result = small.run("echo 0123456789abcdef > f")
    assert result.status == 1 and b"No space left on device" in result.stderr


def test_cancel_from_another_thread():
    sh = Shell(max_loop_iterations=10**9, max_commands=10**9, max_wall_ms=60_000)
    timer = threading.Timer(0.2, sh.cancel)
    timer.start()
    result = sh.run("while :; do :; done")
    timer.join()
    assert result.status == 130 and b"cancelled" in result.stderr
    assert sh.run("echo ok").stdout == b"ok\n"


def test_keyboard_interrupt_ends_the_run():
    sh = Shell(max_loop_iterations=10**9, max_commands=10**9, max_wall_ms=60_000)
    main = threading.main_thread().ident
    timer = threading.Timer(0.2, signal.pthread_kill, args=(main, signal.SIGINT))
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        sh.run("while :; do :; done")
    timer.join()
    assert sh.run("echo ok").stdout == b"ok\n"


def test_second_concurrent_run_is_refused():
    sh = Shell(max_loop_iterations=10**9, max_commands=10**9, max_wall_ms=60_000)
    thread = threading.Thread(target=sh.run, args=("while :; do :; done",))
    thread.start()
    time.sleep(0.1)
    with pytest.raises(ShellBusyError):
        sh.run("echo no")
    sh.cancel()
    thread.join()


def test_unsupported_features_fail_loudly():
    sh = Shell()
    for script in ("sleep_ 1 &", "trap 'echo x' EXIT", "exec no_such_program"):
        result = sh.run(script)
        assert result.status != 0 and result.stderr, script


def test_shells_on_one_tree_from_threads(fs):
    shells = [Shell(fs) for _ in range(4)]
    results = [None] * 4

    def work(k):
        results[k] = shells[k].run(
            f"for i in 1 2 3 4 5 6 7 8 9 10; do echo $i >> /t{k}; done; read x < /t{k}; echo $x"
        )

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r.stdout == b"1\n" for r in results)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_pipelines_run_in_a_child_of_fork():
    # Pipelines leave idle worker threads behind; a forked child has none of
    # them and must start its own instead of waiting for ever.
    sh = Shell()
    assert sh.run("echo hi | wc -c; printf 'a\\nb\\n' | grep b").stdout == b"3\nb\n"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # "multi-threaded ... fork()"
        pid = os.fork()
    if pid == 0:
        ok = sh.run("echo hi | wc -c | cat; echo x | grep -c x").stdout == b"3\n1\n"
        os._exit(0 if ok else 1)
    deadline = time.monotonic() + 30
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail("a pipeline in the child of fork() never finished")
        time.sleep(0.01)
    assert os.waitstatus_to_exitcode(status) == 0
