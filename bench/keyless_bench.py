"""ClosedHashIndex and CompactHashIndex against a Python dict and bbhash, on the
same keys in one run: size per key, build, lookups with fresh str objects in
shuffled order, and ids into a NumPy array.

    .venv/bin/python bench/keyless_bench.py [keys] [word-list-file]

Installs bbhash from PyPI and Debian's wamerican word list when they are
missing (and says so when it cannot). Keys: `keys` random strings of 8 to 40
bytes (default 10^7), then the words of the word list (default
/usr/share/dict/american-english, from wamerican).
"""
import os
import subprocess
import sys
import tempfile

import numpy as np

from perfect_hash_bench import best, fresh, peer, random_keys, ratio
from quorvale._core import ClosedHashIndex, CompactHashIndex

WORDS = "/usr/share/dict/american-english"
U64 = 2**64 - 1


def word_list(path):
    if not os.path.exists(path) and path == WORDS:
        print("installing Debian's wamerican ...")
        subprocess.run(["apt-get", "install", "-y", "-qq", "wamerican"], capture_output=True)
    if not os.path.exists(path):
        print(f"\n(no word list at {path}; skipped)")
        return None
    with open(path, encoding="utf-8", errors="replace") as f:
        return list(dict.fromkeys(line.rstrip("\n") for line in f if line.strip()))


def run(name, keys, bbhash):
    n = len(keys)
    print(f"\n== {name}: {n} keys, {sum(len(k.encode()) for k in keys) / n:.1f} bytes/key on average")
    queries = fresh(keys)

    # Small key sets are timed best of several runs, where one run is too noisy to read.
    builds, reps = (1, 3) if n >= 1_000_000 else (10, 15)
    t_dict, d = best(lambda: dict(zip(keys, range(n))), builds)
    t_dget, _ = best(lambda: [d.get(k) for k in queries], reps)
    del d
    print(f"  dict: build {t_dict * 1e3:.1f} ms, [d.get(k) for k in queries] {t_dget * 1e9 / n:.0f} ns/key")

    closed_bpk = None
    t_closed_id = t_closed_ids = None
    for kind, target in ((ClosedHashIndex, 0.245), (CompactHashIndex, 1.245)):
        label = kind.__name__
        t_build, idx = best(lambda: kind(keys), builds)
        bpk = idx.serialized_len() / n
        print(f"  {label}: build {t_build * 1e3:.1f} ms, {bpk:.4f} bytes/key"
              + (f" ({idx.fingerprint_bits} fingerprint bits)" if kind is CompactHashIndex else ""))
        print(f"  {'serialized_len() / n':<44} {bpk:8.4f}    (target < {target}: {'met' if bpk < target else 'NOT met'})")
        ratio(f"{label} build vs dict build", t_build, t_dict, 1.0)
        t_ids, got = best(lambda: idx.ids_of(queries), reps)
        assert len(got) == n and None not in got
        out = np.empty(n, dtype=np.uint32)
        t_into, _ = best(lambda: idx.ids_into(queries, out), reps)
        t_id, _ = best(lambda: [idx.id(k) for k in queries], reps)
        print(f"  {label} lookups: ids_of {t_ids * 1e9 / n:.0f} ns/key, ids_into {t_into * 1e9 / n:.0f} ns/key, "
              f"[id(k) ...] {t_id * 1e9 / n:.0f} ns/key")
        ratio(f"{label}.ids_of vs [d.get(k) ...]", t_ids, t_dget, 0.5)
        ratio(f"{label}.ids_into (uint32) vs [d.get(k) ...]", t_into, t_dget, 0.25)
        if kind is ClosedHashIndex:
            closed_bpk, t_closed_id, t_closed_ids = bpk, t_id, t_ids
        del idx, got, out

    if bbhash:
        hashes = [hash(k) & U64 for k in keys]
        t_bb, m = best(lambda: bbhash.PyMPHF(hashes, n, os.cpu_count() or 1, 1.0), builds)
        del hashes
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "bb.mphf")
            m.save(path)
            bb_bpk = os.path.getsize(path) / n
        t_bl, _ = best(lambda: [m.lookup(hash(k) & U64) for k in queries], reps)
        print(f"  bbhash (gamma 1.0): build {t_bb * 1e3:.1f} ms, saved file {bb_bpk:.4f} bytes/key, "
              f"[m.lookup(hash(k) & (2**64 - 1)) ...] {t_bl * 1e9 / n:.0f} ns/key")
        ratio("ClosedHashIndex bytes/key vs bbhash's file", closed_bpk, bb_bpk, 0.7)
        ratio("[c.id(k) ...] vs bbhash lookups", t_closed_id, t_bl, 1.0)
        ratio("ClosedHashIndex.ids_of vs bbhash lookups", t_closed_ids, t_bl, 1.0)
        del m


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
    bbhash = peer("bbhash", "bbhash")
    run("random keys of 8-40 bytes", random_keys(n), bbhash)
    words = word_list(sys.argv[2] if len(sys.argv) > 2 else WORDS)
    if words:
        run("word list", words, bbhash)


if __name__ == "__main__":
    main()
