import bisect
import gc
import inspect
import os
import pickle
import random
import struct
import subprocess
import sys
import textwrap
import threading
import weakref

import numpy as np
import pyarrow as pa
import pytest

import quorvale._core as core
from quorvale._core import StringIndex as S

MISSING = 2**64 - 1


def random_keys(n, seed, max_len=8):
    """Distinct keys in sorted order: the empty key, 1- to 4-byte characters."""
    rng = random.Random(seed)
    out = {""}
    while len(out) < n:
        out.add("".join(rng.choice("abcdz-.é東𝄞") for _ in range(rng.randrange(1, max_len + 1))))
    return sorted(out)


KEYS = random_keys(1500, 1)


# ---- reference answers ---------------------------------------------------------


def distance(a, b):
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (ca != cb)))
        prev = cur
    return prev[-1]


def is_subsequence(q, k):
    it = iter(k)
    return all(c in it for c in q)


class Model:
    def __init__(self, keys):
        self.keys = sorted(set(keys))

    def pairs(self, pred):
        return [(k, i) for i, k in enumerate(self.keys) if pred(k)]

    def lower(self, q):
        return bisect.bisect_left(self.keys, q)

    def id(self, k):
        i = self.lower(k)
        return i if i < len(self.keys) and self.keys[i] == k else None


# ---- surface ----------------------------------------------------------------------

METHODS = {
    "from_sorted": "(items)", "build_to_file": "(items, path)", "build_sorted_to_file": "(items, path)",
    "is_empty": "($self)", "id": "($self, key)", "contains": "($self, key)", "get": "($self, key, default=None)",
    "key": "($self, id)", "ids_of": "($self, keys)", "ids_of_bytes": "($self, keys)",
    "ids_of_arrow": "($self, column)", "ids_into_arrow": "($self, column, out)", "ids_into": "($self, keys, out)",
    "keys_of": "($self, ids)", "prefix": "($self, prefix, limit=None)", "common_prefix": "($self, query)",
    "occurrences": "($self, text)", "longest_prefix": "($self, query)", "range": "($self, lo, hi, limit=None)",
    "lower_bound": "($self, query)", "range_count": "($self, lo, hi)", "prefix_count": "($self, prefix)",
    "prefix_id_range": "($self, prefix)", "successor": "($self, query)", "predecessor": "($self, query)",
    "fuzzy": "($self, query, max_distance, limit=None)", "subsequence": "($self, query, limit=None)",
    "to_bytes": "($self)", "serialized_len": "($self)", "__reduce__": "($self)", "from_bytes": "(data)",
    "from_untrusted_bytes": "(data)", "save": "($self, path)", "load": "(path)", "load_untrusted": "(path)",
    "load_mmap": "(path)", "load_mmap_verified": "(path)", "load_mmap_untrusted": "(path)",
}


def test_surface():
    assert core.__all__[:2] == ["StringIndex", "StringIndexIterator"]
    assert S.__doc__ == "Ordered string↔id index (FST) with prefix / range / fuzzy / subsequence queries."
    assert S.__text_signature__ == "(items)" and S.__module__ == "quorvale._core"
    assert S.ID_DTYPE == "uint64" and S.MISSING_ID == MISSING
    assert not hasattr(S, "keys") and not hasattr(S, "ids")
    assert [n for n in S.__dict__ if n in METHODS] == list(METHODS)
    for name, sig in METHODS.items():
        m = getattr(S, name)
        assert m.__text_signature__ == sig, name
        assert m.__doc__, name
        inspect.signature(m)
        assert isinstance(S.__dict__[name], staticmethod) == (not sig.startswith("($self")), name
    for name in ("load_mmap", "load_mmap_verified", "load_mmap_untrusted"):
        doc = getattr(S, name).__doc__
        assert "must not be changed or truncated" in doc and "Use `load`" in doc
    it = core.StringIndexIterator
    assert it.__doc__ == (
        "Lazy `(key, id)` iterator over a `StringIndex`, in sorted order. Holds a reference to the parent\n"
        "index and streams it a chunk at a time, so it never materialises the whole key set.")
    with pytest.raises(TypeError):
        it()
    assert type(iter(S([]))) is it and it.__module__ == "quorvale._core"


# ---- model check -------------------------------------------------------------------


def test_model_check():
    rng = random.Random(2)
    input_keys = KEYS + rng.sample(KEYS, 200)
    rng.shuffle(input_keys)
    idx = S(input_keys)
    m = Model(KEYS)
    n = len(KEYS)
    assert len(idx) == n and not idx.is_empty()

    # Members by every form, then near misses.
    ids = list(range(n))
    assert [idx.id(k) for k in KEYS] == ids and idx.ids_of(KEYS) == ids
    assert [idx[k] for k in KEYS] == ids and all(k in idx and idx.contains(k) for k in KEYS)
    assert idx.ids_of_bytes(KEYS) == struct.pack(f"={n}Q", *ids)
    assert [idx.key(i) for i in ids] == KEYS and idx.keys_of(ids + [n, n + 5, MISSING]) == KEYS + [None] * 3
    strangers = ["", "zzzzzzzzz", "\x00", "é東𝄞x"] + [k + "\x7f" for k in KEYS[:50]] + [k[:-1] for k in KEYS[1:50]]
    assert idx.ids_of(strangers) == [m.id(s) for s in strangers]
    assert [idx.get(s, -1) for s in strangers] == [-1 if m.id(s) is None else m.id(s) for s in strangers]

    # Bounds, counts and ranges.
    probes = strangers + rng.sample(KEYS, 100) + ["東", "𝄞", "é", "d", "z"]
    for q in probes:
        assert idx.lower_bound(q) == m.lower(q), q
        start, end = idx.prefix_id_range(q)
        want = m.pairs(lambda k: k.startswith(q))
        assert (start, end) == (m.lower(q), m.lower(q) + len(want)), q
        assert idx.prefix_count(q) == len(want) and idx.prefix(q) == want
        assert idx.prefix(q, limit=3) == want[:3] and idx.prefix(q, None) == want
        s = m.lower(q)
        assert idx.successor(q) == (None if s == n else (m.keys[s], s))
        p = m.id(q) if m.id(q) is not None else s - 1
        assert idx.predecessor(q) == (None if p < 0 else (m.keys[p], p))
    for lo, hi in zip(probes, reversed(probes)):
        want = m.pairs(lambda k: lo <= k < hi)
        assert idx.range(lo, hi) == want and idx.range(lo, hi, 2) == want[:2]
        assert idx.range_count(lo, hi) == len(want)

    # Fuzzy and subsequence against brute force.
    for q in ["", "ab", "東é", "𝄞a", "zz-"] + rng.sample(KEYS, 4):
        dist = {k: distance(q, k) for k in m.keys}
        for d in (0, 1, 2):
            want = m.pairs(lambda k: dist[k] <= d)
            assert idx.fuzzy(q, d) == want, (q, d)
            assert idx.fuzzy(q, d, limit=1) == want[:1]
        want = m.pairs(lambda k: is_subsequence(q, k))
        assert idx.subsequence(q) == want and idx.subsequence(q, 4) == want[:4]

    # Dictionary matching against brute force.
    for t in range(30):
        text = "".join(rng.choice(KEYS) for _ in range(3))
        want = [(text[:j], m.id(text[:j])) for j in range(len(text) + 1) if m.id(text[:j]) is not None]
        assert idx.common_prefix(text) == want
        assert idx.longest_prefix(text) == (want[-1] if want else None)
        occ = [(i, j, m.id(text[i:j])) for i in range(len(text)) for j in range(i + 1, len(text) + 1)
               if m.id(text[i:j]) is not None]
        assert idx.occurrences(text) == occ

    # Iteration is every pair in order.
    assert list(idx) == [(k, i) for i, k in enumerate(KEYS)] == idx.prefix("")


# ---- edge cases -----------------------------------------------------------------------

EMPTY = S([])
BAB = S(["b", "a", "b"])


@pytest.mark.parametrize("call, want", [
    (lambda: len(EMPTY), 0),
    (lambda: EMPTY.is_empty(), True),
    (lambda: EMPTY.key(0), None),
    (lambda: EMPTY.lower_bound("x"), 0),
    (lambda: EMPTY.prefix_id_range(""), (0, 0)),
    (lambda: [EMPTY.prefix(""), EMPTY.range("", "z"), EMPTY.fuzzy("", 1), EMPTY.subsequence("")], [[]] * 4),
    (lambda: (EMPTY.common_prefix("a"), EMPTY.longest_prefix("a"), EMPTY.occurrences("a")), ([], None, [])),
    (lambda: list(EMPTY), []),
    (lambda: (len(BAB), BAB.id("a"), BAB.id("b")), (2, 0, 1)),
    (lambda: BAB.to_bytes()[:4], b"BIX4"),
    (lambda: BAB.serialized_len() == len(BAB.to_bytes()), True),
    (lambda: BAB.prefix_id_range(""), (0, 2)),
    (lambda: BAB.lower_bound("c"), 2),
    (lambda: (BAB.range_count("b", "a"), BAB.range("b", "a"), BAB.range("a", "a")), (0, [], [])),
    (lambda: (BAB.predecessor("0"), BAB.predecessor("b"), BAB.predecessor("zz")), (None, ("b", 1), ("b", 1))),
    (lambda: (BAB.successor("c"), BAB.successor(""), BAB.successor("a")), (None, ("a", 0), ("a", 0))),
    (lambda: (BAB.prefix("", 0), BAB.prefix("", None), BAB.subsequence("", 0)), ([], [("a", 0), ("b", 1)], [])),
    (lambda: (BAB.fuzzy("a", 0), BAB.fuzzy("c", 0)), ([("a", 0)], [])),
    (lambda: BAB.get("zz", -1), -1),
    (lambda: BAB.get("zz"), None),
    (lambda: BAB.get("zz", default=None), None),
    (lambda: S(["", "a", "ab", "abc"]).common_prefix("abd"), [("", 0), ("a", 1), ("ab", 2)]),
    (lambda: S(["", "a", "ab", "abc"]).longest_prefix("x"), ("", 0)),
    (lambda: S(["", "a", "ab", "abc"]).occurrences("ab"), [(0, 1, 1), (0, 2, 2)]),
    (lambda: S(["東京", "東京都"]).occurrences("東京都に"), [(0, 2, 0), (0, 3, 1)]),
])
def test_edge_cases(call, want):
    assert call() == want


def test_get_returns_the_default_object():
    default = object()
    assert BAB.get("zz", default) is default


LEVENSHTEIN_LIMIT = "automaton error: Levenshtein automaton exceeds size limit of 10000 states"


@pytest.mark.parametrize("call, exc, text", [
    (lambda: BAB.prefix("", -1), OverflowError, None),
    (lambda: BAB.range("a", "b", -1), OverflowError, None),
    (lambda: BAB.fuzzy("a", 1, -1), OverflowError, None),
    (lambda: BAB.fuzzy("a", 2**32), OverflowError, None),
    (lambda: BAB.key(-1), OverflowError, None),
    (lambda: BAB.key(2**64), OverflowError, None),
    (lambda: BAB.keys_of([0, -1]), OverflowError, None),
    (lambda: BAB.prefix("", "3"), TypeError, None),
    (lambda: BAB.fuzzy("abcdefghijklmnopqrstuvwxyz", 20), ValueError, LEVENSHTEIN_LIMIT),
    (lambda: BAB.fuzzy("abcdefghijklmnopqrstuvwxyz", 20, limit=0), ValueError, LEVENSHTEIN_LIMIT),
    (lambda: 5 in BAB, TypeError, None),
    (lambda: BAB[5], TypeError, None),
    (lambda: BAB.contains(5), TypeError, None),
    (lambda: BAB.ids_of("ab"), TypeError, "Can't extract `str` to `Vec`"),
    (lambda: BAB.ids_of(k for k in "ab"), TypeError, None),
    (lambda: S([1]), TypeError, None),
    (lambda: S.from_bytes(bytearray()), TypeError, None),
    (lambda: S.from_bytes(memoryview(b"BIX4")), TypeError, None),
    (lambda: S.from_bytes(b""), ValueError, "format error: bad magic or truncated header"),
    (lambda: S.from_untrusted_bytes(b"BIX3" + BAB.to_bytes()[4:]), ValueError,
     "format error: bad magic or truncated header"),
    (lambda: S.from_bytes(BAB.to_bytes()[:-1] + b"\x00"), ValueError, "fst error: FST error"),
])
def test_errors(call, exc, text):
    with pytest.raises(exc) as e:
        call()
    if text is not None:
        assert str(e.value) == text


def test_key_error_carries_the_key():
    with pytest.raises(KeyError) as e:
        BAB["zz"]
    assert e.value.args == ("zz",)


class Boom(Exception):
    pass


def raising(keys, at):
    for i, k in enumerate(keys):
        if i == at:
            raise Boom("midway")
        yield k


def test_constructor_errors():
    with pytest.raises(Boom):
        S(raising(["a", "b", "c"], 2))
    with pytest.raises(TypeError):
        S(["a", b"b"])
    with pytest.raises(TypeError):
        S(5)


def test_buffer_outputs():
    keys = ["b", "zz", "a", ""]
    idx = S(["a", "b", ""])
    want = [2, MISSING, 1, 0]
    with pytest.raises(BufferError, match="out is read-only"):
        idx.ids_into([], b"")
    idx.ids_into([], bytearray(0))
    with pytest.raises(BufferError):
        idx.ids_into(keys, np.zeros(4, dtype=np.uint32))
    short = np.full(3, 9, dtype=np.uint64)
    with pytest.raises(ValueError, match="out holds 3 items but 4 keys were given"):
        idx.ids_into(keys, short)
    assert short.tolist() == [9, 9, 9]
    out = np.full(6, 7, dtype=np.uint64)
    assert idx.ids_into(keys, out) is None
    assert out.tolist() == want + [7, 7]
    assert np.frombuffer(idx.ids_of_bytes(keys), dtype=S.ID_DTYPE).tolist() == want
    assert idx.ids_of_bytes([]) == b""


def test_arrow_nulls_are_missing_whatever_their_bytes():
    idx = S(["a", "b", ""])
    # Element 1 is null over the bytes "b"; element 3 null over "" (both keys).
    for string_type, offset_fmt in ((pa.string(), "i"), (pa.large_string(), "q")):
        offsets = pa.py_buffer(struct.pack(f"<5{offset_fmt}", 0, 1, 2, 4, 4))
        validity = pa.py_buffer(bytes([0b0101]))
        arr = pa.Array.from_buffers(string_type, 4, [validity, offsets, pa.py_buffer(b"abzz")])
        want = [1, MISSING, MISSING, MISSING]
        assert np.frombuffer(idx.ids_of_arrow(arr), dtype=np.uint64).tolist() == want
        chunked = pa.chunked_array([arr, pa.array(["b", None, ""], type=string_type)])
        out = np.full(9, 5, dtype=np.uint64)
        idx.ids_into_arrow(chunked, out)
        assert out.tolist() == want + [2, MISSING, 0, 5, 5]


# ---- loaders ------------------------------------------------------------------------


def crc32c(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


def masked(c):
    return ((((c >> 15) | (c << 17)) & 0xFFFFFFFF) + 0xA282EAD8) & 0xFFFFFFFF


def non_utf8_blob():
    """The FST of the keys 61 C0 (id 0) and 62 (id 1), assembled by hand."""
    fst = bytearray(struct.pack("<QQ", 3, 0))
    # At 16..19, address 19: one transition on the stored input C0 to the
    # empty final node (delta 0), pack byte T=1 O=0.
    fst += bytes([0x00, 0x10, 0xC0, 0x80])
    # At 20..27, address 27, start 20: two transitions, not final, T=1 O=1;
    # outputs (b: 1, a: 0), deltas (b: 0 -> address 0, a: 1 -> 20 - 1 = 19),
    # inputs (b, a) descending in memory, pack, state.
    fst += bytes([1, 0, 0, 1, ord("b"), ord("a"), 0x11, 0x02])
    fst += struct.pack("<QQ", 2, 27)
    fst += struct.pack("<I", masked(crc32c(bytes(fst))))
    return b"BIX4" + bytes(fst)


LOADERS = ["from_bytes", "from_untrusted_bytes", "load", "load_untrusted", "load_mmap", "load_mmap_verified",
           "load_mmap_untrusted"]


def open_with(name, blob, path):
    if name.startswith("from_"):
        return getattr(S, name)(blob)
    with open(path, "wb") as f:
        f.write(blob)
    return getattr(S, name)(path)


def test_every_loader_answers_alike(tmp_path):
    idx = S(KEYS)
    path = tmp_path / "i.bix"
    idx.save(path)
    assert path.read_bytes() == idx.to_bytes()
    want = (list(idx), idx.ids_of(KEYS), idx.keys_of(range(len(KEYS))), idx.occurrences("東é𝄞ab"))
    for name in LOADERS:
        got = getattr(S, name)(path) if name.startswith("load") else getattr(S, name)(idx.to_bytes())
        assert type(got) is S
        assert (list(got), got.ids_of(KEYS), got.keys_of(range(len(KEYS))), got.occurrences("東é𝄞ab")) == want, name
        assert got.to_bytes() == idx.to_bytes()
    assert S.load(str(path)).to_bytes() == idx.to_bytes()


def test_a_mapped_index_pickles_without_its_file(tmp_path):
    idx = S(KEYS)
    path = tmp_path / "i.bix"
    idx.save(path)
    mapped = S.load_mmap(path)
    loader, (blob,) = mapped.__reduce__()
    assert loader == S.from_bytes and blob == idx.to_bytes()
    data = pickle.dumps(mapped)
    del mapped
    os.remove(path)
    back = pickle.loads(data)
    assert list(back) == list(idx)


def test_a_foreign_blob_is_trusted_or_refused(tmp_path):
    blob = non_utf8_blob()
    idx = S.from_bytes(blob)
    # Walks decode leniently, key() strictly.
    assert list(idx) == [("a\ufffd", 0), ("b", 1)] and idx.prefix("") == list(idx)
    assert idx.key(0) is None and idx.key(1) == "b"
    for name in ("from_untrusted_bytes", "load_untrusted", "load_mmap_untrusted"):
        with pytest.raises(ValueError) as e:
            open_with(name, blob, tmp_path / "x.bix")
        assert str(e.value) == "format error: fst key is not UTF-8", name


def test_file_errors(tmp_path):
    for name in LOADERS[2:]:
        with pytest.raises(OSError) as e:
            getattr(S, name)(tmp_path / "missing")
        assert str(e.value).startswith("io error: "), name
    with pytest.raises(OSError):
        BAB.save(tmp_path / "no" / "dir")
    with pytest.raises(ValueError, match="bad magic"):
        S.load_mmap(open_path(tmp_path / "empty", b""))


def open_path(path, content):
    path.write_bytes(content)
    return path


def test_len_past_the_signed_size(tmp_path):
    # An unverified open reads the key count from the footer alone.
    b = bytearray(BAB.to_bytes())
    struct.pack_into("<Q", b, len(b) - 20, 2**64 - 2)
    idx = S.load_mmap(open_path(tmp_path / "big.bix", bytes(b)))
    with pytest.raises(OverflowError):
        len(idx)
    assert not idx.is_empty()


# ---- streamed builds ---------------------------------------------------------------


STREAM_CASES = [[], ["a", "a", "b"], [""], ["", "a"], KEYS]


@pytest.mark.parametrize("keys", STREAM_CASES, ids=["empty", "repeat", "empty-key", "empty-first", "many"])
def test_streamed_builds_write_the_constructors_bytes(keys, tmp_path):
    want = S(keys).to_bytes()
    assert S.from_sorted(iter(keys)).to_bytes() == want
    n = len(set(keys))
    assert S.build_sorted_to_file((k for k in keys), tmp_path / "sorted.bix") == n
    assert (tmp_path / "sorted.bix").read_bytes() == want
    shuffled = list(keys)
    random.Random(3).shuffle(shuffled)
    assert S.build_to_file(iter(shuffled), path=tmp_path / "any.bix") == n
    assert (tmp_path / "any.bix").read_bytes() == want
    assert sorted(os.listdir(tmp_path)) == ["any.bix", "sorted.bix"]
    if "" in keys:
        assert S.from_sorted(keys).id("") == 0


def pulled_counter(keys):
    pulled = []

    def gen():
        for k in keys:
            pulled.append(k)
            yield k
    return gen(), pulled


FST_ERROR = "fst error: FST error"


@pytest.mark.parametrize("form", ["from_sorted", "build_sorted_to_file", "build_to_file"])
@pytest.mark.parametrize("make, exc, text", [
    (lambda: ["b", "a"], ValueError, FST_ERROR),
    (lambda: ["a.x", "a-b.x"], ValueError, FST_ERROR),
    (lambda: raising(["a", "b", "c"], 2), Boom, "midway"),
    (lambda: iter(["a", 5, "c"]), TypeError, None),
], ids=["descending", "separator", "raises", "not-str"])
def test_streamed_build_failures(form, make, exc, text, tmp_path):
    items = make()
    target = tmp_path / "out.bix"
    target.write_bytes(b"old")
    if form == "build_to_file" and text == FST_ERROR:
        assert S.build_to_file(items, target) == 2  # sorted through its run
        return
    args = (items,) if form == "from_sorted" else (items, target)
    with pytest.raises(exc) as e:
        getattr(S, form)(*args)
    if text is not None:
        assert str(e.value) == text
    assert os.listdir(tmp_path) == ["out.bix"] and target.read_bytes() == b"old"


def test_streamed_build_errors_before_any_key(tmp_path):
    gen, pulled = pulled_counter(["a", "b"])
    with pytest.raises(OSError) as e:
        S.build_sorted_to_file(gen, tmp_path / "missing" / "out.bix")
    assert str(e.value).startswith("io error: ") and pulled == []
    with pytest.raises(TypeError):
        S.from_sorted(5)
    with pytest.raises(TypeError) as e:
        S.build_to_file(["a"], 5)
    assert "while processing 'path'" in "".join(getattr(e.value, "__notes__", []))
    assert os.listdir(tmp_path) == []


def test_write_failures_in_a_subprocess(tmp_path):
    code = textwrap.dedent(
        f"""
        import os, random, resource, signal
        from quorvale._core import StringIndex as S
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        rng = random.Random(5)
        big = sorted({{f"{{rng.getrandbits(64):016x}}" for _ in range(20000)}})  # an FST of some 200 KiB
        small = ["a", "b", "c"]
        d = {str(tmp_path)!r}
        for limit, keys in ((1000, big), (10, small)):
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
            for form in ("build_sorted_to_file", "build_to_file"):
                try:
                    getattr(S, form)(iter(keys), os.path.join(d, "out.bix"))
                    print(form, "no error")
                except Exception as e:
                    print(form, type(e).__name__, str(e))
        print(sorted(os.listdir(d)))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    assert lines[0] == "build_sorted_to_file ValueError fst error: I/O error"
    assert lines[1] == "build_to_file ValueError fst error: I/O error"
    assert lines[2].startswith("build_sorted_to_file OSError io error: ")
    assert lines[3].startswith("build_to_file OSError io error: ")
    assert lines[4] == "[]"


# ---- iteration ------------------------------------------------------------------------


@pytest.mark.parametrize("n", [0, 1, 1024, 1025, 2100])
def test_iteration_yields_every_pair(n):
    keys = [f"k{i:05d}" for i in range(n)]
    idx = S(keys)
    it = iter(idx)
    assert iter(it) is it
    assert list(it) == [(k, i) for i, k in enumerate(keys)] == idx.prefix("")
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


def test_interleaved_iterators_each_yield_all():
    idx = S(KEYS)
    a, b = iter(idx), iter(idx)
    got_a, got_b = [], []
    for pa_, pb_ in zip(a, b):
        got_a.append(pa_)
        got_b.append(pb_)
    assert got_a == got_b == list(idx)


def test_threads_draining_one_iterator():
    keys = [f"k{i:06d}" for i in range(20000)]
    it = iter(S(keys))
    got = [[] for _ in range(4)]
    barrier = threading.Barrier(4)

    def drain(t):
        barrier.wait()
        for pair in it:
            got[t].append(pair)

    threads = [threading.Thread(target=drain, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    union = sorted(p for g in got for p in g)
    assert union == [(k, i) for i, k in enumerate(keys)]
    for g in got:
        assert g == sorted(g)  # each thread sees its pairs in order


def test_an_iterator_keeps_its_index_alive():
    class Sub(S):
        pass

    idx = Sub(["a", "b"])
    ref = weakref.ref(idx)
    it = iter(idx)
    del idx
    gc.collect()
    assert ref() is not None
    assert list(it) == [("a", 0), ("b", 1)]
    del it
    gc.collect()
    assert ref() is None


def test_iteration_resumes_after_the_stored_bytes(frametest):
    # Keys that are not UTF-8 decode alike ("a" then U+FFFD); the first batch
    # ends among them.
    raw = sorted([f"{i:04d}".encode() for i in range(1000)] + [b"a" + bytes([b]) for b in range(0x80, 0x100)] + [b"b"])
    idx = S.from_bytes(frametest.fst_blob(raw))
    pairs = list(idx)
    assert [i for _, i in pairs] == list(range(len(raw)))
    assert [k for k, _ in pairs] == [r.decode("utf-8", "replace") for r in raw]


def test_a_refill_that_fails_leaves_the_iterator_usable(tmp_path):
    b = bytearray(non_utf8_blob())
    b[4 + 17] = 0x90  # the one-transition node's pack byte claims a delta width of 9
    idx = S.load_mmap(open_path(tmp_path / "bad.bix", bytes(b)))
    it = iter(idx)
    for _ in range(2):
        with pytest.raises(ValueError) as e:
            next(it)
        assert str(e.value) == "fst error: FST error"


def test_the_iterator_lock(frametest):
    frametest.lock("reset")
    holder = threading.Thread(target=frametest.lock, args=("hold", 0.3))
    holder.start()
    while frametest.lock("count") < 2:  # waits for the holder, detached
        pass
    holder.join()
    with pytest.raises(ValueError):
        frametest.lock("raise")
    assert frametest.lock("count") >= 4  # a Python error does not poison
    with pytest.raises(BaseException) as e:
        frametest.lock("panic")
    assert not isinstance(e.value, Exception) and str(e.value) == "boom"
    with pytest.raises(BaseException) as e:
        frametest.lock("count")
    assert not isinstance(e.value, Exception)
    assert str(e.value) == "iterator state poisoned by an earlier panic"
    frametest.lock("reset")


# ---- threads ------------------------------------------------------------------------


def test_threads_share_one_new_index():
    idx = S(KEYS)
    texts = ["".join(KEYS[i : i + 3]) for i in range(0, 300, 7)]

    def answers():
        return (idx.ids_of(KEYS), [idx.common_prefix(t) for t in texts], [idx.occurrences(t) for t in texts],
                [idx.longest_prefix(t) for t in texts], idx.prefix("a"), idx.fuzzy("ab", 1), idx.subsequence("東"),
                idx.range("b", "d"), [idx.predecessor(k + "!") for k in KEYS[:50]], list(idx))

    results = [None] * 8
    barrier = threading.Barrier(8)

    def work(t):
        barrier.wait()
        results[t] = answers()

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == results[0] for r in results)
    assert results[0] == answers()
