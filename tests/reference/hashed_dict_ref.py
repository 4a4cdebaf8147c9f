#!/usr/bin/env python3
"""Independent reference for the "BHD1" hashed-dictionary blob.

Written from the format description alone (it shares no code with the C++
library): given the embedded dictionary's blob (opaque bytes), the keys in
rank order and a fingerprint width, it hashes every key, keeps the lowest
rank of each repeated first word in the minimal perfect hash (built with the
sequential build model beside it over the distinct first words, ascending)
and puts the others in the side table sorted by (first, second, rank), packs
each slot's entry (rank << bits | low bits of the second word) least
significant bit first in entry_bits = bits + bitlen(max(n, 2) - 1) bits, and
lays out the header with both checksums.

    python3 tests/reference/hashed_dict_ref.py   # a self-check

Imported by the Python tests, which compare whole blobs with it.
"""

import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from hash_pair_ref import hash_pair  # noqa: E402
from keyless_ref import payload_checksum  # noqa: E402,F401
from mphf_build_reference import build  # noqa: E402
from mphf_reference import header_checksum, mph3_image, v2_eval  # noqa: E402


def entry_bits(n, bits):
    return bits + (max(n, 2) - 1).bit_length()


def blob(dict_blob, keys, bits):
    """The "BHD1" blob over a dictionary whose keys in rank order are `keys`."""
    n = len(keys)
    pairs = [hash_pair(k.encode()) for k in keys]
    seen, side, reps = set(), [], []
    for rank, (f, s) in enumerate(pairs):
        if f in seen:
            side.append((f, s, rank))
        else:
            seen.add(f)
            reps.append((f, s, rank))
    side.sort()
    image, table = b"", b""
    if n:
        t = build(sorted(f for f, _, _ in reps))
        image = mph3_image(t)
        eb = entry_bits(n, bits)
        packed = 0
        for f, s, rank in reps:
            slot = v2_eval(t, f)[0]
            packed |= ((rank << bits) | (s & ((1 << bits) - 1))) << (slot * eb)
        table = packed.to_bytes((len(reps) * eb + 7) // 8, "little")
    records = b"".join(struct.pack("<QQQ", f, s, r) for f, s, r in side)
    head = b"BHD1" + struct.pack("<QIQQIQ", n, bits, len(dict_blob), len(image), len(side),
                                 payload_checksum(image + table + records))
    head += struct.pack("<I", header_checksum(head))
    return head + dict_blob + image + table + records


def self_check():
    # n = 5, 3 bits: 6-bit entries in a 4-byte table; rank 2 with second word
    # ending in 101 stores 21.
    assert entry_bits(5, 3) == 6 and (5 * 6 + 7) // 8 == 4 and (2 << 3) | 0b101 == 21
    assert entry_bits(1, 0) == 1 and entry_bits(1, 32) == 33
    b = blob(b"", [], 7)
    assert len(b) == 48 and b[:4] == b"BHD1" and struct.unpack_from("<I", b, 12)[0] == 7
    print("ok")


if __name__ == "__main__":
    self_check()
