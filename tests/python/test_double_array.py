import os
import pickle
import random
import threading

import pytest
import references

from quorvale._core import DoubleArrayIndex as D


ref = references.load("double_array_reference")


def ranks(keys):
    """Ids as the index gives them: ranks in ascending byte order."""
    return {k: i for i, k in enumerate(sorted(set(keys), key=lambda s: s.encode()))}


# ---- the edge cases of the lookups and the class, as one table ----

E = "\U0001F600"
EDGE_CASES = [
    # keys, method, argument, expected (ids spelled as keys through `ranks`)
    (["", "a", "ab"], "contains", "", True),
    (["", "a", "ab"], "common_prefix", "abc", [("", ""), ("a", "a"), ("ab", "ab")]),
    (["", "b"], "common_prefix", "zzz", [("", "")]),
    (["", "b"], "longest_prefix", "zzz", ("", "")),
    (["", "a"], "occurrences", "aa", [(0, 1, "a"), (1, 2, "a")]),
    (["a", "ab"], "common_prefix", "abc", [("a", "a"), ("ab", "ab")]),
    (["a", "ab"], "longest_prefix", "abc", ("ab", "ab")),
    (["a", "ab"], "occurrences", "ab", [(0, 1, "a"), (0, 2, "ab")]),
    (["b", "ab"], "occurrences", "abab", [(0, 2, "ab"), (1, 2, "b"), (2, 4, "ab"), (3, 4, "b")]),
    ([E + "a", "a"], "occurrences", "x" + E + "a", [(1, 3, E + "a"), (2, 3, "a")]),
    ([E + "a", "a"], "common_prefix", E + "ab", [(E + "a", E + "a")]),
    (["abc"], "contains", "ab", False),
    (["abc"], "contains", "abcd", False),
    (["abc"], "id", "abc", "abc"),
    (["a"], "common_prefix", "za", []),
    (["a"], "occurrences", "za", [(1, 2, "a")]),
    ([], "id", "a", None),
    ([], "contains", "", False),
    ([], "common_prefix", "abc", []),
    ([], "longest_prefix", "abc", None),
    ([], "occurrences", "abc", []),
    ([], "ids_of", ["", "a"], [None, None]),
    (["b", "a", "b"], "ids_of", ["a", "b", "c"], ["a", "b", None]),
    ("cab", "ids_of", ["a", "b", "c"], ["a", "b", "c"]),
    ([""], "id", "", ""),
    ([""], "occurrences", "abc", []),
    ([""], "get", "x", None),
]


def spelled(value, r):
    """An expected value with every key standing for its id replaced by the id."""
    if isinstance(value, list):
        return [spelled(v, r) for v in value]
    if isinstance(value, tuple):
        return tuple(value[:-1]) + (r[value[-1]],)
    if isinstance(value, str):
        return r[value]
    return value


@pytest.mark.parametrize("keys,method,arg,expected", EDGE_CASES)
def test_edge_cases(keys, method, arg, expected):
    index = D(keys)
    r = ranks(keys)
    assert getattr(index, method)(arg) == spelled(expected, r)


def test_sizes_of_small_indexes():
    empty = D([])
    assert (len(empty), empty.is_empty(), len(empty.to_bytes()), empty.serialized_len()) == (0, True, 64, 64)
    only_empty = D([""])
    assert (len(only_empty), only_empty.is_empty(), "" in only_empty) == (1, False, True)
    assert len(D(["b", "a", "b"])) == 2
    assert [D("cab").id(c) for c in "abc"] == [0, 1, 2]


# ---- against brute force ----

ALPHABET = "abcxyz\u00e9\u00df\u4e2d\u6587" + E + "\U00010348"


def random_keys(rng, n, with_empty):
    keys = {""} if with_empty else set()
    while len(keys) < n:
        k = rng.choice(sorted(keys)) if keys and rng.random() < 0.3 else ""
        k += "".join(rng.choice(ALPHABET[:6] if rng.random() < 0.75 else ALPHABET) for _ in range(rng.randint(1, 4)))
        keys.add(k)
    return list(keys)


def random_text(rng, n):
    return "".join(rng.choice(ALPHABET[:6] if rng.random() < 0.75 else ALPHABET + "q\u00f1") for _ in range(n))


@pytest.mark.parametrize("seed", range(4))
def test_queries_agree_with_brute_force(seed):
    rng = random.Random(seed)
    keys = random_keys(rng, rng.randint(1, 300), seed % 2 == 0)
    r = ranks(keys)
    index = D(keys)
    assert len(index) == len(r)
    assert index.ids_of(list(r)) == list(r.values())
    texts = [random_text(rng, rng.randint(0, 12)) for _ in range(150)]
    texts += [random_text(rng, rng.randint(90, 300)) for _ in range(10)]  # past 256 bytes
    assert index.ids_of(texts) == [r.get(t) for t in texts]
    for t in texts:
        assert index.id(t) == r.get(t)
        assert index.contains(t) == (t in r) == (t in index)
        prefixes = [(t[:i], r[t[:i]]) for i in range(len(t) + 1) if t[:i] in r]
        assert index.common_prefix(t) == prefixes
        assert index.longest_prefix(t) == (prefixes[-1] if prefixes else None)
        occ = [(s, e, r[t[s:e]]) for s in range(len(t)) for e in range(s + 1, len(t) + 1) if t[s:e] in r]
        assert index.occurrences(t) == occ


def test_build_writes_the_reference_bytes():
    rng = random.Random(21)
    for n in (1, 2, 50, 700):
        keys = sorted(set(random_keys(rng, n, n % 2 == 0)), key=lambda s: s.encode())
        assert D(keys).to_bytes() == ref.build(keys)
    # Characters only from U+10000 up: an empty code table.
    keys = [E, E + "\U00010348", "\U00010348"]
    blob = D(keys).to_bytes()
    assert blob == ref.build(sorted(keys, key=lambda s: s.encode()))
    assert int.from_bytes(blob[28:32], "little") == 0


def test_too_many_distinct_characters():
    chars = [chr(c) for c in range(1, 0x11000) if not 0xD800 <= c <= 0xDFFF][:65536]
    with pytest.raises(ValueError) as e:
        D(chars)
    assert str(e.value) == "format error: double-array: more than 65 535 distinct characters; labels are 16 bits"


def test_more_keys_than_ids_are_refused_before_the_work():
    # A set or a dict's keys are distinct: one item more than ids can name is
    # too many before any key is collected, yet an item the collection would
    # refuse is still refused as it would be.
    too_many = "format error: double-array: more than 8 388 608 keys; ids are 23 bits"
    keys = set(map(str, range(2**23 + 1)))
    for items in (keys, dict.fromkeys(keys).keys(), list(keys)):
        with pytest.raises(ValueError) as e:
            D(items)
        assert str(e.value) == too_many
    keys.add(5)
    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'"):
        D(keys)
    keys.discard(5)
    keys.add("\ud800")
    with pytest.raises(UnicodeEncodeError):
        D(keys)
    del keys
    # As many items with repeats are counted by their distinct keys.
    index = D(["b", "\u00e9", "a"] * (2**23 // 3 + 1))
    assert len(index) == 3 and index.id("\u00e9") == 2


# ---- the Python surface ----

METHODS = ["is_empty", "id", "contains", "get", "ids_of", "common_prefix", "occurrences", "longest_prefix",
           "to_bytes", "serialized_len", "__reduce__", "from_bytes", "save", "load", "load_mmap"]

DOCS = {
    "is_empty": "",
    "id": "Id of `key`, or `None` if absent.",
    "contains": "Whether `key` is present.",
    "get": "Dense id of `key`, or `default` (`None` unless given).",
    "ids_of": "Batched `id`: one call for many keys, aligned with `keys`, `None` where a key is absent.",
    "common_prefix": "Every key that is a **prefix of `query`**, shortest first. This is the dictionary-matching\n"
                     "query: given a vocabulary and a position in a sentence, it returns the entries that start\n"
                     "there. The empty key, if the index holds it, is a prefix of everything and comes first.",
    "occurrences": "Every key that occurs in `text`, as `(start, end, id)` with `text[start:end]` the key:\n"
                   "starts ascending, and within a start shortest first. The whole-text form of `common_prefix`\n"
                   "that a dictionary segmenter runs at every character, in one call a text rather than one a\n"
                   "character, which is where a loop over characters spends its time. Offsets count characters,\n"
                   "as a `str` is indexed; the empty key, if the index holds it, is not reported.",
    "longest_prefix": "The longest key that is a prefix of `query`, or `None` -- the match a longest-match\n"
                      "tokeniser takes. See `common_prefix`.",
    "to_bytes": "Serialise to a `bytes` blob.",
    "serialized_len": "Length of the `to_bytes` blob in bytes, without producing it.",
    "__reduce__": "Pickle support: the blob, and the loader that reads it back.",
    "from_bytes": "Reconstruct from a `to_bytes` blob. The framing and both checksums are validated and every\n"
                  "slot is walked, so arbitrary input raises rather than misbehaving; a blob crafted to carry\n"
                  "matching checksums answers wrong ids, never out-of-range ones.",
    "save": "Write the index to `path`.",
    "load": "Load a file written with `save`, validated like `from_bytes`.",
}
SIGNATURES = {"id": "(key)", "contains": "(key)", "get": "(key, default=None)", "ids_of": "(keys)",
              "common_prefix": "(query)", "occurrences": "(text)", "longest_prefix": "(query)", "save": "(path)",
              "from_bytes": "(data)", "load": "(path)", "load_mmap": "(path)"}


def test_documentation_and_method_order():
    assert D.__doc__ == (
        "Character-wise double-array trie for dictionary matching: `common_prefix`, `longest_prefix`\n"
        "and `occurrences` at one load a character, with the ids `StringIndex` assigns to the same keys.\n"
        "No reverse lookup: a `StringIndex` or `DictIndex` over the same keys spells an id back.")
    assert D.__text_signature__ == "(items)"
    assert [n for n in D.__dict__ if n in METHODS] == METHODS
    for name, doc in DOCS.items():
        assert getattr(D, name).__doc__ == (doc or None), name
    for name in ("from_bytes", "load", "load_mmap"):
        assert isinstance(D.__dict__[name], staticmethod)
    for name, sig in SIGNATURES.items():
        want = sig if name in ("from_bytes", "load", "load_mmap") else "($self, " + sig[1:]
        assert getattr(D, name).__text_signature__ == want, name
    doc = D.load_mmap.__doc__
    for phrase in ("memory-map", "payload checksum", "every slot", "modified or truncated", "`load`"):
        assert phrase in doc


def test_argument_errors():
    index = D(["a", "ab"])
    with pytest.raises(TypeError):
        5 in index
    with pytest.raises(TypeError):
        index[5]
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        index.ids_of("ab")
    with pytest.raises(TypeError):
        index.ids_of(["a", 5])
    with pytest.raises(TypeError):
        index.occurrences(b"ab")
    with pytest.raises(TypeError):
        D.from_bytes(bytearray(index.to_bytes()))
    with pytest.raises(TypeError):
        D(["a", 5])
    with pytest.raises(KeyError) as e:
        index["zz"]
    assert e.value.args == ("zz",)
    assert index["ab"] == 1
    assert index.get("zz", -1) == -1 and index.get("zz", None) is None and index.get(key="a") == 0

    def failing():
        yield "a"
        raise RuntimeError("the source broke")

    with pytest.raises(RuntimeError, match="the source broke"):
        D(failing())


# ---- blobs, files, pickling ----

def seal(blob):
    """Both checksums recomputed."""
    b = bytearray(blob)
    b[40:48] = ref.hash_block(bytes(b[64:])).to_bytes(8, "little")
    b[60:64] = ref.header_checksum(bytes(b[:60])).to_bytes(4, "little")
    return bytes(b)


def edited(blob, at, value, width):
    b = bytearray(blob)
    b[at:at + width] = value.to_bytes(width, "little")
    return seal(bytes(b))


SAMPLE = ["a", "ab", E + "b"]


@pytest.mark.parametrize("make,message", [
    (lambda b: b[:63], "bad magic or truncated header"),
    (lambda b: b"BDA2" + b[4:], "bad magic or truncated header"),
    (lambda b: b[:4] + (9).to_bytes(8, "little") + b[12:], "header checksum mismatch"),
    (lambda b: edited(b, 50, 1, 1), "double-array: reserved header bytes set"),
    (lambda b: edited(b, 4, 2**23 + 1, 8), "double-array: more keys than ids can name"),
    (lambda b: edited(b, 12, 3, 8), "double-array: the empty key's id is past the end"),
    (lambda b: edited(b, 20, 2**23 + 1, 8), "double-array: more slots than bases can name"),
    (lambda b: edited(b, 28, 65537, 4), "double-array: code table length out of range"),
    (lambda b: edited(b, 36, 0, 4), "double-array: label range out of range"),
    (lambda b: seal(b + b"\0"), "double-array: section lengths do not meet the blob's"),
    (lambda b: b[:-1], "double-array: section lengths do not meet the blob's"),
    (lambda b: b[:-1] + bytes([b[-1] ^ 1]), "payload checksum mismatch"),
    (lambda b: edited(b, len(b) - 8, 0xFFFF, 4), "double-array: supplementary characters out of range or order"),
    (lambda b: edited(b, len(b) - 4, 0, 4), "double-array: a supplementary label out of range"),
    (lambda b: edited(b, 72, 1 << 16, 8), "double-array: a slot names a row past the array or an id past the end, or "
                                          "holds bits no build sets"),
])
def test_loader_refusals(make, message):
    blob = D(SAMPLE).to_bytes()
    with pytest.raises(ValueError) as e:
        D.from_bytes(make(blob))
    assert str(e.value) == "format error: " + message


def test_copies_answer_alike(tmp_path):
    rng = random.Random(5)
    keys = random_keys(rng, 200, True)
    index = D(keys)
    path = tmp_path / "index.bda"
    assert index.save(path) is None
    assert path.read_bytes() == index.to_bytes()
    assert os.listdir(tmp_path) == ["index.bda"]
    copies = [D.from_bytes(index.to_bytes()), D.load(path), D.load_mmap(str(path)), pickle.loads(pickle.dumps(index))]
    assert index.__reduce__() == (D.from_bytes, (index.to_bytes(),))
    texts = [random_text(rng, rng.randint(0, 40)) for _ in range(100)] + keys
    want = [(index.id(t), index.common_prefix(t), index.longest_prefix(t), index.occurrences(t)) for t in texts]
    for c in copies:
        assert type(c) is D and len(c) == len(index) and c.to_bytes() == index.to_bytes()
        assert [(c.id(t), c.common_prefix(t), c.longest_prefix(t), c.occurrences(t)) for t in texts] == want


def test_files_damaged_and_missing(tmp_path):
    index = D(["a", "ab", "zz"])
    path = tmp_path / "index.bda"
    index.save(path)
    # A well-formed payload change: a code-table entry of an absent character.
    blob = bytearray(path.read_bytes())
    s = int.from_bytes(blob[20:28], "little")
    blob[64 + 8 * s + 2 * ord("c")] = 1
    path.write_bytes(bytes(blob))
    for load in (D.load, lambda p: D.from_bytes(p.read_bytes())):
        with pytest.raises(ValueError, match="^format error: payload checksum mismatch$"):
            load(path)
    assert D.load_mmap(path).id("ab") == 1

    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    with pytest.raises(ValueError, match="^format error: bad magic or truncated header$"):
        D.load_mmap(empty)
    with pytest.raises(OSError):
        D.load(tmp_path / "missing")
    with pytest.raises(OSError):
        D.load_mmap(tmp_path)
    with pytest.raises(OSError):
        index.save(tmp_path / "no" / "such")
    assert sorted(os.listdir(tmp_path)) == ["empty", "index.bda"]


def test_threads_agree():
    rng = random.Random(8)
    keys = random_keys(rng, 2000, False)
    index = D(keys)
    texts = [random_text(rng, rng.randint(0, 300)) for _ in range(200)]

    def answers():
        return ([index.occurrences(t) for t in texts], [index.common_prefix(t) for t in texts],
                index.ids_of(texts), [index.id(t) for t in texts])

    want = answers()
    got = [None] * 8

    def run(i):
        got[i] = answers()

    threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(g == want for g in got)
