import struct
import subprocess

import pytest
import references

import quorvale._core as core
from quorvale._core import CompactHashIndex, DoubleArrayIndex, Overlay, PerfectHashIndex, StringIndex

from blobs import made
from test_cli import QUORVALE, both, cli
from test_cli_build import keys_file, random_keys
from test_overlay import reseal as reseal_overlay_blob

ref_keyless = references.load("keyless_ref")
ref_mphf = references.load("mphf_reference")

CYRILLIC = "абвгдежзиклмнопрстуфхцчшыюя"


def cyrillic_keys(n, seed):
    import random

    rng = random.Random(seed)
    return sorted({"".join(rng.choice(CYRILLIC) for _ in range(rng.randint(1, 9))) + f"-{rng.randint(0, 99)}"
                   for _ in range(n)})


def mostly_ascii_keys(n, seed):
    """Too few non-ASCII bytes for a dictionary to spell them in a character code."""
    return [f"w{seed}-{i}" for i in range(n)] + ["h\u00e9", "\u6771"]


def lines(stdout):
    assert stdout == b"" or stdout.endswith(b"\n")
    return stdout.decode().split("\n")[:-1]


def in_byte_order(keys):
    return sorted(set(keys), key=lambda k: k.encode())


def dumped(tmp_path, name):
    r = cli("dump", name, cwd=tmp_path)
    assert (r.returncode, r.stderr) == (0, b""), r.stderr
    return lines(r.stdout)


def moves_to_a_string_index(tmp_path, name, keys):
    """dump | build - --index string, then a dump of that, is the key set."""
    first = cli("dump", name, cwd=tmp_path)
    r = cli("build", "-", "moved.idx", "--index", "string", stdin=first.stdout, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert dumped(tmp_path, "moved.idx") == in_byte_order(keys)


def built(tmp_path, keys, *args):
    keys_file(tmp_path / "k.txt", keys)
    r = cli("build", "k.txt", "x.idx", *args, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    return tmp_path / "x.idx"


# ---- the roads -------------------------------------------------------------------

ORDERED = [
    ("string", ["--index", "string"], random_keys),
    ("dict-32", ["--index", "dict", "--block", "32"], mostly_ascii_keys),
    ("dict-1024", ["--index", "dict", "--block", "1024"], mostly_ascii_keys),
    ("dict-32-chars", ["--index", "dict", "--block", "32"], cyrillic_keys),
    ("dict-1024-chars", ["--index", "dict", "--block", "1024"], cyrillic_keys),
]


@pytest.mark.parametrize("name, args, make", ORDERED, ids=[c[0] for c in ORDERED])
def test_ordered_kinds_dump_in_byte_order(tmp_path, name, args, make):
    keys = make(3000, 7)
    assert any(ord(c) > 127 for k in keys for c in k)
    built(tmp_path, keys, *args)
    if name.startswith("dict"):
        sections = cli("inspect", "x.idx", "--sections", cwd=tmp_path).stdout
        assert (b"sections.chars: 0 " not in sections) == name.endswith("chars")
    assert dumped(tmp_path, "x.idx") == in_byte_order(keys)
    moves_to_a_string_index(tmp_path, "x.idx", keys)


@pytest.mark.parametrize("make", [mostly_ascii_keys, cyrillic_keys])
def test_hashed_dictionary_dumps_its_dictionary(tmp_path, make):
    keys = make(3000, 9)
    dictionary = core.DictIndex(keys, 32)
    core.HashedDictIndex.from_dict(dictionary, 8).save(tmp_path / "x.idx")
    assert dumped(tmp_path, "x.idx") == in_byte_order(keys)
    moves_to_a_string_index(tmp_path, "x.idx", keys)


def test_perfect_hash_dumps_in_id_order(tmp_path):
    keys = random_keys(3000, 8)
    path = built(tmp_path, keys, "--index", "perfect")
    index = PerfectHashIndex.load(path)
    assert dumped(tmp_path, "x.idx") == [index.key(i) for i in range(len(keys))]
    moves_to_a_string_index(tmp_path, "x.idx", keys)


def edited_overlay(cls):
    base = cls(["b", "d", "f", "h\u00e9", "\u6771\u4eac"] + [f"base{i}" for i in range(100)])
    o = Overlay(base)
    for k in ["a", "c", "\u00fcber", "zz"] + [f"n{i}" for i in range(80)]:
        o.add(k)
    o.remove("d")  # a retired base id
    o.remove("base7")
    o.remove("f")
    o.add("f")  # revived
    o.remove("n3")  # a retired addition
    o.remove("c")
    o.add("c")
    return o


@pytest.mark.parametrize("cls", [StringIndex, PerfectHashIndex])
def test_overlays_dump_live_keys_base_first(tmp_path, cls):
    o = edited_overlay(cls)
    o.save(tmp_path / "o.ovl")
    live = [i for i in range(o.id_space()) if o.key(i) is not None]
    assert dumped(tmp_path, "o.ovl") == o.keys() == [o.key(i) for i in live]
    assert "d" not in o.keys() and "n3" not in o.keys() and "f" in o.keys()
    moves_to_a_string_index(tmp_path, "o.ovl", o.keys())


def test_zero_keys_write_nothing(tmp_path):
    (tmp_path / "k.txt").write_bytes(b"")
    for kind in ("string", "perfect", "dict"):
        assert cli("build", "k.txt", f"{kind}.idx", "--index", kind, cwd=tmp_path).returncode == 0
        assert dumped(tmp_path, f"{kind}.idx") == []
    core.HashedDictIndex.from_dict(core.DictIndex([]), 8).save(tmp_path / "h.idx")
    assert dumped(tmp_path, "h.idx") == []
    for cls in (StringIndex, PerfectHashIndex):
        o = Overlay(cls(["a"]))
        o.remove("a")
        o.save(tmp_path / "o.ovl")
        assert dumped(tmp_path, "o.ovl") == []


# ---- refusals ----------------------------------------------------------------------

STORES_NO_KEYS = "stores no keys, so there is nothing to dump \u2014 the key list it was built from is the only way back"


def garbled(blob, header):
    """The header kept, every byte after it garbage."""
    return blob[:header] + bytes([0xA5]) * (len(blob) - header)


def flipped(blob, at):
    b = bytearray(blob)
    b[at] ^= 1
    return bytes(b)


def failure_cases():
    """(name, blob, message): the refusals first, read from the header alone
    (every byte after it garbage), then failures of the inspection and of
    the load, each naming the path."""
    keys = [f"k{i}" for i in range(500)]
    over_compact = Overlay(CompactHashIndex(keys)).to_bytes()
    over_string = Overlay(StringIndex(["a", "b"]))
    over_string.add("c")
    ovl = over_string.to_bytes()
    return [
        ("compact", garbled(CompactHashIndex(keys).to_bytes(), 40), "x: a CompactHashIndex " + STORES_NO_KEYS),
        ("closed", garbled(core.ClosedHashIndex(keys).to_bytes(), 36), "x: a ClosedHashIndex " + STORES_NO_KEYS),
        ("mph3", made("MPH3", 200, [(8, "Q", 9)]), "x: a minimal perfect hash " + STORES_NO_KEYS),
        ("double-array", garbled(DoubleArrayIndex(keys).to_bytes(), 64),
         "x: a DoubleArrayIndex answers no id -> key, so it cannot be dumped; keep the key list it was built from"),
        ("overlay-compact", garbled(over_compact, 49 + 40),
         "x: an overlay over a base tagged 3 stores no keys of its own to dump"),
        ("unknown-magic", b"QQQQ" + bytes(60), "x: format error: not a quorvale blob: unknown magic"),
        ("old-perfect", made("BMP3", 64),
         "x: format error: a PerfectHashIndex blob from quorvale < 4.0, keyed on a hash this version no longer "
         "computes; rebuild it from its keys with PerfectHashIndex::build"),
        ("old-dictionary", made("BDX2", 56),
         "x: format error: dict: blob written by quorvale 2.2 or 3.x, which spent a byte on every entry's header; "
         "rebuild the index from its keys"),
        ("perfect-payload", flipped(PerfectHashIndex(["a", "b", "c"]).to_bytes(), 40),
         "x: format error: payload checksum mismatch"),
        ("overlay-payload", flipped(ovl, len(ovl) - 2), "x: format error: overlay payload checksum mismatch"),
    ]


@pytest.mark.parametrize("name, blob, message", failure_cases(), ids=[c[0] for c in failure_cases()])
def test_refusals_and_failures(tmp_path, name, blob, message):
    (tmp_path / "x").write_bytes(blob)
    r = cli("dump", "x", cwd=tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (1, b"", f"quorvale: {message}\n".encode())


def test_missing_file(tmp_path):
    r = cli("dump", "x", cwd=tmp_path)
    assert (r.returncode, r.stdout) == (1, b"")
    assert r.stderr == b"quorvale: x: io error: No such file or directory (os error 2)\n"


# ---- keys the output cannot carry --------------------------------------------------


def test_line_breaks_end_the_dump_after_the_keys_before_them(tmp_path):
    index = PerfectHashIndex(["a", "b", "c\nd", "e"])
    index.save(tmp_path / "p.idx")
    bad = next(i for i in range(4) if "\n" in index.key(i))
    r = cli("dump", "p.idx", cwd=tmp_path)
    assert r.returncode == 1
    assert lines(r.stdout) == [index.key(i) for i in range(bad)]
    assert r.stderr == f"quorvale: p.idx: id {bad} holds a line break, which one key per line cannot carry\n".encode()

    o = Overlay(StringIndex(["a", "b"]))
    o.add("x")
    o.add("y\rz")
    o.add("w")
    o.remove("a")
    o.save(tmp_path / "o.ovl")
    r = cli("dump", "o.ovl", cwd=tmp_path)
    assert (r.returncode, lines(r.stdout)) == (1, ["b", "x"])
    assert r.stderr == b"quorvale: o.ovl: id 3 holds a line break, which one key per line cannot carry\n"


def with_the_empty_key():
    """(name, index, keys in id order) for every kind that can be dumped,
    each holding the empty key beside "a" and "b"."""
    keys = ["", "a", "b"]
    perfect = PerfectHashIndex(keys)
    cases = [
        ("string", StringIndex(keys), keys),
        ("perfect", perfect, [perfect.key(i) for i in range(3)]),
        ("dict", core.DictIndex(keys), keys),
        ("hashed-dict", core.HashedDictIndex.from_dict(core.DictIndex(keys), 8), keys),
    ]
    for cls in (StringIndex, PerfectHashIndex):
        o = Overlay(cls(["a", "b"]))
        o.add("")
        cases.append((f"overlay-{cls.__name__}", o, o.keys()))
    return cases


@pytest.mark.parametrize("name, index, keys", with_the_empty_key(), ids=[c[0] for c in with_the_empty_key()])
def test_the_empty_key_is_left_out_and_said(tmp_path, capfdbinary, name, index, keys):
    """A keys file cannot carry the empty key (build skips empty lines): the
    dump writes every other key, then fails saying it left that one out."""
    index.save(str(tmp_path / "x"))
    assert "" in keys
    for status, out, err in both(capfdbinary, tmp_path, "dump", "x"):
        assert (status, lines(out)) == (1, [k for k in keys if k])
        assert err == b"quorvale: x: the empty key cannot be written to a keys file and was left out\n"


def reseal_perfect(b):
    b = bytearray(b)
    b[24:32] = struct.pack("<Q", ref_keyless.payload_checksum(bytes(b[36:])))
    b[32:36] = struct.pack("<I", ref_mphf.header_checksum(bytes(b[:32])))
    return bytes(b)


def not_utf8(blob, key):
    """The blob with the key's first byte made 0xFF."""
    at = blob.index(key.encode())
    assert blob.count(key.encode()) == 1
    return blob[:at] + b"\xff" + blob[at + 1:]


def test_perfect_hash_key_that_is_not_utf8(tmp_path):
    keys = [f"key{i:03}" for i in range(50)]
    index = PerfectHashIndex(keys)
    bad = 20
    blob = reseal_perfect(not_utf8(index.to_bytes(), index.key(bad)))
    (tmp_path / "x").write_bytes(blob)
    r = cli("dump", "x", cwd=tmp_path)
    assert (r.returncode, lines(r.stdout)) == (1, [index.key(i) for i in range(bad)])
    assert r.stderr == f"quorvale: x: id {bad} has no key\n".encode()

    # The same base inside an overlay: the base walk passes the key over,
    # which the dump reports instead of writing the keys around it.
    o = Overlay(index)
    o.add("extra")
    ovl = o.to_bytes()
    base_at = 49
    base = reseal_perfect(not_utf8(ovl[base_at:base_at + len(blob)], index.key(bad)))
    (tmp_path / "o.ovl").write_bytes(reseal_overlay_blob(ovl[:base_at] + base + ovl[base_at + len(blob):]))
    r = cli("dump", "o.ovl", cwd=tmp_path)
    assert (r.returncode, lines(r.stdout)) == (1, [index.key(i) for i in range(bad)])
    assert r.stderr == f"quorvale: o.ovl: id {bad} has no key\n".encode()


def test_a_reader_that_goes_away(tmp_path):
    keys = [f"{i:08}-some-padding-for-bytes" for i in range(100_000)]
    StringIndex(keys).save(tmp_path / "big.idx")
    p = subprocess.Popen([QUORVALE, "dump", "big.idx"], cwd=tmp_path, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    assert p.stdout.readline() == b"00000000-some-padding-for-bytes\n"
    p.stdout.close()
    err = p.stderr.read()
    assert p.wait() == 1
    assert err == b"quorvale: Broken pipe (os error 32)\n"
