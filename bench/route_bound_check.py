"""The loader's route-word bound against what the builders write, by hand.

    .venv/bin/python bench/route_bound_check.py [--generated N] [--every-block N]

A dictionary blob whose block and microblock counts its block data cannot
carry is refused before its route words (8 bytes a microblock) are derived
and before the verified walk over its microblocks. Every block but the last
is full and takes at least c bytes: 2 * ceil(e / 8) a run of e entries (a
restart run of J - 1 entries, J - 1 microblock runs of micro - 1), or two
bytes a restart with one-key microblocks (no builder writes those in a block
of two or more). The bound is J * (1 + D // c) words (D: block data bytes).
This builds dictionaries of real and generated keys at blocks 1, 32, 256
and 1024 (with phrases where the builder mines them, and with character
codes) and of the edge shapes (one key, keys that extend each other, blocks
of one key, a two-letter alphabet, decimal ids, the smallest microblocks of
a large block), and with --every-block N the edge shapes of N keys at every
block size 1..1024; it prints for each its route words, the bound, and how
much of its block data the bound's least accounts for (least/data, blocks
before the last): every blob a builder writes must stay at or below 1, and
the largest says how much room they have.
There is no peer: no other library has this format.
"""
import argparse
import glob
import os
import random
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from dict_class_bench import url_lines  # noqa: E402
from fst_peers import word_list  # noqa: E402

import numpy as np  # noqa: E402

from quorvale._core import DictIndex  # noqa: E402


def shape(blob):
    n, block = struct.unpack_from("<QI", blob, 4)
    data = struct.unpack_from("<Q", blob, 24)[0]
    micro = struct.unpack_from("<H", blob, 48)[0]
    return n, block, micro, -(-n // block), data


def least_block(j, micro):
    """The least block data a full block of j >= 2 microblocks takes."""
    def run(e):
        return 2 * -(-e // 8)
    return 2 * (j - 1) if micro < 2 else run(j - 1) + (j - 1) * run(micro - 1)


def check(name, keys, block, worst, quiet=False):
    d = DictIndex(keys, block)
    blob = d.to_bytes()
    n, block, micro, y, data = shape(blob)
    j = -(-block // micro)
    words = d.route_microblocks() // 8
    assert words == (0 if j == 1 else y * j)
    if j == 1:
        if not quiet:
            print(f"  {name:<28} block {block:>4}  micro {micro:>4}  J 1: no route words")
        return
    DictIndex.from_bytes(blob)
    bound = j * (1 + data // least_block(j, micro))
    # How much of the block data the bound's least accounts for: the blocks
    # before the last at least_block bytes each. At most 1 for every blob;
    # a blob of one block has nothing to measure.
    least = 0.0 if y < 2 else (y - 1) * least_block(j, micro) / data
    if least > worst[0]:
        worst[:] = [least, f"{name}, block {block}, micro {micro}"]
    phrases = struct.unpack_from("<I", blob, 58)[0] > 4
    extras = ("chars " if blob[:4] == b"BDX4" else "") + ("phrases" if phrases else "")
    if not quiet:
        print(f"  {name:<28} block {block:>4}  micro {micro:>4}  words {words:>10}  bound {bound:>11}  "
              f"words/bound {words / bound:.4f}  least/data {least:.4f}  data bytes a microblock "
              f"{data / words:.2f}  {extras}")
    assert words <= bound and least <= 1, name


def generated(n, seed, alphabet, lo, hi):
    rng = random.Random(seed)
    out = set()
    while len(out) < n:
        out.add("".join(rng.choice(alphabet) for _ in range(rng.randint(lo, hi))))
    return list(out)


def package_paths():
    paths = []
    for lst in glob.glob("/var/lib/dpkg/info/*.list"):
        with open(lst, encoding="utf-8", errors="replace") as f:
            paths.extend(f.read().split("\n"))
    return paths


def edge_shapes(n):
    return {
        "one key": ["only"],
        "keys extending each other": ["a" * k for k in range(1, min(n, 3000))],
        "two-letter alphabet": [format(i, "b") for i in range(1, n)],
        "decimal ids": [str(i) for i in range(n)],
        "words": [w.decode("utf-8", "replace") for w in
                  word_list("/usr/share/dict/american-english-huge", "wamerican-huge") or []][:n],
    }


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--generated", type=int, default=10**7)
    ap.add_argument("--every-block", type=int, default=0, metavar="N",
                    help="also build the edge shapes of N keys at every block size 1..1024")
    a = ap.parse_args()
    corpora = {
        "wamerican-huge": [w.decode("utf-8", "replace") for w in
                           word_list("/usr/share/dict/american-english-huge", "wamerican-huge") or []],
        "package file paths": package_paths(),
        "URLs x 10^6": url_lines(np.arange(10**6, dtype=np.uint64)).decode().split("\n")[:-1],
        "Cyrillic x 10^5": generated(10**5, 3, "абвгдеёжзийклмнопрстуфхцчшщъыьэюя ", 3, 16),
        "CJK x 10^5": generated(10**5, 4, "".join(chr(0x4E00 + i) for i in range(300)), 1, 6),
        f"generated x {a.generated}": generated(a.generated, 5, "abcdefghijklmnopqrstuvwxyz0123456789-_./", 8, 40),
    }
    edges = edge_shapes(10**6)
    del edges["words"]
    worst = [0.0, ""]
    for block in (1, 32, 256, 1024):
        print(f"block {block}")
        for name, keys in {**corpora, **edges}.items():
            check(name, keys, block, worst)
    # Blocks whose microblocks are the smallest the builder picks (2 keys:
    # 2 x a prime above 32), and short blocks.
    print("edge blocks")
    for block in (2, 3, 9, 34, 74, 1018, 1022):
        for name, keys in edges.items():
            check(name, keys, block, worst)
    if a.every_block:
        print(f"every block size 1..1024, edge shapes of {a.every_block} keys")
        for name, keys in edge_shapes(a.every_block).items():
            before = worst[0]
            for block in range(1, 1025):
                check(name, keys, block, worst, quiet=True)
            print(f"  {name:<28} largest least/data so far {worst[0]:.4f}" + (" (this shape)" if worst[0] > before else ""))
    print(f"largest least/data: {worst[0]:.4f} ({worst[1]}): the builders' block data is at least "
          f"{1 / worst[0]:.2f} times what the bound asks")


if __name__ == "__main__":
    main()
