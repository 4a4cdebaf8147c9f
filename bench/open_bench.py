"""Opening a saved index: `load_mmap` plus one lookup, every kind, against
marisa-trie's `mmap` and ducer's `Map` over an `mmap.mmap`, on the same keys
in one run.

    .venv/bin/python bench/open_bench.py [--keys N] [--dir DIR] [--runs R] [--only KINDS]
                                         [--baseline PYTHON]

Keys: N random strings of 8 to 40 bytes (default 10^7); the double-array
index, which holds at most 2^23 slots, gets the decimal ids 0..M-1 with M the
largest count whose trie fits (found by halving; its marisa-trie is built
over the same ids for its own ratio). The closed-hash index has no mapped
form: its row times `ClosedHashIndex.load`, which reads the file. The blobs
are built once and saved in DIR (default a fresh directory under the system's
temporary one, removed at the end); with --dir they are kept, and reused by a
later run over the same N.

Each open is timed in a fresh process (the module already imported, the file
in the page cache, which the build or an earlier run left warm; it is not
read through on purpose, since reading it anew changes how its pages are
cached and so what a map of it costs): the time
from calling the loader to holding the answer of one lookup of a member key.
That process then opens the same file 20 times more and reports the median of
those warm re-opens, and how much its resident memory grew over the first
open. R rounds (default 3) run every row once each, in turn, so that a change
in the machine's load falls on all rows alike; the figures are medians over
the rounds, the load beside them the median 1-minute load average at their
runs. Ratios are ours over marisa-trie's `mmap` + `key_id` of the same kind of
keys.

--baseline PYTHON times quorvale's rows a second time under another
interpreter (a virtual environment holding an earlier build of the package),
in the same rounds, and prints the two side by side: before and after a
change, measured under the same load.

Installs marisa-trie and ducer from PyPI when missing and says so when one
cannot be installed; the benchmark then skips that peer.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from perfect_hash_bench import peer, random_keys

HERE = os.path.dirname(os.path.abspath(__file__))

# How each kind's child opens its file and makes one lookup: (imports, open, lookup).
OPENERS = {
    "marisa": ("import marisa_trie", "marisa_trie.Trie().mmap(PATH)", "o.key_id(KEY)"),
    "ducer": (
        "import ducer, mmap",
        "ducer.Map(mmap.mmap(os.open(PATH, os.O_RDONLY), 0, access=mmap.ACCESS_READ))",
        "o[KEY.encode()]",
    ),
    "ClosedHashIndex": ("from quorvale._core import ClosedHashIndex", "ClosedHashIndex.load(PATH)", "o.id(KEY)"),
}
for _kind in ("PerfectHashIndex", "CompactHashIndex", "DictIndex", "HashedDictIndex", "StringIndex",
              "DoubleArrayIndex"):
    OPENERS[_kind] = (f"from quorvale._core import {_kind}", f"{_kind}.load_mmap(PATH)", "o.id(KEY)")
PEERS = ("marisa", "ducer")

CHILD = """
import os, statistics, sys, time
{imports}
PATH, KEY = sys.argv[1], sys.argv[2]
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
def once():
    t = time.perf_counter()
    o = {open}
    r = {lookup}
    dt = time.perf_counter() - t
    assert r is not None
    return dt, o
before = resident()
first, o = once()
grown = resident() - before
del o
again = statistics.median(once()[0] for _ in range(20))
print(first, again, grown)
"""


def child_times(python, opener, path, key):
    """(first open, median warm re-open, resident growth in bytes of the first open)."""
    imports, open_, lookup = opener
    code = CHILD.format(imports=imports, open=open_, lookup=lookup)
    out = subprocess.run([python, "-c", code, path, key], check=True, capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [HERE, os.environ.get("PYTHONPATH")]))})
    first, again, grown = out.stdout.split()
    return float(first), float(again), int(grown)


def build_blobs(keys, dirpath, only, marisa, ducer_mod):
    """Saves every kind's blob (and the peers' files) under dirpath; returns
    {label: (opener name, path)} in report order."""
    from quorvale._core import (ClosedHashIndex, CompactHashIndex, DictIndex, HashedDictIndex, PerfectHashIndex,
                                StringIndex)

    plans = [
        ("PerfectHashIndex", "PerfectHashIndex", lambda: PerfectHashIndex(keys)),
        ("CompactHashIndex", "CompactHashIndex", lambda: CompactHashIndex(keys)),
        ("DictIndex block 32", "DictIndex", lambda: DictIndex(keys, block=32)),
        ("DictIndex block 256", "DictIndex", lambda: DictIndex(keys, block=256)),
        ("HashedDictIndex 8 bits", "HashedDictIndex", lambda: HashedDictIndex.from_dict(DictIndex(keys), 8)),
        ("StringIndex", "StringIndex", lambda: StringIndex(keys)),
        ("ClosedHashIndex (load)", "ClosedHashIndex", lambda: ClosedHashIndex(keys)),
    ]
    made = {}
    for label, kind, make in plans:
        if only and kind not in only:
            continue
        path = os.path.join(dirpath, label.replace(" ", "_").replace("(", "").replace(")", "") + ".blob")
        if not os.path.exists(path):
            t = time.perf_counter()
            index = make()
            index.save(path)
            del index
            print(f"  built {label}: {os.path.getsize(path) / 1e6:.1f} MB in {time.perf_counter() - t:.1f} s")
        made[label] = (kind, path)
    if marisa is not None:
        path = os.path.join(dirpath, "marisa.trie")
        if not os.path.exists(path):
            marisa.Trie(keys).save(path)
        made["marisa-trie"] = ("marisa", path)
    if ducer_mod is not None:
        path = os.path.join(dirpath, "ducer.map")
        if not os.path.exists(path):
            ducer_mod.Map.build(path, ((k, i) for i, k in enumerate(sorted(k.encode() for k in keys))))
        made["ducer"] = ("ducer", path)
    return made


def double_array_blobs(dirpath, marisa):
    """The double-array index at its largest: decimal ids 0..M-1 with M the
    largest count (to 1/64 of the bound) whose trie fits the 2^23 slots."""
    from quorvale._core import DoubleArrayIndex

    path = os.path.join(dirpath, "DoubleArrayIndex.blob")
    mpath = os.path.join(dirpath, "marisa-decimal.trie")
    countfile = os.path.join(dirpath, "DoubleArrayIndex.count")
    if os.path.exists(path) and os.path.exists(countfile):
        m = int(open(countfile).read())
    else:
        lo, hi = 1 << 20, 1 << 23
        while hi - lo > (1 << 23) // 64:
            mid = (lo + hi) // 2
            try:
                DoubleArrayIndex([str(i) for i in range(mid)])
                lo = mid
            except ValueError:
                hi = mid
        m = lo
        DoubleArrayIndex([str(i) for i in range(m)]).save(path)
        with open(countfile, "w") as f:
            f.write(str(m))
        print(f"  built DoubleArrayIndex over {m} decimal ids: {os.path.getsize(path) / 1e6:.1f} MB")
    if marisa is not None and not os.path.exists(mpath):
        marisa.Trie([str(i) for i in range(m)]).save(mpath)
    return m, path, (mpath if marisa is not None else None)


def measure_rounds(rows, runs):
    """rows: {label: (python, opener name, path, key)}. Runs every row once a
    round, `runs` rounds; returns {label: (first, re-open, growth, load)},
    each the median over the rounds."""
    seen = {label: [] for label in rows}
    for _ in range(runs):
        for label, (python, opener, path, key) in rows.items():
            load = os.getloadavg()[0]
            seen[label].append((*child_times(python, OPENERS[opener], path, key), load))
    return {label: tuple(statistics.median(v[i] for v in got) for i in range(4)) for label, got in seen.items()}


def print_rows(results, base, labels):
    print(f"  {'':32} {'first open':>11} {'vs marisa':>10} {'re-open':>10} {'vs marisa':>10} {'RSS +MB':>8} {'load':>6}")
    for label in labels:
        first, again, grown, load = results[label]
        r1 = f"{first / base[0]:.2f}x" if base else "-"
        r2 = f"{again / base[1]:.2f}x" if base else "-"
        print(f"  {label:32} {first * 1e3:8.3f} ms {r1:>10} {again * 1e3:7.3f} ms {r2:>10} {grown / 1e6:8.2f} {load:6.1f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--keys", type=int, default=10_000_000)
    ap.add_argument("--dir")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--only", default="", help="comma-separated kinds (class names, 'marisa', 'ducer')")
    ap.add_argument("--baseline", help="another interpreter whose quorvale is timed beside this one")
    args = ap.parse_args()
    only = {k for k in args.only.split(",") if k}

    marisa = peer("marisa_trie", "marisa-trie")
    ducer_mod = peer("ducer", "ducer")
    keep = args.dir is not None
    dirpath = args.dir or tempfile.mkdtemp(prefix="quorvale-open-")
    os.makedirs(dirpath, exist_ok=True)
    stamp = os.path.join(dirpath, "keys.count")
    if os.path.exists(stamp) and open(stamp).read() != str(args.keys):
        sys.exit(f"{dirpath} holds blobs over another key count: give another --dir")
    with open(stamp, "w") as f:
        f.write(str(args.keys))
    try:
        print(f"load: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f} "
              f"(1, 5, 15 min), {os.cpu_count()} processors")
        keys = random_keys(args.keys)
        key = keys[len(keys) // 3]
        made = build_blobs(keys, dirpath, only, marisa, ducer_mod)
        del keys

        rows = {}
        for label, (opener, path) in made.items():
            if only and opener not in only and opener not in PEERS:
                continue
            rows[label] = (sys.executable, opener, path, key)
            if args.baseline and opener not in PEERS:
                rows[label + " (baseline)"] = (args.baseline, opener, path, key)
        results = measure_rounds(rows, args.runs)

        print(f"\n== {args.keys} random keys: load_mmap + one id(key), median of {args.runs} rounds of fresh"
              f" processes (first open) and of 20 re-opens in each")
        base = results.get("marisa-trie")
        print_rows(results, base, [label for label in results if not label.endswith(" (baseline)")])
        if args.baseline:
            print(f"\n  the same under {args.baseline} (baseline):")
            print_rows(results, base, [label for label in results if label.endswith(" (baseline)")])
            print(f"\n  {'':32} {'first open: after/before':>25} {'re-open: after/before':>22}")
            for label in results:
                if label + " (baseline)" in results:
                    now, then = results[label], results[label + " (baseline)"]
                    print(f"  {label:32} {now[0] / then[0]:24.2f}x {now[1] / then[1]:21.2f}x")

        if not only or "DoubleArrayIndex" in only:
            m, path, mpath = double_array_blobs(dirpath, marisa)
            key = str(m // 3)
            rows = {"DoubleArrayIndex": (sys.executable, "DoubleArrayIndex", path, key)}
            if mpath:
                rows["marisa-trie"] = (sys.executable, "marisa", mpath, key)
            results = measure_rounds(rows, args.runs)
            print(f"\n== DoubleArrayIndex at its largest: {m} decimal ids, {os.path.getsize(path) / 1e6:.1f} MB")
            print_rows(results, results.get("marisa-trie"), list(results))
        print(f"\nload after: {os.getloadavg()[0]:.2f}")
    finally:
        if not keep:
            shutil.rmtree(dirpath, ignore_errors=True)


if __name__ == "__main__":
    main()
