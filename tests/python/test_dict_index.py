import bisect
import os
import pathlib
import pickle
import random
import subprocess
import sys
import textwrap
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import test_perfect_hash as tph
from quorvale import _core as core
from quorvale._core import DictIndex as D
from quorvale._core import DictIndexIterator
from refused_writes import refused

MISSING = 2**64 - 1
ROOT = pathlib.Path(__file__).resolve().parents[2]


def words():
    return (ROOT / "examples" / "sample-keys.txt").read_text().split("\n")[:-1]


def urls(n, seed):
    rng = random.Random(seed)
    hosts = ["www.example.com", "example.org", "docs.python.org", "ru.wikipedia.org"]
    return [f"https://{rng.choice(hosts)}/{rng.choice(['a', 'articles', 'wiki'])}/{rng.randrange(10**5)}"
            f"{rng.choice(['', '?ref=1', '#top', '/edit'])}" for _ in range(n)]


def non_ascii(n, seed):
    """Cyrillic and Greek words: far more than 4/30 of their bytes lie above 0x7F ("BDX4")."""
    rng = random.Random(seed)
    letters = "абвгдеёжзийклмнопрстуфхцчшщыэюяαβγδεζηθικλμνξοπρστυφχψω"
    return ["".join(rng.choice(letters) for _ in range(rng.randrange(1, 12))) + rng.choice(["", "-1", " ж"])
            for _ in range(n)]


CORPORA = {
    "words": words(),
    "urls": urls(2500, 1),
    "non-ascii": non_ascii(2500, 2),
}


def model_queries(keys, rng):
    """Members, their neighbours and strangers, cut at characters."""
    picks = rng.sample(keys, min(len(keys), 150))
    out = set(picks) | {"", "\x00", "\U0010ffff", "zzzz", "a", "é"}
    for k in picks[:60]:
        out |= {k + "\x00", k + "a", k[:-1], k[: len(k) // 2], k[:-1] + chr(ord(k[-1]) + 1) if k else "b"}
    return sorted(out)


def check_model(d, keys, rng):
    """Everything d answers agrees with bisect and filters over keys (sorted, distinct)."""
    n = len(keys)
    assert len(d) == n and d.is_empty() == (n == 0)
    assert list(d) == [(k, i) for i, k in enumerate(keys)]
    queries = model_queries(keys, rng) if keys else ["", "a"]
    where = {k: i for i, k in enumerate(keys)}
    for q in queries:
        lb = bisect.bisect_left(keys, q)
        found = where.get(q)
        assert d.id(q) == found and d.get(q, -1) == (-1 if found is None else found)
        assert d.contains(q) == (found is not None) == (q in d)
        assert d.lower_bound(q) == lb
        assert d.successor(q) == ((keys[lb], lb) if lb < n else None)
        pred = found if found is not None else lb - 1
        assert d.predecessor(q) == ((keys[pred], pred) if pred >= 0 else None)
        starting = [(k, i) for i, k in enumerate(keys) if k.startswith(q)]
        assert d.prefix(q) == starting and d.prefix(q, limit=3) == starting[:3] and d.prefix(q, 0) == []
        assert d.prefix_count(q) == len(starting)
        lo, hi = bisect.bisect_left(keys, q), bisect.bisect_left(keys, q) + len(starting)
        assert d.prefix_id_range(q) == (lo, hi)
        assert d.keys_of(list(range(lo, hi))) == [k for k, _ in starting]
        prefixes = [(k, where[k]) for k in (q[:i] for i in range(len(q) + 1)) if k in where]
        assert d.common_prefix(q) == prefixes
        assert d.longest_prefix(q) == (prefixes[-1] if prefixes else None)
    for lo, hi in zip(queries, reversed(queries)):
        inside = [(k, i) for i, k in enumerate(keys) if lo <= k < hi]
        assert d.range(lo, hi) == inside and d.range(lo, hi, limit=2) == inside[:2] and d.range(lo, hi, 0) == []
        assert d.range_count(lo, hi) == len(inside)
    ids = [rng.randrange(n + 3) for _ in range(200)] + list(range(max(0, n - 40), n + 2)) + [2**64 - 1]
    assert d.keys_of(ids) == [keys[i] if i < n else None for i in ids]
    assert [d.key(i) for i in ids] == [keys[i] if i < n else None for i in ids]
    batch = queries + keys[::7]
    want = [where.get(q) for q in batch]
    assert d.ids_of(batch) == want
    got = d.ids_of_bytes(batch)
    assert [int.from_bytes(got[8 * i: 8 * i + 8], sys.byteorder) for i in range(len(batch))] == [
        MISSING if w is None else w for w in want]


@pytest.mark.parametrize("corpus", sorted(CORPORA))
@pytest.mark.parametrize("block", ["fast", 256, 257, "compact"])
def test_model(corpus, block):
    rng = random.Random(f"{corpus}{block}")
    raw = CORPORA[corpus]
    keys = sorted(set(raw))
    d = D(raw + raw[:100], block)
    assert d.to_bytes()[:4] == (b"BDX4" if corpus == "non-ascii" else b"BDX3")
    check_model(d, keys, rng)
    routed = d.route_microblocks()
    assert d.route_microblocks() == routed
    check_model(d, keys, rng)
    check_model(D.from_bytes(d.to_bytes()), keys, rng)


# ---- edge cases -------------------------------------------------------------------


def test_repeats_and_order():
    d = D(["b", "a", "b"])
    assert len(d) == 2 and d.id("a") == 0 and d.id("b") == 1 and d.key(1) == "b"


def test_empty_index():
    d = D([])
    assert len(d) == 0 and d.is_empty() and list(d) == []
    assert d.id("a") is None and d.lower_bound("a") == 0 and d.key(0) is None
    assert d.successor("") is None and d.predecessor("z") is None
    assert d.range("", "z") == [] and d.common_prefix("abc") == [] and d.longest_prefix("a") is None
    assert d.prefix_id_range("") == (0, 0) and d.prefix("") == [] and d.keys_of([0, 1]) == [None, None]
    assert d.ids_of(["a"]) == [None] and d.route_microblocks() == 0


def test_three_keys():
    d = D(["a", "b", "c"])
    assert d.range("b", "b") == [] and d.range("c", "a") == [] and d.range("a", "c", limit=0) == []
    assert d.range("a", "c") == [("a", 0), ("b", 1)] and d.range_count("c", "a") == 0
    assert d.predecessor("bb") == ("b", 1) == d.predecessor("b") and d.predecessor("0") is None
    assert d.successor("bb") == ("c", 2) and d.successor("d") is None and d.lower_bound("d") == 3
    assert d.prefix("") == [("a", 0), ("b", 1), ("c", 2)] and d.prefix("", limit=2) == [("a", 0), ("b", 1)]
    assert d.prefix_count("") == 3
    assert d.get("z", -1) == -1 and "z" not in d
    with pytest.raises(KeyError) as e:
        d["z"]
    assert e.value.args == ("z",)
    assert d["c"] == 2
    with pytest.raises(TypeError):
        5 in d


def test_common_prefix_of_the_empty_key():
    d = D(["", "a", "ab"])
    assert d.common_prefix("abc") == [("", 0), ("a", 1), ("ab", 2)]
    assert d.longest_prefix("abc") == ("ab", 2) and d.longest_prefix("b") == ("", 0)
    assert D(["a", "ab"]).longest_prefix("b") is None
    # Candidates end on characters only: "é" is two bytes, its first a key's bytes nowhere.
    assert D(["a", "aé"]).common_prefix("aéb") == [("a", 0), ("aé", 1)]


def test_keys_of_out_of_order():
    keys = sorted(set(urls(600, 3)))
    d = D(keys)
    n = len(keys)
    assert d.keys_of([2, 0, n, 1, 2]) == [keys[2], keys[0], None, keys[1], keys[2]]
    with pytest.raises(OverflowError):
        d.keys_of([2**64])
    with pytest.raises(TypeError):
        d.keys_of("12")


# ---- block -------------------------------------------------------------------------


def test_block_names():
    for name, size in (("fast", 32), ("balanced", 256), ("compact", 1024)):
        assert D(["a"], name).block == size == D(["a"], block=name).block
    assert D(["a"]).block == 256 and D(["a"], 7).block == 7


@pytest.mark.parametrize("name, shown", [
    ("Fast", '"Fast"'),
    ('a"b\\c', '"a\\"b\\\\c"'),
    ("t\tn\n\x01\x7f\x85é", '"t\\tn\\n\\u{1}\\u{7f}\\u{85}é"'),
])
def test_block_bad_names(name, shown, tmp_path):
    text = "dict: block must be an int in 1..=1024 or one of 'fast', 'balanced', 'compact', not " + shown
    for call in (lambda: D(["a"], name), lambda: D.build_to_file(untouched(), tmp_path / "x", name)):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == text
    assert os.listdir(tmp_path) == []


def untouched():
    raise AssertionError("the iterable was advanced")
    yield  # noqa: unreachable; makes a generator


@pytest.mark.parametrize("block", [0, 1025, 2**64 - 1])
def test_block_out_of_range(block, tmp_path):
    for call in (lambda: D(untouched(), block), lambda: D.build_to_file(untouched(), tmp_path / "x", block)):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == "format error: dict: block must be in 1..=1024"
    # build_to_file takes iter(items) before the build checks the range: a non-iterable is reported first.
    with pytest.raises(TypeError, match="not iterable"):
        D.build_to_file(5, tmp_path / "x", block)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("block", [1.5, -1, 2**64, b"fast", None])
def test_block_wrong_type(block, tmp_path):
    for call in (lambda: D([1], block), lambda: D.build_to_file([1], tmp_path / "x", block)):
        with pytest.raises(TypeError) as e:
            call()
        assert "block" in str(e.value) and "while processing 'block'" in tph.notes(e)
    assert os.listdir(tmp_path) == []


# ---- batches and buffers ----------------------------------------------------------


class Str(str):
    pass


@pytest.mark.parametrize("corpus", ["words", "non-ascii"])
def test_batches_many_keys_a_block_answer_as_single_lookups(corpus):
    # Batches large beside the index, so that keys are searched block by
    # block: members many times over, misses, empty strings and characters
    # a character code lacks; every form gives id()'s answers in the batch's
    # order.
    keys = sorted(set(CORPORA[corpus]))
    d = D(keys, 32)
    rng = random.Random(11)
    queries = model_queries(keys, rng) + ["", "\u20ac", "\U0001f600"]
    # Some as str subclasses: taken by their text like any str.
    batch = [rng.choice(queries) for _ in range(20000)] + keys + [Str(k) for k in keys[::7]]
    rng.shuffle(batch)
    want = [d.id(q) for q in batch]
    assert d.ids_of(batch) == want
    packed = [MISSING if w is None else w for w in want]
    assert np.frombuffer(d.ids_of_bytes(batch), dtype=np.uint64).tolist() == packed
    out = np.full(len(batch) + 1, 3, dtype=np.uint64)
    d.ids_into(batch, out)
    assert out.tolist() == packed + [3]
    assert np.frombuffer(d.ids_of_arrow(pa.array(batch, type=pa.string())), dtype=np.uint64).tolist() == packed
    with pytest.raises(UnicodeEncodeError):
        d.ids_of(batch[:5000] + ["\ud800"] + batch[5000:])


def test_ids_into():
    d = D(["a", "b", "c"])
    readonly = np.zeros(3, dtype=np.uint64)
    readonly.flags.writeable = False
    for keys in ([], ["a"]):
        with pytest.raises(BufferError) as e:
            d.ids_into(keys, readonly)
        assert str(e.value) == "out is read-only"
    out = np.full(3, 9, dtype=np.uint64)
    assert d.ids_into([], out) is None and out.tolist() == [9, 9, 9]
    d.ids_into(["c", "x"], out)
    assert out.tolist() == [2, MISSING, 9]
    with pytest.raises(ValueError) as e:
        d.ids_into(["a", "b"], np.zeros(1, dtype=np.uint64))
    assert str(e.value) == "out holds 1 items but 2 keys were given"
    with pytest.raises(BufferError):
        d.ids_into(["a"], np.zeros(3, dtype=np.uint32))


def test_arrow_columns():
    keys = sorted(set(CORPORA["non-ascii"]))[:300] + [""]
    d = D(keys)
    column = keys[::3] + ["stranger", None, "", None]
    want = [MISSING if k is None else (d.id(k) if d.id(k) is not None else MISSING) for k in column]
    forms = [pa.array(column, type=pa.string()), pa.array(column, type=pa.large_string()),
             pa.chunked_array([column[:7], [], column[7:]], type=pa.string())]
    forms.append(pd.Series(column, dtype=pd.ArrowDtype(pa.string())))
    forms.append(pl.Series(column, dtype=pl.String))
    for f in forms:
        assert np.frombuffer(d.ids_of_arrow(f), dtype=np.uint64).tolist() == want
        out = np.full(len(column) + 1, 5, dtype=np.uint64)
        d.ids_into_arrow(f, out)
        assert out.tolist() == want + [5]
    out = np.zeros(0, dtype=np.uint64)
    d.ids_into_arrow(pa.array([], type=pa.string()), out)


# ---- blobs and files ---------------------------------------------------------------


def all_loaded(d, path):
    d.save(path)
    return [D.from_bytes(d.to_bytes()), D.load(path), D.load(str(path)), D.load_mmap(path),
            D.load_mmap_verified(path), pickle.loads(pickle.dumps(d)), pickle.loads(pickle.dumps(D.load_mmap(path)))]


@pytest.mark.parametrize("keys", [[], ["only"], CORPORA["non-ascii"]])
def test_loaders_agree(keys, tmp_path):
    d = D(keys)
    blob = d.to_bytes()
    path = tmp_path / "d.bin"
    for other in all_loaded(d, path):
        assert type(other) is D and other.to_bytes() == blob and list(other) == list(d)
    assert d.serialized_len() == len(blob) == path.stat().st_size
    assert d.__reduce__() == (D.from_bytes, (blob,))
    assert sorted(os.listdir(tmp_path)) == ["d.bin"]
    with pytest.raises(TypeError):
        D.from_bytes(bytearray(blob))


def test_pickle_of_a_mapped_index_in_a_fresh_process(tmp_path):
    path = tmp_path / "d.bin"
    D(CORPORA["urls"]).save(path)
    d = D.load_mmap(path)
    code = textwrap.dedent(
        """
        import pickle, sys
        d = pickle.loads(sys.stdin.buffer.read())
        sys.stdout.buffer.write(d.to_bytes())
        """
    )
    out = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(d), capture_output=True, check=True).stdout
    assert out == d.to_bytes()


def test_damaged_blobs(tmp_path):
    d = D(CORPORA["words"])
    blob = d.to_bytes()
    path = tmp_path / "d.bin"
    loaders = [D.from_bytes, D.load, D.load_mmap, D.load_mmap_verified]

    def load(loader, b):
        if loader is D.from_bytes:
            return loader(bytes(b))
        path.write_bytes(b)
        return loader(path)

    for at in range(4, 72):
        b = bytearray(blob)
        b[at] ^= 0x10
        for loader in loaders:
            with pytest.raises(ValueError) as e:
                load(loader, b)
            assert str(e.value) == "format error: header checksum mismatch", (at, loader)
    # A byte in the middle of the block data, after the heads and the head ends.
    n, block, heads, data = (int.from_bytes(blob[a:b], "little") for a, b in ((4, 12), (12, 16), (16, 24), (24, 32)))
    y = -(-n // block)
    head_ends = -(-y // 64) * 8 + -(-y * blob[44] // 8) + 8
    b = bytearray(blob)
    b[72 + heads + head_ends + data // 2] ^= 0x01
    for loader in loaders:
        if loader is D.load_mmap:
            # Unverified, the damage reads as absent keys or an early end.
            damaged = load(loader, b)
            ids = [i for _, i in damaged]
            assert ids == list(range(len(ids))) and len(ids) <= len(d)
            damaged.ids_of(CORPORA["words"])
            continue
        with pytest.raises(ValueError) as e:
            load(loader, b)
        assert str(e.value) == "format error: payload checksum mismatch"
    for loader in loaders[1:]:
        with pytest.raises(OSError) as e:
            loader(tmp_path / "missing")
        assert str(e.value).startswith("io error: ")


# ---- surface -----------------------------------------------------------------------


SIGNATURES = {
    "build_to_file": "(items, path, block=256)",
    "is_empty": "($self)",
    "route_microblocks": "($self)",
    "id": "($self, key)",
    "contains": "($self, key)",
    "get": "($self, key, default=None)",
    "lower_bound": "($self, key)",
    "prefix": "($self, prefix, limit=None)",
    "common_prefix": "($self, query)",
    "longest_prefix": "($self, query)",
    "range": "($self, lo, hi, limit=None)",
    "prefix_count": "($self, prefix)",
    "range_count": "($self, lo, hi)",
    "prefix_id_range": "($self, prefix)",
    "successor": "($self, query)",
    "predecessor": "($self, query)",
    "key": "($self, id)",
    "keys_of": "($self, ids)",
    "ids_of": "($self, keys)",
    "ids_of_bytes": "($self, keys)",
    "ids_of_arrow": "($self, column)",
    "ids_into_arrow": "($self, column, out)",
    "ids_into": "($self, keys, out)",
    "to_bytes": "($self)",
    "serialized_len": "($self)",
    "__reduce__": "($self)",
    "from_bytes": "(data)",
    "save": "($self, path)",
    "load": "(path)",
    "load_mmap": "(path)",
    "load_mmap_verified": "(path)",
}

DOCS = {
    "id": "Rank of `key`, or `None` if absent.",
    "get": "Rank of `key`, or `default` (`None` unless given).",
    "contains": None,
    "is_empty": None,
    "lower_bound": "The rank of the first key not below `key`: its own id if it is a member, otherwise the\nid it "
                   "would have, `len(self)` past every key. Two of these bound a range of keys as a\nrange of ids.",
    "prefix": "`(key, id)` pairs whose key starts with `prefix`, lexicographically ordered. `limit` stops\nafter "
              "that many matches, walking no further -- what autocomplete wants. A sorted dictionary\nanswers this "
              "as a range, so nothing is scanned that is not returned.",
    "common_prefix": "Every key that is a **prefix of `query`**, shortest first -- the reverse of `prefix`, "
                     "which\nreturns the keys `query` starts. This is the dictionary-matching query: given a "
                     "vocabulary\nand a position in a sentence, it returns the entries that start there. The empty "
                     "key, if the\nindex holds it, is a prefix of everything and comes first.",
    "longest_prefix": "The longest key that is a prefix of `query`, or `None` -- the match a longest-match\n"
                      "tokeniser takes. See `common_prefix`.",
    "range": "`(key, id)` pairs with `lo <= key < hi`, lexicographically ordered. `limit` stops after that\nmany "
             "matches.",
    "prefix_count": "How many keys start with `prefix`, without decoding any of them.",
    "range_count": "How many keys satisfy `lo <= key < hi`, without decoding any of them.",
    "prefix_id_range": "The contiguous `(start, end)` id range of the keys starting with `prefix`, half-open. Ids\n"
                       "follow lexicographic order, so a prefix is a slice of the id space rather than a set of "
                       "ids\nto test one at a time -- usable directly as a `range()` or a bitset window.",
    "successor": "The smallest `(key, id)` with `key >= query`, or `None` if every key is smaller.",
    "predecessor": "The largest `(key, id)` with `key <= query`, or `None` if every key is larger.",
    "key": "Key at rank `id`, or `None` past the end.",
    "keys_of": "Batched `key`: a list aligned with `ids`, `None` where an id is out of range. Ids that\nascend "
               "within one block are answered by a single walk of it, so the range `prefix_id_range`\nreturns "
               "costs one pass rather than one per id.",
    "ids_of": "Batched `id`: one call for many keys, aligned with `keys`, `None` where a key is absent.",
    "ids_of_bytes": "Batched `id` packed into a `bytes` buffer instead of a list: one 8-byte native-endian item\n"
                    "per key, aligned with `keys`, `MISSING_ID` where a key is absent, for\n"
                    "`np.frombuffer(buf, dtype=index.ID_DTYPE)`.",
    "ids_of_arrow": "Batched `id` over an Arrow `utf8` / `large_utf8` column — a pyarrow `Array` or\n"
                    "`ChunkedArray`, a pandas column of `ArrowDtype`, a polars `Series` — packed like\n"
                    "`ids_of_bytes`: one `ID_DTYPE` item per element, `MISSING_ID` for an absent key and for a\n"
                    "null. The keys are read from the column's offset and data buffers, so no Python string\n"
                    "exists per key.",
    "ids_into_arrow": "`ids_of_arrow` written into memory the caller owns, as `ids_into` does for a list: `out` "
                      "is\na writable C-contiguous buffer of `ID_DTYPE` items at least as long as the column.",
    "ids_into": "`ids_of_bytes` written into memory the caller owns: `out` is any writable C-contiguous\nbuffer "
                "of `ID_DTYPE` items at least `len(keys)` long; the first `len(keys)` items are\nwritten and the "
                "rest left as they were. A read-only, strided or mistyped buffer is a\n`BufferError`; one shorter "
                "than `keys` is a `ValueError`.",
    "to_bytes": "Serialise to a `bytes` blob.",
    "serialized_len": "Length of the `to_bytes` blob in bytes, without producing it.",
    "__reduce__": "Pickle support: the blob, and the loader that reads it back.",
    "save": "Write the index to `path`.",
    "load": "Load a file written with `save`, validated like `from_bytes`.",
    "from_bytes": "Reconstruct from a `to_bytes` blob. Every length, both checksums, the symbol table and the\n"
                  "per-block arrays are validated, so arbitrary input raises rather than misbehaving.",
}


def test_surface():
    assert D.__doc__ == ("Ordered dictionary with the key stored for every id: exact `string ↔ rank`, 2.64 B/key "
                         "on real\nwords.")
    assert D.__text_signature__ == "(items, block=256)"
    assert D.__module__ == "quorvale._core" and D.ID_DTYPE == "uint64" and D.MISSING_ID == MISSING
    members = [m for m in vars(D) if not m.startswith("__") or m == "__reduce__"]
    assert [m for m in members if m in SIGNATURES] == list(SIGNATURES)
    for name, sig in SIGNATURES.items():
        assert getattr(D, name).__text_signature__ == sig, name
    for name, doc in DOCS.items():
        assert getattr(D, name).__doc__ == doc, name
    assert D.block.__doc__ == "Keys per block, as given at build time."
    assert D.route_microblocks.__doc__.endswith("A second call derives nothing.")
    assert D.build_to_file.__doc__.endswith("If the iterable raises, the build is abandoned with `path`\nuntouched.")
    assert D.load_mmap.__doc__.startswith(
        "Zero-copy load: memory-map the file and borrow the keys, the block data and the two offset\narrays from "
        "it — the header, the symbol table and the per-block samples (eight bytes a\nblock, built from the heads "
        "rather than stored) are what the load holds.\n\n")
    assert D.load_mmap_verified.__doc__.startswith(
        "`load_mmap` plus the checks `load` makes — the payload checksum and the walk over the\nper-block arrays — "
        "one pass over the mapping at load, the keys and the block data still\nborrowed. For a file you wrote but "
        "did not carry yourself.\n\n")
    assert D.load_mmap_verified.__doc__.endswith("The\nchecks run once, at load, and say nothing about later.")
    assert core.__all__.index("DictIndex") + 1 == core.__all__.index("DictIndexIterator")


def test_route_microblocks():
    keys = [f"k{i:05}" for i in range(1000)]
    d = D(keys)
    assert [d.route_microblocks() for _ in range(3)] == [512] * 3  # Y = 4 blocks of J = 16 words
    assert D(keys, 257).route_microblocks() == 0


# ---- iterator ----------------------------------------------------------------------


def test_iterator():
    assert DictIndexIterator.__doc__ == (
        "Lazy `(key, id)` iterator over a `DictIndex`, in sorted order, which is id order. Holds a\nreference to the "
        "parent index and streams it a chunk at a time, so it never materialises the\nwhole key set.")
    with pytest.raises(TypeError):
        DictIndexIterator()
    it = iter(D([]))
    assert iter(it) is it and next(it, None) is None and next(it, None) is None
    for n in (1024, 1025):
        keys = [f"{i:05}" for i in range(n)]
        it = iter(D(keys))
        assert [next(it) for _ in range(1024)] == [(k, i) for i, k in enumerate(keys[:1024])]
        assert next(it, None) == (None if n == 1024 else ("01024", 1024)) and next(it, None) is None
    d = D(keys)
    a, b = iter(d), iter(d)
    assert next(a) == ("00000", 0) and next(a) == ("00001", 1) and next(b) == ("00000", 0)
    del d
    assert len(list(a)) == 1023 and len(list(b)) == 1024


def in_threads(count, work):
    """work(t) on `count` threads started together; their results in order."""
    barrier = threading.Barrier(count)

    def run(t):
        barrier.wait()
        return work(t)

    with ThreadPoolExecutor(count) as pool:
        return list(pool.map(run, range(count)))


def test_iterator_shared_by_threads():
    keys = sorted(set(CORPORA["urls"] * 3 + [f"x{i}" for i in range(20000)]))
    it = iter(D(keys))
    got = in_threads(8, lambda t: list(it))
    assert sorted(p for g in got for p in g) == [(k, i) for i, k in enumerate(keys)]
    assert all(g == sorted(g) for g in got)


# ---- streamed builds ---------------------------------------------------------------


@pytest.mark.parametrize("keys, block", [
    ([], 256),
    (["a"] * 1000, 256),
    ([f"{i:06}" for i in range(65536)], 256),
    ([f"{i:06}" for i in range(65537)], 256),
    (CORPORA["non-ascii"], 256),
    (CORPORA["words"], 1),
    (CORPORA["urls"], 32),
    (CORPORA["words"], 257),
    (CORPORA["urls"], 1024),
    (CORPORA["non-ascii"], "compact"),
])
def test_build_to_file_equals_the_constructor(keys, block, tmp_path):
    shuffled = keys[:]
    random.Random(len(keys)).shuffle(shuffled)
    path = tmp_path / "d.bin"
    n = D.build_to_file((k for k in shuffled), path, block)
    want = D(keys, block).to_bytes()
    assert n == len(set(keys)) and path.read_bytes() == want
    assert os.listdir(tmp_path) == ["d.bin"]
    if keys is CORPORA["non-ascii"]:
        assert want[:4] == b"BDX4"
    if not keys:
        assert want[:4] == b"BDX3" and n == 0
    assert D.build_to_file(iter(shuffled), str(path), block=block) == n


def web_urls(n, seed):
    """Web addresses whose sections and query strings (long pieces, repeated across hosts) are the
    material a build mines phrases from."""
    rng = random.Random(seed)
    syllables = ["ka", "lo", "mi", "ne", "tra", "sor", "vel", "un", "dex", "por", "tal", "ion", "ser", "vi", "ce",
                 "pro", "duct", "cat", "ego", "ry"]
    sections = ["/news/", "/blog/", "/products/", "/wp-content/uploads/", "/articles/", "/forum/viewtopic.php?t=",
                "/index.php?option=com_content&view=article&id="]
    tails = ["", "", "/", ".html", "?utm_source=newsletter&utm_medium=email", "?utm_source=twitter&utm_medium=social",
             "/comments/feed/", "/amp/", "#respond", "?share=facebook&nb=1"]

    def word():
        return "".join(rng.choice(syllables) for _ in range(rng.randint(2, 4)))

    hosts = [rng.choice(["https://www.", "http://"]) + word() + rng.choice([".com", ".org"]) for _ in range(60)]
    out = set()
    while len(out) < n:
        s = rng.choice(hosts) + rng.choice(sections)
        if rng.randrange(2):
            s += f"{rng.randint(2015, 2024)}/{rng.randint(1, 12)}/"
        s += str(rng.randrange(100000)) + "".join("-" + word() for _ in range(rng.randrange(4))) + rng.choice(tails)
        out.add(s)
    return sorted(out)


@pytest.mark.parametrize("block", [32, 256])
def test_build_to_file_equals_the_constructor_on_urls(block, tmp_path):
    # More than 16,384 keys whose pieces repeat: a build that mines phrases keeps them here (some shards
    # take the tiered codec), and the streamed build must store the same.
    keys = web_urls(20000, 17)
    shuffled = keys + keys[::5]
    random.Random(block).shuffle(shuffled)
    path = tmp_path / "u.bin"
    assert D.build_to_file(iter(shuffled), path, block) == len(keys)
    blob = path.read_bytes()
    assert blob == D(shuffled, block).to_bytes()
    phrases_len = int.from_bytes(blob[58:62], "little")
    assert blob[:4] == b"BDX3" and phrases_len > 4  # a phrase dictionary is stored, not just its count


def raising(keys, at, exc):
    for i, k in enumerate(keys):
        if i == at:
            raise exc
        yield k


@pytest.mark.parametrize("items, exc", [
    (lambda: raising(["b", "a"] * 100, 150, KeyError("mid")), KeyError),
    (lambda: ["a", 1, "b"], TypeError),
    (lambda: iter(["a", "\ud800"]), UnicodeEncodeError),
    (lambda: 5, TypeError),
])
def test_build_to_file_failures_leave_the_target(items, exc, tmp_path):
    path = tmp_path / "d.bin"
    path.write_bytes(b"old")
    source = items()
    with pytest.raises(exc) as e:
        D.build_to_file(source, path)
    if exc is KeyError:
        assert e.value.args == ("mid",)
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["d.bin"]


def test_writes_under_a_file_size_limit(tmp_path):
    out = refused(tmp_path, """
        from quorvale._core import DictIndex as D
        keys = [f"key-{i:06d}" for i in range(100000)]
        idx = D(keys)
        limited()
        attempt(lambda: idx.save(os.path.join(d, "a")))
        attempt(lambda: D.build_to_file(iter(keys), os.path.join(d, "b")))
        """)
    assert out[0].startswith("io error: ") and out[1].startswith("io error: ") and out[2] == "[]"


# ---- threads -----------------------------------------------------------------------


def test_threads_share_one_index():
    keys = sorted(set(CORPORA["urls"]))
    d = D(keys)
    queries = keys[::5] + ["nope", ""]
    ids = list(range(0, len(keys), 3))

    def answers():
        return (d.ids_of(queries), [d.id(q) for q in queries], d.prefix("https://d"), d.range("a", "i", 50),
                d.to_bytes(), d.keys_of(ids))

    want = answers()
    got = in_threads(8, lambda t: [(answers(), d.route_microblocks()) for _ in range(3)])
    routed = d.route_microblocks()
    assert got == [[(want, routed)] * 3] * 8
