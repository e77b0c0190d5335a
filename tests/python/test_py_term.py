"""PyTerm from Python: texts in and out, errors as ValueError, and the file
system it shares with PyFs, file handles and other terminals."""

import gc

import pytest
from hypothesis import given, strategies as st

from halvorn import PyFs, PyTerm

HELP_WORDS = {"cd", "ls", "pwd", "cat", "mkdir", "touch", "help"}


def error_of(term, line):
    with pytest.raises(ValueError) as info:
        term.exec(line)
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1
    return info.value.args[0]


class TestLines:
    @pytest.mark.parametrize("line", ["", "   ", " \t\n ", "# note", "  # note\n"])
    def test_lines_without_words_give_empty_output(self, term, line):
        assert term.exec(line) == ""

    def test_pwd_is_a_str_without_line_feed(self, term):
        output = term.exec("pwd")
        assert type(output) is str and output == "/"

    @pytest.mark.parametrize(
        "line, text",
        [
            ("cd nowhere", "cd: cannot access 'nowhere': nowhere: Inode not found"),
            ("foo", "foo: command not found"),
            ("ls 'x", "The command was not correctly formatted"),
            # Malformed beats unknown: nothing is looked up.
            ('foo "x', "The command was not correctly formatted"),
            ("cat", "cat: missing argument"),
            # Non-ASCII text in an error survives the trip back into Python.
            ("cd ñ名", "cd: cannot access 'ñ名': ñ名: Inode not found"),
        ],
    )
    def test_failures_raise_the_terminal_text_and_leave_the_directory(self, term, line, text):
        term.exec("mkdir here")
        term.exec("cd here")
        assert error_of(term, line) == text
        assert term.exec("pwd") == "/here"

    def test_names_keep_every_character(self, term, fs):
        # A NUL or a multi-byte character must not cut or mangle a name on
        # its way in or out.
        term.exec("mkdir 'a\0b'")
        term.exec("mkdir 'é 🙂'")
        assert fs.listdir("/") == ([], ["a\0b", "é 🙂"])
        assert term.exec("ls") == "a\0b/\né 🙂/\n"

    def test_help_lists_the_seven_commands_the_same_way_each_time(self, term):
        output = term.exec("help")
        lines = output.split("\n")
        assert lines[-1] == ""
        assert sorted(lines[:-1]) == sorted(HELP_WORDS)
        assert term.exec("help me") == output == PyTerm(PyFs()).exec("help")


class TestSharedFileSystem:
    def test_two_terminals_share_entries_but_not_the_directory(self, fs):
        first, second = PyTerm(fs), PyTerm(fs)
        first.exec("mkdir a")
        first.exec("cd a")
        first.exec("touch f")
        assert first.exec("pwd") == "/a"
        assert second.exec("pwd") == "/"
        assert repr(first) == str(first) == "<halvorn.PyTerm cwd_id=1>"
        assert repr(second) == "<halvorn.PyTerm cwd_id=0>"
        assert second.exec("ls") == "a/\n"
        assert second.exec("ls a") == "f\n"

    def test_entries_cross_between_pyfs_and_terminal(self, fs, term):
        fs.mkdir("/docs")
        term.exec("touch notes")
        assert term.exec("ls") == "notes\ndocs/\n"
        assert fs.listdir("/") == (["notes"], ["docs"])
        handle = fs.open("/notes", "rw")
        assert handle.write(b"x") == 1
        handle.close()
        assert term.exec("cat notes") == "x"

    @pytest.mark.parametrize(
        "data, text",
        [
            (b"", ""),
            (b"hello\n", "hello\n"),
            (b"\xf0\x9f\x98\x80!", "\U0001f600!"),
            (b"a\xffb", "a\ufffdb"),
            # A truncated sequence is one maximal subpart, so one U+FFFD.
            (b"x\xe2\x82y", "x\ufffdy"),
            (b"\xc0\xaf", "\ufffd\ufffd"),
        ],
    )
    def test_cat_shows_what_a_handle_wrote(self, fs, term, data, text):
        handle = fs.open("/a.txt", "w")
        handle.write(data)
        handle.close()
        assert term.exec("cat a.txt") == text

    def test_cat_of_a_file_held_for_writing_fails_and_cat_releases_its_hold(self, fs, term):
        writer = fs.open("/a.txt", "w")
        writer.write(b"data")
        assert error_of(term, "cat a.txt") == "cat: cannot access 'a.txt': Resource is currently in use"
        writer.close()

        reader = fs.open("/a.txt", "r")
        assert term.exec("cat a.txt") == "data"  # readers share the file
        reader.close()
        # cat's own handle is closed again, or this open would be refused.
        fs.open("/a.txt", "w").close()
        fs.remove("/a.txt", False)
        assert term.exec("ls") == ""

    def test_terminal_outlives_its_pyfs(self):
        fs = PyFs()
        fs.mkdir("/a")
        term = PyTerm(fs)
        del fs
        gc.collect()
        term.exec("cd a")
        term.exec("touch f")
        assert term.exec("pwd") == "/a"
        assert term.exec("ls") == "f\n"


# Names as the file system accepts them: anything but separators, the empty
# name, "." and "..". Characters the terminal treats specially come often.
SPECIAL = " \t\n\r#$`'\"*?;|&<>~!(){}\0"
NAMES = st.text(
    st.one_of(
        st.sampled_from(SPECIAL),
        st.sampled_from("ab.-é名🙂"),
        st.characters(blacklist_categories=("Cs",), blacklist_characters="/\\"),
    ),
    min_size=1,
).filter(lambda name: name not in (".", ".."))

BLANKS = st.text(st.sampled_from(" \t\n"), min_size=1, max_size=3)
CONTINUATION = "\\\n"  # dropped wherever it stands outside single quotes


def single_quoted(section):
    # Nothing is special inside single quotes, and nothing can be escaped.
    return "'" + section + "'"


def double_quoted(draw, section):
    out = []
    for c in section:
        if draw(st.integers(0, 9)) == 0:
            out.append(CONTINUATION)
        # Only these four take a backslash inside double quotes; before any
        # other character the backslash would stay in the word.
        out.append("\\" + c if c in '$`"\\' else c)
    return '"' + "".join(out) + '"'


def unquoted(draw, section, at_word_start):
    out = []
    for c in section:
        if c == "\n":
            # Bare it is a blank and escaped a line continuation: only quotes
            # can carry it.
            out.append(draw(st.sampled_from(["'\n'", '"\n"'])))
        elif c in " \t'\"\\" or (c == "#" and at_word_start and not out):
            out.append("\\" + c)
        elif draw(st.booleans()):
            out.append("\\" + c)  # a backslash takes any other character as it is
        else:
            out.append(c)
    return "".join(out)


@st.composite
def quoted_forms(draw, name):
    """Writes name as one terminal word, cut into sections that are quoted
    each in its own way and run together."""
    cuts = sorted(draw(st.sets(st.integers(1, len(name) - 1)))) if len(name) > 1 else []
    bounds = [0, *cuts, len(name)]
    word = ""
    for start, end in zip(bounds, bounds[1:]):
        section = name[start:end]
        style = draw(st.sampled_from(["single", "double", "unquoted"]))
        if style == "single" and "'" in section:
            style = "double"
        if style == "single":
            word += single_quoted(section)
        elif style == "double":
            word += double_quoted(draw, section)
        else:
            word += unquoted(draw, section, at_word_start=(word == ""))
        if draw(st.integers(0, 4)) == 0:
            word += draw(st.sampled_from(["''", '""', CONTINUATION]))
    return word


@st.composite
def names_and_words(draw):
    name = draw(NAMES)
    return name, draw(quoted_forms(name))


class TestQuoting:
    @given(names_and_words(), BLANKS, st.sampled_from(["", " # a comment", " ignored-extra"]))
    def test_a_quoted_name_reaches_the_file_system_unchanged(self, name_and_word, blank, tail):
        name, word = name_and_word
        fs = PyFs()
        term = PyTerm(fs)
        line = f"mkdir{blank}{word}{tail}"
        assert term.exec(line) == "", repr(line)
        assert fs.listdir("/") == ([], [name]), repr(line)
        term.exec(f"cd {word}")
        assert term.exec("pwd") == "/" + name
