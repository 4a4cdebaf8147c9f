import struct

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest


NOT_A_COLUMN = (
    "expected a pyarrow utf8/large_utf8 Array or ChunkedArray, a pandas ArrowDtype column, or a polars Series"
)
MISSING32 = 2**32 - 1

VALUES = ["a", None, "bcd", "", "-gone", "é€", None, "x\x00y", "long key here", "z", None, "q"]


def expected_ids(values, width=4):
    """What the fake index gives for a list: the UTF-8 length, all-ones for a
    null or a key starting with '-'."""
    missing = 2 ** (8 * width) - 1
    return [missing if v is None or v.startswith("-") else len(v.encode()) for v in values]


def ids(frametest, column, width=4):
    b = frametest.ids_of_arrow(column, width)
    return np.frombuffer(b, dtype=np.uint32 if width == 4 else np.uint64).tolist()


def flat_keys(frametest, column):
    return [k for chunk in frametest.arrow_keys(column) for k in chunk]


def encoded(values):
    return [None if v is None else v.encode() for v in values]


@pytest.mark.parametrize("type_", [pa.string(), pa.large_string()])
def test_array_matches_list(frametest, type_):
    arr = pa.array(VALUES, type=type_)
    assert flat_keys(frametest, arr) == encoded(VALUES)
    assert ids(frametest, arr) == expected_ids(VALUES)
    assert ids(frametest, arr, 8) == expected_ids(VALUES, 8)
    assert ids(frametest, arr) == ids(frametest, pa.array(VALUES, type=pa.large_string()))


def test_chunked_array_with_an_empty_chunk(frametest):
    col = pa.chunked_array([VALUES[:3], [], VALUES[3:]], type=pa.string())
    assert [len(c) for c in frametest.arrow_keys(col)] == [3, 0, len(VALUES) - 3]
    assert ids(frametest, col) == expected_ids(VALUES)
    assert ids(frametest, pa.chunked_array([], type=pa.string())) == []


@pytest.mark.parametrize("start, length", [(3, 5), (1, 9), (5, 7), (8, 0), (0, 12)])
def test_slices_read_their_own_elements_and_nulls(frametest, start, length):
    base = pa.array(VALUES * 3)
    sl = base.slice(start, length)
    assert flat_keys(frametest, sl) == encoded(sl.to_pylist())
    assert ids(frametest, sl) == expected_ids(sl.to_pylist())
    large = pa.array(VALUES * 3, type=pa.large_string()).slice(start, length)
    assert ids(frametest, large) == expected_ids(large.to_pylist())


def test_validity_bitmap_with_zero_null_count_means_no_nulls(frametest):
    # pyarrow drops a bitmap given with null_count=0, but a null-free slice
    # of an array with nulls keeps its parent's bitmap.
    arr = pa.array(["a", None, "b", "c", None]).slice(2, 2)
    assert arr.null_count == 0 and arr.buffers()[0] is not None
    assert flat_keys(frametest, arr) == [b"b", b"c"]
    # The stand-in below shows a bitmap of zero bits is ignored as well.


def test_pandas_columns(frametest):
    s = pd.Series(VALUES, dtype=pd.ArrowDtype(pa.string()))
    assert ids(frametest, s) == expected_ids(VALUES)
    s = pd.Series(VALUES, dtype=pd.ArrowDtype(pa.large_string()))
    assert ids(frametest, s) == expected_ids(VALUES)
    # The default string column of pandas is Arrow-backed as well.
    s = pd.Series(VALUES, dtype="string[pyarrow]")
    assert ids(frametest, s) == expected_ids(VALUES)
    assert ids(frametest, s[2:9]) == expected_ids(VALUES[2:9])
    s = pd.Series(VALUES)  # the default str dtype
    assert ids(frametest, s) == expected_ids(VALUES)


def test_polars_series(frametest):
    s = pl.Series(VALUES)
    assert ids(frametest, s) == expected_ids(VALUES)
    assert ids(frametest, s.slice(3, 6)) == expected_ids(VALUES[3:9])
    chunked = pl.concat([pl.Series(VALUES[:4]), pl.Series(VALUES[4:])], rechunk=False)
    assert ids(frametest, chunked) == expected_ids(VALUES)
    # polars' newest Arrow export is string_view, which is not accepted.
    view = s.to_arrow(compat_level=pl.CompatLevel.newest())
    with pytest.raises(TypeError, match="^expected an Arrow utf8 or large_utf8 column, got string_view$"):
        frametest.ids_of_arrow(view, 4)


@pytest.mark.parametrize(
    "arr, text",
    [
        (pa.array([1, 2]), "int64"),
        (pa.array([b"a"]), "binary"),
        (pa.array(["a"], type=pa.string_view()), "string_view"),
        (pa.array([["a"]]), "list<item: string>"),
    ],
)
def test_other_arrow_types(frametest, arr, text):
    with pytest.raises(TypeError) as info:
        frametest.ids_of_arrow(arr, 4)
    assert str(info.value) == "expected an Arrow utf8 or large_utf8 column, got " + text


@pytest.mark.parametrize("obj", [["a", "b"], "ab", 5, None, np.array(["a"])])
def test_not_a_column(frametest, obj):
    with pytest.raises(TypeError) as info:
        frametest.ids_of_arrow(obj, 4)
    assert str(info.value) == NOT_A_COLUMN


def test_empty_column(frametest):
    for col in (pa.array([], type=pa.string()), pa.chunked_array([[]], type=pa.large_string())):
        assert frametest.ids_of_arrow(col, 8) == b""
        out = np.full(2, 9, np.uint32)
        assert frametest.ids_into_arrow(col, out, 4) is None
        assert out.tolist() == [9, 9]
        with pytest.raises(BufferError, match="^out is read-only$"):
            frametest.ids_into_arrow(col, b"", 4)


def test_ids_into_arrow(frametest):
    arr = pa.array(VALUES)
    out = np.full(len(VALUES) + 2, 7, np.uint32)
    frametest.ids_into_arrow(arr, out, 4)
    assert out.tolist() == expected_ids(VALUES) + [7, 7]
    with pytest.raises(ValueError, match=f"^out holds 2 items but {len(VALUES)} keys were given$"):
        frametest.ids_into_arrow(arr, np.zeros(2, np.uint32), 4)


# ---- a duck-typed stand-in for the failure table -------------------------------


class Fake:
    """Looks like a pyarrow array: type, len, offset, null_count, buffers()."""

    def __init__(self, n, offsets, data, validity=None, *, type_="string", offset=0, null_count=0, buffers=None):
        self.type, self.n, self.offset, self.null_count = type_, n, offset, null_count
        self._buffers = buffers if buffers is not None else [validity, offsets, data]

    def __len__(self):
        return self.n

    def buffers(self):
        return self._buffers


def off32(*values):
    return struct.pack(f"<{len(values)}i", *values)


def off64(*values):
    return struct.pack(f"<{len(values)}q", *values)


NO_OFFSETS = "the column has no offsets buffer"
SHORT_OFFSETS = "the column's offsets buffer is shorter than the column"
NOT_ASCENDING = "the column's offsets do not ascend within its data buffer"
NO_VALIDITY = "the column reports nulls but has no validity buffer"
SHORT_VALIDITY = "the column's validity buffer is shorter than the column"


@pytest.mark.parametrize(
    "fake, exc, message",
    [
        (Fake(1, off32(0, 1), b"a", type_="int32"), TypeError, "expected an Arrow utf8 or large_utf8 column, got int32"),
        (Fake(1, None, None, buffers=[None, off32(0, 1)]), TypeError, "an Arrow utf8 column has three buffers"),
        (Fake(1, None, None, buffers=[None, off32(0, 1), b"a", None]), TypeError, "an Arrow utf8 column has three buffers"),
        (Fake(1, None, None, buffers="abc"), TypeError, "Can't extract `str` to `Vec`"),
        (Fake(1, None, None, buffers=5), TypeError, "'int' object is not an instance of 'Sequence'"),
        (Fake(1, None, b"a"), ValueError, NO_OFFSETS),
        (Fake(2, off32(0, 1), b"ab"), ValueError, SHORT_OFFSETS),
        (Fake(2, off32(0, 1, 2), b"ab", offset=1), ValueError, SHORT_OFFSETS),
        (Fake(2, off64(0, 1, 2)[:20], b"ab", type_="large_string"), ValueError, SHORT_OFFSETS),
        # offset x width would wrap: refused, not read out of bounds
        (Fake(1, off32(0, 1), b"a", offset=2**62), ValueError, SHORT_OFFSETS),
        (Fake(1, off64(0, 1), b"a", type_="large_string", offset=2**61), ValueError, SHORT_OFFSETS),
        (Fake(2**40, off32(0, 1), b"a"), ValueError, SHORT_OFFSETS),
        (Fake(1, off32(-1, 1), b"ab"), ValueError, NOT_ASCENDING),
        (Fake(2, off32(0, 2, 1), b"ab"), ValueError, NOT_ASCENDING),
        (Fake(2, off32(2, 1, 3), b"abc"), ValueError, NOT_ASCENDING),
        (Fake(1, off32(0, 3), b"ab"), ValueError, NOT_ASCENDING),
        (Fake(1, off32(2, 3), b"ab"), ValueError, NOT_ASCENDING),
        (Fake(1, off32(0, 1), None), ValueError, NOT_ASCENDING),
        (Fake(1, off64(0, -(2**63)), b"a", type_="large_string"), ValueError, NOT_ASCENDING),
        (Fake(1, off32(0, 1), b"a", null_count=1), ValueError, NO_VALIDITY),
        (Fake(9, off32(*range(10)), b"abcdefghi", b"\xff", null_count=1), ValueError, SHORT_VALIDITY),
        (Fake(4, off32(*range(10)), b"abcdefghi", b"\xff", null_count=1, offset=5), ValueError, SHORT_VALIDITY),
    ],
)
def test_failure_table(frametest, fake, exc, message):
    out = np.full(4, 3, np.uint32)
    with pytest.raises(exc) as info:
        frametest.ids_into_arrow(fake, out, 4)
    assert type(info.value) is exc
    assert str(info.value) == message
    assert out.tolist() == [3] * 4  # nothing touched
    assert not getattr(info.value, "__notes__", None)


def test_stand_in_reads(frametest):
    # Offsets starting beyond 0, a data-less column of empty keys, nulls past
    # an offset of 5 bits, and a bitmap ignored when no nulls are reported.
    assert flat_keys(frametest, Fake(2, off32(9, 2, 3, 5), b"xxabcde", offset=1)) == [b"a", b"bc"]
    assert flat_keys(frametest, Fake(2, off32(0, 0, 0), None)) == [b"", b""]
    fake = Fake(4, off32(*range(10)), b"abcdefghi", bytes([0b10111111, 0b1]), null_count=1, offset=5)
    assert flat_keys(frametest, fake) == [b"f", None, b"h", b"i"]
    fake = Fake(2, off32(0, 1, 2), b"ab", bytes([0]), null_count=0)
    assert flat_keys(frametest, fake) == [b"a", b"b"]
    assert flat_keys(frametest, Fake(0, None, None, type_="large_string", buffers=5)) == []


def test_offset_conversion_errors(frametest):
    with pytest.raises(OverflowError):
        frametest.ids_of_arrow(Fake(1, off32(0, 1), b"a", offset=-1), 4)
    with pytest.raises(TypeError):
        frametest.ids_of_arrow(Fake(1, off32(0, 1), b"a", null_count="0"), 4)


class Chunked:
    def __init__(self, chunks):
        self.chunks = chunks


class Exploding:
    @property
    def type(self):
        raise AssertionError("a chunk after the failure was examined")


def test_chunk_failures(frametest):
    good = Fake(1, off32(0, 1), b"a")
    with pytest.raises(ValueError, match=NO_OFFSETS):
        frametest.ids_of_arrow(Chunked([good, Fake(1, None, b"a"), Exploding()]), 4)
    with pytest.raises(TypeError, match="^Can't extract `str` to `Vec`$"):
        frametest.ids_of_arrow(Chunked("ab"), 4)
    with pytest.raises(TypeError, match="^'int' object is not an instance of 'Sequence'$"):
        frametest.ids_of_arrow(Chunked(3), 4)
    assert frametest.arrow_keys(Chunked((good, good))) == [[b"a"], [b"a"]]


class Converts:
    def __init__(self, target):
        self.target = target

    def __arrow_array__(self):
        return self.target


class SelfConverting:
    def __arrow_array__(self):
        return self


class SelfToArrow:
    def to_arrow(self):
        return self


class RaisingProbe:
    @property
    def buffers(self):
        raise RuntimeError("probe failed")


class RaisingArray:
    """Reading `array` fails: that rule is skipped and to_arrow is used."""

    @property
    def array(self):
        raise RuntimeError("no array")

    def to_arrow(self):
        return pa.array(["ab"])


class PandasLike:
    def __init__(self, arr):
        self.array = Converts(arr)


def test_conversion_rules(frametest):
    arr = pa.array(["ab", None])
    assert frametest.arrow_keys(Converts(arr)) == [[b"ab", None]]
    assert frametest.arrow_keys(Converts(Converts(arr))) == [[b"ab", None]]
    assert frametest.arrow_keys(PandasLike(arr)) == [[b"ab", None]]
    assert frametest.arrow_keys(RaisingArray()) == [[b"ab"]]
    for loop in (SelfConverting(), SelfToArrow()):
        with pytest.raises(TypeError) as info:
            frametest.ids_of_arrow(loop, 4)
        assert str(info.value) == NOT_A_COLUMN
    with pytest.raises(RuntimeError, match="probe failed"):
        frametest.ids_of_arrow(RaisingProbe(), 4)

    class Failing:
        def __arrow_array__(self):
            raise KeyError("converter")

    with pytest.raises(KeyError):
        frametest.ids_of_arrow(Failing(), 4)


def test_chunks_are_owned_copies(frametest):
    # A producer whose buffers change after they were read cannot change the
    # result; here the data buffer is a bytearray we overwrite afterwards.
    data = bytearray(b"ab")
    fake = Fake(2, off32(0, 1, 2), data)
    keys = frametest.arrow_keys(fake)
    data[:] = b"zz"
    assert keys == [[b"a", b"b"]]
