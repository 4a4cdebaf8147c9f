import array
import sys

import numpy as np
import pytest


# The fake index of the test extension: a key's id is its UTF-8 length, a key
# starting with "-" is absent.
KEYS = ["a", "bcd", "-gone"]
U32_IDS = [1, 3, 2**32 - 1]
U64_IDS = [1, 3, 2**64 - 1]


@pytest.mark.parametrize("width, dtype, ids", [(4, np.uint32, U32_IDS), (8, np.uint64, U64_IDS)])
def test_writes_a_prefix_and_leaves_the_tail(frametest, width, dtype, ids):
    out = np.full(10, 7, dtype=dtype)
    assert frametest.ids_into(KEYS, out, width) is None
    assert out[:3].tolist() == ids
    assert out[3:].tolist() == [7] * 7
    exact = np.zeros(3, dtype=dtype)
    frametest.ids_into(KEYS, exact, width)
    assert exact.tolist() == ids


def test_packed_bytes(frametest):
    b = frametest.ids_of_bytes(KEYS, 8)
    assert isinstance(b, bytes) and len(b) == 24
    assert b[16:] == b"\xff" * 8
    assert np.frombuffer(b, dtype=np.uint64).tolist() == U64_IDS
    assert np.frombuffer(frametest.ids_of_bytes(KEYS, 4), dtype=np.uint32).tolist() == U32_IDS
    assert frametest.ids_of_bytes([], 4) == b""
    assert int.from_bytes(frametest.ids_of_bytes(["abcd"], 4), sys.byteorder) == 4


def test_other_native_exporters(frametest):
    out = array.array("I", [9] * 4)
    frametest.ids_into(KEYS, out, 4)
    assert out.tolist() == U32_IDS + [9]
    out = memoryview(bytearray(24)).cast("Q")
    frametest.ids_into(KEYS, out, 8)
    assert out.tolist() == U64_IDS


def misaligned_u32():
    raw = np.zeros(20, np.uint8)
    return raw[1:17].view(np.uint32)  # exported as "=I", one byte off


def strided_u32():
    return np.zeros(20, np.uint32)[::2]


def readonly_u32():
    a = np.zeros(10, np.uint32)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize(
    "width, make, exc, message",
    [
        (4, lambda: np.zeros(10, np.int32), BufferError, "buffer contents are not compatible with u32"),
        (4, lambda: np.zeros(10, np.uint64), BufferError, "buffer contents are not compatible with u32"),
        (4, lambda: np.zeros(10, np.float32), BufferError, "buffer contents are not compatible with u32"),
        (4, lambda: np.zeros(10, ">u4"), BufferError, "buffer contents are not compatible with u32"),
        (8, lambda: np.zeros(10, np.uint32), BufferError, "buffer contents are not compatible with u64"),
        (8, lambda: np.zeros(10, np.int64), BufferError, "buffer contents are not compatible with u64"),
        (4, lambda: bytearray(40), BufferError, "buffer contents are not compatible with u32"),
        (4, lambda: b"\x00" * 40, BufferError, "buffer contents are not compatible with u32"),
        (4, misaligned_u32, BufferError, "buffer contents are insufficiently aligned for u32"),
        (4, lambda: memoryview(bytearray(17))[1:].cast("I"), BufferError,
         "buffer contents are insufficiently aligned for u32"),
        (4, readonly_u32, BufferError, "out is read-only"),
        (4, strided_u32, BufferError, "out is not C-contiguous"),
        (4, lambda: np.zeros((4, 4), np.uint32).T, BufferError, "out is not C-contiguous"),
        (4, lambda: np.zeros(2, np.uint32), ValueError, "out holds 2 items but 3 keys were given"),
        (8, lambda: np.zeros(0, np.uint64), ValueError, "out holds 0 items but 3 keys were given"),
    ],
)
def test_refusals_leave_the_buffer_unchanged(frametest, width, make, exc, message):
    out = make()
    before = bytes(memoryview(out).tobytes()) if not isinstance(out, np.ndarray) else out.copy()
    with pytest.raises(exc) as info:
        frametest.ids_into(KEYS, out, width)
    assert type(info.value) is exc
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)
    if isinstance(out, np.ndarray):
        assert np.array_equal(out, before) and out.tobytes() == before.tobytes()
    else:
        assert memoryview(out).tobytes() == before


def test_not_a_buffer(frametest):
    with pytest.raises(TypeError):
        frametest.ids_into(KEYS, [0, 0, 0], 4)
    with pytest.raises(TypeError):
        frametest.ids_into([], [0, 0, 0], 4)


def test_empty_batch_only_checks_read_only(frametest):
    out = np.full(4, 5, np.uint32)
    assert frametest.ids_into([], out, 4) is None
    assert out.tolist() == [5] * 4
    # Any writable buffer will do when there is nothing to write.
    assert frametest.ids_into([], np.zeros(3, np.float64), 4) is None
    for ro in (b"abc", readonly_u32()):
        with pytest.raises(BufferError, match="^out is read-only$"):
            frametest.ids_into([], ro, 4)


def test_key_errors_come_before_buffer_checks(frametest):
    with pytest.raises(TypeError, match="not an instance of 'str'"):
        frametest.ids_into(["a", 1], b"", 4)
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        frametest.ids_into("abc", np.zeros(3, np.uint32), 4)


def test_buffer_is_released_after_success_and_refusal(frametest):
    # A bytearray cannot grow while a buffer export is held.
    for keys in (["a"], []):
        out = memoryview(bytearray(8)).cast("I")
        frametest.ids_into(keys, out, 4)
        out.release()  # raises BufferError if an export were still held
    raw = bytearray(40)
    with pytest.raises(BufferError):
        frametest.ids_into(KEYS, raw, 4)
    raw.append(1)
    with pytest.raises(BufferError):
        frametest.ids_into([], bytes(3), 4)
