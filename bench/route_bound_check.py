"""The loader's route-word bound against what the builders write, by hand.

    .venv/bin/python bench/route_bound_check.py [--generated N]

A dictionary blob whose block and microblock counts its block data cannot
carry is refused before its route words (8 bytes a microblock) are derived.
The bound is J + D words with micro >= 2 (D: block data bytes), J + D + 8D/w
with micro = 1 (w: the narrowest code unit of the blob's codecs). This builds
dictionaries of real and generated keys at blocks 1, 32, 256 and 1024 (with
phrases where the builder mines them, and with character codes) and of the
edge shapes (one key, keys that extend each other, blocks of one key, a
two-letter alphabet, the smallest microblocks of a large block), and prints
for each its route words, the bound and their ratio: every blob a builder
writes must stay below the bound, and the ratio says how much room it has.
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
    heads, data = struct.unpack_from("<QQ", blob, 16)
    tables_len = struct.unpack_from("<I", blob, 32)[0]
    w44, _, shift, _ = blob[44:48]
    micro = struct.unpack_from("<H", blob, 48)[0]
    y = -(-n // block)
    head_ends = 0 if y == 0 else -(-y // (1 << shift)) * 8 + -(-y * w44 // 8) + 8
    at = 72 + heads + head_ends + data
    unit, end = 8, at + tables_len
    while at < end:
        rec = struct.unpack_from("<I", blob, at)[0]
        if blob[at + 4] == 1:
            unit = min(unit, blob[at + 5])
        at += 4 + rec
    return n, block, micro, y, data, unit


def check(name, keys, block, worst):
    d = DictIndex(keys, block)
    blob = d.to_bytes()
    n, block, micro, y, data, unit = shape(blob)
    j = -(-block // micro)
    words = d.route_microblocks() // 8
    assert words == (0 if j == 1 else y * j)
    DictIndex.from_bytes(blob)
    if j == 1:
        print(f"  {name:<28} block {block:>4}  micro {micro:>4}  J 1: no route words")
        return
    bound = j + data + (data * 8 // unit if micro < 2 else 0)
    ratio = words / bound
    worst[0] = max(worst[0], ratio)
    phrases = struct.unpack_from("<I", blob, 58)[0] > 4
    extras = ("chars " if blob[:4] == b"BDX4" else "") + ("phrases" if phrases else "")
    print(f"  {name:<28} block {block:>4}  micro {micro:>4}  words {words:>10}  bound {bound:>11}  "
          f"words/bound {ratio:.4f}  {extras}")
    assert words <= bound, name


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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--generated", type=int, default=10**7)
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
    edges = {
        "one key": ["only"],
        "keys extending each other": ["a" * k for k in range(1, 3000)],
        "two-letter alphabet": [format(i, "b") for i in range(1, 200000)],
        "decimal ids": [str(i) for i in range(10**6)],
    }
    worst = [0.0]
    for block in (1, 32, 256, 1024):
        print(f"block {block}")
        for name, keys in {**corpora, **edges}.items():
            check(name, keys, block, worst)
    # Blocks whose microblocks are the smallest the builder picks (2 keys:
    # 2 x an odd prime), and short blocks.
    print("edge blocks")
    for block in (2, 3, 9, 34, 1018, 1022):
        for name, keys in edges.items():
            check(name, keys, block, worst)
    print(f"largest words/bound: {worst[0]:.4f}")


if __name__ == "__main__":
    main()
