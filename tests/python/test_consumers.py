"""Libraries that take file objects or URLs, round-tripping through halvorn:
the standard library's json, csv, pickle and zipfile on halvornfs.open, and
numpy and pandas (with pyarrow for parquet) on halvorn:// URLs. A library
without a wheel for this interpreter or machine is skipped."""

import csv
import json
import os
import pickle
import zipfile

import pytest

import halvornfs
from halvorn import PyFs

# pyarrow's allocator keeps a thread in the background, and later tests fork
# (a fork with threads running warns, and may hang the child): without that
# thread the process stays as single-threaded as the rest of the suite left it.
os.environ.setdefault("JE_ARROW_MALLOC_CONF", "background_thread:false")

ROWS = [["name", "count"], ["ünï", "1"], ["comma, quoted", "2"]]


@pytest.fixture
def tree():
    return PyFs()


def test_json(tree):
    value = {"a": [1, 2.5, None], "ü": "✓"}
    with halvornfs.open(tree, "/v.json", "w", encoding="utf-8") as file:
        json.dump(value, file)
    with halvornfs.open(tree, "/v.json", encoding="utf-8") as file:
        assert json.load(file) == value


def test_csv(tree):
    with halvornfs.open(tree, "/t.csv", "w", newline="", encoding="utf-8") as file:
        csv.writer(file).writerows(ROWS)
    with halvornfs.open(tree, "/t.csv", newline="", encoding="utf-8") as file:
        assert list(csv.reader(file)) == ROWS


def test_pickle(tree):
    value = {"set": {1, 2}, "bytes": b"\0" * 70000}
    with halvornfs.open(tree, "/v.pickle", "wb") as file:
        pickle.dump(value, file)
    with halvornfs.open(tree, "/v.pickle", "rb") as file:
        assert pickle.load(file) == value


def test_zipfile(tree):
    with halvornfs.open(tree, "/a.zip", "wb") as file, zipfile.ZipFile(file, "w") as archive:
        archive.writestr("one.txt", "first")
        archive.writestr("two/two.bin", bytes(range(256)) * 100, zipfile.ZIP_DEFLATED)
    with halvornfs.open(tree, "/a.zip", "r+b") as file:  # appended to in place
        with zipfile.ZipFile(file, "a") as archive:
            archive.writestr("three.txt", "third")
    with halvornfs.open(tree, "/a.zip", "rb") as file, zipfile.ZipFile(file) as archive:
        assert archive.testzip() is None
        assert archive.namelist() == ["one.txt", "two/two.bin", "three.txt"]
        assert archive.read("two/two.bin") == bytes(range(256)) * 100


@pytest.fixture
def url_tree():
    fsspec = pytest.importorskip("fsspec")
    tree = PyFs()
    yield tree, {"fs": tree}
    fsspec.filesystem("halvorn", fs=tree).clear_instance_cache()


def test_numpy(url_tree):
    numpy = pytest.importorskip("numpy")
    fsspec = pytest.importorskip("fsspec")
    tree, options = url_tree
    array = numpy.arange(100_000, dtype=numpy.float64).reshape(100, 1000)
    with fsspec.open("halvorn:///arrays/a.npy", "wb", **options) as file:
        numpy.save(file, array)
    with fsspec.open("halvorn:///arrays/a.npy", "rb", **options) as file:
        assert (numpy.load(file) == array).all()


def test_pandas_csv(url_tree):
    pandas = pytest.importorskip("pandas")
    tree, options = url_tree
    frame = pandas.DataFrame({"x": range(1000), "y": [f"ü{i}" for i in range(1000)]})
    frame.to_csv("halvorn:///new/dir/f.csv", index=False, storage_options=options)
    assert tree.exists("/new/dir/f.csv")
    back = pandas.read_csv("halvorn:///new/dir/f.csv", storage_options=options)
    pandas.testing.assert_frame_equal(back, frame)


def test_pandas_parquet_through_pyarrow(run_python):
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    # In an interpreter of its own: pyarrow's thread pools outlive the call,
    # and later tests fork.
    result = run_python(
        """
        import halvorn, pandas
        tree = halvorn.PyFs()
        frame = pandas.DataFrame({"x": range(1000), "y": [f"ü{i}" for i in range(1000)]})
        frame.to_parquet("halvorn:///f.parquet", storage_options={"fs": tree})
        back = pandas.read_parquet("halvorn:///f.parquet", storage_options={"fs": tree})
        pandas.testing.assert_frame_equal(back, frame)
        print(tree.listdir("/"))
        """
    )
    assert result.stdout == "(['f.parquet'], [])\n", result.stderr


def test_pandas_through_the_shared_tree():
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame({"a": [1, 2, 3]})
    frame.to_csv("halvorn://shared/x.csv", index=False)
    pandas.testing.assert_frame_equal(pandas.read_csv("halvorn://shared/x.csv"), frame)
