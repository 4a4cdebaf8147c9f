import array
import os
import pickle
import random
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pyarrow as pa
import pytest

import references
import test_dict_index as tdi
import test_perfect_hash as tph
from quorvale import _core as core
from quorvale._core import DictIndex as D
from quorvale._core import HashedDictIndex as H

ref = references.load("hashed_dict_ref")
MISSING = 2**64 - 1
WIDTHS = [0, 1, 8, 16, 32]
STRANGERS = ["", "stranger", "zz" * 40, "\x00", "é", "\U0010ffff", "ж" * 9]


def dictionaries():
    """Dictionaries of the in-memory build: thousands of keys, non-ASCII ones
    with a character code, several block sizes, an empty one."""
    return [
        ("words-256", D(tdi.CORPORA["words"])),
        ("urls-fast", D(tdi.CORPORA["urls"], "fast")),
        ("non-ascii-257", D(tdi.CORPORA["non-ascii"], 257)),
        ("non-ascii-compact", D(tdi.CORPORA["non-ascii"], "compact")),
        ("one", D(["only"])),
        ("empty", D([])),
    ]


DICTS = dictionaries()


def u64s(b):
    return list(struct.unpack(f"={len(b) // 8}Q", b))


def check_members(h, d):
    keys = [k for k, _ in d]
    ids = [d.id(k) for k in keys]
    assert ids == list(range(len(keys)))
    assert [h.id(k) for k in keys] == ids
    assert [h.get(k, -1) for k in keys] == ids
    assert [h[k] for k in keys] == ids
    assert [h.id_unchecked(k) for k in keys] == ids
    assert all(k in h and h.contains(k) for k in keys)
    assert h.ids_of(keys) == ids
    assert u64s(h.ids_of_bytes(keys)) == ids
    out = array.array("Q", [7] * (len(keys) + 1))
    h.ids_into(keys, out)
    assert list(out) == ids + [7]
    # Strangers: exact at zero bits, else whatever the batch and the single form agree on.
    single = [h.id(s) for s in STRANGERS]
    assert h.ids_of(STRANGERS) == single
    assert h.ids_of([]) == [] and h.ids_of_bytes([]) == b""
    assert h.ids_of(keys[:3] * 2) == ids[:3] * 2
    assert u64s(h.ids_of_bytes(STRANGERS)) == [MISSING if i is None else i for i in single]
    if h.fingerprint_bits == 0:
        assert single == [d.id(s) for s in STRANGERS]
        assert [s in h for s in STRANGERS] == [s in d for s in STRANGERS]


@pytest.mark.parametrize("name, d", DICTS, ids=[n for n, _ in DICTS])
@pytest.mark.parametrize("bits", WIDTHS)
def test_members_at_every_width(name, d, bits):
    h = H.from_dict(d, bits)
    assert len(h) == len(d) and h.fingerprint_bits == bits and h.is_empty() == (len(d) == 0)
    check_members(h, d)
    blob = h.to_bytes()
    assert h.serialized_len() == len(blob)
    back = H.from_bytes(blob)
    check_members(back, back.dict)
    assert back.to_bytes() == blob


@pytest.mark.parametrize("keys", [[], ["only"], tdi.CORPORA["urls"][:300], tdi.CORPORA["non-ascii"][:300],
                                  tph.COLL + tph.COLL2 + ["a", "b"]])
@pytest.mark.parametrize("bits", [0, 3, 8, 32])
def test_blob_equals_the_reference(keys, bits):
    d = D(keys)
    in_order = [k for k, _ in d]
    assert H.from_dict(d, bits).to_bytes() == ref.blob(d.to_bytes(), in_order, bits)


def test_zero_bits_is_exact_and_unchecked_uses_the_table():
    d = D(tdi.CORPORA["words"])
    h = H.from_dict(d, 0)
    rng = random.Random(5)
    strangers = [f"{rng.random()}" for _ in range(2000)] + [k + "x" for k in tdi.CORPORA["words"][:500]]
    assert all(h.id(s) is None and not h.contains(s) and s not in h for s in strangers if s not in d)
    assert h.ids_of(strangers) == [d.id(s) for s in strangers]
    unchecked = [h.id_unchecked(s) for s in strangers]
    assert all(0 <= u < len(d) for u in unchecked)
    assert len(set(unchecked)) > 100  # ranks of whichever members own the slots


def test_strangers_pass_at_the_fingerprint_rate():
    d = D(tdi.CORPORA["urls"])
    rng = random.Random(9)
    strangers = [f"never-{rng.getrandbits(64)}" for _ in range(10**6)]
    passed = {bits: sum(i is not None for i in H.from_dict(d, bits).ids_of(strangers)) for bits in (1, 8, 32)}
    assert abs(passed[1] - 500_000) < 5 * 500  # sigma = 500
    expected = 10**6 / 256
    assert abs(passed[8] - expected) < 5 * expected**0.5
    assert passed[32] == 0


@pytest.mark.parametrize("bits", range(33))
def test_empty_at_every_width(bits):
    d = D([])
    h = H.from_dict(d, bits)
    assert len(h) == 0 and h.is_empty() and h.id("a") is None and h.id_unchecked("a") == 0
    assert h.ids_of(["a", ""]) == [None, None]
    blob = h.to_bytes()
    assert len(blob) == 48 + len(d.to_bytes()) == h.serialized_len()
    back = H.from_bytes(blob)
    assert back.is_empty() and back.fingerprint_bits == bits


def test_keys_with_equal_pairs():
    keys = tph.COLL + tph.COLL2 + ["a", "zz"]
    d = D(keys)
    coll = sorted(tph.COLL)
    ranks = [d.id(k) for k in coll]
    assert ranks == sorted(ranks)
    for bits in (0, 1, 8, 32):
        h = H.from_dict(d, bits)
        blob = h.to_bytes()
        # The lowest rank of each group stays in the hash; three keys go to the side table.
        assert struct.unpack_from("<I", blob, 32)[0] == (len(tph.COLL) - 1) + (len(tph.COLL2) - 1)
        if bits == 0:
            assert [h.id(k) for k in coll] == ranks
        else:
            # The Part's stated limit: every key of a group answers the
            # first side record holding its pair, the second-lowest rank.
            assert [h.id(k) for k in coll] == [ranks[1]] * len(coll)
        assert h.ids_of(coll) == [h.id(k) for k in coll]
        assert u64s(h.ids_of_bytes(coll)) == [h.id(k) for k in coll]
        assert h.id("a") == d.id("a") and h.id("zz") == d.id("zz")


class SubDict(D):
    pass


def test_arguments():
    d = D(["a", "b"])
    with pytest.raises(ValueError) as e:
        H.from_dict(d, 33)
    assert str(e.value) == "format error: hashed-dict: fingerprint_bits must be in 0..=32"
    for bits in (-1, 2**32):
        with pytest.raises(OverflowError):
            H.from_dict(d, bits)
    for bad in ("8", ["a"], None):
        with pytest.raises(TypeError) as e:
            H.from_dict(bad, 8)
        assert e.value.__notes__ == ["while processing 'dict'"]
    with pytest.raises(TypeError):
        H.from_dict(d, "8")
    assert H.from_dict(dict=SubDict(["x", "y"]), fingerprint_bits=4).id("y") == 1
    with pytest.raises(TypeError):
        H()
    h = H.from_dict(d, 8)
    with pytest.raises(TypeError):
        H.from_bytes(bytearray(h.to_bytes()))
    with pytest.raises(TypeError) as e:
        h.ids_of("ab")
    assert str(e.value) == "Can't extract `str` to `Vec`"
    for method in (h.id, h.contains, h.id_unchecked, h.get):
        with pytest.raises(TypeError):
            method(b"a")
    with pytest.raises(TypeError):
        b"a" in h
    with pytest.raises(KeyError) as e:
        h["nope"]
    assert e.value.args == ("nope",)
    assert h.get("nope", 5) == 5


def test_dict_property(tmp_path):
    d = D(tdi.CORPORA["non-ascii"])
    h = H.from_dict(d, 8)
    assert h.dict is not h.dict
    for view in (h.dict, h.dict):
        assert type(view) is D and len(view) == len(d) and view.to_bytes() == d.to_bytes()
    path = tmp_path / "h.bin"
    h.save(path)
    m = H.load_mmap(path)
    inner = m.dict
    del m
    assert list(inner) == list(d) and inner.id(tdi.CORPORA["non-ascii"][5]) == d.id(tdi.CORPORA["non-ascii"][5])


def loaders(h, path):
    h.save(path)
    mapped = H.load_mmap(path)
    return [H.from_bytes(h.to_bytes()), H.load(path), H.load(str(path)), mapped, H.load_mmap_verified(path),
            pickle.loads(pickle.dumps(h)), pickle.loads(pickle.dumps(mapped))]


@pytest.mark.parametrize("bits", [0, 8, 32])
def test_loaders_agree(bits, tmp_path):
    d = D(tdi.CORPORA["urls"])
    h = H.from_dict(d, bits)
    blob = h.to_bytes()
    probe = tdi.CORPORA["urls"][::7] + STRANGERS
    for other in loaders(h, tmp_path / "h.bin"):
        assert type(other) is H and other.to_bytes() == blob
        assert other.ids_of(probe) == h.ids_of(probe)
    assert h.__reduce__() == (H.from_bytes, (blob,))
    assert sorted(os.listdir(tmp_path)) == ["h.bin"]


def test_pickle_of_a_mapped_index_in_a_fresh_process(tmp_path):
    path = tmp_path / "h.bin"
    H.from_dict(D(tdi.CORPORA["words"]), 8).save(path)
    h = H.load_mmap(path)
    code = textwrap.dedent(
        """
        import pickle, sys
        h = pickle.loads(sys.stdin.buffer.read())
        sys.stdout.buffer.write(h.to_bytes())
        """
    )
    out = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(h), capture_output=True, check=True).stdout
    assert out == h.to_bytes()


def test_failing_save_leaves_the_target(tmp_path):
    h = H.from_dict(D(["a"]), 8)
    target = tmp_path / "taken"
    target.mkdir()
    (target / "inside").write_bytes(b"kept")
    with pytest.raises(OSError):
        h.save(target)
    assert sorted(os.listdir(tmp_path)) == ["taken"] and (target / "inside").read_bytes() == b"kept"
    with pytest.raises(OSError):
        h.save(tmp_path / "missing" / "h.bin")


def reseal(b):
    """The payload checksum after the embedded dictionary, then the header checksum."""
    dict_len = struct.unpack_from("<Q", b, 16)[0]
    if 48 + dict_len <= len(b):
        struct.pack_into("<Q", b, 36, ref.payload_checksum(bytes(b[48 + dict_len:])))
    struct.pack_into("<I", b, 44, references.load("mphf_reference").header_checksum(bytes(b[:44])))
    return bytes(b)


def test_refusals(tmp_path):
    keys = tph.COLL + tdi.CORPORA["words"][:200]
    d = D(keys)
    h = H.from_dict(d, 8)
    blob = h.to_bytes()
    plain = H.from_dict(D(tdi.CORPORA["words"][:200]), 8).to_bytes()
    assert struct.unpack_from("<I", blob, 32)[0] == 2 and struct.unpack_from("<I", plain, 32)[0] == 0
    dict_len = struct.unpack_from("<Q", blob, 16)[0]

    def edited(b, fmt, at, v):
        b = bytearray(b)
        struct.pack_into(fmt, b, at, v)
        return reseal(b)

    flipped = bytearray(blob)
    flipped[20] ^= 1
    cases = [
        (blob[:47], "bad magic or truncated header"),
        (b"BHD2" + blob[4:], "bad magic or truncated header"),
        (bytes(flipped), "header checksum mismatch"),
        (edited(blob, "<Q", 4, 2**32), "hashed-dict: header claims more than u32::MAX keys"),
        (edited(blob, "<I", 12, 33), "hashed-dict: fingerprint_bits must be in 0..=32"),
        (edited(blob, "<I", 32, len(keys)), "side table length out of range"),
        (edited(plain, "<Q", 24, 0), "hashed-dict: mph length out of range"),
        (reseal(bytearray(blob[:48 + dict_len - 1])), "hashed-dict: dictionary length out of range"),
        (reseal(bytearray(blob[:-1])), "side table length out of range"),
        (reseal(bytearray(blob + b"\0")), "side table length out of range"),
        (reseal(bytearray(plain[:-1])), "hashed-dict: rank table length mismatch"),
        (edited(blob, "<Q", len(blob) - 8, len(keys)), "hashed-dict: a side-table rank is past the last key"),
    ]
    path = tmp_path / "b.bin"
    for b, message in cases:
        with pytest.raises(ValueError) as e:
            H.from_bytes(b)
        assert str(e.value) == "format error: " + message
        path.write_bytes(b)
        with pytest.raises(ValueError) as e:
            H.load_mmap(path)
        assert str(e.value) == "format error: " + message
    # n = 0 over a non-empty dictionary.
    b = bytearray(blob[:48 + dict_len])
    struct.pack_into("<QIQQI", b, 4, 0, 8, dict_len, 0, 0)
    with pytest.raises(ValueError) as e:
        H.from_bytes(reseal(b))
    assert str(e.value) == "format error: hashed-dict: the dictionary and the header disagree on the key count"


def test_flipped_payload_bytes(tmp_path):
    d = D(tph.COLL + tdi.CORPORA["words"][:300])
    h = H.from_dict(d, 8)
    blob = h.to_bytes()
    dict_len = struct.unpack_from("<Q", blob, 16)[0]
    path = tmp_path / "h.bin"
    for at in (len(blob) - 40, len(blob) - 60, 48 + dict_len + struct.unpack_from("<Q", blob, 24)[0] + 3):
        b = bytearray(blob)
        b[at] ^= 0x04
        path.write_bytes(b)
        H.load_mmap(path).ids_of(tdi.CORPORA["words"][:50])
        for load in (lambda: H.from_bytes(bytes(b)), lambda: H.load(path), lambda: H.load_mmap_verified(path)):
            with pytest.raises(ValueError) as e:
                load()
            assert str(e.value) == "format error: payload checksum mismatch"
    # A byte of the dictionary's own payload fails the dictionary's checksum.
    b = bytearray(blob)
    b[48 + dict_len - 2] ^= 0x01
    b = reseal(b)
    with pytest.raises(ValueError) as e:
        H.from_bytes(b)
    assert str(e.value) == "format error: payload checksum mismatch"


def test_ids_into():
    h = H.from_dict(D(["a", "b", "c"]), 8)
    readonly = np.zeros(3, dtype=np.uint64)
    readonly.flags.writeable = False
    for keys in ([], ["a"]):
        with pytest.raises(BufferError) as e:
            h.ids_into(keys, readonly)
        assert str(e.value) == "out is read-only"
    with pytest.raises(BufferError):
        h.ids_into(["a"], np.zeros(3, dtype=np.uint32))
    with pytest.raises(ValueError) as e:
        h.ids_into(["a", "b", "c"], np.zeros(2, dtype=np.uint64))
    assert str(e.value) == "out holds 2 items but 3 keys were given"
    out = np.full(4, 9, dtype=np.uint64)
    assert h.ids_into([], out) is None and out.tolist() == [9] * 4
    h.ids_into(["c", "nope-nope", "a"], out)
    assert out.tolist()[:3] == [2, h.id("nope-nope") if h.id("nope-nope") is not None else MISSING, 0]
    assert out.tolist()[3] == 9


@pytest.mark.parametrize("bits", [0, 8])
def test_arrow_columns(bits):
    keys = tdi.CORPORA["non-ascii"][:400]
    d = D(keys)
    h = H.from_dict(d, bits)
    column = keys[::3] + ["stranger", None, "", None]
    want = [MISSING if k is None or h.id(k) is None else h.id(k) for k in column]
    forms = [pa.array(column, type=pa.string()), pa.array(column, type=pa.large_string()),
             pa.chunked_array([column[:7], [], column[7:]], type=pa.string())]
    for f in forms:
        assert np.frombuffer(h.ids_of_arrow(f), dtype=np.uint64).tolist() == want
        out = np.full(len(column) + 1, 5, dtype=np.uint64)
        h.ids_into_arrow(f, out)
        assert out.tolist() == want + [5]
    # A null whose bytes spell a member is still MISSING.
    member = keys[0].encode()
    offsets = np.array([0, len(member), 2 * len(member)], dtype=np.int32).tobytes()
    valid = bytes([0b10])
    arr = pa.Array.from_buffers(pa.string(), 2, [pa.py_buffer(valid), pa.py_buffer(offsets), pa.py_buffer(member * 2)])
    assert np.frombuffer(h.ids_of_arrow(arr), dtype=np.uint64).tolist() == [MISSING, d.id(keys[0])]
    # Bytes that are not UTF-8 are never found at zero bits.
    bad = pa.Array.from_buffers(pa.binary(), 1, [None, pa.py_buffer(np.array([0, 2], dtype=np.int32).tobytes()),
                                                 pa.py_buffer(b"\xff\xfe")]).cast(pa.string(), safe=False)
    got = np.frombuffer(h.ids_of_arrow(bad), dtype=np.uint64).tolist()
    if bits == 0:
        assert got == [MISSING]


def test_surface():
    assert core.__all__.index("DictIndexIterator") + 1 == core.__all__.index("HashedDictIndex")
    assert H.ID_DTYPE == "uint64" and H.MISSING_ID == MISSING
    assert H.from_dict.__text_signature__ == "(dict, fingerprint_bits)"
    for name, sig in [("id", "($self, key)"), ("get", "($self, key, default=None)"), ("ids_into", "($self, keys, out)"),
                      ("to_bytes", "($self)"), ("from_bytes", "(data)"), ("load_mmap", "(path)")]:
        assert getattr(H, name).__text_signature__ == sig, name
    assert "__iter__" not in dir(H) and "__eq__" not in H.__dict__


def test_inspect_reports_a_real_file(tmp_path):
    d = D(tph.COLL + tdi.CORPORA["words"][:500])
    h = H.from_dict(d, 12)
    path = tmp_path / "h.bin"
    h.save(path)
    blob = h.to_bytes()
    mph_len = struct.unpack_from("<Q", blob, 24)[0]
    info = core.inspect(str(path))
    assert info == core.inspect(blob)
    assert info["kind"] == "HashedDictIndex" and info["format"] == "BHD1"
    assert info["bytes"] == len(blob) and info["keys"] == len(d) and info["fingerprint_bits"] == 12
    assert info["mph_bytes"] == mph_len and info["side_entries"] == 2
    assert info["arena_bytes"] == len(blob) - 48 - len(d.to_bytes()) - mph_len - 24 * 2
    assert info["arena_bytes"] == -(-(len(d) - 2) * (12 + (len(d) - 1).bit_length()) // 8)
    assert info["overlay"] is None
