import contextlib
import os
import pathlib
import pickle
import struct
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pyarrow as pa
import pytest

import references
import test_perfect_hash as tph
from refused_writes import refused
from quorvale._core import ClosedHashIndex as C
from quorvale._core import CompactHashIndex as H

MISSING = 2**32 - 1
KINDS = [C, H]
ref_hash = tph.ref_hash
ref_blob = references.load("keyless_ref")


KEYS = tph.random_keys(3000, 1)


# ---- key pairs ------------------------------------------------------------------


def test_pairs_follow_the_items(frametest):
    keys = ["b", "a", "é", "", "a", "𝄞" * 30]
    want = [ref_hash.hash_pair(k.encode()) for k in keys]
    assert frametest.pairs(keys) == want
    assert frametest.pairs(k for k in keys) == want
    assert frametest.pairs(iter(())) == []
    many = [f"k{i}" for i in range(10000)]
    assert frametest.pairs(many) == [ref_hash.hash_pair(k.encode()) for k in many]


class Counted(str):
    """A str that counts how many of its kind are alive."""

    alive = 0
    most = 0

    def __new__(cls, value):
        obj = super().__new__(cls, value)
        Counted.alive += 1
        Counted.most = max(Counted.most, Counted.alive)
        return obj

    def __del__(self):
        Counted.alive -= 1


@pytest.mark.parametrize("collect", ["frametest", "closed", "compact"])
def test_pairs_hold_one_batch_of_str(frametest, collect):
    f = {"frametest": frametest.pairs, "closed": C, "compact": H}[collect]
    Counted.alive = Counted.most = 0
    result = f(Counted(f"key {i}") for i in range(10000))
    assert Counted.alive == 0
    assert 4096 <= Counted.most <= 4097
    assert len(result) == 10000


class Liar:
    """Claims a length no memory could hold."""

    def __len__(self):
        return 10**15

    def __iter__(self):
        return iter(["a", "b"])


class Boom(Exception):
    pass


def raising(keys, at):
    for i, k in enumerate(keys):
        if i == at:
            raise Boom(at)
        yield k


@pytest.mark.parametrize("build", [C, H], ids=["closed", "compact"])
def test_construction_inputs(frametest, build):
    assert len(build(Liar())) == 2
    assert frametest.pairs(Liar()) == [ref_hash.hash_pair(b"a"), ref_hash.hash_pair(b"b")]
    with pytest.raises(TypeError) as e:
        build(["a", 1])
    assert str(e.value) == "'int' object is not an instance of 'str'"
    with pytest.raises(UnicodeEncodeError):
        build(["a", "\ud800"])
    with pytest.raises(Boom) as e:
        build(raising(KEYS, 2000))
    assert e.value.args == (2000,)
    with pytest.raises(TypeError):
        build(5)
    with pytest.raises(TypeError):
        build()


# ---- the closed kind --------------------------------------------------------------


def test_closed_basics():
    assert len(C(["a", "a", "b"])) == 2
    idx = C(KEYS)
    ids = [idx.id(k) for k in KEYS]
    assert sorted(ids) == list(range(len(KEYS)))
    assert idx.ids_of(KEYS) == ids
    for s in ("stranger", "zz" * 30, ""):
        if s not in KEYS:
            assert 0 <= idx.id(s) < len(idx)
    assert C.ID_DTYPE == "uint32" and not hasattr(C, "MISSING_ID")
    for name in ("get", "contains", "id_unchecked", "load_mmap", "load_mmap_verified", "__iter__", "__contains__",
                 "__getitem__"):
        assert not hasattr(idx, name), name
    with pytest.raises(TypeError):
        "a" in idx  # noqa: B015
    with pytest.raises(TypeError):
        idx["a"]
    with pytest.raises(TypeError):
        iter(idx)


def test_closed_empty():
    e = C([])
    assert len(e) == 0 and e.is_empty() and not e
    assert e.id("x") == 0 and e.ids_of(["a", "b"]) == [0, 0]
    assert len(e.to_bytes()) == e.serialized_len() == 36


# ---- the compact kind -------------------------------------------------------------


def test_compact_member_forms_agree():
    idx = H(KEYS)
    ids = idx.ids_of(KEYS)
    assert sorted(ids) == list(range(len(KEYS)))
    for k, i in zip(KEYS, ids):
        assert idx.id(k) == idx.get(k) == idx[k] == idx.id_unchecked(k) == i
        assert k in idx and idx.contains(k)
    queries = KEYS[:100] + [f"stranger {i}" for i in range(500)]
    want = idx.ids_of(queries)
    assert want.count(None) > 490
    flat = [MISSING if i is None else i for i in want]
    assert list(struct.unpack(f"={len(queries)}I", idx.ids_of_bytes(queries))) == flat
    out = np.zeros(len(queries), dtype=np.uint32)
    idx.ids_into(queries, out)
    assert out.tolist() == flat
    column = pa.chunked_array([queries[:50], queries[50:], []])
    assert np.frombuffer(idx.ids_of_arrow(column), dtype=np.uint32).tolist() == flat
    s = next(q for q in queries if idx.id(q) is None)
    with pytest.raises(KeyError) as e:
        idx[s]
    assert e.value.args == (s,)
    assert idx.get(s, -1) == -1 and idx.get(s) is None and s not in idx
    assert H.ID_DTYPE == "uint32" and H.MISSING_ID == MISSING


def test_compact_empty():
    e = H([])
    assert len(e) == 0 and e.is_empty()
    assert e.id("a") is None and not e.contains("a") and "a" not in e and e.id_unchecked("a") == 0
    assert e.ids_of_bytes(["a"]) == b"\xff" * 4
    assert e.fingerprint_bits == 8
    assert len(e.to_bytes()) == e.serialized_len() == 40
    for bad in (1, None, b"a"):
        with pytest.raises(TypeError):
            bad in e  # noqa: B015


@pytest.fixture(scope="module")
def strangers():
    return [f"not a member {i}" for i in range(10**6)]


@pytest.mark.parametrize("bits", [1, 8, 12, 64])
def test_strangers_pass_at_the_fingerprint_rate(bits, strangers):
    idx = H(KEYS, fingerprint_bits=bits)
    passed = len(strangers) - idx.ids_of(strangers).count(None)
    if bits == 64:
        assert passed == 0
        return
    p = 2.0**-bits
    mean, sigma = len(strangers) * p, (len(strangers) * p * (1 - p)) ** 0.5
    assert abs(passed - mean) < 5 * sigma, (passed, mean)


WIDTHS = [
    ({"fingerprint_bytes": 2}, 16),
    ({"fingerprint_bytes": 4}, 32),
    ({"fingerprint_bits": 12}, 12),
    ({"fingerprint_bits": 12, "fingerprint_bytes": 1}, 12),
    ({"fingerprint_bits": None}, 8),
    ({"fingerprint_bytes": 3}, (ValueError, "format error: compact-hash: fingerprint_bytes must be 1, 2, or 4")),
    ({"fingerprint_bytes": 0}, (ValueError, "format error: compact-hash: fingerprint_bytes must be 1, 2, or 4")),
    ({"fingerprint_bytes": 2, "fingerprint_bits": 12}, (ValueError, "pass fingerprint_bytes or fingerprint_bits, not both")),
    ({"fingerprint_bits": 0}, (ValueError, "format error: compact-hash: fingerprint_bits must be in 1..=64")),
    ({"fingerprint_bits": 65}, (ValueError, "format error: compact-hash: fingerprint_bits must be in 1..=64")),
    ({"fingerprint_bits": -1}, (OverflowError, None)),
    ({"fingerprint_bits": 2**32}, (OverflowError, None)),
    ({"fingerprint_bytes": -1}, (OverflowError, None)),
    ({"fingerprint_bits": "8"}, (TypeError, None)),
]


@pytest.mark.parametrize("kwargs, result", WIDTHS)
def test_widths_are_resolved_before_the_items(kwargs, result):
    if isinstance(result, int):
        idx = H(["a", "b"], **kwargs)
        assert idx.fingerprint_bits == result
        assert len(idx.to_bytes()) == idx.serialized_len()
        return
    exc, message = result

    def untouched():
        raise AssertionError("the items were read")
        yield "a"

    with pytest.raises(exc) as e:
        H(untouched(), **kwargs)
    if message:
        assert str(e.value) == message
    assert H(["a"], 2).fingerprint_bits == 16


def test_signatures_and_docs():
    assert C.__text_signature__ == "(items)"
    assert H.__text_signature__ == "(items, fingerprint_bytes=1, *, fingerprint_bits=None)"
    assert H.fingerprint_bits.__doc__ == (
        "Width of the stored fingerprints in bits; the false-positive rate is `2 ** -fingerprint_bits`."
    )
    sigs = {
        "is_empty": "($self)", "id": "($self, key)", "ids_of": "($self, keys)", "ids_of_bytes": "($self, keys)",
        "ids_of_arrow": "($self, column)", "ids_into_arrow": "($self, column, out)", "ids_into": "($self, keys, out)",
        "to_bytes": "($self)", "serialized_len": "($self)", "__reduce__": "($self)", "from_bytes": "(data)",
        "save": "($self, path)", "load": "(path)",
    }
    compact_only = {"id_unchecked": "($self, key)", "get": "($self, key, default=None)", "contains": "($self, key)",
                    "load_mmap": "(path)", "load_mmap_verified": "(path)"}
    for cls, table in ((C, sigs), (H, {**sigs, **compact_only})):
        for name, sig in table.items():
            assert getattr(cls, name).__text_signature__ == sig, (cls, name)
    assert "0.24 bytes per key" in C.__doc__ and "`[0, n)`" in C.__doc__
    assert "__contains__" in C.id.__doc__ and "load_mmap" in C.load.__doc__
    assert "2 ** -fingerprint_bits" in H.__doc__ and C.__module__ == H.__module__ == "quorvale._core"


# ---- keys sharing a pair, side tables -----------------------------------------------


def colliding(count):
    return tph.colliding(count, 0)


@pytest.mark.parametrize("kind", KINDS)
def test_keys_with_equal_pairs_count_once(kind):
    coll = colliding(3)
    assert len({ref_hash.hash_pair(k.encode()) for k in coll}) == 1
    idx = kind(KEYS[:100] + coll)
    assert len(idx) == 101
    assert len({idx.id(k) for k in coll}) == 1


def stranger_in_the_side_table(blob, stranger):
    """The compact blob with one more side entry, holding a stranger's pair
    and the next tail id; header fields and checksums redone."""
    b = bytearray(blob)
    n, bits, j, side = struct.unpack_from("<QIQI", b, 4)
    first, second = ref_hash.hash_pair(stranger.encode())
    b += struct.pack("<QQI", first, second, n)
    struct.pack_into("<QIQIQ", b, 4, n + 1, bits, j, side + 1, ref_blob.payload_checksum(bytes(b[40:])))
    struct.pack_into("<I", b, 36, ref_blob.header_checksum(bytes(b[:36])))
    return bytes(b), n


def test_a_side_entry_answers_its_tail_id_in_every_form(tmp_path):
    stranger = "never added"
    idx = H(KEYS[:500])
    assert idx.id(stranger) is None
    blob, tail = stranger_in_the_side_table(idx.to_bytes(), stranger)
    path = tmp_path / "side.bch"
    path.write_bytes(blob)
    for h in (H.load_mmap(path), H.load_mmap_verified(path), H.load(path), H.from_bytes(blob)):
        assert len(h) == 501
        assert h.id(stranger) == h.get(stranger) == h[stranger] == h.id_unchecked(stranger) == tail
        assert stranger in h and h.contains(stranger)
        assert h.ids_of([stranger, KEYS[0]]) == [tail, idx.id(KEYS[0])]
        assert struct.unpack("=2I", h.ids_of_bytes([stranger, KEYS[0]])) == (tail, idx.id(KEYS[0]))
        out = np.zeros(1, dtype=np.uint32)
        h.ids_into([stranger], out)
        assert out.tolist() == [tail]
        assert np.frombuffer(h.ids_of_arrow(pa.array([stranger])), dtype=np.uint32).tolist() == [tail]
        assert h.ids_of(KEYS[:500]) == idx.ids_of(KEYS[:500])
        assert h.to_bytes() == blob


def test_blob_fields_follow_the_reference_hash():
    keys = KEYS[:200]
    for bits in (8, 12):
        idx = H(keys, fingerprint_bits=bits)
        blob = idx.to_bytes()
        n, b, j, side, payload = struct.unpack_from("<QIQIQ", blob, 4)
        assert (n, b, side) == (200, bits, 0) and blob[40:44] == b"MPH3"
        assert payload == ref_blob.payload_checksum(blob[40:])
        table = int.from_bytes(blob[40 + j:], "little")
        for k in keys:
            want = ref_hash.hash_pair(k.encode())[1] & ((1 << bits) - 1)
            assert (table >> (idx.id(k) * bits)) & ((1 << bits) - 1) == want
    blob = C(keys).to_bytes()
    assert blob[:4] == b"BCL2" and struct.unpack_from("<QQI", blob, 4) == (200, len(blob) - 36, 0)


# ---- blobs ---------------------------------------------------------------------------


def loaded_forms(idx, tmp_path):
    kind = type(idx)
    path = tmp_path / "i.blob"
    idx.save(path)
    assert path.read_bytes() == idx.to_bytes()
    assert len(idx.to_bytes()) == idx.serialized_len()
    forms = [kind.from_bytes(idx.to_bytes()), kind.load(path), kind.load(str(path)), pickle.loads(pickle.dumps(idx))]
    if kind is H:
        forms += [H.load_mmap(path), H.load_mmap_verified(path), pickle.loads(pickle.dumps(H.load_mmap(path)))]
    return forms


@pytest.mark.parametrize("kind", KINDS)
def test_round_trips_answer_alike(kind, tmp_path):
    queries = KEYS + ["stranger", ""]
    for keys in ([], ["only"], KEYS + colliding(2)):
        idx = kind(keys)
        for other in loaded_forms(idx, tmp_path):
            assert type(other) is kind
            assert other.to_bytes() == idx.to_bytes()
            assert other.ids_of(queries) == idx.ids_of(queries)
        assert sorted(os.listdir(tmp_path)) == ["i.blob"]


@pytest.mark.parametrize("kind", KINDS)
def test_pickle_in_a_fresh_process(kind, tmp_path):
    path = tmp_path / "i.blob"
    kind(KEYS).save(path)
    idx = H.load_mmap(path) if kind is H else kind.load(path)
    assert idx.__reduce__()[0] == kind.from_bytes
    code = textwrap.dedent(
        """
        import pickle, sys
        idx = pickle.loads(sys.stdin.buffer.read())
        keys = sys.argv[1:]
        print(type(idx).__name__, len(idx), ",".join(map(str, idx.ids_of(keys))))
        """
    )
    sample = KEYS[:20]
    out = subprocess.run([sys.executable, "-c", code, *sample], input=pickle.dumps(idx), capture_output=True,
                         check=True).stdout.decode()
    assert out.split() == [kind.__name__, str(len(KEYS)), ",".join(map(str, idx.ids_of(sample)))]


def reseal(b, compact):
    b = bytearray(b)
    at = 36 if compact else 32
    b[at:at + 4] = struct.pack("<I", ref_blob.header_checksum(bytes(b[:at])))
    return bytes(b)


OLD = ("blob written by quorvale < 4.0, keyed on a hash this version no longer computes; the keys are not stored, "
       "so it cannot be converted - rebuild the index from its keys")


def refusals():
    closed = C(KEYS[:300] + colliding(2)).to_bytes()
    compact = H(KEYS[:300]).to_bytes()
    n, bits, j, side = struct.unpack_from("<QIQI", compact, 4)
    bad = "bad magic or truncated header"
    head_flip = bytearray(closed)
    head_flip[5] ^= 1
    # (kind, blob, message of the verifying loaders, message of load_mmap)
    cases = [
        (C, closed[:3], bad, None),
        (C, closed[:35], bad, None),
        (C, b"BDX4" + closed[4:], bad, None),
        (C, b"BCL1", "closed-hash: " + OLD, None),
        (C, bytes(head_flip), "header checksum mismatch", None),
        (H, compact[:3], bad, bad),
        (H, b"BDX4" + compact[4:], bad, bad),
        (H, b"BCH1", "compact-hash: " + OLD, "compact-hash: " + OLD),
        (H, b"BCH7" + compact[4:], "compact-hash: " + OLD, "compact-hash: " + OLD),
        (H, reseal(compact[:4] + struct.pack("<QIQI", 5, bits, j, 5) + compact[28:], True),
         "side table length out of range", "side table length out of range"),
        (H, reseal(compact[:12] + struct.pack("<I", 16) + compact[16:], True),
         "compact-hash: fingerprint length mismatch", "compact-hash: fingerprint length mismatch"),
        (H, reseal(compact[:12] + struct.pack("<I", 0) + compact[16:], True),
         "compact-hash: bad fingerprint width", "compact-hash: bad fingerprint width"),
    ]
    # A compact blob with side entries: a flipped hash byte is caught by the
    # payload checksum only, a flipped id byte also by the id check.
    with_side = H(KEYS[:300], fingerprint_bits=12).to_bytes()
    with_side, _ = stranger_in_the_side_table(with_side, "extra")
    hash_flip = bytearray(with_side)
    hash_flip[-15] ^= 1
    id_flip = bytearray(with_side)
    id_flip[-2] ^= 1
    cases += [
        (H, bytes(hash_flip), "payload checksum mismatch", "loads"),
        (H, bytes(id_flip), "payload checksum mismatch", "compact-hash: side-table ids are not the tail id range"),
    ]
    return cases


@pytest.mark.parametrize("i", range(14))
def test_blob_refusals(i, tmp_path):
    kind, data, verified, mapped = refusals()[i]
    path = tmp_path / "b"
    path.write_bytes(data)
    loaders = [lambda: kind.from_bytes(data), lambda: kind.load(path)]
    if kind is H:
        loaders.append(lambda: H.load_mmap_verified(path))
    for load in loaders:
        with pytest.raises(ValueError) as e:
            load()
        assert str(e.value) == "format error: " + verified
    if mapped == "loads":
        assert len(H.load_mmap(path)) == 301
    elif mapped:
        with pytest.raises(ValueError) as e:
            H.load_mmap(path)
        assert str(e.value) == "format error: " + mapped


def test_side_records_out_of_order_load_sorted():
    blob, _ = stranger_in_the_side_table(H(KEYS[:300]).to_bytes(), "one")
    blob, _ = stranger_in_the_side_table(blob, "two")
    b = bytearray(blob)
    # Stored with the larger first word first.
    b[-40:] = b"".join(sorted((b[-40:-20], b[-20:]), key=lambda r: struct.unpack_from("<Q", r)[0], reverse=True))
    b[28:36] = struct.pack("<Q", ref_blob.payload_checksum(bytes(b[40:])))
    swapped = reseal(bytes(b), True)
    idx = H.from_bytes(swapped)
    assert idx.id("one") == 300 and idx.id("two") == 301
    records = idx.to_bytes()[-40:]
    assert records != swapped[-40:] and {records[:20], records[20:]} == {swapped[-40:-20], swapped[-20:]}


@contextlib.contextmanager
def unwritable_directory(tmp_path):
    """A read-only directory "ro" in tmp_path, or /proc for root, who writes
    anywhere else; "ro" must stay empty."""
    target = tmp_path / "ro"
    target.mkdir()
    target.chmod(0o500)
    try:
        yield target if not os.access(target, os.W_OK) else pathlib.Path("/proc")
        assert os.listdir(target) == []
    finally:
        target.chmod(0o700)


@pytest.mark.parametrize("kind", KINDS)
def test_file_errors(kind, tmp_path):
    with pytest.raises(OSError) as e:
        kind.load(tmp_path / "missing")
    assert str(e.value).startswith("io error: ")
    with unwritable_directory(tmp_path) as unwritable:
        with pytest.raises(OSError) as e:
            kind(["a"]).save(unwritable / "quorvale-x")
        assert str(e.value).startswith("io error: ")
    with pytest.raises(OSError, match="^io error: "):
        kind(["a"]).save(tmp_path / "no" / "such" / "dir")
    assert sorted(os.listdir(tmp_path)) == ["ro"]


@pytest.mark.parametrize("kind", KINDS)
def test_load_reads_a_pipe_to_its_end(kind):
    # Larger than a pipe's buffer; a pipe reports size 0.
    blob = kind([f"key {i}" for i in range(400000)]).to_bytes()
    assert len(blob) > 1 << 16
    code = (f"import sys; from quorvale._core import {kind.__name__} as K; "
            "sys.stdout.buffer.write(K.load('/dev/stdin').to_bytes())")
    r = subprocess.run([sys.executable, "-c", code], input=blob, capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout == blob


@pytest.mark.parametrize("kind", KINDS)
def test_save_leaves_nothing_when_the_disk_refuses(kind, tmp_path):
    out = refused(tmp_path, f"""
        from quorvale._core import {kind.__name__} as K
        idx = K([f"key-{{i:06d}}" for i in range(100000)])
        limited()
        attempt(lambda: idx.save(os.path.join(d, "a")))
        """)
    assert out[0].startswith("io error: ") and out[1] == "[]"


# ---- Arrow columns and buffers -----------------------------------------------------------


def test_arrow_nulls():
    from test_arrow import Chunked, Fake, off32

    keys = KEYS[:50] + [""]
    closed, compact = C(keys), H(keys)
    with_null = pa.chunked_array([keys[:10], [None, keys[10]], keys[11:]], type=pa.string())
    filled = pa.chunked_array([keys[:10], ["", keys[10]], keys[11:]], type=pa.large_string())
    fake = Chunked([Fake(2, off32(0, 1, 1), b"a", bytes([0b01]), null_count=1), Fake(1, off32(0, 0), b"")])
    message = "a closed vocabulary has no id for a null: fill the nulls first"
    for column in (with_null, fake):
        with pytest.raises(ValueError) as e:
            closed.ids_of_arrow(column)
        assert str(e.value) == message
        out = np.full(len(keys) + 5, 7, dtype=np.uint32)
        with pytest.raises(ValueError) as e:
            closed.ids_into_arrow(column, out)
        assert str(e.value) == message and (out == 7).all()
    got = np.frombuffer(closed.ids_of_arrow(filled), dtype=np.uint32).tolist()
    assert got == closed.ids_of(filled.to_pylist()) and len(closed.ids_of_bytes(keys)) == 4 * len(keys)
    want = [MISSING if k is None else compact.id(k) for k in with_null.to_pylist()]
    assert np.frombuffer(compact.ids_of_arrow(with_null), dtype=np.uint32).tolist() == want
    out = np.zeros(len(want), dtype=np.uint32)
    compact.ids_into_arrow(with_null, out)
    assert out.tolist() == want
    assert np.frombuffer(compact.ids_of_arrow(fake), dtype=np.uint32).tolist() == [compact.id("a"), MISSING,
                                                                                   compact.id("")]


@pytest.mark.parametrize("kind", KINDS)
def test_ids_into_buffers(kind):
    idx = kind(KEYS)
    out = np.full(4, 9, dtype=np.uint32)
    idx.ids_into(KEYS[:3], out)
    assert out.tolist() == idx.ids_of(KEYS[:3]) + [9]
    readonly = np.zeros(3, dtype=np.uint32)
    readonly.flags.writeable = False
    for keys in (KEYS[:3], []):
        with pytest.raises(BufferError) as e:
            idx.ids_into(keys, readonly)
        assert str(e.value) == "out is read-only"
    short = np.full(2, 9, dtype=np.uint32)
    with pytest.raises(ValueError) as e:
        idx.ids_into(KEYS[:3], short)
    assert str(e.value) == "out holds 2 items but 3 keys were given" and short.tolist() == [9, 9]
    with pytest.raises(TypeError) as e:
        idx.ids_of("abc")
    assert "while processing 'keys'" in tph.notes(e)
    idx.ids_into([], np.zeros(0, dtype=np.uint8))


# ---- threads ---------------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_threads_share_one_index(kind, tmp_path):
    idx = kind(KEYS)
    path = tmp_path / "i"
    idx.save(path)
    want = (idx.ids_of(KEYS), [idx.id(k) for k in KEYS], idx.to_bytes())
    results = [None] * 8
    barrier = threading.Barrier(8)

    def work(t):
        barrier.wait()
        got = []
        for _ in range(3):
            got.append((idx.ids_of(KEYS), [idx.id(k) for k in KEYS], idx.to_bytes()))
            got.append(kind.load(path).ids_of(KEYS) == want[0] and kind.from_bytes(want[2]).ids_of(KEYS) == want[0])
        results[t] = got

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got in results:
        assert got == [want, True] * 3
