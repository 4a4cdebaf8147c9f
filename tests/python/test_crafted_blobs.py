"""Blobs crafted to pass the loaders' checks (checksums resealed): memory
bounded by the blob, verified dictionaries in key order, walks Ctrl-C stops."""

import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import references
from quorvale._core import DictIndex as D
from quorvale._core import HashedDictIndex as H
from test_overlay import reseal as reseal_overlay

payload_checksum = references.load("keyless_ref").payload_checksum
header_checksum = references.load("mphf_reference").header_checksum


def reseal_dict(b, at=0):
    """The payload and header checksums of the dictionary blob at `at` of b:
    the whole of b, or the one a hashed-dictionary blob embeds at 48."""
    end = len(b) if at == 0 else at + struct.unpack_from("<Q", b, 16)[0]
    struct.pack_into("<Q", b, at + 36, payload_checksum(bytes(b[at + 72:end])))
    struct.pack_into("<I", b, at + 68, header_checksum(bytes(b[at:at + 68])))


def route_heavy():
    """100,156 bytes claiming 102,401,024 keys in one-key microblocks of
    blocks of 1,024 (100,001 blocks, every offset of width 0): their route
    words would take 819 MB."""
    y, block = 100_001, 1024
    h = bytearray(72)
    h[:4] = b"BDX3"
    struct.pack_into("<QIQQI", h, 4, y * block, block, 100_000, 0, 12)
    struct.pack_into("<BBBBHHI", h, 44, 0, 0, 31, 0, 1, 65535, 28)
    struct.pack_into("<I", h, 58, 4)
    p = bytes(range(256)) * 390 + bytes(160)  # heads
    p += struct.pack("<Q", 100_000) + bytes(8)  # head ends: one sample, width 0
    p += (struct.pack("<I", 2) + b"\0\0") * 2  # two shards' symbol tables
    p += bytes(28) + bytes(4)  # their header codes, no phrases
    p += bytes(16) + bytes(8)  # block offsets, micro offsets
    b = bytearray(h + p)
    reseal_dict(b)
    assert len(b) == 100_156
    return bytes(b)


MEMORY_LINE = """
def vm(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
before = vm("VmRSS")
"""


def peak_growth(code):
    """Runs `code` in a fresh interpreter: its output lines, and how far its
    peak resident size (VmHWM) rose above what it had resident before (a
    forking parent's peak does not carry into it, as ru_maxrss's does)."""
    full = MEMORY_LINE + textwrap.dedent(code) + '\nprint(vm("VmHWM") - before)\n'
    out = subprocess.run([sys.executable, "-c", full], capture_output=True, text=True, check=True).stdout.split("\n")
    return out[:-2], int(out[-2])


def within_line(blob_len):
    """The memory a load and its first query may take: 8 times the blob's
    bytes and 50 MB."""
    return 8 * blob_len + 50 * 2**20


def test_route_words_cost_memory_of_the_blob_not_of_its_counts(tmp_path):
    path = tmp_path / "heavy.bin"
    path.write_bytes(route_heavy())
    out, grown = peak_growth(f"""
        from quorvale._core import DictIndex as D
        path = {str(path)!r}
        for load in (lambda: D.from_bytes(open(path, "rb").read()), lambda: D.load(path),
                     lambda: D.load_mmap(path), lambda: D.load_mmap_verified(path)):
            try:
                load().route_microblocks()
                print("loaded")
            except ValueError as e:
                print(e)
    """)
    # The count is refused before the verified walk over its empty (out of
    # order) heads would visit them.
    assert out == ["format error: dict: more microblocks than the block data can hold"] * 4
    assert grown < 32 * 2**20  # the blob is 0.1 MB


def mph2_wide(slots):
    """An "MPH2" image over one key with `slots` further slots: level 0 of
    one slot bumps every hash (seed byte 0), level 1 places it (seed byte 1),
    and slot 0, the only occupied one, takes the only hole, 0: every id is 0.
    Its bitmap is a bit a slot."""
    head = bytearray(b"MPH2") + struct.pack("<HBB", 2, 0, 0)
    head += struct.pack("<QQQQQQQ", 1, 2, 0, 0, 0, 0, 1)  # n, L, k, P, m, tail seed, hole count
    head += struct.pack("<QQQQQQ", 1, 1, 1, slots, 1, 1)  # slots, buckets, window of both levels
    head += struct.pack("<I", header_checksum(bytes(head)))
    body = bytes([0, 1])  # seed bytes
    body += struct.pack("<Q", 1) + bytes(8 * (-(-slots // 64) - 1))  # the bitmap: slot 0
    body += bytes(4 * -(-slots // 512))  # skipped
    body += struct.pack("<Q", 1) + bytes(4)  # hole 0 at width 0, then skipped
    return bytes(head) + body


def with_image(blob, image):
    """A "BMP8" or "BCL2" blob (n at 4, the image length at 12, checksums at
    24 and 32) with its image replaced, resealed."""
    old = struct.unpack_from("<Q", blob, 12)[0]
    b = bytearray(blob[:36]) + image + blob[36 + old:]
    struct.pack_into("<Q", b, 12, len(image))
    struct.pack_into("<Q", b, 24, payload_checksum(bytes(b[36:])))
    struct.pack_into("<I", b, 32, header_checksum(bytes(b[:32])))
    return bytes(b)


def test_older_perfect_hash_images_convert_in_memory_of_their_bytes(tmp_path):
    # 2 MiB of bitmap: 16.8 million further slots, which the conversion used
    # to spread into a word each (128 MiB) before encoding them.
    from quorvale._core import Overlay, PerfectHashIndex
    image = mph2_wide(1 << 24)
    perfect = with_image(PerfectHashIndex(["a"]).to_bytes(), image)
    closed = with_image(b"BCL2" + struct.pack("<QQIQI", 1, 0, 0, 0, 0), image)
    o = bytearray(Overlay(PerfectHashIndex(["a"])).to_bytes())
    base_len = struct.unpack_from("<Q", o, 5)[0]
    o[49:49 + base_len] = perfect
    struct.pack_into("<Q", o, 5, len(perfect))
    overlay = reseal_overlay(o)
    loads = {
        "perfect": (perfect, ["PerfectHashIndex.from_bytes(blob)", "PerfectHashIndex.load(path)",
                              "PerfectHashIndex.load_mmap(path)", "PerfectHashIndex.load_mmap_verified(path)"],
                    "[x.id('a'), x.id('b')]", "[0, None]"),
        "closed": (closed, ["ClosedHashIndex.from_bytes(blob)", "ClosedHashIndex.load(path)"], "x.id('a')", "0"),
        "overlay": (overlay, ["Overlay.from_bytes(blob, PerfectHashIndex)"], "[x.id('a'), x.id('b')]", "[0, None]"),
        "dump": (perfect, ["_cli(['dump', path])"], "x", "0"),
    }
    for name, (blob, loaders, query, answer) in loads.items():
        path = tmp_path / f"{name}.bin"
        path.write_bytes(blob)
        for loader in loaders:
            out, grown = peak_growth(f"""
                from quorvale._core import ClosedHashIndex, Overlay, PerfectHashIndex, _cli
                path = {str(path)!r}
                blob = open(path, "rb").read()
                x = {loader}
                print({query}, flush=True)
            """)
            assert out[-1] == answer and (name != "dump" or out == ["a", "0"]), (name, loader, out)
            assert grown < within_line(len(blob)), (name, loader, grown)


KEYS = ["k0", "k1", "k2", "k3"]


def swapped_heads(blob, at=0):
    """Heads 2 and 3 of a dictionary of KEYS at block 1 swapped, resealed."""
    b = bytearray(blob)
    assert b[at + 72:at + 80] == b"k0k1k2k3"
    b[at + 76:at + 80] = b"k3k2"
    reseal_dict(b, at)
    return b


def test_verified_dictionaries_are_in_key_order(tmp_path):
    d_blob = swapped_heads(D(KEYS, 1).to_bytes())
    h_blob = swapped_heads(H.from_dict(D(KEYS, 1), 8).to_bytes(), 48)
    struct.pack_into("<I", h_blob, 44, header_checksum(bytes(h_blob[:44])))
    path = tmp_path / "x.bin"
    for cls, blob in ((D, d_blob), (H, h_blob)):
        path.write_bytes(blob)
        for load in (lambda: cls.from_bytes(bytes(blob)), lambda: cls.load(path), lambda: cls.load_mmap_verified(path)):
            with pytest.raises(ValueError) as e:
                load()
            assert str(e.value) == "format error: dict: block heads out of order"
        # Unverified by design: it loads, and its answers are its bytes'.
        assert len(cls.load_mmap(path)) == 4


def doubling_nodes(depth, letters="ab"):
    """`depth` FST nodes of two transitions (on the two letters, both to the
    node below), which spell every word of `depth` letters: the nodes, the
    address of the top one and the number of words."""
    nodes = bytearray()
    below, keys = 0, 1
    for _ in range(depth):
        start = 16 + len(nodes)
        delta = 0 if below == 0 else start - below
        # Outputs of the second letter then the first (8 bytes), their
        # deltas (1 byte), their inputs, the pack byte, the state byte (two
        # transitions).
        nodes += struct.pack("<QQBB", keys, 0, delta, delta) + letters[::-1].encode("latin-1") + bytes([0x18, 0x02])
        below = 16 + len(nodes) - 1
        keys *= 2
    return nodes, below, keys


def doubling_blob(depth):
    """A "BIX4" blob of `depth` doubling nodes over a and b: 2^depth keys."""
    nodes, root, keys = doubling_nodes(depth)
    return b"BIX4" + references.load("fst_crc32c").fst(bytes(nodes), keys, root)


def walled_blob(depth):
    """2^depth keys that are not UTF-8 ("b" then bytes FE and FF) between "a"
    and "z": the trusted loads take them (the first and the last key are
    UTF-8), and a walk that gives only UTF-8 keys finds one at each end."""
    nodes, below, keys = doubling_nodes(depth, "\xfe\xff")
    start = 16 + len(nodes)
    # Outputs of z, b and a, their deltas (a and z lead to the final node
    # at 0), the inputs, the pack byte, three transitions.
    nodes += struct.pack("<QQQBBB", keys + 1, 1, 0, 0, start - below, 0) + b"zba" + bytes([0x18, 0x03])
    return b"BIX4" + references.load("fst_crc32c").fst(bytes(nodes), keys + 2, 16 + len(nodes) - 1)


def interrupted_after(code, ready, *args):
    """Runs `code` in a fresh interpreter, waits for ready(process) to say
    the work is under way, sends SIGINT: (status, seconds to exit, stdout
    after the ready point, stderr)."""
    p = subprocess.Popen([sys.executable, "-c", code, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    guard = threading.Timer(60, p.kill)  # a readiness that never comes fails, and does not hang
    guard.start()
    try:
        ready(p)
        p.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = p.communicate(timeout=30)
        return p.returncode, time.monotonic() - sent, out, err.decode()
    finally:
        guard.cancel()
        p.kill()
        p.wait()


def said(line):
    def ready(p):
        assert p.stdout.readline() == line, p.stderr.read()
        time.sleep(0.5)
    return ready


WALKS = {
    "subsequence": "x.subsequence('c', limit=1)",
    "prefix": "x.prefix('')",
    "fuzzy": "x.fuzzy('', 40)",
    # A consumer in C that never looks for signals itself, as list() is.
    "iteration": "seen.extend(it)",
}


@pytest.mark.parametrize("walk", WALKS)
def test_ctrl_c_stops_a_walk_over_crafted_bytes(walk, tmp_path):
    path = tmp_path / "x.bin"
    path.write_bytes(doubling_blob(40))
    code = textwrap.dedent(f"""
        import collections
        from quorvale._core import StringIndex
        x = StringIndex.load_untrusted({str(path)!r})
        assert len(x) == 2**40 and x.prefix('', limit=2) == [('a' * 40, 0), ('a' * 39 + 'b', 1)]
        it, seen = iter(x), collections.deque(maxlen=1)
        print("walking", flush=True)
        try:
            {WALKS[walk]}
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        # An iteration goes on where it stopped.
        if seen:
            assert next(it)[1] == seen[0][1] + 1
    """)
    status, took, out, err = interrupted_after(code, said(b"walking\n"))
    assert status == 0, err
    assert took < 2
    assert out == b"interrupted\n"


def overlay_over(base):
    """An "OVL2" blob over the string-index blob `base`, without edits."""
    h = bytearray(49)
    h[:4] = b"OVL2"
    h[4] = 1
    struct.pack_into("<QQQQ", h, 5, len(base), 0, 0, 0)
    return reseal_overlay(bytes(h) + base)


DUMP = r"""
import sys
import quorvale._core as core
print("dumping", file=sys.stderr, flush=True)
status = core._cli(["dump", sys.argv[1]])
peak = next(line for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(status, int(peak.split()[1]) * 1024, file=sys.stderr)
"""


@pytest.mark.parametrize("base", ["doubling", "walled"])
def test_the_dump_of_an_overlay_streams_its_keys(tmp_path, base):
    """An overlay of under 1 KB over 2^40 keys: the keys come out as the walk
    meets them, memory stays within the blob's line, and SIGINT stops the
    walk within about a second, also where it writes nothing for long (the
    keys after "a" in the walled base are not UTF-8 and are passed over)."""
    path = tmp_path / "x.ovl"
    blob = overlay_over(doubling_blob(40) if base == "doubling" else walled_blob(40))
    path.write_bytes(blob)
    drained = []

    def ready(p):
        assert p.stderr.readline() == b"dumping\n"
        if base == "walled":
            time.sleep(0.5)
            return
        assert p.stdout.readline() == b"a" * 40 + b"\n"
        end = time.monotonic() + 0.5
        while time.monotonic() < end:
            drained.append(len(p.stdout.read1(1 << 16)))  # millions of keys pass

    status, took, out, err = interrupted_after(DUMP, ready, str(path))
    assert err.splitlines()[0] == "quorvale: interrupted", err
    status, peak = map(int, err.splitlines()[1].split())
    assert status == 130 and took < 3
    assert peak <= 8 * len(blob) + 50 * 2**20
    assert sum(drained) > 2**20 if base == "doubling" else out == b""


def side_heavy(kind, records, fault, seal):
    """A three-key blob of `kind` given `records` side records whose ids
    (ranks for the hashed dictionary) are the tail of n = records + 1, so
    that a count the header or an embedded image gives disagrees with n;
    fault "ids" also puts the first record's id outside it (its rank past n). `seal`
    makes the payload checksum right (slow in Python: only small blobs)."""
    import numpy as np
    from quorvale._core import ClosedHashIndex, CompactHashIndex, DictIndex, HashedDictIndex, PerfectHashIndex
    rng = np.random.default_rng(7)
    words = lambda: rng.integers(0, 2**63, records, dtype=np.uint64)
    ids = np.arange(1, records + 1, dtype=np.uint32)
    if fault == "ids":
        ids[0] = 0
    if kind == "perfect":  # n at 4, image length at 12, side count at 20; no side table
        small, head, at_count, at_sums = PerfectHashIndex(KEYS[:3]).to_bytes(), 36, 20, (24, 32)
        side = np.zeros(records, dtype=[("h", "<u8"), ("id", "<u4")])
        side["h"], side["id"] = words(), ids
    elif kind in ("compact", "closed"):
        cls = CompactHashIndex if kind == "compact" else ClosedHashIndex
        small = cls(KEYS[:3]).to_bytes()
        head, at_count, at_sums = (40, 24, (28, 36)) if kind == "compact" else (36, 20, (24, 32))
        side = np.zeros(records, dtype=[("a", "<u8"), ("b", "<u8"), ("id", "<u4")])
        side["a"], side["b"], side["id"] = words(), words(), ids
    else:  # n at 4, width at 12, dictionary length at 16, image length at 24, side count at 32
        small, head, at_count, at_sums = HashedDictIndex.from_dict(DictIndex(KEYS[:3]), 8).to_bytes(), 48, 32, (36, 44)
        bits, d, j = struct.unpack_from("<IQQ", small, 12)
        side = np.zeros(records, dtype=[("a", "<u8"), ("b", "<u8"), ("rank", "<u8")])
        side["a"], side["b"], side["rank"] = words(), words(), ids
        if fault == "ids":
            side["rank"][0] = records + 1
        entry_bits = bits + records.bit_length()  # n - 1 = records
        small = small[:48 + d + j] + bytes((entry_bits + 7) // 8)  # the rank table of n - side = 1 slot
    assert struct.unpack_from("<I", small, at_count)[0] == 0
    b = bytearray(small) + side.tobytes()
    struct.pack_into("<Q", b, 4, records + 1)
    struct.pack_into("<I", b, at_count, records)
    hashed_from = head + (struct.unpack_from("<Q", b, 16)[0] if kind == "dict" else 0)
    if seal:
        struct.pack_into("<Q", b, at_sums[0], payload_checksum(bytes(b[hashed_from:])))
    struct.pack_into("<I", b, at_sums[1], header_checksum(bytes(b[:at_sums[1]])))
    return bytes(b)


SIDE_HEAVY = {  # kind: class, the count that disagrees, the message of a stray side id
    "perfect": ("PerfectHashIndex", "mph / arena length mismatch", "perfect-hash: side-table ids are not the tail id range"),
    "compact": ("CompactHashIndex", "compact-hash: fingerprint length mismatch",
                "compact-hash: side-table ids are not the tail id range"),
    "closed": ("ClosedHashIndex", "mph / header length mismatch", "closed-hash: side-table ids are not the tail id range"),
    "dict": ("HashedDictIndex", "hashed-dict: the dictionary and the header disagree on the key count",
             "hashed-dict: a side-table rank is past the last key"),
}


@pytest.mark.parametrize("kind", SIDE_HEAVY)
def test_counts_are_tested_before_the_side_table_is_taken_in(kind, tmp_path):
    name, count_message, ids_message = SIDE_HEAVY[kind]
    levels = ["from_bytes(blob)", "load(path)"] + (["load_mmap(path)", "load_mmap_verified(path)"] * (kind != "closed"))
    # A blob with both faults still gets the side table's message, which
    # comes first; only the table's copy and sort moved after the counts.
    for fault, message in (("count", count_message), ("ids", ids_message)):
        path = tmp_path / f"{fault}.bin"
        path.write_bytes(side_heavy(kind, 1000, fault, seal=True))
        out, _ = peak_growth(f"""
            from quorvale._core import {name} as K
            path = {str(path)!r}
            blob = open(path, "rb").read()
            for level in {levels!r}:
                try:
                    eval("K." + level)
                    print("loaded")
                except ValueError as e:
                    print(e)
        """)
        assert out == ["format error: " + message] * len(levels), (fault, out)
    # A million side records and a count that disagrees: refused with the
    # records read where they lie, none copied. The closed kind verifies its
    # payload at every level and reads the bytes in place; the others are
    # mapped unverified, their side pages touched once.
    records, mapped = (250_000, False) if kind == "closed" else (1_000_000, True)
    blob = side_heavy(kind, records, "count", seal=not mapped)
    path = tmp_path / "heavy.bin"
    path.write_bytes(blob)
    level = "load_mmap(path)" if mapped else "from_bytes(blob)"
    out, _ = peak_growth(f"""
        from quorvale._core import {name} as K
        path = {str(path)!r}
        blob = open(path, "rb").read()
        start = vm("VmRSS")
        try:
            K.{level}
        except ValueError as e:
            print(e)
        print(vm("VmHWM") - start)
    """)
    assert out[0] == "format error: " + count_message
    assert int(out[1]) < len(blob) * mapped + len(blob) // 2, (kind, int(out[1]), len(blob))


def test_an_overlay_claims_no_more_additions_than_its_region_holds(tmp_path):
    from quorvale._core import Overlay, StringIndex
    o = bytearray(Overlay(StringIndex(["zzzz"])).to_bytes())
    base_len = struct.unpack_from("<Q", o, 5)[0]
    # A count four bytes a record cannot fit is refused before the base is
    # loaded: this base's broken magic is never seen.
    broken = bytearray(o)
    broken[49] ^= 0xFF
    struct.pack_into("<Q", broken, 13, 2**40)
    with pytest.raises(ValueError, match="^format error: overlay additions truncated$"):
        Overlay.from_bytes(reseal_overlay(broken), StringIndex)
    # A count the region can hold, of records that repeat the first: the
    # additions table is sized for the count (just past 3/4 of 2^21 slots,
    # 32 MiB of them) but takes memory only as records go in.
    n = 3 * 2**19 + 1
    crowded = bytearray(o[:49 + base_len]) + bytes(4 * n)
    struct.pack_into("<QQQ", crowded, 13, n, 4 * n, 0)
    path = tmp_path / "crowded.bin"
    path.write_bytes(reseal_overlay(crowded))
    out, _ = peak_growth(f"""
        from quorvale._core import Overlay, StringIndex
        blob = open({str(path)!r}, "rb").read()
        start = vm("VmRSS")
        try:
            Overlay.from_bytes(blob, StringIndex)
        except ValueError as e:
            print(e)
        print(vm("VmHWM") - start)
    """)
    assert out[0] == "format error: duplicate key among overlay additions"
    assert int(out[1]) < 2 * len(crowded) + 4 * 2**20, int(out[1])
