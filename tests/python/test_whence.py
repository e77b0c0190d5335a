import numpy
import pytest

from halvorn import Whence

MEMBERS = [("SEEK_SET", 0), ("SEEK_CUR", 1), ("SEEK_END", 2)]


@pytest.mark.parametrize("name, value", MEMBERS)
def test_members(name, value):
    member = getattr(Whence, name)
    assert type(member) is Whence
    assert member is getattr(Whence, name)  # made once, with the class
    assert repr(member) == str(member) == f"Whence.{name}"
    assert int(member) == value
    assert type(int(member)) is int


class TestEquality:
    @pytest.mark.parametrize("name, value", MEMBERS)
    def test_against_integers(self, name, value):
        member = getattr(Whence, name)
        for other in range(-1, 4):
            assert (member == other) is (other == value)
            assert (member != other) is (other != value)
            assert (other == member) is (other == value)  # reflected

    def test_against_members(self):
        assert Whence.SEEK_SET == Whence.SEEK_SET
        assert Whence.SEEK_SET != Whence.SEEK_END
        assert not Whence.SEEK_CUR != Whence.SEEK_CUR

    def test_against_other_integer_types(self):
        class Index:
            def __index__(self):
                return 2

        assert Whence.SEEK_END == Index()
        assert Whence.SEEK_END == numpy.int64(2)
        assert Whence.SEEK_CUR == True  # noqa: E712 - bool is an int
        assert Whence.SEEK_SET != numpy.uint8(1)

    @pytest.mark.parametrize("other", ["x", "0", None, 0.0, 2**64, -(2**70), object()])
    def test_anything_else_is_unequal(self, other):
        # Left to the interpreter's default (identity), including integers
        # that do not fit in 64 bits and floats, which have no __index__.
        assert not Whence.SEEK_SET == other
        assert Whence.SEEK_SET != other

    def test_a_failing_index_is_unequal(self):
        class Broken:
            def __index__(self):
                raise RuntimeError("no value")

        assert Whence.SEEK_SET != Broken()

    def test_an_interrupt_inside_index_is_not_swallowed(self):
        class Interrupting:
            def __index__(self):
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            Whence.SEEK_SET == Interrupting()


class TestNoOrderNoHash:
    @pytest.mark.parametrize(
        "compare",
        [
            lambda a, b: a < b,
            lambda a, b: a <= b,
            lambda a, b: a > b,
            lambda a, b: a >= b,
        ],
    )
    @pytest.mark.parametrize("other", [Whence.SEEK_END, 1])
    def test_ordering_raises(self, compare, other):
        with pytest.raises(TypeError, match="not supported between instances"):
            compare(Whence.SEEK_SET, other)

    def test_unhashable(self):
        assert Whence.__hash__ is None
        with pytest.raises(TypeError, match="unhashable"):
            hash(Whence.SEEK_SET)
        with pytest.raises(TypeError):
            {Whence.SEEK_CUR}
