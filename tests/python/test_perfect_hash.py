import os
import pickle
import random
import struct
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pyarrow as pa
import pytest

import references
from quorvale._core import PerfectHashIndex as P

MISSING = 2**32 - 1


ref_hash = references.load("hash_pair_ref")
ref_mphf = references.load("mphf_reference")


def colliding(count, family=0):
    """Distinct str keys sharing one key hash. A 96-byte key is hashed as two
    32-byte blocks and its last 32 bytes; when words 0 and 2 of the second
    block equal the lanes the first block left, both lanes become zero and the
    rest of the first two blocks drops out. The first block is searched so
    that those lanes are printable ASCII."""

    def half(s, p):
        i = 0
        while True:
            h = f"k{family}-".encode()
            num = str(i).encode()
            h += b"." * (16 - len(h) - len(num)) + num
            lane = ref_hash.fold(ref_hash.u64(h, 0) ^ s, ref_hash.u64(h, 8) ^ p)
            lb = lane.to_bytes(8, "little")
            if all(0x20 <= c <= 0x7E for c in lb):
                return h, lb
            i += 1

    a, l0 = half(ref_hash.S0, ref_hash.P[0])
    b, l1 = half(ref_hash.S1, ref_hash.P[1])
    tail = f"tail of family {family}".encode()
    tail += b"~" * (32 - len(tail))
    keys = [(a + b + l0 + f"{i:08d}".encode() + l1 + b"variant:" + tail).decode() for i in range(count)]
    return keys


def random_keys(n, seed, max_len=20):
    rng = random.Random(seed)
    out = set()
    while len(out) < n:
        k = "".join(rng.choice("abcdefghijklmnopqrstuvwxyzé€𝄞") for _ in range(rng.randrange(max_len + 1)))
        out.add(k)
    return sorted(out)


KEYS = random_keys(2000, 1)
COLL = colliding(3, 0)
COLL2 = colliding(2, 1)
KEYS_C = KEYS + COLL + COLL2


@pytest.fixture(params=[False, True], ids=["plain", "tags"])
def fp(request):
    return request.param


def check_members(idx, keys, strangers=("nope", "zz" * 40)):
    ids = [idx.id(k) for k in keys]
    assert sorted(ids) == list(range(len(keys)))
    assert [idx.key(i) for i in ids] == list(keys)
    assert idx.ids_of(list(keys)) == ids
    assert idx.keys_of(ids) == list(keys)
    assert all(k in idx and idx.contains(k) and idx[k] == idx.get(k, -5) == i for k, i in zip(keys, ids))
    assert [idx.id_unchecked(k) for k in keys] == ids
    for s in strangers:
        if s in keys:
            continue
        assert idx.id(s) is None and s not in idx and idx.get(s) is None and idx.get(s, -1) == -1
    got = struct.unpack(f"={len(keys) + len(strangers)}I", idx.ids_of_bytes(list(keys) + list(strangers)))
    assert list(got) == ids + [MISSING if s not in keys else idx.id(s) for s in strangers]
    return ids


# ---- construction and lookups -------------------------------------------------


def test_lookups(fp):
    idx = P(KEYS, fingerprints=fp)
    assert len(idx) == len(KEYS) and idx and not idx.is_empty()
    assert idx.has_fingerprints() is fp
    check_members(idx, KEYS)
    assert idx.key(len(idx)) is None and idx.key(MISSING) is None
    assert idx.keys_of([len(idx), 0])[0] is None
    with pytest.raises(KeyError) as e:
        idx["absent"]
    assert e.value.args == ("absent",)
    assert idx.get("absent", None) is None
    assert idx.get(KEYS[0], "x") == idx.id(KEYS[0])
    assert P.ID_DTYPE == idx.ID_DTYPE == "uint32" and P.MISSING_ID == idx.MISSING_ID == MISSING
    assert P.__module__ == "quorvale._core"


def test_small_inputs():
    assert sorted(P("abc").keys_of([0, 1, 2])) == ["a", "b", "c"]
    assert len(P(["a", "a"])) == 1
    assert P(iter(["", "x"])).id("") is not None
    assert len(P(("t", "u"), fingerprints=True)) == 2
    import numpy as np

    assert P(["a"], fingerprints=np.bool_(True)).has_fingerprints()


def test_empty_index(fp):
    idx = P([], fingerprints=fp)
    assert len(idx) == 0 and not idx and idx.is_empty()
    assert idx.has_fingerprints() is fp
    assert idx.id("") is None and idx.id_unchecked("a") == 0 and idx.key(0) is None
    assert idx.ids_of(["a", ""]) == [None, None]
    assert idx.ids_of_bytes(["a"]) == struct.pack("=I", MISSING)
    assert idx.keys_of([0]) == [None]
    with pytest.raises(KeyError):
        idx["a"]
    assert P.from_bytes(idx.to_bytes()).has_fingerprints() is fp


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


@pytest.mark.parametrize(
    "call, exc, note",
    [
        (lambda i: i.id(1), TypeError, "key"),
        (lambda i: i.get(None), TypeError, "key"),
        (lambda i: 1 in i, TypeError, "key"),
        (lambda i: i[1], TypeError, "key"),
        (lambda i: i.id_unchecked(b"a"), TypeError, "key"),
        (lambda i: i.id("\ud800"), UnicodeEncodeError, "key"),
        (lambda i: i.key(-1), OverflowError, "id"),
        (lambda i: i.key(2**32), OverflowError, "id"),
        (lambda i: i.key("0"), TypeError, "id"),
        (lambda i: i.keys_of([0, -1]), OverflowError, "ids"),
        (lambda i: i.keys_of(5), TypeError, "ids"),
        (lambda i: i.ids_of("abc"), TypeError, "keys"),
        (lambda i: i.ids_of(k for k in "ab"), TypeError, "keys"),
        (lambda i: i.ids_of({"a"}), TypeError, "keys"),
        (lambda i: i.ids_of(["a", 1]), TypeError, "keys"),
        (lambda i: P(["a"], fingerprints=1), TypeError, "fingerprints"),
        (lambda i: P(["a"], fingerprints=None), TypeError, "fingerprints"),
        (lambda i: P.from_bytes(bytearray(i.to_bytes())), TypeError, "data"),
        (lambda i: P.from_bytes(memoryview(i.to_bytes())), TypeError, "data"),
        (lambda i: P.load(b"/tmp/x"), TypeError, "path"),
        (lambda i: i.save(3), TypeError, "path"),
    ],
)
def test_argument_errors(call, exc, note):
    idx = P(["a", "b"])
    with pytest.raises(exc) as e:
        call(idx)
    assert f"while processing '{note}'" in notes(e)


def test_argument_shapes():
    idx = P(["a", "b"])
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        idx.ids_of("ab")
    with pytest.raises(TypeError):
        P(["a"], True)  # keyword-only by position
    with pytest.raises(TypeError):
        idx.id()
    with pytest.raises(TypeError):
        P([1])
    with pytest.raises(TypeError):
        P(5)
    assert idx.ids_of(("a", "b")) == [idx.id("a"), idx.id("b")]
    assert idx.id(key="a") == idx.get(key="a", default=None)

    class B(bytes):
        pass

    assert len(P.from_bytes(B(idx.to_bytes()))) == 2


# ---- colliding first hashes ---------------------------------------------------


def test_colliding_keys_take_the_tail_ids(fp):
    assert len({ref_hash.hash_pair(k.encode()) for k in COLL}) == 1
    assert len({ref_hash.hash_pair(k.encode()) for k in COLL2}) == 1
    keys = list(KEYS_C)
    random.Random(5).shuffle(keys)
    idx = P(keys, fingerprints=fp)
    n = len(idx)
    assert n == len(KEYS_C)
    check_members(idx, KEYS_C, strangers=colliding(5, 0)[3:] + ["nope"])
    # Representatives (first in byte order) keep hash slots; the rest take
    # the tail ids in byte order.
    assert idx.id(min(COLL)) < n - 3 and idx.id(min(COLL2)) < n - 3
    side = sorted(sorted(COLL)[1:] + sorted(COLL2)[1:], key=lambda k: k.encode())
    assert [idx.id(k) for k in side] == [n - 3, n - 2, n - 1]
    blob = idx.to_bytes()
    # The side table: 12-byte entries of (first hash, id) at the end.
    assert struct.unpack_from("<I", blob, 20)[0] == 3
    entries = [struct.unpack_from("<QI", blob, len(blob) - 36 + 12 * i) for i in range(3)]
    assert entries == sorted((ref_hash.hash_pair(k.encode())[0], idx.id(k)) for k in side)


# ---- blobs --------------------------------------------------------------------


def test_blob_header_by_reference(fp):
    for keys in ([], KEYS[:50], KEYS_C):
        idx = P(keys, fingerprints=fp)
        blob = idx.to_bytes()
        assert blob[:4] == b"BMP8"
        n, j, h = struct.unpack_from("<QQI", blob, 4)
        assert (n, h) == (len(keys), 3 if keys == KEYS_C else 0)
        assert struct.unpack_from("<I", blob, 32)[0] == ref_mphf.header_checksum(blob[:32])
        if not keys:
            assert j == 0
        else:
            assert blob[36:40] == b"MPH3"
        assert idx.serialized_len() == len(blob)


def roundtrips(idx, tmp_path):
    path = tmp_path / "i.bmp"
    idx.save(path)
    assert path.stat().st_size == idx.serialized_len() == len(idx.to_bytes())
    assert path.read_bytes() == idx.to_bytes()
    return [
        P.from_bytes(idx.to_bytes()),
        P.load(path),
        P.load(str(path)),
        P.load_mmap(path),
        P.load_mmap_verified(path),
        pickle.loads(pickle.dumps(idx)),
    ]


def test_round_trips(fp, tmp_path):
    for keys in ([], [""], KEYS_C):
        idx = P(keys, fingerprints=fp)
        for other in roundtrips(idx, tmp_path):
            assert type(other) is P
            assert other.to_bytes() == idx.to_bytes()
            assert other.has_fingerprints() is fp
            if keys:
                check_members(other, keys)
        assert sorted(os.listdir(tmp_path)) == ["i.bmp"]


def test_pickle_in_a_fresh_process(tmp_path):
    path = tmp_path / "i.bmp"
    P(KEYS_C, fingerprints=True).save(path)
    mapped = P.load_mmap(path)
    assert mapped.__reduce__()[0] == P.from_bytes
    data = pickle.dumps(mapped)
    code = textwrap.dedent(
        """
        import pickle, sys
        idx = pickle.loads(sys.stdin.buffer.read())
        print(type(idx).__name__, len(idx), idx.has_fingerprints(), sum(idx.ids_of(idx.keys_of(range(len(idx))))))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, check=True).stdout.decode()
    n = len(KEYS_C)
    assert out.split() == ["PerfectHashIndex", str(n), "True", str(n * (n - 1) // 2)]


def test_save_over_a_mapped_file_keeps_the_old_index(tmp_path):
    path = tmp_path / "i.bmp"
    P(["old", "keys"]).save(path)
    old = P.load_mmap(path)
    P(["new"]).save(path)
    assert old.id("old") is not None and old.key(old.id("keys")) == "keys"
    assert len(P.load_mmap(path)) == 1
    assert sorted(os.listdir(tmp_path)) == ["i.bmp"]


def reseal(b):
    """Header checksum made right again after a header field was changed."""
    b = bytearray(b)
    b[32:36] = struct.pack("<I", ref_mphf.header_checksum(bytes(b[:32])))
    return bytes(b)


def with_fields(b, n=None, j=None, h=None):
    b = bytearray(b)
    on, oj, oh = struct.unpack_from("<QQI", b, 4)
    struct.pack_into("<QQI", b, 4, on if n is None else n, oj if j is None else j, oh if h is None else h)
    return reseal(b)


OLD = (
    "perfect-hash: blob written by quorvale < 4.0, keyed on a hash this version no longer computes; "
    "rebuild the index from its keys"
)


def refusal_cases():
    good = P(KEYS[:40] + COLL, fingerprints=True).to_bytes()
    n, j, _ = struct.unpack_from("<QQI", good, 4)
    key_flip = bytearray(good)
    key_flip[len(good) - 24 - 5] ^= 1
    head_flip = bytearray(good)
    head_flip[10] ^= 1
    side_gap = bytearray(good)
    struct.pack_into("<I", side_gap, len(good) - 4, n)
    # (blob, message of the verifying loaders, message of load_mmap)
    same = [
        (b"BM", "bad magic or truncated header"),
        (b"BMP1" + good[4:], "bad magic or truncated header"),
        (b"BMP2", OLD),
        (b"BMP7" + good[4:], OLD),
        (b"BMP9" + good[4:], "bad magic or truncated header"),
        (good[:35], "bad magic or truncated header"),
        (bytes(head_flip), "header checksum mismatch"),
        (with_fields(good, n=2**32), "perfect-hash: header claims more than u32::MAX keys"),
        (with_fields(good, n=5, h=5), "side table length out of range"),
        (with_fields(good, j=len(good)), "mph length out of range"),
    ]
    return [(b, m, m) for b, m in same] + [
        (bytes(key_flip), "payload checksum mismatch", None),
        # The payload check comes first; without it the side ids are refused.
        (reseal(side_gap), "payload checksum mismatch", "perfect-hash: side-table ids are not the tail id range"),
    ]


@pytest.mark.parametrize("i", range(12))
def test_blob_refusals(i, tmp_path):
    data, verified, mapped = refusal_cases()[i]
    path = tmp_path / "b"
    path.write_bytes(data)
    loaders = [lambda: P.from_bytes(data), lambda: P.load(path), lambda: P.load_mmap_verified(path)]
    for load in loaders:
        with pytest.raises(ValueError) as e:
            load()
        assert str(e.value) == "format error: " + verified
    if mapped is None:
        assert len(P.load_mmap(path)) == 43
    else:
        with pytest.raises(ValueError) as e:
            P.load_mmap(path)
        assert str(e.value) == "format error: " + mapped


def test_file_errors(tmp_path):
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    with pytest.raises(ValueError, match="^format error: bad magic or truncated header$"):
        P.load_mmap(empty)
    for load in (P.load, P.load_mmap, P.load_mmap_verified):
        with pytest.raises(OSError) as e:
            load(tmp_path / "missing")
        assert str(e.value).startswith("io error: ") and e.value.errno is None
    with pytest.raises(OSError, match="^io error: "):
        P(["a"]).save(tmp_path / "no" / "such" / "dir")


def test_load_reads_streams_to_their_end(tmp_path):
    # A pipe reports size 0; the blob here is larger than a pipe's buffer.
    big = random_keys(20000, 7)
    for keys in ([], big):
        blob = P(keys).to_bytes()
        src, fifo = tmp_path / "src.bmp", tmp_path / "fifo"
        src.write_bytes(blob)
        os.mkfifo(fifo)
        writer = subprocess.Popen(
            [sys.executable, "-c", "import sys; open(sys.argv[2], 'wb').write(open(sys.argv[1], 'rb').read())", src, fifo]
        )
        try:
            loaded = P.load(fifo)
        finally:
            rc = writer.wait(timeout=60)
        assert rc == 0
        assert loaded.to_bytes() == blob
        if keys:
            check_members(loaded, keys)
        os.unlink(fifo)

        code = "import sys; from quorvale._core import PerfectHashIndex as P; sys.stdout.buffer.write(P.load('/dev/stdin').to_bytes())"
        r = subprocess.run([sys.executable, "-c", code], input=blob, capture_output=True, timeout=60)
        assert r.returncode == 0, r.stderr
        assert r.stdout == blob


# ---- streamed build -----------------------------------------------------------


def test_build_to_file_matches_the_in_memory_build(fp, tmp_path):
    path = tmp_path / "s.bmp"
    for keys in ([], ["only"], KEYS, sorted(KEYS_C, key=lambda k: k.encode())):
        calls = []

        def source():
            calls.append(1)
            return iter(keys)

        assert P.build_to_file(source, path, fingerprints=fp) == len(keys)
        assert len(calls) == (1 if not keys else 2)
        assert path.read_bytes() == P(keys, fingerprints=fp).to_bytes()
        assert sorted(os.listdir(tmp_path)) == ["s.bmp"]
    # Source order decides which colliding key keeps the hash slot.
    shuffled = list(KEYS_C)
    random.Random(2).shuffle(shuffled)
    assert P.build_to_file(lambda: shuffled, str(path), fingerprints=fp) == len(shuffled)
    check_members(P.load(path), KEYS_C)


class Boom(Exception):
    pass


def raising(keys, at):
    def gen():
        for i, k in enumerate(keys):
            if i == at:
                raise Boom(at)
            yield k

    return gen()


def test_build_to_file_failures_leave_nothing(tmp_path):
    keys = KEYS[:300]
    target = tmp_path / "t"

    def passes(*lists):
        state = {"n": 0}

        def source():
            lst = lists[min(state["n"], len(lists) - 1)]
            state["n"] += 1
            return lst() if callable(lst) else lst

        return source

    replay = "build error: perfect-hash: the source did not replay the same keys in the same order"
    cases = [
        (passes(keys, keys[:-1]), ValueError, replay),
        (passes(keys, keys + ["more"]), ValueError, replay),
        (passes(keys, keys[:5] + ["other"] + keys[6:]), ValueError, replay),
        (passes(keys, keys[1:2] + keys[:1] + keys[2:]), ValueError, replay),
        (passes(keys + keys[3:4]), ValueError,
         "build error: perfect-hash: build_to_file needs distinct keys and the source repeated one"),
        (passes(lambda: raising(keys, 10)), Boom, None),
        (passes(keys, lambda: raising(keys, 200)), Boom, None),
        (passes(keys[:3] + [7]), TypeError, None),
        (passes(keys, keys[:3] + [b"x"]), TypeError, None),
        (passes(5), TypeError, None),
    ]

    def bad_callable():
        raise Boom("at call")

    cases.append((bad_callable, Boom, None))
    for source, exc, message in cases:
        target.write_bytes(b"old")
        with pytest.raises(exc) as e:
            P.build_to_file(source, target)
        if message:
            assert str(e.value) == message
        assert target.read_bytes() == b"old"
        assert sorted(os.listdir(tmp_path)) == ["t"]
    # The iterator's own exception object reaches the caller.
    err = Boom("mine")

    def gen():
        yield "a"
        raise err

    with pytest.raises(Boom) as e:
        P.build_to_file(lambda: gen(), target)
    assert e.value is err


def test_build_to_file_arguments(tmp_path):
    msg = (
        "build_to_file() takes a zero-argument callable that returns an iterable of str (it is called twice), "
        "not the iterable itself"
    )
    for source in (["a"], (k for k in ["a"])):
        with pytest.raises(TypeError) as e:
            P.build_to_file(source, tmp_path / "x")
        assert str(e.value) == msg
    # path and fingerprints are converted before source is tested.
    with pytest.raises(TypeError) as e:
        P.build_to_file(["a"], 5)
    assert "while processing 'path'" in notes(e)
    with pytest.raises(TypeError) as e:
        P.build_to_file(["a"], tmp_path / "x", fingerprints=1)
    assert "while processing 'fingerprints'" in notes(e)
    assert os.listdir(tmp_path) == []


def test_io_errors_leave_nothing_behind(tmp_path):
    code = textwrap.dedent(
        f"""
        import os, resource, signal, sys
        from quorvale._core import PerfectHashIndex as P
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        keys = [f"key-{{i:06d}}" for i in range(20000)]
        idx = P(keys)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        d = {str(tmp_path)!r}
        for name, call in (("save", lambda: idx.save(os.path.join(d, "a"))),
                           ("build_to_file", lambda: P.build_to_file(lambda: keys, os.path.join(d, "b")))):
            try:
                call()
                print(name, "no error")
            except OSError as e:
                print(name, str(e))
        print(sorted(os.listdir(d)))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    assert lines[0].startswith("save io error: ")
    assert lines[1].startswith("build_to_file io error: ")
    assert lines[2] == "[]"


# ---- Arrow columns and buffers ------------------------------------------------


def test_arrow_and_buffer_forms(fp):
    keys = list(KEYS_C[:50]) + COLL + COLL2 + [""]
    idx = P(keys, fingerprints=fp)
    queries = keys + ["stranger", None, ""]
    want = [MISSING if q is None else (idx.id(q) if q in idx else MISSING) for q in queries]
    # A null is missing even where its offsets delimit a member (the empty key).
    arr = pa.array(queries, type=pa.string())
    assert np.frombuffer(idx.ids_of_arrow(arr), dtype=idx.ID_DTYPE).tolist() == want
    chunked = pa.chunked_array([queries[:7], [], queries[7:]], type=pa.large_string())
    out = np.full(len(queries) + 2, 7, dtype=np.uint32)
    assert idx.ids_into_arrow(chunked, out) is None
    assert out.tolist() == want + [7, 7]
    strs = [q for q in queries if q is not None]
    out = np.zeros(len(strs), dtype=np.uint32)
    idx.ids_into(strs, out)
    assert out.tolist() == [idx.id(q) if q in idx else MISSING for q in strs]
    assert out.tobytes() == idx.ids_of_bytes(strs)
    # Nothing to write: any writable buffer will do, a read-only one will not.
    idx.ids_into([], np.zeros(0, dtype=np.uint64))
    idx.ids_into_arrow(pa.array([], type=pa.string()), bytearray(3))
    with pytest.raises(BufferError):
        idx.ids_into([], b"")
    # Refused before any lookup, out left unchanged.
    out64 = np.full(3, 9, dtype=np.uint64)
    with pytest.raises(BufferError):
        idx.ids_into(strs[:3], out64)
    short = np.full(2, 9, dtype=np.uint32)
    with pytest.raises(ValueError):
        idx.ids_into(strs[:3], short)
    assert out64.tolist() == [9, 9, 9] and short.tolist() == [9, 9]
    with pytest.raises(TypeError):
        idx.ids_of_arrow(["a"])
    empty = P([])
    assert np.frombuffer(empty.ids_of_arrow(arr), dtype=np.uint32).tolist() == [MISSING] * len(queries)


# ---- threads ------------------------------------------------------------------


def test_threads_share_one_index(tmp_path):
    idx = P(KEYS_C, fingerprints=True)
    path = tmp_path / "i.bmp"
    idx.save(path)
    want = (idx.ids_of(KEYS_C), idx.to_bytes(), [idx.id(k) for k in KEYS_C])
    results = [None] * 8
    barrier = threading.Barrier(8)

    def work(t):
        barrier.wait()
        got = []
        for _ in range(3):
            got.append((idx.ids_of(KEYS_C), idx.to_bytes(), [idx.id(k) for k in KEYS_C]))
            loaded = (P.load_mmap(path), P.load(path), P.from_bytes(want[1]))
            got.append(tuple(tuple(x.ids_of(KEYS_C)) for x in loaded))
        results[t] = got

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    ids = tuple(want[0])
    for got in results:
        for i, g in enumerate(got):
            assert g == (want if i % 2 == 0 else (ids, ids, ids))
