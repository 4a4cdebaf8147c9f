"""CompactHashIndex.build_to_file: the streamed build from any iterable of str."""

import os
import pathlib
import threading

import pytest

import test_perfect_hash as tph
from test_keyless import unwritable_directory
from quorvale._core import CompactHashIndex as H

KEYS = tph.random_keys(3000, 4)


def only(tmp_path, *names):
    assert sorted(os.listdir(tmp_path)) == sorted(names)


@pytest.mark.parametrize(
    "width",
    [{"fingerprint_bits": b} for b in (1, 7, 8, 12, 24, 64)] + [{"fingerprint_bytes": 2}, {"fingerprint_bytes": 4}, {}],
)
def test_writes_the_in_memory_blob(width, tmp_path):
    path = tmp_path / "idx"
    assert H.build_to_file(iter(KEYS * 2), path, **width) == len(KEYS)
    blob = H(KEYS, **width).to_bytes()
    assert path.read_bytes() == blob
    assert H.load(path).fingerprint_bits == H(KEYS, **width).fingerprint_bits
    only(tmp_path, "idx")


def test_defaults_empty_streams_and_shared_hashes(tmp_path):
    path = tmp_path / "idx"
    assert H.build_to_file(iter(()), str(path)) == 0
    assert path.read_bytes() == H([]).to_bytes() and len(path.read_bytes()) == 40
    assert H.load(path).fingerprint_bits == 8
    assert H.build_to_file([], path, fingerprint_bits=12) == 0
    assert H.load(path).fingerprint_bits == 12
    # Keys sharing their hash pair count once, as in memory.
    keys = tph.colliding(3) + KEYS[:100]
    assert H.build_to_file((k for k in keys), pathlib.Path(path), 2) == len(H(keys, 2)) == 101
    assert path.read_bytes() == H(keys, 2).to_bytes()
    idx = H.load(path)
    assert [idx.id(k) for k in keys] == [H(keys, 2).id(k) for k in keys]


def test_signature_and_doc():
    assert H.build_to_file.__text_signature__ == "(items, path, fingerprint_bytes=1, *, fingerprint_bits=None)"
    assert "number of distinct keys" in H.build_to_file.__doc__


class Untouchable:
    def __iter__(self):
        raise AssertionError("items was iterated")


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((Untouchable(), "p"), {"fingerprint_bits": 0}, ValueError,
         "format error: compact-hash: fingerprint_bits must be in 1..=64"),
        ((Untouchable(), "p"), {"fingerprint_bits": 65}, ValueError,
         "format error: compact-hash: fingerprint_bits must be in 1..=64"),
        ((Untouchable(), "p", 3), {}, ValueError, "format error: compact-hash: fingerprint_bytes must be 1, 2, or 4"),
        ((Untouchable(), "p", 2), {"fingerprint_bits": 12}, ValueError,
         "pass fingerprint_bytes or fingerprint_bits, not both"),
        ((Untouchable(), 5), {}, TypeError, None),
        ((Untouchable(), b"p"), {}, TypeError, None),
        ((Untouchable(), "p", -1), {}, OverflowError, None),
        ((Untouchable(),), {}, TypeError, None),
        ((5, "p"), {}, TypeError, "'int' object is not iterable"),
    ],
)
def test_argument_errors_before_the_items(args, kwargs, exc, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(exc) as e:
        H.build_to_file(*args, **kwargs)
    if message:
        assert str(e.value) == message
    only(tmp_path)


class Boom(Exception):
    pass


def raising_after(n):
    err = Boom(n)

    def gen():
        for i in range(n):
            yield f"key {i}"
        raise err

    return gen(), err


@pytest.mark.parametrize("old", [b"old", None])
def test_a_failing_iterable_leaves_nothing(old, tmp_path):
    target = tmp_path / "t"
    if old is not None:
        target.write_bytes(old)
    names = ["t"] if old is not None else []
    items, err = raising_after(10**6)
    with pytest.raises(Boom) as e:
        H.build_to_file(items, target)
    assert e.value is err
    with pytest.raises(TypeError):
        H.build_to_file(iter(["a", "b", 7, "c"]), target)
    with pytest.raises(TypeError):
        H.build_to_file(iter(["a", b"b"]), target)
    assert (target.read_bytes() if old is not None else target.exists()) == (old if old is not None else False)
    only(tmp_path, *names)


def test_an_unwritable_directory(tmp_path):
    with pytest.raises(OSError) as e:
        H.build_to_file(iter(KEYS), tmp_path / "no" / "such" / "idx")
    assert str(e.value).startswith("io error: ")
    with unwritable_directory(tmp_path) as unwritable:
        with pytest.raises(OSError, match="^io error: "):
            H.build_to_file(iter(KEYS), unwritable / "quorvale-x")
    only(tmp_path, "ro")


def test_builds_on_several_threads(tmp_path):
    blob = H(KEYS).to_bytes()
    errors = []

    def build(name):
        try:
            for _ in range(3):
                assert H.build_to_file(iter(KEYS), tmp_path / name) == len(KEYS)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=build, args=(name,)) for name in ("a", "b", "a", "c")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for name in ("a", "b", "c"):
        assert (tmp_path / name).read_bytes() == blob
    only(tmp_path, "a", "b", "c")
