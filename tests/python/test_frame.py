import os
import pathlib

import numpy as np
import pytest


@pytest.mark.parametrize(
    "kind, message, errno, exc, text",
    [
        ("fst", "FST error", None, ValueError, "fst error: FST error"),
        ("io", None, 2, OSError, "io error: No such file or directory (os error 2)"),
        ("io", "extsort: a run file is corrupt", None, OSError, "io error: extsort: a run file is corrupt"),
        ("io_kind", None, None, OSError, "io error: entity already exists"),
        ("format", None, None, ValueError, "format error: bad magic or truncated header"),
        ("automaton", "too big", None, ValueError, "automaton error: too big"),
        ("build", None, None, ValueError, "build error: minimal perfect hash: no seed placed every bucket"),
        ("limit", None, None, OverflowError, "an Overlay holds at most u32::MAX additions"),
    ],
)
def test_core_errors_map_to_python(frametest, kind, message, errno, exc, text):
    args = [kind] + ([message] if message is not None else [])
    kwargs = {"errno": errno} if errno is not None else {}
    with pytest.raises(exc) as info:
        frametest.raise_error(*args, **kwargs)
    assert type(info.value) is exc  # OSError exactly, never FileNotFoundError
    assert info.value.args == (text,)
    if exc is OSError:
        assert info.value.errno is None and info.value.filename is None


def test_panic_is_a_base_exception(frametest):
    with pytest.raises(BaseException) as info:
        frametest.raise_error("panic", "a scoped thread panicked")
    t = type(info.value)
    assert not issubclass(t, Exception)
    assert t.__name__ == "PanicException" and t.__module__ == "pyo3_runtime"
    assert str(info.value) == "a scoped thread panicked"
    with pytest.raises(BaseException) as again:
        frametest.raise_error("std", "stray")
    assert type(again.value) is t  # one type for the process


def test_memory_error(frametest):
    with pytest.raises(MemoryError):
        frametest.raise_error("bad_alloc")


def test_text_signature(frametest):
    import inspect

    assert str(inspect.signature(frametest.sig)) == "(a, b=None, *, c=None)"


def test_argument_reader(frametest):
    assert frametest.sig(1) == (1, None, None)
    assert frametest.sig(1, 2, c=3) == (1, 2, 3)
    assert frametest.sig(b=2, a=1) == (1, 2, None)
    cases = [
        ((), {}, "'a'"),  # missing
        ((1,), {"d": 1}, "'d'"),  # unknown
        ((1,), {"a": 1}, "'a'"),  # repeated
        ((1, 2, 3), {}, "'c'"),  # surplus: c is keyword-only
    ]
    for args, kwargs, named in cases:
        with pytest.raises(TypeError) as info:
            frametest.sig(*args, **kwargs)
        assert named in str(info.value), (args, kwargs, str(info.value))


@pytest.mark.parametrize(
    "kind, value, exc, text",
    [
        ("u32", -1, OverflowError, "out of range integral type conversion attempted"),
        ("u32", 2**32, OverflowError, "out of range integral type conversion attempted"),
        ("u32", "1", TypeError, None),
        ("u64", -1, OverflowError, None),
        ("bool", 1, TypeError, "'int' object is not an instance of 'bool'"),
        ("str", 5, TypeError, "'int' object is not an instance of 'str'"),
        ("str", "\ud800", UnicodeEncodeError, None),
        ("blob", bytearray(b"x"), TypeError, None),
        ("blob", memoryview(b"x"), TypeError, None),
        ("path", "a\x00b", ValueError, None),
        ("path", 3, TypeError, None),
        ("path", b"dir/f", TypeError, None),
    ],
)
def test_conversion_failures_keep_their_type_and_get_a_note(frametest, kind, value, exc, text):
    with pytest.raises(exc) as info:
        frametest.convert(kind, value)
    assert type(info.value) is exc
    if text is not None:
        assert str(info.value) == text
    assert getattr(info.value, "__notes__", []) == ["while processing 'value'"]


def test_conversions(frametest, tmp_path):
    assert frametest.convert("u32", 2**32 - 1) == 2**32 - 1
    assert frametest.convert("u32", 0) == 0
    assert frametest.convert("u64", 2**64 - 1) == 2**64 - 1
    assert frametest.convert("bool", True) is True
    assert frametest.convert("bool", np.bool_(True)) is True
    assert frametest.convert("bool", np.False_) is False
    assert frametest.convert("str", "a\x00é") == "a\x00é".encode()

    class B(bytes):
        pass

    assert frametest.convert("blob", B(b"xyz")) == b"xyz"
    assert frametest.convert("path", "dir/f") == b"dir/f"
    assert frametest.convert("path", pathlib.Path("dir") / "f") == b"dir/f"
    assert frametest.convert("path", "\udcff") == os.fsencode("\udcff")


def test_worker_failure_reaches_the_caller(frametest):
    assert frametest.workers(4, -1) == 4
    with pytest.raises(ValueError, match="^build error: worker failed$"):
        frametest.workers(4, 2)
