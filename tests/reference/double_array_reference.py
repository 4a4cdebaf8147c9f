"""Independent model of the "BDA1" build: given distinct str keys in ascending
byte order, the blob bytes the double-array build must write.

Written from the format's definition alone, sharing no code with the library
(the checksums' arithmetic comes from the minimal perfect hash's reference),
and deliberately plain: the placement scans positions one by one instead of
using bitmap windows, which gives the same first fit (every window the real
build looks at is a run of words it would scan in this order anyway).

    python3 tests/reference/double_array_reference.py   # a self-check
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mphf_reference import M64, PHI, fin, header_checksum  # noqa: E402,F401


def hash_block(data):
    x = PHI
    padded = data + b"\0" * (-len(data) % 8)
    for i in range(0, len(padded), 8):
        w = int.from_bytes(padded[i:i + 8], "little")
        x = ((x ^ w) * 0xBF58476D1CE4E5B9) & M64
        x ^= x >> 29
    return fin(x ^ len(data))


def build(keys):
    n = len(keys)
    counts = {}
    for k in keys:
        for ch in k:
            counts[ord(ch)] = counts.get(ord(ch), 0) + 1
    chars = sorted(counts, key=lambda c: (-counts[c], c))
    assert len(chars) <= 65535
    label = {c: i + 1 for i, c in enumerate(chars)}
    L = len(chars)
    bmp = [c for c in chars if c < 0x10000]
    C = max(bmp) + 1 if bmp else 0
    supp = sorted((c, label[c]) for c in chars if c >= 0x10000)

    # The trie, breadth first; each node: [label, id, children (node numbers)].
    seqs = [[label[ord(ch)] for ch in k] for k in keys]
    order = sorted((i for i in range(n) if seqs[i]), key=lambda i: seqs[i])
    nodes = [[0, None, []]]
    queue = [(0, order, 0)]
    head = 0
    while head < len(queue):
        node, members, depth = queue[head]
        head += 1
        if members and len(seqs[members[0]]) == depth:
            nodes[node][1] = members[0]
            members = members[1:]
        runs = {}
        for i in members:
            runs.setdefault(seqs[i][depth], []).append(i)
        for x in sorted(runs):
            nodes.append([x, None, []])
            nodes[node][2].append(len(nodes) - 1)
            queue.append((len(nodes) - 1, runs[x], depth + 1))

    # First-fit placement.
    occupied = {0}
    taken = {0}
    base = [0] * len(nodes)
    for c in nodes[0][2]:
        occupied.add(nodes[c][0])
    inner = [i for i in range(1, len(nodes)) if nodes[i][2]]
    inner.sort(key=lambda i: -len(nodes[i][2]))  # stable
    first_label = list(range(L + 1))
    pairs, sets = {}, {}
    floor = 0
    for node in inner:
        labels = [nodes[c][0] for c in nodes[node][2]]
        c0, k = labels[0], len(labels)
        while floor in occupied:
            floor += 1
        pair_at = pairs.get((c0, labels[1]), 0) if k >= 2 else 0
        set_at = sets.get(tuple(labels), 0) if k >= 3 else 0
        alone = max(floor, first_label[c0])
        start = max(alone, pair_at, set_at)
        first_armed = start == alone
        pair_armed = k >= 2 and max(alone, pair_at) >= set_at
        p = start
        while True:
            if p not in occupied and (p - c0) not in taken:
                if first_armed:
                    first_label[c0] = p
                    first_armed = False
                if k >= 2 and pair_armed and (p + labels[1] - c0) not in occupied:
                    pairs[(c0, labels[1])] = p
                    pair_armed = False
                if all((p + x - c0) not in occupied for x in labels[1:]):
                    break
            p += 1
        if k >= 3:
            sets[tuple(labels)] = p
        b = p - c0
        assert b + L <= (1 << 23) - 1
        taken.add(b)
        for x in labels:
            occupied.add(b + x)
        base[node] = b
    S = max(base) + L + 1 if L else 0

    slots = [0] * S
    for node in range(len(nodes)):
        for c in nodes[node][2]:
            x, key_id, kids = nodes[c]
            w = x
            if key_id is not None:
                w |= 1 << 16 | key_id << 41
            w |= base[c] << 18 if kids else 1 << 17
            slots[base[node] + x] = w
    payload = b"".join(w.to_bytes(8, "little") for w in slots)
    payload += b"".join(label.get(c, 0).to_bytes(2, "little") for c in range(C))
    payload += b"".join(c.to_bytes(4, "little") + x.to_bytes(4, "little") for c, x in supp)
    empty = 0 if n and keys[0] == "" else M64
    head = b"BDA1" + n.to_bytes(8, "little") + empty.to_bytes(8, "little") + S.to_bytes(8, "little")
    head += C.to_bytes(4, "little") + len(supp).to_bytes(4, "little") + L.to_bytes(4, "little")
    head += hash_block(payload).to_bytes(8, "little") + bytes(12)
    head += header_checksum(head).to_bytes(4, "little")
    return head + payload


def self_check():
    # Worked by hand from the slot word: keys ab and b.
    blob = build(["ab", "b"])
    assert len(blob) == 302
    words = [int.from_bytes(blob[64 + 8 * i:72 + 8 * i], "little") for i in range(5)]
    assert words == [0, 0x20000030001, 0x80002, 0x30001, 0], [hex(w) for w in words]
    assert len(build([])) == 64 and len(build([""])) == 64
    print("ok")


if __name__ == "__main__":
    self_check()
