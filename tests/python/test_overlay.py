import os
import pickle
import struct
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
import references

import quorvale._core as core
from quorvale._core import CompactHashIndex, Overlay, PerfectHashIndex, StringIndex

NONE = 2**64 - 1


ref_keyless = references.load("keyless_ref")

BASES = {
    "string": StringIndex,
    "perfect": PerfectHashIndex,
    "compact": CompactHashIndex,
}
KEYED = ["string", "perfect"]


@pytest.fixture(params=list(BASES))
def kind(request):
    return request.param


@pytest.fixture(params=KEYED)
def keyed(request):
    return request.param


def reseal(b):
    """Both checksums of an "OVL2" blob made right again after an edit."""
    b = bytearray(b)
    b[37:45] = struct.pack("<Q", ref_keyless.payload_checksum(bytes(b[49:])))
    b[45:49] = struct.pack("<I", ref_keyless.header_checksum(bytes(b[:45])))
    return bytes(b)


def fields(b):
    """tag, base length, additions, additions length, tombstone words."""
    return struct.unpack_from("<BQQQQ", b, 4)


def state(o):
    return (o.id_space(), len(o), o.to_bytes())


# ---- id rules ----


def test_id_rules_over_an_empty_base(kind):
    o = Overlay(BASES[kind]([]))
    assert [o.add("x"), o.add("y"), o.add("x")] == [0, 1, 0]
    assert o.id_space() == 2 and len(o) == 2


def test_id_rules_over_b_d(kind):
    base = BASES[kind](["b", "d"])
    o = Overlay(base)
    b = base.id("b")
    before = state(o)
    assert o.add("b") == b and state(o) == before

    x = o.add("x")
    assert x == 2
    space = o.id_space()
    assert o.remove("x") is True and len(o) == 2
    assert o.add("x") == x and o.id_space() == space and len(o) == 3

    assert o.remove("x") is True
    assert o.add("z") == space  # the old id space, never the retired id
    before = state(o)
    assert o.remove("absent") is False and o.remove("x") is False
    assert o.retire_id(o.id_space()) is False and o.retire_id(x) is False
    assert state(o) == before

    assert o.retire_id(b) is True
    assert o.id("b") is None and "b" not in o and not o.contains("b")
    if kind != "compact":
        assert o.key(b) is None
    for i in range(o.id_space()):
        o.retire_id(i)
    assert len(o) == 0 and o.is_empty()
    if kind != "compact":
        assert o.keys() == []


def test_retire_id_0_over_a_string_index():
    o = Overlay(StringIndex(["b", "d"]))
    assert o.retire_id(0) is True
    assert o.id("b") is None and o.key(0) is None and "b" not in o
    assert o.keys() == ["d"]


def stranger(base):
    """A key the compact-hash base never held that its lookup accepts."""
    i = 0
    while base.id(f"stranger{i}") is None:
        i += 1
    return f"stranger{i}"


def test_compact_base_takes_a_fingerprint_match_for_its_slot():
    keys = [f"key{i}" for i in range(300)]
    base = CompactHashIndex(keys)
    o = Overlay(base)
    s = stranger(base)
    slot = base.id(s)
    owner = next(k for k in keys if base.id(k) == slot)
    assert o.id(s) == slot and o.add(s) == slot and o.id_space() == 300
    assert o.remove(s) is True and o.id(owner) is None
    assert o.add(s) == slot and o[owner] == slot


def test_compact_base_has_no_keys():
    o = Overlay(CompactHashIndex(["a", "b"]))
    o.add("c")
    o.remove("a")
    before = state(o)
    message = (
        "a CompactHashIndex stores no keys, so an overlay over it has no key(), keys(), compact(), "
        "compact_to_file() or compact_with_remap()"
    )
    for call in (lambda: o.key(0), o.keys, o.compact, lambda: o.compact_to_file("never"), o.compact_with_remap):
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == message
    assert state(o) == before
    assert not os.path.exists("never")
    assert o.id("c") == 2 and o.retire_id(2) and o.add("c") == 2


# ---- the class ----


def test_constructor_takes_the_three_kinds():
    for other in (core.ClosedHashIndex(["a"]), core.DoubleArrayIndex(["a"]), "a", None):
        with pytest.raises(TypeError) as e:
            Overlay(other)
        assert str(e.value) == "Overlay takes a StringIndex, a PerfectHashIndex or a CompactHashIndex"

    class Sub(StringIndex):
        pass

    o = Overlay(Sub(["b", "d"]))
    base = o.base()
    assert type(base) is StringIndex and base.id("d") == 1
    assert type(Overlay(PerfectHashIndex(["a"])).base()) is PerfectHashIndex
    assert type(Overlay(CompactHashIndex(["a"])).base()) is CompactHashIndex
    with pytest.raises(TypeError):
        Overlay()
    with pytest.raises(TypeError):
        Overlay(index=StringIndex([]), other=1)
    assert Overlay(index=StringIndex(["q"])).id("q") == 0


def test_lookup_forms():
    o = Overlay(StringIndex(["b", "d"]))
    assert o.get("nope", -1) == -1 and o.get("nope") is None and o.get(key="d") == 1
    with pytest.raises(KeyError) as e:
        o["nope"]
    assert e.value.args == ("nope",)
    assert o["b"] == 0 and "b" in o
    for bad in (lambda: 1 in o, lambda: o.id(1), lambda: o[1], lambda: o.add(b"x")):
        with pytest.raises(TypeError):
            bad()
    with pytest.raises(OverflowError):
        o.retire_id(-1)
    with pytest.raises(OverflowError):
        o.retire_id(2**64)
    with pytest.raises(TypeError):
        o.retire_id("0")
    assert o.retire_id(o.id_space()) is False


def test_text_signatures_and_registration():
    assert Overlay.__text_signature__ == "(index)"
    expected = {
        "is_empty": "($self)", "id_space": "($self)", "id": "($self, key)", "contains": "($self, key)",
        "get": "($self, key, default=None)", "add": "($self, key)", "remove": "($self, key)",
        "retire_id": "($self, id)", "key": "($self, id)", "keys": "($self)", "compact": "($self)",
        "compact_to_file": "($self, path)", "compact_with_remap": "($self)", "base": "($self)",
        "to_bytes": "($self)", "save": "($self, path)", "from_bytes": "(data, base)", "__reduce__": "($self)",
        "from_untrusted_bytes": "(data, base)", "load": "(path, base)", "load_untrusted": "(path, base)",
    }
    assert len(expected) == 21
    for name, sig in expected.items():
        assert getattr(Overlay, name).__text_signature__ == sig, name
    names = list(core.__all__)
    assert names.index("Overlay") == 5 and names[4] == "ClosedHashIndex"
    assert not hasattr(Overlay, "ID_DTYPE") and not hasattr(Overlay, "MISSING_ID")


# ---- blobs ----


def edited(kind):
    o = Overlay(BASES[kind](["b", "d", "f"]))
    for k in ["a", "c", "\u6771", ""] + [f"n{i}" for i in range(130)]:
        o.add(k)
    o.remove("d")
    o.remove("c")
    assert o.retire_id(100) and o.add("n93") == 100  # word 1 is zero again
    o.remove("n120")
    return o


def same(a, b, kind):
    assert a.id_space() == b.id_space() and len(a) == len(b)
    probes = ["b", "d", "f", "a", "c", "\u6771", "", "zz"] + [f"n{i}" for i in range(131)]
    assert [a.id(k) for k in probes] == [b.id(k) for k in probes]
    if kind != "compact":
        assert a.keys() == b.keys()
        assert [a.key(i) for i in range(a.id_space() + 1)] == [b.key(i) for i in range(b.id_space() + 1)]


def test_round_trips(kind, tmp_path):
    o = edited(kind)
    blob = o.to_bytes()
    assert fields(blob)[0] == {"string": 1, "perfect": 2, "compact": 3}[kind]
    path = tmp_path / "o.ovl"
    o.save(path)
    assert path.read_bytes() == blob
    assert os.listdir(tmp_path) == ["o.ovl"]
    cls = BASES[kind]
    for back in (
        Overlay.from_bytes(blob, cls),
        Overlay.from_untrusted_bytes(blob, base=cls),
        Overlay.load(path, cls),
        Overlay.load_untrusted(str(path), cls),
        pickle.loads(pickle.dumps(o)),
    ):
        same(o, back, kind)
        assert back.to_bytes() == blob  # inner and trailing zero words kept
    red = o.__reduce__()
    assert red[0] == Overlay.from_bytes and red[1] == (blob, cls)


def test_pickle_in_a_fresh_process(kind):
    o = edited(kind)
    code = textwrap.dedent(
        """
        import pickle, sys
        o = pickle.loads(sys.stdin.buffer.read())
        sys.stdout.buffer.write(pickle.dumps((type(o.base()).__name__, o.id_space(), len(o), o.to_bytes())))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(o), capture_output=True, check=True)
    assert pickle.loads(out.stdout) == (BASES[kind].__name__, o.id_space(), len(o), o.to_bytes())


def test_empty_overlay_over_an_empty_string_index():
    base = StringIndex([])
    blob = Overlay(base).to_bytes()
    assert len(blob) == 49 + len(base.to_bytes())
    assert fields(blob) == (1, len(base.to_bytes()), 0, 0, 0)
    assert blob[49:] == base.to_bytes()
    back = Overlay.from_bytes(blob, StringIndex)
    assert back.id_space() == 0 and back.is_empty()


def test_trailing_zero_words_survive():
    o = Overlay(StringIndex(["a"]))
    for i in range(200):
        o.add(f"k{i}")
    o.remove("k150")
    o.add("k150")
    blob = o.to_bytes()
    assert fields(blob)[4] == 3 and blob[-24:] == bytes(24)
    assert Overlay.from_bytes(blob, StringIndex).to_bytes() == blob


def sample():
    o = Overlay(StringIndex(["b", "d"]))
    o.add("a")
    o.add("c")
    o.remove("d")
    return o.to_bytes()


def put(b, at, fmt, value):
    b = bytearray(b)
    struct.pack_into("<" + fmt, b, at, value)
    return bytes(b)


def refusals():
    good = sample()
    adds = 49 + fields(good)[1]
    flip = lambda b, at: b[:at] + bytes([b[at] ^ 1]) + b[at + 1:]  # noqa: E731
    return [
        ("magic", flip(good, 2), "bad overlay magic or truncated header"),
        ("20 bytes", good[:20], "bad overlay magic or truncated header"),
        *[(f"header byte {i}", flip(good, i), "overlay header checksum mismatch") for i in range(4, 49)],
        *[(f"byte {i}", flip(good, i), "overlay payload checksum mismatch") for i in range(49, len(good))],
        ("perfect-hash base", Overlay(PerfectHashIndex(["b"])).to_bytes(),
         "overlay blob was written over a different base index"),
        ("one byte appended", reseal(good + b"\0"), "overlay tombstone length mismatch"),
        ("2^61 words", reseal(put(good, 29, "Q", 2**61)), "overlay tombstone count out of range"),
        ("count one lower", reseal(put(good, 13, "Q", 1)), "overlay addition region is longer than its additions"),
        ("count one higher", reseal(put(good, 13, "Q", 3)), "overlay additions truncated"),
        ("a base key", reseal(put(good, adds + 4, "B", ord("b"))), "overlay addition duplicates a base key"),
        ("an earlier addition", reseal(put(good, adds + 9, "B", ord("a"))), "duplicate key among overlay additions"),
        ("bit at the id space", reseal(put(good, len(good) - 8, "B", 0b10010)), "overlay tombstone outside the id space"),
    ]


@pytest.mark.parametrize("name, blob, message", refusals(), ids=[r[0] for r in refusals()])
def test_loader_refusals(name, blob, message):
    for load in (Overlay.from_bytes, Overlay.from_untrusted_bytes):
        with pytest.raises(ValueError) as e:
            load(blob, StringIndex)
        assert str(e.value) == "format error: " + message


def test_loader_arguments(tmp_path):
    blob = sample()

    class Sub(StringIndex):
        pass

    with pytest.raises(TypeError) as e:
        Overlay.from_bytes(blob, Sub)
    assert str(e.value) == "base must be StringIndex, PerfectHashIndex or CompactHashIndex (the class itself)"
    with pytest.raises(TypeError) as e:
        Overlay.from_bytes(blob, StringIndex(["b"]))
    assert "'base'" in "".join(getattr(e.value, "__notes__", []))
    with pytest.raises(TypeError) as e:
        Overlay.from_bytes(bytearray(blob), StringIndex)
    assert "'data'" in "".join(getattr(e.value, "__notes__", []))
    with pytest.raises(TypeError):
        Overlay.load(tmp_path / "x", "StringIndex")

    with pytest.raises(OSError) as e:
        Overlay.load(tmp_path / "missing.ovl", StringIndex)
    assert "io error" not in str(e.value) and "No such file or directory" in str(e.value)
    # The class is checked after the file was read.
    (tmp_path / "o.ovl").write_bytes(blob)
    with pytest.raises(TypeError):
        Overlay.load(tmp_path / "o.ovl", Sub)
    with pytest.raises(ValueError, match="different base index"):
        Overlay.load(tmp_path / "o.ovl", CompactHashIndex)


def as_v1(v2):
    _, base_len, additions, added_len, words = fields(v2)
    body = v2[49:]
    return (b"OVL1" + v2[4:5] + struct.pack("<QQ", base_len, additions) + body[: base_len + added_len]
            + struct.pack("<Q", words) + body[base_len + added_len:])


def test_old_format_loads_and_saves_as_new(kind):
    o = edited(kind)
    old = as_v1(o.to_bytes())
    back = Overlay.from_bytes(old, BASES[kind])
    same(o, back, kind)
    assert back.to_bytes() == o.to_bytes() and back.to_bytes()[:4] == b"OVL2"
    with pytest.raises(ValueError, match="^format error: overlay tombstone length mismatch$"):
        Overlay.from_bytes(old + b"\0", BASES[kind])


def test_compact_base_addition_its_lookup_accepts_still_loads():
    base = CompactHashIndex([f"key{i}" for i in range(300)])
    s = stranger(base)
    o = Overlay(base)
    filler = "#" * len(s)
    assert o.add(filler) == 300
    blob = o.to_bytes()
    at = blob.index(filler.encode())
    crafted = reseal(blob[:at] + s.encode() + blob[at + len(s):])
    back = Overlay.from_bytes(crafted, CompactHashIndex)
    assert back.id_space() == 301 and back.id(s) == base.id(s)


# ---- compaction ----


def test_compaction_example():
    o = Overlay(StringIndex(["b", "d"]))
    o.add("a")
    o.add("c")
    o.remove("d")
    before = state(o)
    fresh, remap = o.compact_with_remap()
    assert [fresh.id(k) for k in "abc"] == [0, 1, 2] and fresh.id("d") is None
    assert np.frombuffer(remap, np.uint64).tolist() == [1, NONE, 0, 2]
    assert fresh.id_space() == 3 and len(fresh) == 3 and type(fresh.base()) is StringIndex
    assert state(o) == before
    c = o.compact()
    assert c.keys() == ["a", "b", "c"] and c.to_bytes() == fresh.to_bytes()


def test_compaction_edges(keyed, tmp_path):
    cls = BASES[keyed]
    plain = Overlay(cls(["q", "r", "s"]))
    c = plain.compact()
    assert sorted(c.keys()) == ["q", "r", "s"]
    if keyed == "string":
        assert [c.id(k) for k in "qrs"] == [plain.id(k) for k in "qrs"]
    _, remap = plain.compact_with_remap()
    assert all(plain.key(i) == c.key(v) for i, v in enumerate(np.frombuffer(remap, np.uint64).tolist()))

    o = Overlay(cls(["x", "y"]))
    o.add("z")
    for i in range(3):
        o.retire_id(i)
    assert o.compact().base().is_empty() and len(o.compact()) == 0
    path = tmp_path / "empty.bin"
    assert o.compact_to_file(path) == 0
    assert len(cls.load(path)) == 0

    assert Overlay(cls([])).compact_with_remap()[1] == b""

    o = Overlay(cls(["x", "y"]))
    o.add("w")
    o.remove("x")
    path = tmp_path / "c.bin"
    assert o.compact_to_file(str(path)) == 2
    for load in (cls.load, cls.load_mmap, cls.load_mmap_verified):
        assert sorted(Overlay(load(path)).keys()) == ["w", "y"]
    assert path.read_bytes() == o.compact().base().to_bytes()
    with pytest.raises(OSError):
        o.compact_to_file(tmp_path / "missing" / "c.bin")
    assert sorted(os.listdir(tmp_path)) == ["c.bin", "empty.bin"]


def test_compaction_keeps_tags():
    for tags in (False, True):
        o = Overlay(PerfectHashIndex(["a", "b"], fingerprints=tags))
        o.add("c")
        assert o.compact().base().has_fingerprints() is tags
        assert o.compact_with_remap()[0].base().has_fingerprints() is tags


# ---- threads ----


def test_threads_edit_while_another_saves(tmp_path):
    o = Overlay(StringIndex([f"base{i}" for i in range(300)]))
    stop = threading.Event()
    saved = []
    errors = []

    def saver():
        n = 0
        while not stop.is_set():
            path = tmp_path / f"s{n % 3}.ovl"
            o.save(path)
            back = Overlay.load(path, StringIndex)
            saved.append(len(back) == back.id_space() - sum(back.key(i) is None for i in range(back.id_space())))
            n += 1

    def worker(t):
        try:
            for i in range(1500):
                key = ("base" if i % 3 == 0 else "new") + str((i * 7 + t) % 400)
                step = (i + t) % 3
                if step == 0:
                    got = o.add(key)
                    assert o.key(got) in (key, None)  # another thread may have removed it since
                elif step == 1:
                    o.remove(key)
                else:
                    got = o.id(key)
                    assert got is None or o.key(got) in (key, None)
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    s = threading.Thread(target=saver)
    s.start()
    workers = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    stop.set()
    s.join()
    assert not errors
    assert saved and all(saved)
    assert len(o) == o.id_space() - sum(o.key(i) is None for i in range(o.id_space()))
    assert len(o.keys()) == len(o)
