import contextlib
import gc
import io

import numpy
import pytest
from hypothesis import given, settings, strategies as st
from conftest import check_method_documentation, public_names

from halvorn import PyFileHandle, PyFs, PyTerm, Whence

INVALID = "Invalid file descriptor"
NO_READ = "File does not support the specified operation: read"
NO_WRITE = "File does not support the specified operation: write"
NO_SPACE = "No space left on file system"
IN_USE = "Resource is currently in use"


@contextlib.contextmanager
def raises_exactly(message):
    """ValueError whose one argument is `message`, nothing added."""
    with pytest.raises(ValueError) as info:
        yield info
    assert info.value.args == (message,)


def report(*counts):
    return "".join(f"Read {count} bytes from file\n" for count in counts)


@pytest.fixture
def hello(fs):
    """A file holding b"hello", for a handle to be opened on."""
    writer = fs.open("/hello", "w")
    writer.write(b"hello")
    writer.close()
    return fs


class TestRead:
    def test_reads_in_steps_and_reports_each(self, hello, capfd):
        handle = hello.open("/hello", "r")
        assert handle.read(3) == b"hel"
        assert handle.read(10) == b"lo"
        assert handle.read(10) == b""
        assert type(handle.read(1)) is bytes
        assert capfd.readouterr() == (report(3, 2, 0, 0), "")

    def test_zero_bytes_still_reports(self, hello, capfd):
        assert hello.open("/hello", "r").read(0) == b""
        assert capfd.readouterr().out == report(0)

    @pytest.mark.parametrize("size", [2**31, 2**63, 2**64 - 1])
    def test_a_huge_size_gets_what_the_file_holds(self, hello, capfd, size):
        handle = hello.open("/hello", "r")
        handle.seek(1, Whence.SEEK_SET)
        assert handle.read(size) == b"ello"
        assert handle.tell() == 5
        assert capfd.readouterr().out == report(4)

    def test_the_report_bypasses_sys_stdout(self, hello, capfd):
        redirected = io.StringIO()
        with contextlib.redirect_stdout(redirected):
            hello.open("/hello", "r").read(5)
        assert redirected.getvalue() == ""
        assert capfd.readouterr().out == report(5)

    def test_a_failed_read_reports_nothing(self, hello, capfd):
        with raises_exactly(NO_READ):
            hello.open("/hello", "w").read(1)
        closed = hello.open("/other", "r")
        closed.close()
        with raises_exactly(INVALID):
            closed.read(1)
        assert capfd.readouterr().out == ""

    def test_a_broken_standard_output_loses_only_the_line(self, run_python):
        done = run_python(
            """
            import os, halvorn
            fs = halvorn.PyFs()
            fs.open("/hello", "w").write(b"hello")
            first, second = fs.open("/hello", "r"), fs.open("/hello", "r")
            os.close(1)
            assert first.read(5) == b"hello" and first.tell() == 5
            reader, writer = os.pipe()  # no reader left: EPIPE
            os.dup2(writer, 1)
            os.close(reader)
            assert second.read(9) == b"hello" and second.tell() == 5
            """
        )
        assert (done.returncode, done.stderr) == (0, "")

    def test_sizes_are_integers(self, hello):
        class Index:
            def __index__(self):
                return 2

        handle = hello.open("/hello", "r")
        assert handle.read(Index()) == b"he"
        assert handle.read(buffer=True) == b"l"

    @pytest.mark.parametrize(
        "size, error",
        [(-1, OverflowError), (2**64, OverflowError), ("1", TypeError), (1.0, TypeError)],
    )
    def test_bad_sizes_change_nothing(self, hello, capfd, size, error):
        handle = hello.open("/hello", "r")
        with pytest.raises(error) as info:
            handle.read(size)
        if error is TypeError:
            assert str(info.value).startswith("argument 'buffer': ")
            assert type(info.value.__cause__) is TypeError
        assert handle.tell() == 0
        assert capfd.readouterr().out == ""


class TestWrite:
    def test_returns_the_count_and_keeps_the_offset(self, fs):
        handle = fs.open("/f", "rw")
        assert handle.write(b"abc") == 3
        assert handle.tell() == 0
        assert handle.write(b"xy") == 2  # at the same place
        assert handle.read(10) == b"xyc"

    def test_grows_the_file_from_the_offset(self, hello):
        handle = hello.open("/hello", "rw")
        handle.seek(0, Whence.SEEK_END)
        assert handle.write(b"!" * 1000) == 1000
        assert handle.read(2000) == b"!" * 1000
        handle.seek(0, Whence.SEEK_SET)
        assert handle.read(6) == b"hello!"

    def test_empty_bytes_and_subclasses(self, fs):
        class Data(bytes):
            pass

        handle = fs.open("/f", "rw")
        assert handle.write(b"") == 0
        assert handle.write(buffer=Data(b"sub")) == 3
        assert handle.read(5) == b"sub"

    @pytest.mark.parametrize(
        "value", [bytearray(b"abc"), memoryview(b"abc"), "abc", None, 3], ids=type
    )
    def test_only_bytes(self, fs, value):
        handle = fs.open("/f", "rw")
        with pytest.raises(TypeError) as info:
            handle.write(value)
        assert str(info.value) == f"argument 'buffer': expected bytes, got {type(value).__name__}"
        assert type(info.value.__cause__) is TypeError
        assert handle.read(5) == b""

    def test_needs_the_write_flag(self, hello):
        handle = hello.open("/hello", "r")
        with raises_exactly(NO_WRITE):
            handle.write(b"x")


class TestReadinto:
    def test_fills_any_writable_buffer_quietly(self, hello, capfd):
        handle = hello.open("/hello", "r")
        target = bytearray(b"..........")
        assert handle.readinto(memoryview(target)[2:4]) == 2
        array = numpy.zeros(2, dtype=numpy.uint16)
        assert handle.readinto(array) == 3  # what is left of five bytes
        assert array.tobytes() == b"llo\0"
        assert handle.readinto(bytearray(1)) == 0
        assert target == b"..he......"
        assert handle.tell() == 5
        assert capfd.readouterr().out == ""

    def test_refusals(self, hello):
        handle = hello.open("/hello", "rw")
        with pytest.raises(
            TypeError, match=r"^argument 'buffer': expected a writable bytes-like object, got bytes$"
        ):
            handle.readinto(b"xxxxx")
        with pytest.raises(BufferError):
            handle.readinto(memoryview(bytearray(4))[::2])
        with raises_exactly(NO_READ):
            hello.open("/other", "w").readinto(bytearray(1))
        handle.close()
        with raises_exactly(INVALID):
            handle.readinto(bytearray(1))


class TestPositional:
    def test_pread_and_pwrite_name_their_position_and_keep_the_offset(self, hello, capfd):
        handle = hello.open("/hello", "rw")
        handle.seek(2, Whence.SEEK_SET)
        assert handle.pwrite(bytearray(b"J"), 0) == 1
        assert handle.pwrite(memoryview(b"..!!..")[2:4], 7) == 2  # a gap of zeros
        assert handle.pwrite(numpy.array([1, 2], dtype=numpy.uint16), 9) == 4
        assert handle.pwrite(b"", 100) == 0  # an empty write past the end grows nothing
        assert handle.pread(100, 0) == b"Jello\0\0!!\x01\0\x02\0"
        assert handle.pread(3, 13) == b"" and handle.pread(2**64 - 1, 2**64 - 1) == b""
        assert handle.tell() == 2
        assert capfd.readouterr().out == ""

    def test_refusals(self, hello):
        handle = hello.open("/hello", "r")
        with raises_exactly(NO_WRITE):
            handle.pwrite(b"x", 0)
        with pytest.raises(TypeError, match=r"^argument 'buffer': expected a bytes-like object, got str$"):
            handle.pwrite("x", 0)
        with pytest.raises(BufferError):
            handle.pwrite(memoryview(b"abcd")[::2], 0)
        with raises_exactly(NO_READ):
            hello.open("/other", "w").pread(1, 0)
        with raises_exactly(NO_SPACE):
            hello.open("/third", "w").pwrite(b"xy", 2**64 - 1)
        handle.close()
        with raises_exactly(INVALID):
            handle.pread(1, 0)


PAGE = 1 << 16
# Offsets near the page edges, where a piece of work splits between pages.
near_edge = st.builds(lambda page, delta: max(0, page * PAGE + delta),
                      st.integers(0, 4), st.integers(-40, 40))
steps = st.lists(
    st.one_of(
        st.tuples(st.just("write"), near_edge, st.binary(max_size=100) | st.integers(1, 2 * PAGE)),
        st.tuples(st.just("truncate"), near_edge),
        st.tuples(st.just("read"), near_edge, st.integers(0, 2 * PAGE)),
    ),
    max_size=30,
)


@settings(max_examples=150, deadline=None)
@given(steps)
def test_work_across_page_edges_matches_a_bytearray(work):
    fs = PyFs()
    oracle = bytearray()
    with fs.open("/f", "rw") as handle:
        for step in work:
            if step[0] == "write":
                data = step[2] if isinstance(step[2], bytes) else bytes([7]) * step[2]
                assert handle.pwrite(data, step[1]) == len(data)
                if data:
                    oracle.extend(bytes(max(0, step[1] + len(data) - len(oracle))))
                    oracle[step[1] : step[1] + len(data)] = data
            elif step[0] == "truncate":
                handle.truncate(step[1])
                del oracle[step[1] :]
                oracle.extend(bytes(step[1] - len(oracle)))
            else:
                assert handle.pread(step[2], step[1]) == bytes(oracle[step[1] : step[1] + step[2]])
        assert handle.pread(len(oracle) + 1, 0) == bytes(oracle)
        handle.truncate(0)
    assert fs.usage()["bytes"] == len("f")  # every page given back


class TestTruncate:
    def test_shorter_longer_and_at_the_offset(self, hello):
        handle = hello.open("/hello", "rw")
        handle.seek(4, Whence.SEEK_SET)
        assert handle.truncate(2) == 2
        assert handle.tell() == 2  # the offset never passes the end
        assert handle.truncate(6) == 6
        handle.seek(1, Whence.SEEK_SET)
        buffer = bytearray(8)
        assert handle.readinto(buffer) == 5
        assert buffer[:5] == b"e\0\0\0\0"
        handle.seek(3, Whence.SEEK_SET)
        assert handle.truncate() == 3 and handle.truncate(None) == 3
        assert hello.stat("/hello").st_size == 3
        assert handle.truncate(100_000) == 100_000 and handle.truncate(0) == 0

    def test_needs_an_open_writer(self, hello):
        reader = hello.open("/hello", "r")
        with raises_exactly(NO_WRITE):
            reader.truncate(0)
        reader.close()
        with raises_exactly(INVALID):
            reader.truncate(0)
        with pytest.raises(OverflowError):
            hello.open("/hello", "w").truncate(-1)
        assert hello.stat("/hello").st_size == 5


class TestSeek:
    @pytest.mark.parametrize(
        "start, offset, whence, expected",
        [
            (0, 0, Whence.SEEK_END, 5),
            (0, 2, Whence.SEEK_END, 3),
            (0, 100, Whence.SEEK_END, 0),
            (0, 100, Whence.SEEK_SET, 5),
            (1, 1, Whence.SEEK_SET, 1),
            (1, 1, Whence.SEEK_CUR, 2),
            (1, 1, Whence.SEEK_END, 4),
            (3, 2**64 - 1, Whence.SEEK_CUR, 5),
        ],
    )
    def test_positions(self, hello, start, offset, whence, expected):
        handle = hello.open("/hello", "r")
        handle.read(start)
        assert handle.seek(offset, whence) is None
        assert handle.tell() == expected

    def test_any_mode_can_seek(self, hello):
        handle = hello.open("/hello", "")
        handle.seek(whence=Whence.SEEK_END, offset=1)
        assert handle.tell() == 4

    @pytest.mark.parametrize(
        "offset, whence, error, message",
        [
            (-1, Whence.SEEK_SET, OverflowError, None),
            (-1, 0, OverflowError, None),  # the offset is converted first
            (2**64, Whence.SEEK_SET, OverflowError, None),
            (0, 0, TypeError, "argument 'whence': expected Whence, got int"),
            (0, None, TypeError, "argument 'whence': expected Whence, got NoneType"),
            ("0", Whence.SEEK_SET, TypeError, "argument 'offset': "),
        ],
    )
    def test_bad_arguments_change_nothing(self, hello, offset, whence, error, message):
        handle = hello.open("/hello", "r")
        handle.read(2)
        with pytest.raises(error) as info:
            handle.seek(offset, whence)
        if message is not None:
            assert str(info.value).startswith(message)
            assert type(info.value.__cause__) is TypeError
        assert handle.tell() == 2


class TestTellAndId:
    def test_id_is_the_files_inode_id(self, fs):
        assert fs.open("/first", "r").id() == 1
        fs.mkdir("/d")
        assert fs.open("/d/f", "w").id() == 3

    def test_tell_follows_reads(self, hello):
        handle = hello.open("/hello", "r")
        assert handle.tell() == 0
        handle.read(4)
        assert handle.tell() == 4

    @pytest.mark.parametrize("name", ["id", "tell", "close"])
    def test_take_no_arguments(self, hello, name):
        method = getattr(hello.open("/hello", "r"), name)
        with pytest.raises(TypeError, match=rf"^PyFileHandle\.{name}\(\) takes no arguments"):
            method(1)
        with pytest.raises(TypeError, match=r"takes no keyword arguments"):
            method(x=1)


class TestClose:
    def test_every_method_fails_afterwards(self, hello, capfd):
        handle = hello.open("/hello", "rw")
        assert handle.close() is None
        calls = [
            handle.close,
            handle.tell,
            handle.id,
            lambda: handle.read(1),
            lambda: handle.write(b"x"),
            lambda: handle.seek(0, Whence.SEEK_SET),
        ]
        for call in calls:
            with raises_exactly(INVALID):
                call()
        assert capfd.readouterr().out == ""

    def test_str_shows_the_handle_open_and_closed(self, fs):
        handle = fs.open("/f", "r")
        text = str(handle)
        assert text.startswith("FileHandle { id: Some(1), type: FileHandleType(READ), fs: ")
        assert text.endswith("}}, next_inode_id: 2 }, offset: 0 }")
        assert "lock: FileLock { flag: 1 }" in text
        handle.close()
        text = str(handle)
        assert text.startswith("FileHandle { id: None, type: FileHandleType(READ), fs: ")
        assert "lock: FileLock { flag: 0 }" in text

    def test_close_releases_the_lock(self, fs):
        writer = fs.open("/f", "w")
        with raises_exactly(IN_USE):
            fs.open("/f", "r")
        writer.close()
        fs.open("/f", "w")


class TestWith:
    @pytest.mark.parametrize("closes_itself", [False, True])
    @pytest.mark.parametrize("raises", [False, True])
    def test_every_way_out_releases_the_lock_and_lets_the_exception_go(
        self, fs, closes_itself, raises
    ):
        error = KeyError("from the block")
        opened = fs.open("/f", "w")

        def block():
            with opened as handle:
                assert handle is opened
                handle.write(b"kept")
                if closes_itself:
                    handle.close()
                if raises:
                    raise error

        if raises:
            with pytest.raises(KeyError) as info:
                block()
            assert info.value is error and info.value.__context__ is None
        else:
            block()
        # Still referenced here (and by the traceback), yet released.
        assert opened.closed
        with fs.open("/f", "rw") as again:
            assert again.read(4) == b"kept"

    def test_closed_follows_close_and_is_read_only(self, fs):
        handle = fs.open("/f", "r")
        assert handle.closed is False
        handle.close()
        assert handle.closed is True
        with pytest.raises(AttributeError):
            handle.closed = False


class TestRepr:
    @pytest.mark.parametrize(
        "mode, shown", [("", ""), ("r", "r"), ("w", "w"), ("rw", "rw"), ("wr", "rw")]
    )
    def test_id_or_closed_mode_and_offset(self, hello, mode, shown):
        handle = hello.open("/hello", mode)
        handle.seek(2, Whence.SEEK_SET)
        assert repr(handle) == f"<halvorn.PyFileHandle id=1 mode='{shown}' offset=2>"
        handle.close()
        assert repr(handle) == f"<halvorn.PyFileHandle [closed] mode='{shown}' offset=2>"
        assert str(handle).startswith("FileHandle { id: None,")

    def test_stays_short_whatever_the_file_system_holds(self, fs):
        handle = fs.open("/big", "rw")
        handle.write(bytes(20 * 2**20))
        handle.seek(0, Whence.SEEK_END)
        for shown in (handle, fs, PyTerm(fs)):
            assert len(repr(shown)) < 60, repr(shown)


class TestLifetime:
    def test_dropping_an_open_writer_releases_its_lock(self, fs):
        writer = fs.open("/f", "w")
        writer.write(b"kept")
        del writer
        gc.collect()
        again = fs.open("/f", "rw")
        assert again.read(10) == b"kept"
        again.close()
        fs.remove("/f", False)
        assert fs.listdir("/") == ([], [])

    def test_dropping_a_closed_handle_is_quiet(self, fs):
        handle = fs.open("/f", "w")
        handle.close()
        del handle
        fs.open("/f", "w")

    def test_handles_outlive_their_pyfs(self, hello):
        handle = hello.open("/hello", "rw")
        del hello
        gc.collect()
        assert handle.read(5) == b"hello"
        assert handle.write(b"!") == 1
        handle.close()
        assert 'name: "hello"' in str(handle)  # closed, but the file system is kept


DOCS = {
    "id": ("($self)", "\nReturns a string representation of the file handle.\n"),
    "close": (
        "($self)",
        "\nClose the file handle.\n\n"
        "Notice that the pyobject still holds a reference to the file handle. However\n"
        "any subsequent read or write operation will fail.\n\n"
        "Small Note on garbage collection: The file handle will internally be closed\n"
        "HOWEVER it will still keep the file system and inode alive. Until the file\n"
        "handle is dropped.\n",
    ),
    "read": (
        "($self, buffer)",
        "\nRead data from the file handle.\n\n"
        "This function reads data from the file handle. The function will return a\n"
        "byte array with the data that was read from the file. The function will\n"
        "return an error if the read operation failed.\n",
    ),
    "write": (
        "($self, buffer)",
        "\nWrite data to the file handle.\n\n"
        "This function writes data to the file handle. The function will return the\n"
        "number of bytes that were written to the file. The function will return an\n"
        "error if the write operation failed.\n",
    ),
    "seek": (
        "($self, offset, whence)",
        "\nSeek a certain position in the file.\n\n"
        "This function seeks a certain position in the file. The function will return\n"
        "the new position in the file. The function will return an error if the seek\n"
        "operation failed.\n",
    ),
    "tell": (
        "($self)",
        "\nTell the current position in the file.\n\n"
        "This function returns the current position in the file. The function will\n"
        "return an error if the tell operation failed.\n",
    ),
}


@pytest.mark.parametrize("name", DOCS)
def test_method_documentation(name):
    check_method_documentation(PyFileHandle, name, DOCS)


def test_methods_are_exactly_these():
    assert public_names(PyFileHandle) == sorted(
        [*DOCS, "closed", "readinto", "truncate", "pread", "pwrite"]
    )
    assert {"__enter__", "__exit__", "__repr__", "__str__"} <= set(vars(PyFileHandle))
