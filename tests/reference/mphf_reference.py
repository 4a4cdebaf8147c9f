#!/usr/bin/env python3
"""Independent reference for the minimal perfect hash's evaluation and images.

Written from the format description alone (it shares no code with the C++
library). It lays out hand-assembled tables as "MPH3", "MPH2" and "MPH1"
images byte by byte, evaluates probe hashes on them, and writes the results
as a C++ include file for the GoogleTest suite:

    python3 tests/reference/mphf_reference.py > tests/cpp/mphf_fixtures.inc
"""

import random
import struct

M64 = (1 << 64) - 1
PHI = 0x9E3779B97F4A7C15


def fin(x):
    x ^= x >> 30
    x = (x * 0xBF58476D1CE4E5B9) & M64
    x ^= x >> 27
    x = (x * 0x94D049BB133111EB) & M64
    x ^= x >> 31
    return x


def splitmix64(z):
    return fin((z + PHI) & M64)


def rng(x, n):
    return (x * n) >> 64


def rotl(x, r):
    r %= 64
    return ((x << r) | (x >> (64 - r))) & M64 if r else x


def header_checksum(data):
    h = 0xCBF29CE484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001B3) & M64
    return fin(h) & 0xFFFFFFFF


def log2_floor(v):
    return v.bit_length() - 1


def ceil_div(a, b):
    return -(-a // b)


# ---------------------------------------------------------------------------
# Elias-Fano remap, as the format describes it.


def ef_put(low, high, j, v, w):
    """Entry j of value v in an Elias-Fano list of width w: its w low bits
    packed at bit j·w of `low`, bit (v >> w) + j set in `high`; returns that bit."""
    for bit in range(w):
        if (v >> bit) & 1:
            pos = j * w + bit
            low[pos >> 6] |= 1 << (pos & 63)
    p = (v >> w) + j
    high[p >> 6] |= 1 << (p & 63)
    return p


def remap_encode(values, n):
    t = len(values)
    if t == 0:
        return dict(w=0, low=[], high=[], s32=[], s16=[])
    w = log2_floor(max(n // t, 1))
    b = t + ((n - 1) >> w)
    low = [0] * ceil_div(t * w, 64)
    high = [0] * (ceil_div(b, 64) + 4)
    s32 = [0] * ceil_div(t, 2048)
    s16 = [0] * ceil_div(t, 64)
    for j, v in enumerate(values):
        p = ef_put(low, high, j, v, w)
        if j % 2048 == 0:
            assert p <= 0xFFFFFFFF
            s32[j >> 11] = p
        if j % 64 == 0:
            d = p - s32[j >> 11]
            assert d <= 0xFFFF
            s16[j >> 6] = d
    return dict(w=w, low=low, high=high, s32=s32, s16=s16)


# ---------------------------------------------------------------------------
# Tables.


class Level:
    def __init__(self, slots, buckets, window, seeds):
        assert len(seeds) == buckets
        self.slots, self.buckets, self.window, self.seeds = slots, buckets, window, seeds


class Table:
    """A V2 table: level 0 (optional), further levels, tail, remap entries."""

    def __init__(self, n, level0, levels, tail_keys, pilots, tail_slots, tail_seed, entries, geometry):
        self.n, self.level0, self.levels = n, level0, levels
        self.k, self.pilots, self.m, self.tail_seed = tail_keys, pilots, tail_slots, tail_seed
        self.entries, self.geometry = entries, geometry
        self.T = sum(l.slots for l in levels) + tail_slots
        assert len(entries) == self.T
        assert all(v < n for v in entries) and entries == sorted(entries)

    def all_levels(self):
        return ([self.level0] if self.level0 else []) + self.levels


def shift_of(window, mode_bits):
    if mode_bits == 2:
        return log2_floor(window // 64)
    return log2_floor(min(max(window >> 8, 1), 2))


def level_slot(level, mode_bits, x, c):
    s = shift_of(level.window, mode_bits)
    off = c & ((1 << (8 - mode_bits)) - 1)
    rot = 8 * (c >> (8 - mode_bits))
    pos = (((x >> rot) + (off << s)) & M64) & (level.window - 1)
    slot = rng(x, level.slots) + pos
    wrap = slot >= level.slots
    if wrap:
        slot -= level.slots
    return slot, wrap


def v2_eval(t, h):
    """(id, category) of key hash h."""
    d = 2 if t.geometry else 0
    if t.level0:
        c = t.level0.seeds[rng(h, t.level0.buckets)]
        if c:
            slot, wrap = level_slot(t.level0, d, h, c)
            return slot, "l0wrap" if wrap else "l0"
    base = 0
    for k, level in enumerate(t.levels, start=1):
        x = splitmix64(h ^ ((k * PHI) & M64))
        c = level.seeds[rng(x, level.buckets)]
        if c:
            slot, wrap = level_slot(level, d, x, c)
            return t.entries[base + slot], ("wrap%d" if wrap else "l%d") % k
        base += level.slots
    if not t.pilots:
        return 0, "none"
    x = splitmix64(h ^ t.tail_seed)
    p = t.pilots[rng(x, len(t.pilots))]
    b = base + rng(splitmix64((x + p * PHI) & M64), t.m)
    return t.entries[b], "tail"


def v2_head_and_seeds(t, magic, version, geometry, word56):
    """The header shared by "MPH3" and "MPH2", and the seed bytes and pilots
    that open both bodies."""
    levels = t.all_levels()
    head = bytearray(magic) + struct.pack("<HBB", version, geometry, 0)
    head += struct.pack("<QQQQQQQ", t.n, len(levels), t.k, len(t.pilots), t.m, t.tail_seed, word56)
    for l in levels:
        head += struct.pack("<QQQ", l.slots, l.buckets, l.window)
    head += struct.pack("<I", header_checksum(head))
    body = bytearray(b"".join(bytes(l.seeds) for l in levels))
    body += b"".join(struct.pack("<H", p) for p in t.pilots)
    return head, body


def mph3_image(t):
    r = remap_encode(t.entries, t.n)
    head, body = v2_head_and_seeds(t, b"MPH3", 3, 2 if t.geometry else 0, r["w"])
    body += b"".join(struct.pack("<Q", v) for v in r["low"])
    body += b"".join(struct.pack("<Q", v) for v in r["high"][:-4])
    body += b"".join(struct.pack("<I", v) for v in r["s32"])
    body += b"".join(struct.pack("<H", v) for v in r["s16"])
    return bytes(head + body)


def mph2_image(t, occupied, holes, junk):
    """An older image of table t (geometry 0) whose further slots in
    `occupied` hold keys sent to `holes` (ascending)."""
    assert not t.geometry
    x = len(holes)
    head, body = v2_head_and_seeds(t, b"MPH2", 2, 0, x)
    bitmap = [0] * ceil_div(t.T, 64)
    for j in occupied:
        bitmap[j >> 6] |= 1 << (j & 63)
    body += b"".join(struct.pack("<Q", v) for v in bitmap)
    body += b"".join(struct.pack("<I", junk.getrandbits(32)) for _ in range(ceil_div(t.T, 512)))
    wh = log2_floor(max(t.n // x, 1)) if x else 0
    low = [0] * ceil_div(x * wh, 64)
    high = [0] * (ceil_div((t.n >> wh) + x + 1, 64) if x else 0)
    for i, hv in enumerate(holes):
        ef_put(low, high, i, hv, wh)
    body += b"".join(struct.pack("<Q", v) for v in low)
    body += b"".join(struct.pack("<Q", v) for v in high)
    body += b"".join(struct.pack("<I", junk.getrandbits(32)) for _ in range(ceil_div(x, 128)))
    return bytes(head + body)


def mph2_entries(T, occupied, holes):
    entries, g, taken = [], 0, 0
    occ = set(occupied)
    for j in range(T):
        if j in occ:
            g = holes[taken]
            taken += 1
        entries.append(g)
    assert taken == len(holes)
    return entries


# ---------------------------------------------------------------------------
# The legacy form.

V1_M = [0x6A09E667F3BCC909, 0xBB67AE8584CAA73B, 0x3C6EF372FE94F82B, 0xA54FF53A5F1D36F1]


class V1:
    def __init__(self, n, parts, bpp, spp, stride, skew, seed, part_seeds, seed_bytes, bases, entries):
        self.n, self.parts, self.bpp, self.spp, self.stride, self.skew, self.seed = n, parts, bpp, spp, stride, skew, seed
        self.total = parts * stride
        self.part_seeds, self.seed_bytes, self.bases, self.entries = part_seeds, seed_bytes, bases, entries

    def image(self):
        head = bytearray(b"MPH1") + struct.pack("<HH", 1, 0)
        head += struct.pack("<QQQQQQQQ", self.n, self.total, self.parts, self.bpp, self.spp, self.stride, self.skew, self.seed)
        head += struct.pack("<I", header_checksum(head))
        body = b"".join(struct.pack("<Q", s) for s in self.part_seeds) + bytes(self.seed_bytes)
        body += b"".join(struct.pack("<I", b) for b in self.bases) + b"".join(struct.pack("<H", e) for e in self.entries)
        return bytes(head + body)

    def eval(self, h):
        e = ((h ^ self.seed) * V1_M[0]) & M64
        p = rng(e, self.parts)
        r = rotl(e, 17)
        if self.skew == 0:
            q, cat = rng(r, self.bpp), "plain"
        elif r < 0x9999999999999999:
            q, cat = rng(self.skew, rotl(e, 40)), "skewlow"
        else:
            q, cat = self.skew + rng(self.bpp - self.skew, rotl(e, 40)), "skewhigh"
        c = self.seed_bytes[p * self.bpp + q]
        slot = p * self.stride + (c & 63) + rng(((h ^ self.part_seeds[p]) * V1_M[c >> 6]) & M64, self.spp)
        if slot < self.n:
            return slot, cat + "-direct"
        i = slot - self.n
        return self.bases[i >> 8] + self.entries[i], cat + "-remapped"


# ---------------------------------------------------------------------------
# Fixtures.


def seeds(r, count, zero_share):
    return [0 if r.random() < zero_share else r.randrange(1, 256) for _ in range(count)]


def sorted_entries(r, count, n):
    return sorted(r.randrange(n) for _ in range(count))


def probes(count):
    return [splitmix64(i) for i in range(count)]


def make_fixtures():
    r = random.Random(20261210)
    fx = {}

    # Geometry 2, level 0, two further levels (one narrow), a tail.
    n = 1000
    l0 = Level(n, 223, 512, seeds(r, 223, 0.3))
    l1 = Level(80, 18, 64, seeds(r, 18, 0.3))
    l2 = Level(64, 15, 64, seeds(r, 15, 0.4))
    t = Table(n, l0, [l1, l2], 7, [12345, 7], 8, splitmix64(0x7A115EED00000000), sorted_entries(r, 152, n), True)
    fx["full"] = t
    # The same levels without a tail.
    fx["notail"] = Table(n, l0, [l1, l2], 0, [], 0, 0, t.entries[:144], True)
    # The widest built window on level 0.
    n = 3000
    fx["fast"] = Table(n, Level(n, 667, 1024, seeds(r, 667, 0.1)), [Level(300, 67, 256, seeds(r, 67, 0.2))], 20,
                       [r.randrange(65536) for _ in range(4)], 21, splitmix64(0x7A115EED00000001),
                       sorted_entries(r, 321, n), True)
    # A small set: no level at all, the tail alone.
    fx["tailonly"] = Table(10, None, [], 10, [3, 40000], 11, splitmix64(0x7A115EED00000000),
                           sorted_entries(r, 11, 10), True)
    # Geometry 0 (older tables): no mode bits, shifts 0 and 1.
    n = 1000
    fx["geom0"] = Table(n, Level(n, 223, 512, seeds(r, 223, 0.3)),
                        [Level(100, 23, 32, seeds(r, 23, 0.3)), Level(600, 134, 512, seeds(r, 134, 0.3))], 3, [99], 4,
                        0x1234567890ABCDEF, sorted_entries(r, 704, n), False)
    return fx


def cxx_array(ctype, name, values, per_line, fmt):
    out = ["static const %s %s[%d] = {" % (ctype, name, max(len(values), 1))]
    for i in range(0, len(values), per_line):
        out.append("  " + ", ".join(fmt % v for v in values[i : i + per_line]) + ",")
    if not values:
        out.append("  0,")
    out.append("};")
    return "\n".join(out)


def cxx_bytes(name, data):
    return cxx_array("unsigned char", name, list(data), 20, "0x%02x")


def cxx_u64s(name, values):
    return cxx_array("std::uint64_t", name, values, 4, "0x%016xULL")


CATEGORY_CODES = {
    "l0": "0", "l0wrap": "W", "l1": "1", "l2": "2", "wrap1": "a", "wrap2": "b", "tail": "t", "none": "n",
    "plain-direct": "D", "plain-remapped": "R", "skewlow-direct": "l", "skewlow-remapped": "L",
    "skewhigh-direct": "h", "skewhigh-remapped": "H",
}


def emit_probes(lines, name, pairs):
    """Expected ids of the probe hashes splitmix64(0), splitmix64(1), ...,
    and one category letter per probe (which path the evaluation took)."""
    lines.append("static const std::uint32_t %s_IDS[%d] = {" % (name, len(pairs)))
    for i in range(0, len(pairs), 16):
        lines.append("  " + ", ".join(str(v) for _, v, _ in pairs[i : i + 16]) + ",")
    lines.append("};")
    cats = "".join(CATEGORY_CODES[c] for _, _, c in pairs)
    lines.append("static const char %s_PATHS[] =" % name)
    for i in range(0, len(cats), 100):
        lines.append('  "%s"' % cats[i : i + 100])
    lines.append(";")


def emit_table(lines, name, t):
    for idx, l in enumerate(t.all_levels()):
        lines.append(cxx_bytes("%s_SEEDS%d" % (name, idx), l.seeds))
    lines.append(cxx_u64s("%s_PILOTS" % name, t.pilots))
    lines.append(cxx_u64s("%s_ENTRIES" % name, t.entries))
    shapes = ", ".join("{%d, %d, %d, %s_SEEDS%d}" % (l.slots, l.buckets, l.window, name, i)
                       for i, l in enumerate(t.all_levels()))
    lines.append("static const TableSpec %s_SPEC = {%d, %s, {%s}, %d, %d, %d, 0x%016xULL, %s_PILOTS, %s_ENTRIES, %d, %s};"
                 % (name, t.n, "true" if t.level0 else "false", shapes, len(t.all_levels()), t.k, t.m,
                    t.tail_seed, name, name, len(t.pilots), "true" if t.geometry else "false"))


def main():
    fx = make_fixtures()
    lines = ["// Generated by tests/reference/mphf_reference.py; do not edit.", ""]
    for name, t in fx.items():
        up = name.upper()
        emit_table(lines, up, t)
        lines.append(cxx_bytes("%s_MPH3" % up, mph3_image(t)))
        pairs = [(h, *v2_eval(t, h)) for h in probes(3000)]
        emit_probes(lines, up, pairs)
        lines.append("")

    # "MPH2": the geometry-0 table's shape, an occupancy bitmap and holes.
    r = random.Random(7)
    g = fx["geom0"]
    occupied = sorted(r.sample(range(g.T), 150))
    holes = sorted(r.sample(range(g.n), 150))
    old = Table(g.n, g.level0, g.levels, g.k, g.pilots, g.m, g.tail_seed, mph2_entries(g.T, occupied, holes), False)
    lines.append(cxx_bytes("MPH2_IMAGE", mph2_image(old, occupied, holes, r)))
    lines.append(cxx_bytes("MPH2_AS_MPH3", mph3_image(old)))
    emit_probes(lines, "MPH2", [(h, *v2_eval(old, h)) for h in probes(3000)])
    # An "MPH2" whose first occupied slot comes late: the free slots before it get 0.
    occupied = list(range(5, g.T, 7))
    holes = sorted(r.sample(range(g.n), len(occupied)))
    old = Table(g.n, g.level0, g.levels, g.k, g.pilots, g.m, g.tail_seed, mph2_entries(g.T, occupied, holes), False)
    assert old.entries[:5] == [0] * 5
    lines.append(cxx_bytes("MPH2_LATE_IMAGE", mph2_image(old, occupied, holes, r)))
    emit_probes(lines, "MPH2_LATE", [(h, *v2_eval(old, h)) for h in probes(3000)])
    lines.append("")

    # "MPH1": three parts with a skew boundary, and one part without.
    for name, skew, parts in (("MPH1", 2, 3), ("MPH1_NOSKEW", 0, 1)):
        n, bpp, spp, stride = 300 if parts == 3 else 100, 5, 50, 128
        total = parts * stride
        rr = total - n
        bases = [r.randrange(n // 2) for _ in range(ceil_div(rr, 256))]
        entries = [r.randrange(n - bases[i >> 8]) for i in range(rr)]
        v = V1(n, parts, bpp, spp, stride, skew, r.getrandbits(64), [r.getrandbits(64) for _ in range(parts)],
               [r.randrange(256) for _ in range(parts * bpp)], bases, entries)
        lines.append(cxx_bytes("%s_IMAGE" % name, v.image()))
        hashes = probes(3000)
        if skew:
            # The hash whose rotated product is exactly the 60% boundary goes up.
            e = rotl(0x9999999999999999, 64 - 17)
            h = ((e * pow(V1_M[0], -1, 1 << 64)) & M64) ^ v.seed
            assert rotl(((h ^ v.seed) * V1_M[0]) & M64, 17) == 0x9999999999999999
            lines.append("static const std::uint64_t MPH1_BOUNDARY_HASH = 0x%016xULL;" % h)
            lines.append("static const std::uint64_t MPH1_BOUNDARY_ID = %d;" % v.eval(h)[0])
            assert v.eval(h)[1].startswith("skewhigh")
        emit_probes(lines, name, [(h, *v.eval(h)) for h in hashes])
        lines.append("")

    # Empty images.
    empty = Table(0, None, [], 0, [], 0, 0, [], True)
    lines.append(cxx_bytes("EMPTY_MPH3", mph3_image(empty)))
    lines.append(cxx_bytes("EMPTY_MPH3_GEOM0", mph3_image(Table(0, None, [], 0, [], 0, 0, [], False))))
    lines.append(cxx_bytes("EMPTY_MPH1", V1(0, 0, 0, 0, 0, 0, 0xDEADBEEF, [], [], [], []).image()))

    # The remap's sampled layout for some sequences: (n, values) -> words.
    r = random.Random(11)
    remaps = []
    for count, n in ((3, 8), (64, 1000), (65, 65), (2049, 100000), (2100, 2100), (700, 300000)):
        remaps.append((n, sorted_entries(r, count, n)))
    for i, (n, values) in enumerate(remaps):
        e = remap_encode(values, n)
        lines.append(cxx_u64s("REMAP%d_VALUES" % i, values))
        lines.append(cxx_u64s("REMAP%d_LOW" % i, e["low"]))
        lines.append(cxx_u64s("REMAP%d_HIGH" % i, e["high"]))
        lines.append(cxx_u64s("REMAP%d_S32" % i, e["s32"]))
        lines.append(cxx_u64s("REMAP%d_S16" % i, e["s16"]))
    lines.append("static const RemapSpec REMAPS[] = {")
    for i, (n, values) in enumerate(remaps):
        e = remap_encode(values, n)
        lines.append("  {%d, %d, %d, REMAP%d_VALUES, REMAP%d_LOW, %d, REMAP%d_HIGH, %d, REMAP%d_S32, %d, REMAP%d_S16, %d},"
                     % (n, len(values), e["w"], i, i, len(e["low"]), i, len(e["high"]), i, len(e["s32"]), i, len(e["s16"])))
    lines.append("};")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
