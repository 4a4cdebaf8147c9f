"""Blobs crafted to pass the loaders' checks (checksums resealed): memory
bounded by the blob, verified dictionaries in key order, walks Ctrl-C stops."""

import signal
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import references
from quorvale._core import DictIndex as D
from quorvale._core import HashedDictIndex as H

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


def test_route_words_cost_memory_of_the_blob_not_of_its_counts(tmp_path):
    path = tmp_path / "heavy.bin"
    path.write_bytes(route_heavy())
    code = textwrap.dedent(f"""
        import resource, sys
        from quorvale._core import DictIndex as D
        path = {str(path)!r}
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for load in (lambda: D.from_bytes(open(path, "rb").read()), lambda: D.load(path),
                     lambda: D.load_mmap(path), lambda: D.load_mmap_verified(path)):
            try:
                load().route_microblocks()
                print("loaded")
            except ValueError as e:
                print(e)
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split("\n")
    # Unverified, the route-word bound refuses it; verified, its empty heads
    # (out of order) already do.
    assert out[:4] == ["format error: dict: block heads out of order"] * 2 + [
        "format error: dict: more microblocks than the block data can hold",
        "format error: dict: block heads out of order"]
    assert int(out[4]) < 32 * 1024  # KiB: the blob is 0.1 MB


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


def doubling_blob(depth):
    """A "BIX4" blob whose `depth` nodes of two transitions (a and b, both to
    the node below) spell every word of `depth` letters: 2^depth keys."""
    fst = references.load("fst_crc32c")
    nodes = bytearray()
    below, keys = 0, 1
    for _ in range(depth):
        start = 16 + len(nodes)
        delta = 0 if below == 0 else start - below
        # Outputs of b then a (8 bytes), deltas of b then a (1 byte), inputs
        # b then a, the pack byte, the state byte (two transitions).
        nodes += struct.pack("<QQBB", keys, 0, delta, delta) + b"ba" + bytes([0x18, 0x02])
        below = 16 + len(nodes) - 1
        keys *= 2
    return b"BIX4" + fst.fst(bytes(nodes), keys, below)


WALKS = {
    "subsequence": "x.subsequence('c', limit=1)",
    "prefix": "x.prefix('')",
    "fuzzy": "x.fuzzy('', 40)",
}


@pytest.mark.parametrize("walk", WALKS)
def test_ctrl_c_stops_a_walk_over_crafted_bytes(walk, tmp_path):
    path = tmp_path / "x.bin"
    path.write_bytes(doubling_blob(40))
    code = textwrap.dedent(f"""
        import sys
        from quorvale._core import StringIndex
        x = StringIndex.load_untrusted({str(path)!r})
        assert len(x) == 2**40 and x.prefix('', limit=2) == [('a' * 40, 0), ('a' * 39 + 'b', 1)]
        print("walking", flush=True)
        try:
            {WALKS[walk]}
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """)
    p = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert p.stdout.readline() == "walking\n", p.stderr.read()
        time.sleep(0.5)
        p.send_signal(signal.SIGINT)
        sent = time.monotonic()
        assert p.wait(timeout=10) == 0, p.stderr.read()
        assert time.monotonic() - sent < 2
        assert p.stdout.read() == "interrupted\n"
    finally:
        p.kill()
        p.wait()
