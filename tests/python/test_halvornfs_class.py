"""The fsspec class beyond what fsspec's own suite checks: how instances find
their trees, moves that must lose nothing, and threads."""

import datetime
import errno
import io
import threading

import pytest
from test_threads import run_together

fsspec = pytest.importorskip("fsspec")

import halvornfs  # noqa: E402
from halvorn import PyFs  # noqa: E402
from halvornfs import HalvornFileSystem  # noqa: E402
from halvornfs.filesystem import DEFAULT_TREE  # noqa: E402


def test_found_by_name_and_by_url_without_an_import():
    assert fsspec.get_filesystem_class("halvorn") is HalvornFileSystem
    with fsspec.open("halvorn:///by-url/x.txt", "w") as file:
        file.write("meet")
    assert DEFAULT_TREE.exists("/by-url/x.txt")
    assert fsspec.filesystem("halvorn").cat_file("/by-url/x.txt") == b"meet"


def test_the_package_alone_imports_no_fsspec(run_python):
    result = run_python(
        """
        import sys
        import halvornfs
        assert "fsspec" not in sys.modules
        print(halvornfs.HalvornFileSystem.protocol, "fsspec" in sys.modules)
        """
    )
    assert result.stdout.split() == ["('halvorn',)", "True"], result.stderr


def test_instances_and_their_trees():
    one, other = PyFs(), PyFs()  # alike in print: "<halvorn.PyFs nodes=1>"
    first = fsspec.filesystem("halvorn", fs=one)
    assert fsspec.filesystem("halvorn", fs=one) is first
    assert fsspec.filesystem("halvorn", fs=other).tree is other
    for name in ("/a", "/b"):  # the tree's print changes with its nodes
        one.touch(name)
        assert fsspec.filesystem("halvorn", fs=one) is first
    assert fsspec.filesystem("halvorn", **first.storage_options) is first
    assert fsspec.filesystem("halvorn").tree is DEFAULT_TREE
    in_thread = []
    thread = threading.Thread(target=lambda: in_thread.append(fsspec.filesystem("halvorn", fs=one)))
    thread.start()
    thread.join()
    assert in_thread[0] is not first and in_thread[0].tree is one
    with pytest.raises(TypeError):
        HalvornFileSystem(fs="/")


def test_info_listing_and_times():
    fs = HalvornFileSystem(fs=PyFs())
    fs.pipe_file("/d/f", b"abc")
    fs.mkdir("/d/empty")
    info = fs.info("halvorn:///d/f")
    assert (info["name"], info["size"], info["type"]) == ("/d/f", 3, "file")
    assert [e["type"] for e in fs.ls("/d")] == ["file", "directory"]
    assert fs.ls("/d", detail=False) == ["/d/f", "/d/empty"]
    assert fs.ls("/d/f", detail=False) == ["/d/f"]
    assert isinstance(fs.modified("/d/f"), datetime.datetime)
    assert fs.created("/d").tzinfo is datetime.timezone.utc
    with pytest.raises(FileNotFoundError):
        fs.info("/d/missing")
    with pytest.raises(OSError) as info:
        fs.rmdir("/d")
    assert info.value.errno == errno.ENOTEMPTY
    fs.rm("/d", recursive=True)
    assert fs.ls("/") == []


@pytest.mark.parametrize("start, end", [(None, None), (10, -10), (-5, None), (None, 3), (9, 2)])
@pytest.mark.parametrize("size", [100, 1 << 17])  # read into a bytearray, or in place
def test_ranges_of_a_file(start, end, size):
    fs = HalvornFileSystem(fs=PyFs())
    data = bytes(range(256)) * (size // 256 + 1)
    fs.pipe_file("/f", data[:size])
    assert fs.cat_file("/f", start, end) == data[:size][start:end]


def test_files_open_as_the_standard_objects():
    fs = HalvornFileSystem(fs=PyFs())
    with fs.open("/new/dir/f", "wb") as file:  # parents made, as object stores do
        file.write(b"hello")
    with fs.open("/new/dir/f", "r+b") as file:
        assert type(file) is io.BufferedRandom
        file.seek(-2, 2)
        file.write(b"p!")
        file.seek(0)
        assert file.read() == b"help!"
    with pytest.raises(FileNotFoundError):
        halvornfs.open(fs.tree, "/other/f", "wb")  # the builtin's rule
    with pytest.raises(FileNotFoundError):
        fs.open("/other/f", "rb")
    assert not fs.exists("/other")


def test_a_backslash_separates_as_in_the_tree():
    fs = HalvornFileSystem(fs=PyFs())
    fs.pipe_file("/x\\y", b"piped")  # parents made as the tree splits the path
    with fs.open("/p\\q/r", "wb") as file:
        file.write(b"opened")
    fs.makedirs("/m\\n")
    fs.mkdir("/d")
    fs.mv("/p\\q", "/d/")  # received under its last name
    assert fs.find("/", withdirs=True) == [
        "/", "/d", "/d/q", "/d/q/r", "/m", "/m/n", "/p", "/x", "/x/y"
    ]
    assert fs.cat_file("/x/y") == b"piped"


def lost_nothing(tree, before):
    assert tree.tree("/") == before


@pytest.mark.parametrize(
    "source, target, error, code",
    [
        ("/p", "/p/q", OSError, errno.EINVAL),  # into its own subtree
        ("/p", "/p/q/", OSError, errno.EINVAL),
        ("/p", "/file", NotADirectoryError, errno.ENOTDIR),
        ("/file", "/p/q/open", OSError, errno.EBUSY),  # onto a file a handle holds
        ("/missing", "/p", FileNotFoundError, errno.ENOENT),
    ],
)
def test_failed_moves_lose_nothing(source, target, error, code):
    fs = HalvornFileSystem(fs=PyFs())
    fs.pipe_file("/p/q/open", b"held")
    fs.pipe_file("/p/data", b"kept")
    fs.pipe_file("/file", b"file")
    before = fs.tree.tree("/")
    with fs.open("/p/q/open", "rb"), pytest.raises(error) as info:
        fs.mv(source, target)
    assert info.value.errno == code
    lost_nothing(fs.tree, before)


def test_moves_rename_whole_trees_even_with_open_files():
    fs = HalvornFileSystem(fs=PyFs())
    fs.pipe_file("/p/q/f", b"x" * 10)
    fs.mkdir("/into")
    with fs.open("/p/q/f", "rb") as held:
        fs.mv("/p", "/into")  # an existing directory receives it by name
        fs.mv("/into/p/q", "/made/on/the/way")
        assert held.read() == b"x" * 10
    assert fs.find("/made", withdirs=True) == [
        "/made", "/made/on", "/made/on/the", "/made/on/the/way", "/made/on/the/way/f"
    ]
    assert fs.ls("/into/p", detail=False) == []
    fs.pipe_file("/a", b"a")
    fs.mv("/a", "/made/on/the/way/f")  # onto a file: replaced
    assert fs.cat_file("/made/on/the/way/f") == b"a" and not fs.exists("/a")


def test_threads_creating_listing_and_renaming_in_their_own_directories():
    fs = HalvornFileSystem(fs=PyFs())
    wrong = []

    def work(index):
        own = f"/t{index}"
        for k in range(150):
            fs.pipe_file(f"{own}/new{k}", b"%d" % k)
            names = fs.ls(own, detail=False)
            fs.mv(f"{own}/new{k}", f"{own}/sub/done{k}")
            if names != [f"{own}/new{k}"] + ([f"{own}/sub"] if k else []):
                wrong.append(names)
            if fs.cat_file(f"{own}/sub/done{k}") != b"%d" % k:
                wrong.append(k)
        if len(fs.ls(f"{own}/sub")) != 150:
            wrong.append(index)

    run_together(4, work)
    assert wrong == []
