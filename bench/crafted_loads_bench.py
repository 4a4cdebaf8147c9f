"""Crafted blobs against the memory line, and refusals against real loads, by hand.

    .venv/bin/python bench/crafted_loads_bench.py [--base PYTHON] [--runs R] [--only CASES] [--dict BLOB]

Every load runs in a fresh interpreter, which reads its peak resident size
(VmHWM in /proc/self/status) against what it had resident before reading the
blob: a load and its first query may grow it by at most 8 times the blob's
bytes and 50 MB (the memory line). Given --base (the interpreter of another
build, main's for "before"), each load runs alternately under both, R times
(3), and the medians and their ratio are printed with the load average. The
cases, written into a temporary directory:

  mph2      an "MPH2" image over one key whose bitmap fills 10.6 MB (85
            million further slots), in a PerfectHashIndex (every level), a
            ClosedHashIndex, a CompactHashIndex, an Overlay over the first,
            and `dump` of the first;
  route     one-key microblocks of a width-1 packed alphabet, 50,001 blocks of
            1,024, as much block data as the former bound asked (5.7 MB);
            then blobs of 6 MB of block data at the present bound, one-key
            microblocks and two-key ones: every level, then route_microblocks();
  walk      a header claiming 2.3 million blocks of 1,024 microblocks over 2.3
            MB of heads and no block data (2.36 MB): every level, beside a
            real dictionary of about that size loaded at the same level (warm
            loads: the median of 9 after the first in each process);
  side      per hash kind, 24 MB of side records (ids the tail of n, as
            they must be) behind a count that disagrees with n (the arena's,
            the fingerprint table's, the hash image's, the dictionary's):
            every level, beside a real blob of that kind loaded at the same
            level (real perfect-hash and hashed-dictionary blobs of about
            the same size; keyless ones of 8 million keys);
  overlay   a builder-written overlay of 13.3 million additions of 4
            characters (106 MB), and one whose header claims 12.6 million
            additions that repeat the first, just past 3/4 of a table of
            2^24 slots (50 MB);
  dict      with --dict BLOB, `DictIndex.from_bytes` of a real blob (1 GB).

There is no peer: these blobs are this library's own format.
"""
import argparse
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "reference"))
from keyless_ref import payload_checksum  # noqa: E402
from mphf_reference import header_checksum  # noqa: E402

MB = 1e6

CHILD = """
import os, sys, time
def vm(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
from quorvale._core import (ClosedHashIndex, CompactHashIndex, DictIndex, HashedDictIndex, Overlay, PerfectHashIndex,
                             StringIndex, _cli)
path = sys.argv[1]
before = vm("VmRSS")
t0 = time.perf_counter()
try:
    blob = open(path, "rb").read() if "blob" in sys.argv[2] else None
    t0 = time.perf_counter()
    x = eval(sys.argv[2])
    answer = eval(sys.argv[3])
except ValueError as e:
    answer = str(e)
t = time.perf_counter() - t0
grown = vm("VmHWM") - before
warm = []
for _ in range(int(sys.argv[4])):  # the same load again, warm: its median
    t0 = time.perf_counter()
    try:
        eval(sys.argv[2])
    except ValueError:
        pass
    warm.append(time.perf_counter() - t0)
if warm:
    t = sorted(warm)[len(warm) // 2]
sys.stdout.flush()
print("\\n@@", repr(answer), t, grown)
"""


def run(python, path, load, query, warm=0):
    out = subprocess.run([python, "-c", CHILD, path, load, query, str(warm)], capture_output=True, text=True)
    if out.returncode != 0:
        raise SystemExit(f"{python} {load}: {out.stderr}")
    line = out.stdout.rsplit("@@", 1)[1].split()
    grown = int(line[-1])
    return " ".join(line[:-2]), float(line[-2]), grown


def loadavg():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def measure(pythons, runs, path, load, query, warm=0):
    """{name: (answer, median seconds, median growth)} over alternating runs;
    the seconds of the first load in a fresh process, or with `warm` the
    median of that many loads after it."""
    got = {name: [] for name in pythons}
    for _ in range(runs):
        for name, python in pythons.items():
            got[name].append(run(python, path, load, query, warm))
    return {name: (r[0][0], statistics.median(x[1] for x in r), statistics.median(x[2] for x in r))
            for name, r in got.items()}


def report(title, size, results, real=None):
    line = 8 * size + 50 * 2**20
    print(f"  {title}  (blob {size / MB:.2f} MB, line {line / MB:.0f} MB, load {loadavg()})")
    for name, (answer, secs, grown) in results.items():
        extra = f", {secs / real:.1f}x the real load" if real else ""
        print(f"    {name:<6} peak +{grown / MB:8.1f} MB ({grown / line:5.2f} of the line), "
              f"{secs * 1e3:9.1f} ms{extra}: {answer[:90]}")
    if len(results) == 2:
        (_, (_, s0, g0)), (_, (_, s1, g1)) = results.items()
        print(f"    ratio (this / base): peak {g1 / max(g0, 1):.3f}, time {s1 / max(s0, 1e-9):.3f}")


# ---- blobs --------------------------------------------------------------------


def mph2_wide(slots):
    """An "MPH2" image over one key whose level 0 bumps every hash to a level
    of `slots` slots; slot 0 takes the only hole, 0."""
    head = bytearray(b"MPH2") + struct.pack("<HBB", 2, 0, 0)
    head += struct.pack("<QQQQQQQ", 1, 2, 0, 0, 0, 0, 1)
    head += struct.pack("<QQQQQQ", 1, 1, 1, slots, 1, 1)
    head += struct.pack("<I", header_checksum(bytes(head)))
    body = bytearray([0, 1])
    body += struct.pack("<Q", 1) + bytes(8 * (-(-slots // 64) - 1)) + bytes(4 * -(-slots // 512))
    body += struct.pack("<Q", 1) + bytes(4)
    return bytes(head + body)


def with_image(blob, image, header_len, len_at, payload_at):
    """An image holder's blob with its image replaced, resealed."""
    old = struct.unpack_from("<Q", blob, len_at)[0]
    b = bytearray(blob[:header_len]) + image + blob[header_len + old:]
    struct.pack_into("<Q", b, len_at, len(image))
    struct.pack_into("<Q", b, payload_at, payload_checksum(bytes(b[header_len:])))
    struct.pack_into("<I", b, header_len - 4, header_checksum(bytes(b[:header_len - 4])))
    return bytes(b)


def packed(values, width):
    bits = 0
    for i, v in enumerate(values):
        bits |= v << (i * width)
    return bits.to_bytes(-(-len(values) * width // 8), "little") + bytes(8)


def dict_blob(heads, block, micro, data, codec):
    """A "BDX3" blob of the given heads (its block count), blocks of `block`
    keys in microblocks of `micro`, `data` zero bytes of block data with every
    block and micro offset 0, one shard with `codec` and all-zero codes."""
    y = len(heads)
    j = -(-block // micro)
    u = 0 if j == 1 else j * y
    ends, at = [], 0
    for h in heads:
        at += len(h)
        ends.append(at)
    width = max(1, max(ends[i] - ends[i & ~63] for i in range(y)).bit_length())
    samples = b"".join(struct.pack("<Q", ends[i]) for i in range(0, y, 64))
    body = b"".join(heads) + samples + packed([ends[i] - ends[i & ~63] for i in range(y)], width)
    body += bytes(data)
    tables = struct.pack("<I", len(codec)) + codec
    body += tables + bytes(14) + bytes(4)  # one pair of all-zero field codes, no phrases
    body += struct.pack("<Q", 0) * -(-y // 64) + bytes(8)  # block offsets: width 0
    body += bytes(8) if u else b""  # micro offsets: width 0
    h = bytearray(b"BDX3") + struct.pack("<QIQQI", y * block, block, len(b"".join(heads)), data, len(tables))
    h += struct.pack("<Q", payload_checksum(body))
    h += struct.pack("<BBBBHHIHIIH", width, 0, 6, 0, micro, 65535, 14, 0, 4, 0, 0)
    h += struct.pack("<I", header_checksum(bytes(h)))
    assert len(h) == 72
    return bytes(h) + body


SYMBOLS = bytes([0, 0])  # an empty symbol table
BITS = bytes([1, 1, 1, 0]) + b"ab"  # a packed alphabet of width 1: a and b


def ascending(y, width=3):
    return [i.to_bytes(width, "big") for i in range(y)]


def walk_heavy(y, block):
    """`y` heads that are all empty but the first (head ends of width 0 at one
    sample), every offset 0, no block data: what a verified load walks is
    y blocks of `block` one-key microblocks."""
    shards = -(-y // 65535)
    h = bytearray(b"BDX3") + struct.pack("<QIQQI", y * block, block, y, 0, 6 * shards)
    body = bytes(y) + struct.pack("<Q", y) + bytes(8)  # heads; head ends: one sample, width 0
    body += (struct.pack("<I", 2) + SYMBOLS) * shards + bytes(14 * shards) + bytes(4)
    body += bytes(16) + bytes(8)  # block offsets, micro offsets
    h += struct.pack("<Q", payload_checksum(body))
    h += struct.pack("<BBBBHHIHIIH", 0, 0, 31, 0, 1, 65535, 14 * shards, 0, 4, 0, 0)
    h += struct.pack("<I", header_checksum(bytes(h)))
    return bytes(h) + body


# ---- cases --------------------------------------------------------------------


def case_mph2(pythons, runs, tmp):
    from quorvale._core import CompactHashIndex, Overlay, PerfectHashIndex
    image = mph2_wide(85_000_000)
    perfect = with_image(PerfectHashIndex(["a"]).to_bytes(), image, 36, 12, 24)
    closed = with_image(b"BCL2" + struct.pack("<QQIQI", 1, 0, 0, 0, 0), image, 36, 12, 24)
    compact = with_image(CompactHashIndex(["a"]).to_bytes(), image, 40, 16, 28)
    o = bytearray(Overlay(PerfectHashIndex(["a"])).to_bytes())
    base_len = struct.unpack_from("<Q", o, 5)[0]
    o[49:49 + base_len] = perfect
    struct.pack_into("<Q", o, 5, len(perfect))
    struct.pack_into("<Q", o, 37, payload_checksum(bytes(o[49:])))
    struct.pack_into("<I", o, 45, header_checksum(bytes(o[:45])))
    print("mph2: an older image whose bitmap fills the blob, one key")
    for name, blob, loads, query in [
            ("perfect", perfect, ["PerfectHashIndex.from_bytes(blob)", "PerfectHashIndex.load(path)",
                                  "PerfectHashIndex.load_mmap(path)", "PerfectHashIndex.load_mmap_verified(path)"],
             "x.id('a')"),
            ("closed", closed, ["ClosedHashIndex.from_bytes(blob)", "ClosedHashIndex.load(path)"], "x.id('a')"),
            ("compact", compact, ["CompactHashIndex.from_bytes(blob)", "CompactHashIndex.load_mmap(path)"],
             "x.id('a')"),
            ("overlay", bytes(o), ["Overlay.from_bytes(blob, PerfectHashIndex)"], "x.id('a')"),
            ("perfect", perfect, ["_cli(['dump', path])"], "x")]:
        path = os.path.join(tmp, name + ".bin")
        with open(path, "wb") as f:
            f.write(blob)
        for load in loads:
            report(load, len(blob), measure(pythons, runs, path, load, query))


def case_route(pythons, runs, tmp):
    print("route: route words of crafted dictionaries (every level, then route_microblocks())")
    y = 50_001
    former = dict_blob(ascending(y), 1024, 1, -(-(y - 1) * 1024 // 9), BITS)
    now_one = dict_blob(ascending(3_001), 1024, 1, 3_000 * 2046, BITS)
    now_two = dict_blob(ascending(5_301), 1024, 2, 5_300 * 1150, BITS)
    for name, blob in [("one-key microblocks at the former bound", former),
                       ("one-key microblocks at the present bound", now_one),
                       ("two-key microblocks at the present bound", now_two)]:
        path = os.path.join(tmp, "route.bin")
        with open(path, "wb") as f:
            f.write(blob)
        print(f" {name}")
        for load in ["DictIndex.from_bytes(blob)", "DictIndex.load(path)", "DictIndex.load_mmap(path)",
                     "DictIndex.load_mmap_verified(path)"]:
            report(load, len(blob), measure(pythons, runs, path, load, "x.route_microblocks()"))


def case_walk(pythons, runs, tmp):
    from quorvale._core import DictIndex
    print("walk: a header claiming far more microblocks than its blob holds, beside a real dictionary")
    crafted = walk_heavy(2_300_000, 1024)
    n, real = 400_000, b""
    while abs(len(real) - len(crafted)) > len(crafted) * 0.03:  # decimal keys, as many as make its size
        if real:
            n = int(n * len(crafted) / len(real))
        real = DictIndex([f"key-{i * 7919}" for i in range(n)], 256).to_bytes()
    paths = {}
    for name, blob in (("crafted", crafted), ("real", real)):
        paths[name] = os.path.join(tmp, name + ".bin")
        with open(paths[name], "wb") as f:
            f.write(blob)
    for load in ["DictIndex.from_bytes(blob)", "DictIndex.load(path)", "DictIndex.load_mmap(path)",
                 "DictIndex.load_mmap_verified(path)"]:
        # Times of warm loads (the median of 9 after the first): a first
        # load in a fresh process is mostly its page faults.
        r = measure(pythons, runs, paths["real"], load, "len(x)", warm=9)
        report(f"{load}, real ({len(real) / MB:.2f} MB)", len(real), r)
        reals = {name: v[1] for name, v in r.items()}
        c = measure(pythons, runs, paths["crafted"], load, "len(x)", warm=9)
        print(f"  {load}, crafted (blob {len(crafted) / MB:.2f} MB, load {loadavg()})")
        for name, (answer, secs, grown) in c.items():
            print(f"    {name:<6} {secs * 1e3:9.1f} ms, {secs / reals[name]:8.1f}x the real load, "
                  f"peak +{grown / MB:.1f} MB: {answer[:80]}")


def side_heavy(kind, records):
    """A three-key blob of `kind` given `records` side records, ids (ranks)
    the tail of n = records + 1, so that the count the kind checks after its
    side ids disagrees with n; both checksums right."""
    import numpy as np
    from quorvale._core import ClosedHashIndex, CompactHashIndex, DictIndex, HashedDictIndex, PerfectHashIndex
    rng = np.random.default_rng(7)
    keys = ["a", "b", "c"]
    fields = [("a", "<u8"), ("b", "<u8"), ("id", "<u4")]
    if kind == "perfect":
        small, head, at_count, sums = PerfectHashIndex(keys).to_bytes(), 36, 20, (24, 32)
        fields = [("a", "<u8"), ("id", "<u4")]
    elif kind == "compact":
        small, head, at_count, sums = CompactHashIndex(keys).to_bytes(), 40, 24, (28, 36)
    elif kind == "closed":
        small, head, at_count, sums = ClosedHashIndex(keys).to_bytes(), 36, 20, (24, 32)
    else:
        small, head, at_count, sums = HashedDictIndex.from_dict(DictIndex(keys), 8).to_bytes(), 48, 32, (36, 44)
        fields = [("a", "<u8"), ("b", "<u8"), ("id", "<u8")]
        bits, d, j = struct.unpack_from("<IQQ", small, 12)
        small = small[:48 + d + j] + bytes((bits + records.bit_length() + 7) // 8)
        head += d
    side = np.zeros(records, dtype=fields)
    for name, _ in fields[:-1]:
        side[name] = rng.integers(0, 2**63, records, dtype=np.uint64)
    side["id"] = np.arange(1, records + 1)
    b = bytearray(small) + side.tobytes()
    struct.pack_into("<Q", b, 4, records + 1)
    struct.pack_into("<I", b, at_count, records)
    struct.pack_into("<Q", b, sums[0], payload_checksum(bytes(b[head:])))
    struct.pack_into("<I", b, sums[1], header_checksum(bytes(b[:sums[1]])))
    return bytes(b)


def case_side(pythons, runs, tmp):
    from quorvale._core import ClosedHashIndex, CompactHashIndex, DictIndex, HashedDictIndex, PerfectHashIndex
    print("side: 24 MB of side records behind a count that disagrees, beside a real blob of the kind")
    levels = ["from_bytes(blob)", "load(path)", "load_mmap(path)", "load_mmap_verified(path)"]
    keys = [f"k{i:09d}" for i in range(8_000_000)]
    for kind, cls, record, real in [
            ("perfect", "PerfectHashIndex", 12, lambda: PerfectHashIndex(keys[:2_000_000]).to_bytes()),
            ("compact", "CompactHashIndex", 20, lambda: CompactHashIndex(keys).to_bytes()),
            ("closed", "ClosedHashIndex", 20, lambda: ClosedHashIndex(keys).to_bytes()),
            ("dict", "HashedDictIndex", 24, lambda: HashedDictIndex.from_dict(DictIndex(keys[:4_000_000]), 8).to_bytes())]:
        paths = {}
        for name, blob in (("crafted", side_heavy(kind, 24_000_000 // record)), ("real", real())):
            paths[name] = os.path.join(tmp, name + ".bin")
            with open(paths[name], "wb") as f:
                f.write(blob)
        for level in levels[:2] if kind == "closed" else levels:
            load = f"{cls}.{level}"
            r = measure(pythons, runs, paths["real"], load, "len(x)", warm=9)
            report(f"{load}, real ({os.path.getsize(paths['real']) / MB:.2f} MB)", os.path.getsize(paths["real"]), r)
            reals = {name: v[1] for name, v in r.items()}
            c = measure(pythons, runs, paths["crafted"], load, "len(x)", warm=9)
            report(f"{load}, crafted", os.path.getsize(paths["crafted"]), c)
            for name, (_, secs, _) in c.items():
                print(f"    {name:<6} the refusal takes {secs / reals[name]:.1f}x the real load")


def case_overlay(pythons, runs, tmp):
    from quorvale._core import Overlay, StringIndex
    print("overlay: the additions table of a loaded overlay")
    o = Overlay(StringIndex(["zzzz"]))
    alphabet = [chr(c) for c in range(33, 127)]
    for a in alphabet:
        for b in alphabet:
            for c in alphabet:
                for d in alphabet[:16]:
                    o.add(a + b + c + d)
    built = o.to_bytes()
    del o
    head = bytearray(Overlay(StringIndex(["zzzz"])).to_bytes())
    base_len = struct.unpack_from("<Q", head, 5)[0]
    n = 3 * 2**22 + 1
    claim = bytearray(head[:49 + base_len]) + bytes(4 * n)
    struct.pack_into("<QQQ", claim, 13, n, 4 * n, 0)
    struct.pack_into("<Q", claim, 37, payload_checksum(bytes(claim[49:])))
    struct.pack_into("<I", claim, 45, header_checksum(bytes(claim[:45])))
    for name, blob in (("13.3 million additions, builder-written", built),
                       ("12.6 million claimed, the second repeating the first", bytes(claim))):
        path = os.path.join(tmp, "overlay.bin")
        with open(path, "wb") as f:
            f.write(blob)
        report(name, len(blob), measure(pythons, runs, path, "Overlay.from_bytes(blob, StringIndex)", "len(x)"))


def case_dict(pythons, runs, path):
    size = os.path.getsize(path)
    print(f"dict: DictIndex.from_bytes of {path} ({size / 1e9:.2f} GB)")
    for warm, what in ((0, "the first load in a fresh process"), (3, "warm: the median of 3 after the first")):
        report(f"DictIndex.from_bytes(blob), {what}", size,
               measure(pythons, runs, path, "DictIndex.from_bytes(blob)", "len(x)", warm))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--base", help="the interpreter of the build to compare with")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--only", default="mph2,route,walk,side,overlay,dict")
    ap.add_argument("--dict", help="a real dictionary blob for the dict case")
    a = ap.parse_args()
    pythons = {"base": a.base} if a.base else {}
    pythons["this"] = sys.executable
    only = a.only.split(",")
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR")) as tmp:
        if "mph2" in only:
            case_mph2(pythons, a.runs, tmp)
        if "route" in only:
            case_route(pythons, a.runs, tmp)
        if "walk" in only:
            case_walk(pythons, a.runs, tmp)
        if "side" in only:
            case_side(pythons, a.runs, tmp)
        if "overlay" in only:
            case_overlay(pythons, a.runs, tmp)
    if "dict" in only and a.dict:
        case_dict(pythons, a.runs, a.dict)


if __name__ == "__main__":
    main()
