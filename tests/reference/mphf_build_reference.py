#!/usr/bin/env python3
"""Slow, sequential model of the minimal perfect hash build.

Written from the build's description alone (it shares no code with the C++
library): every bucket is seeded by trying all 255 seed bytes under the
selection rule, one chunk after the other on one whole-level slot set, then
the gaps in order, then the closing gap. The layout of the image comes from
the evaluation reference beside it. Prints a C++ include file of known
answers (image length and FNV-1a 64 of the image bytes) for the test suite:

    python3 tests/reference/mphf_build_reference.py > tests/cpp/mphf_build_known.inc
"""

import decimal
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mphf_reference import M64, PHI, Level, Table, fin, mph3_image, rng, splitmix64  # noqa: E402,F401


def cdiv(a, b):
    return -(-a // b)


def make_log2():
    decimal.getcontext().prec = 40
    ln2 = decimal.Decimal(2).ln()
    table = [0, 0]
    for i in range(2, 4096):
        v = decimal.Decimal(65536) * decimal.Decimal(i).ln() / ln2
        table.append(int((v + decimal.Decimal("0.5")).to_integral_value(rounding=decimal.ROUND_FLOOR)))
    return table


LOG2 = make_log2()
LEAD = [None, -50137, 65904, 111782, 139890, 159029, 175922, 186995, 198068,
        209141, 220214, 231287, 242360, 253433, 264506, 275579, 286652]


def lead(k, w):
    v = LEAD[k] * w
    q = abs(v) // 1024
    return q if v >= 0 else -q


# ---------------------------------------------------------------------------
# One level.


def geometry(n):
    b = max(cdiv(2 * n, 9), 1)
    w = 256 if n < 4096 else 512 if n < 32768 else 1024
    s = (w // 64).bit_length() - 1
    return b, w, s


def plan(n, b, w, level0):
    if level0 and b >= 262144:
        q = (b - 196608) >> 16
        r = (b - 196608) & 0xFFFF
        bounds = [0] + [65536 * k for k in range(1, q + 2)]
        base = (q + 1) * 65536
        bounds += [base + 16384 * j for j in range(1, ((r + 98304) >> 14) + 2)]
    else:
        chunk = min(max(b >> 3, 16384 if level0 else 4096), 65536)
        if b < 2 * chunk:
            bounds = [0]
        else:
            bounds = [chunk * k for k in range(0, b // chunk)]
    gap = min(b // 2, cdiv((w + 2) * b, n) + 1)
    return bounds, gap


def seed_bucket(keys, n, w, s, occ):
    """The seed byte of the cheapest valid candidate, 0 when none."""
    if len(keys) > 64:
        return 0
    best = None
    for r in range(4):
        es = [rng(h, n) for h in keys]
        ts = [(h >> (8 * r)) & (w - 1) for h in keys]
        us = [(e + t) % n for e, t in zip(es, ts)]
        if len(set(us)) != len(us):
            continue
        for c in range(64):
            if r == 0 and c == 0:
                continue
            slots = []
            cost = 0
            for e, t in zip(es, ts):
                p = (t + (c << s)) & (w - 1)
                slots.append((e + p) % n)
                cost += LOG2[p + 95]
            if len(set(slots)) != len(slots) or any(x in occ for x in slots):
                continue
            cand = (cost, 64 * r + c, slots)
            if best is None or cand[:2] < best[:2]:
                best = cand
    if best is None:
        return 0
    occ.update(best[2])
    return best[1]


def seed_run(buckets, first, last, n, w, s, occ, seeds):
    order = []
    for j in range(first, last):
        size = len(buckets.get(j, ()))
        if size:
            k = min(size, 16)
            order.append((1024 * (j - first) - lead(k, w), lead(k, w), j))
    order.sort()
    for _, _, j in order:
        seeds[j] = seed_bucket(buckets[j], n, w, s, occ)


def ramp(n, start, b, w):
    s0 = n * start // b
    out = []
    for x in range(min(w, n - s0)):
        r = splitmix64(x ^ PHI ^ ((start << 20) & M64)) >> 12
        if r < (w - x) * 0xF74BC6A7EF9DB // w:
            out.append(s0 + x)
    return out


def build_level(keys, n, level0):
    """(Level, occupied slots, bumped keys in order) over level hashes."""
    b, w, s = geometry(n)
    bounds, gap = plan(n, b, w, level0)
    buckets = {}
    for h in keys:
        buckets.setdefault(rng(h, b), []).append(h)
    occ = set()
    seeds = [0] * b
    ends = bounds[1:] + [b]
    bumped = []

    def collect(first, last):
        for j in range(first, last):
            if seeds[j] == 0:
                bumped.extend(buckets.get(j, ()))

    for start, end in zip(bounds, ends):
        reserved = [x for x in ramp(n, start, b, w) if x not in occ]
        occ.update(reserved)
        seed_run(buckets, start, end - gap, n, w, s, occ, seeds)
        occ.difference_update(reserved)
    for start, end in zip(bounds, ends):
        collect(start, end - gap)
    for end in ends[:-1]:
        seed_run(buckets, end - gap, end, n, w, s, occ, seeds)
        collect(end - gap, end)
    seed_run(buckets, b - gap, b, n, w, s, occ, seeds)
    collect(b - gap, b)
    return Level(n, b, w, seeds), occ, bumped


# ---------------------------------------------------------------------------
# Tail and driver.


def build_tail(keys):
    k = len(keys)
    if k == 0:
        return [], 0, 0, set()
    m = cdiv(25 * k, 24)
    p_count = max(cdiv(2 * k, 13), 1)
    for a in range(64):
        seed = splitmix64(0x7A115EED00000000 + a)
        pairs = sorted((rng(t, p_count), t) for t in (splitmix64(h ^ seed) for h in keys))
        groups = []
        i = 0
        while i < k:
            j = i
            while j < k and pairs[j][0] == pairs[i][0]:
                j += 1
            groups.append((i, j))
            i = j
        groups.sort(key=lambda g: (-(g[1] - g[0]), g[0]))
        occ = set()
        pilots = [0] * p_count
        ok = True
        for lo, hi in groups:
            for p in range(0x10000):
                slots = [rng(splitmix64((t + p * PHI) & M64), m) for _, t in pairs[lo:hi]]
                if len(set(slots)) == len(slots) and not any(x in occ for x in slots):
                    occ.update(slots)
                    pilots[pairs[lo][0]] = p
                    break
            else:
                ok = False
                break
        if ok:
            return pilots, m, seed, occ
    raise RuntimeError("no seed placed every bucket")


def build(keys):
    n = len(keys)
    level0 = None
    occ0 = None
    levels, occs = [], []
    if n > 256:
        level0, occ0, remaining = build_level(keys, n, True)
    else:
        remaining = list(keys)
    while len(remaining) > 256 and len(levels) + (1 if level0 else 0) < 16:
        k = len(levels) + (1 if level0 else 0)
        by_hash = {splitmix64(h ^ ((k * PHI) & M64)): h for h in remaining}
        level, occ, _ = build_level(list(by_hash), len(remaining), False)
        kept = [h for h in remaining
                if level.seeds[rng(splitmix64(h ^ ((k * PHI) & M64)), level.buckets)] == 0]
        if len(kept) == len(remaining):
            break
        remaining = kept
        levels.append(level)
        occs.append(occ)
    pilots, m, tail_seed, tail_occ = build_tail(remaining)
    holes = [x for x in range(n) if occ0 is None or x not in occ0]
    entries = []
    taken = 0
    h = holes[0] if holes else 0
    for occ, slots in list(zip(occs, [l.slots for l in levels])) + [(tail_occ, m)]:
        for x in range(slots):
            if x in occ:
                h = holes[taken]
                taken += 1
            entries.append(h)
    return Table(n, level0, levels, len(remaining) if pilots else 0, pilots, m, tail_seed, entries, True)


def fnv64(data):
    h = 0xCBF29CE484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001B3) & M64
    return h


def case_keys(n, seed):
    return [splitmix64((seed + i) & M64) for i in range(n)]


CASES = [(0, 1), (1, 2), (2, 3), (3, 4), (13, 5), (256, 6), (257, 7), (4096, 8), (150000, 9), (1179648, 10)]


def main():
    only = {int(a) for a in sys.argv[1:]}
    print("// Generated by tests/reference/mphf_build_reference.py; do not edit.")
    print("// {n, key seed, image length, FNV-1a 64 of the image}; keys are splitmix64(seed + i).")
    for n, seed in CASES:
        if only and n not in only:
            continue
        image = mph3_image(build(case_keys(n, seed)))
        print("{%dULL, %dULL, %dULL, 0x%016xULL}," % (n, seed, len(image), fnv64(image)))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
