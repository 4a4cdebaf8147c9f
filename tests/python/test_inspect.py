import os
import pathlib
import struct

import pytest

import quorvale._core as core
from quorvale._core import PerfectHashIndex, inspect

from blobs import made

FIELDS = ["kind", "format", "bytes", "keys", "fingerprint_bits", "mph_bytes", "arena_bytes", "side_entries", "overlay"]
TRUNCATED = "format error: blob truncated: a length in the header runs past the end"
UNKNOWN = "format error: not a quorvale blob: unknown magic"
NO_MAGIC = "format error: not a quorvale blob: shorter than a magic"
OLD_PERFECT = (
    "format error: a PerfectHashIndex blob from quorvale < 4.0, keyed on a hash this version no longer computes; "
    "rebuild it from its keys with PerfectHashIndex::build"
)
OLD_COMPACT = (
    "format error: a CompactHashIndex blob from quorvale < 4.0, keyed on a hash this version no longer computes, "
    "and which stores no keys; rebuild it from its keys with CompactHashIndex::build"
)
OLD_CLOSED = (
    "format error: a ClosedHashIndex blob from quorvale < 4.0, keyed on a hash this version no longer computes, "
    "and which stores no keys; rebuild it from its keys with ClosedHashIndex::build"
)


def string_index(keys, version=3):
    """A "BIX4" blob whose transducer footer claims `keys` keys."""
    footer = 20 if version > 2 else 16
    return made("BIX4", 4 + 36, [(4, "Q", version), (40 - footer, "Q", keys)])


def overlay_v2(tag, base, additions, words):
    added = b"".join(struct.pack("<I", len(a)) + a for a in additions)
    header = b"OVL2" + struct.pack("<BQQQQQI", tag, len(base), len(additions), len(added), len(words), 0, 0)
    return header + base + added + b"".join(struct.pack("<Q", w) for w in words)


def overlay_v1(tag, base, additions, words):
    added = b"".join(struct.pack("<I", len(a)) + a for a in additions)
    header = b"OVL1" + struct.pack("<BQQ", tag, len(base), len(additions))
    return header + base + added + struct.pack("<Q", len(words)) + b"".join(struct.pack("<Q", w) for w in words)


def refused(blob, message, kind=ValueError):
    with pytest.raises(kind) as e:
        inspect(blob)
    assert str(e.value) == message


def test_shorter_than_a_magic(tmp_path):
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    for blob in (b"BMP", b"", str(empty), tmp_path):
        refused(blob, NO_MAGIC)


@pytest.mark.parametrize(
    "magic, message",
    [(f"BMP{g}", OLD_PERFECT) for g in range(1, 8)]
    + [(f"BCH{g}", OLD_COMPACT) for g in range(1, 8)]
    + [("BCL1", OLD_CLOSED)]
    + [(m, UNKNOWN) for m in ("BMP9", "BCL3", "BDX5", "MPH4", "OVL3", "XXXX")],
)
def test_retired_and_unknown_magics(magic, message):
    refused(made(magic, 100), message)


def test_fields_present_or_none():
    info = inspect(made("BMP8", 36))
    assert list(info) == FIELDS
    assert info == {
        "kind": "PerfectHashIndex", "format": "BMP8", "bytes": 36, "keys": 0, "fingerprint_bits": None,
        "mph_bytes": 0, "arena_bytes": 0, "side_entries": 0, "overlay": None,
    }
    refused(made("BMP8", 35), TRUNCATED)

    closed = inspect(made("BCL2", 36 + 10 + 40, [(4, "Q", 5), (12, "Q", 10), (20, "I", 2)]))
    assert (closed["kind"], closed["keys"], closed["mph_bytes"], closed["side_entries"]) == ("ClosedHashIndex", 5, 10, 2)
    assert closed["arena_bytes"] is None and closed["fingerprint_bits"] is None

    compact = inspect(made("BCH8", 40 + 10 + 100, [(4, "Q", 100), (12, "I", 8), (16, "Q", 10)]))
    assert (compact["fingerprint_bits"], compact["arena_bytes"], compact["side_entries"]) == (8, 100, 0)

    for version, keys in ((2, 7), (3, 9)):
        info = inspect(string_index(keys, version))
        assert (info["kind"], info["keys"], info["arena_bytes"]) == ("StringIndex", keys, None)

    mph = inspect(made("MPH3", 64, [(8, "Q", 12)]))
    assert (mph["kind"], mph["keys"], mph["mph_bytes"]) == ("Mphf", 12, 64)


def test_dictionary_headers():
    for magic, header in (("BDX1", 48), ("BDX2", 56)):
        info = inspect(made(magic, header, [(4, "Q", 5)]))
        assert (info["kind"], info["format"], info["keys"], info["arena_bytes"]) == ("DictIndex", magic, 5, 0)
    refused(made("BDX3", 72, [(46, "B", 32)]), TRUNCATED)
    for at, fmt in ((16, "Q"), (24, "Q"), (32, "I"), (52, "I"), (58, "I"), (62, "I")):
        refused(made("BDX4", 200, [(at, fmt, (1 << (8 * struct.calcsize(fmt))) - 1)]), TRUNCATED)


def test_overlays():
    base = string_index(10)
    info = inspect(overlay_v2(1, base, [b"x", b"yy", b"zzz"], [0b110, 0]))
    assert list(info["overlay"]) == ["base_tag", "base", "additions", "retired"]
    assert info["kind"] == "Overlay" and info["keys"] == 11
    overlay = info["overlay"]
    assert (overlay["base_tag"], overlay["additions"], overlay["retired"]) == (1, 3, 2)
    assert overlay["base"]["kind"] == "StringIndex"
    assert overlay["base"]["bytes"] == len(base)
    assert overlay["base"]["overlay"] is None

    tagged = inspect(overlay_v2(9, base, [], []))
    assert tagged["keys"] is None and tagged["overlay"]["base"] is None

    refused(
        overlay_v2(1, overlay_v2(1, base, [], []), [], []),
        "format error: an overlay's base region is itself an overlay, which nothing in this crate writes",
    )
    longer = overlay_v2(1, base, [], [1]) + b"\0"
    refused(longer, "format error: overlay tombstone length disagrees with the blob")
    many = bytearray(overlay_v2(1, base, [b"x"], []))
    struct.pack_into("<Q", many, 13, 1 << 62)
    refused(bytes(many), "format error: overlay header is inconsistent: its counts do not add up")

    old = inspect(overlay_v1(1, base, [b"x", b"", b"long addition"], [1 << 63]))
    assert (old["format"], old["keys"], old["overlay"]["additions"], old["overlay"]["retired"]) == ("OVL1", 12, 3, 1)


def test_argument_types(tmp_path):
    class BytesPath:
        def __fspath__(self):
            return b"p.bin"

    for bad in (bytearray(b"BMP8"), memoryview(b"BMP8"), 3, None, [b"BMP8"], BytesPath()):
        refused(bad, "inspect() takes a path or bytes", TypeError)
    with pytest.raises(OSError) as e:
        inspect(str(tmp_path / "absent"))
    assert str(e.value) == "io error: No such file or directory (os error 2)"

    class Blob(bytes):
        pass

    assert inspect(Blob(made("BMP8", 36)))["kind"] == "PerfectHashIndex"
    assert inspect(blob=made("BMP8", 36))["bytes"] == 36
    with pytest.raises(TypeError):
        inspect()
    with pytest.raises(TypeError):
        inspect(b"", b"")
    assert inspect.__text_signature__ == "(blob)"
    assert inspect.__module__ == "quorvale._core"


def test_real_perfect_hash_blob(tmp_path):
    keys = [f"key{i}" for i in range(1000)]
    index = PerfectHashIndex(keys)
    blob = index.to_bytes()
    path = tmp_path / "p.bin"
    index.save(str(path))
    for source in (blob, str(path), path, pathlib.PurePath(path)):
        info = inspect(source)
        assert info["kind"] == "PerfectHashIndex"
        assert info["keys"] == 1000
        assert info["bytes"] == len(blob) == os.path.getsize(path)
        assert info["mph_bytes"] + info["arena_bytes"] + 12 * info["side_entries"] + 36 == len(blob)


def test_inspect_is_registered_after_the_classes():
    names = list(core.__all__)
    assert names.index("inspect") > max(names.index(n) for n in names if isinstance(getattr(core, n), type))
    assert names[-1] == "_cli"
