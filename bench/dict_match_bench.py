"""DictIndex dictionary matching (`common_prefix`, `longest_prefix`) against
marisa-trie's and dawg2's `prefixes`, on the same keys and the same text
positions in one run.

    .venv/bin/python bench/dict_match_bench.py [--mb MB] [--runs R] [--block B] [--only words|cyrillic]

Keys: Debian's wamerican-huge (/usr/share/dict/american-english-huge) and
wukrainian (/usr/share/dict/ukrainian, which the dictionary spells in a
character code), installed through bench/apt_peers.sh when missing. Text:
about `MB` megabytes (default 20) of UTF-8, the word list's words shuffled
(seed 37) and joined by single spaces, repeated as needed.

Every character position of the text is queried; the query is the text from
that position, at most 64 UTF-8 bytes of it: 64 characters of the English
text and 32 of the Cyrillic one (whose letters take two bytes), fewer at the
end of the text. Every peer gets the very same query objects, made a chunk
of positions at a time outside the timing, and the timed loop is the same
plain loop over one method, each answer dropped as the next call comes; so
the per-position figures include the interpreter's call and the building
(and freeing) of each result.

The answers are checked against each other on every position: the keys
found by `common_prefix` (ours returns (key, id) pairs, shortest first) equal
marisa-trie's and dawg2's `prefixes` (strings only), and `longest_prefix` is
the last of them; on a sample of positions the ids are checked against the
sorted keys.

Per corpus it prints ns per position for each method, the median of `runs`
runs (default 3) of the whole text, and the ratios ours/peer beside the
goal (<= 1.5x marisa-trie), with the machine's load. Peers are installed with
pip when missing (and said to be missing when they cannot be).
"""
import argparse
import bisect
import gc
import os
import random
import statistics
import subprocess
import sys
import time

from fst_peers import peer  # beside this file

from quorvale._core import DictIndex

HERE = os.path.dirname(os.path.abspath(__file__))
CAP_BYTES = 64
CHUNK = 1 << 18


def word_list(path, package):
    if not os.path.exists(path):
        print(f"# installing {package} with apt-get", flush=True)
        subprocess.run(["bash", "-c", '. "$0" && apt_peers "$1"', os.path.join(HERE, "apt_peers.sh"), package])
    if not os.path.exists(path):
        print(f"# corpus {package} is missing")
        return None
    with open(path, encoding="utf-8") as f:
        return sorted({w for w in f.read().split("\n") if w})


def make_text(words, mb, seed=37):
    rng = random.Random(seed)
    target = mb * 1_000_000
    parts, size = [], 0
    while size < target:
        batch = list(words)
        rng.shuffle(batch)
        for w in batch:
            parts.append(w)
            size += len(w.encode()) + 1
            if size >= target:
                break
    return " ".join(parts)


def load():
    return os.getloadavg()[0]


def chunks(text, cap):
    for start in range(0, len(text), CHUNK):
        yield start, [text[i:i + cap] for i in range(start, min(len(text), start + CHUNK))]


def timed_pass(text, cap, fn):
    # Each answer is dropped as the next call comes, as a matcher that uses
    # it and moves on would: keeping hundreds of thousands of result lists
    # alive would time the collector's passes over them instead.
    total = 0.0
    for _, qs in chunks(text, cap):
        gc.collect()
        t = time.perf_counter()
        for q in qs:
            fn(q)
        total += time.perf_counter() - t
    return total


def check(text, cap, index, keys, marisa, dawg):
    """Every position: the same keys from every method. A sample: ids."""
    positions = 0
    rng = random.Random(5)
    for start, qs in chunks(text, cap):
        ours = [index.common_prefix(q) for q in qs]
        longest = [index.longest_prefix(q) for q in qs]
        got = [[k for k, _ in r] for r in ours]
        for j, r in enumerate(ours):
            want_longest = r[-1] if r else None
            if longest[j] != want_longest:
                sys.exit(f"longest_prefix disagrees with common_prefix at {start + j}: {longest[j]} vs {want_longest}")
        for name, t in (("marisa-trie", marisa), ("dawg2", dawg)):
            if t is None:
                continue
            theirs = [t.prefixes(q) for q in qs]
            for j in range(len(qs)):
                if got[j] != theirs[j]:
                    sys.exit(f"{name} disagrees at position {start + j} ({qs[j]!r}): ours {got[j]}, theirs {theirs[j]}")
        for j in rng.sample(range(len(qs)), min(200, len(qs))):
            for k, i in ours[j]:
                if keys[i] != k or bisect.bisect_left(keys, k) != i:
                    sys.exit(f"id {i} of {k!r} at position {start + j} is not its rank")
        positions += len(qs)
    return positions


def bench(label, keys, cap, args, marisa_trie, dawg2):
    print(f"\n== {label}: {len(keys):,} keys, block {args.block}", flush=True)
    t = time.perf_counter()
    index = DictIndex(keys, block=args.block)
    print(f"DictIndex built in {time.perf_counter() - t:.2f} s, {len(index.to_bytes()):,} bytes")
    marisa = marisa_trie.Trie(keys) if marisa_trie else None
    dawg = dawg2.DAWG(keys) if dawg2 else None
    text = make_text(keys, args.mb)
    n = len(text)
    print(f"text: {len(text.encode()):,} bytes, {n:,} positions; query: up to {cap} characters "
          f"(at most {CAP_BYTES} bytes) from each position")
    check(text, cap, index, keys, marisa, dawg)
    print("answers: the same keys at every position (ids checked on a sample)")
    methods = [("DictIndex.common_prefix", index.common_prefix), ("DictIndex.longest_prefix", index.longest_prefix)]
    if marisa:
        methods.append(("marisa-trie prefixes", marisa.prefixes))
    if dawg:
        methods.append(("dawg2 prefixes", dawg.prefixes))
    times = {name: [] for name, _ in methods}
    loads = []
    for _ in range(args.runs):
        loads.append(load())
        for name, fn in methods:  # alternating, one pass each per run
            times[name].append(timed_pass(text, cap, fn))
    ns = {name: statistics.median(v) / n * 1e9 for name, v in times.items()}
    print(f"per position, median of {args.runs} (load {', '.join(f'{x:.2f}' for x in loads)}):")
    for name, _ in methods:
        spread = ", ".join(f"{v / n * 1e9:.0f}" for v in times[name])
        print(f"  {name:<26} {ns[name]:8.1f} ns   (runs: {spread})")
    for ours in ("DictIndex.common_prefix", "DictIndex.longest_prefix"):
        for name, goal in (("marisa-trie prefixes", 1.5), ("dawg2 prefixes", None)):
            if name in ns:
                r = ns[ours] / ns[name]
                verdict = f"   (goal <= {goal}x: {'met' if r <= goal else 'NOT met'})" if goal else ""
                print(f"  {ours} / {name:<22} {r:6.2f}x{verdict}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--mb", type=float, default=20)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--block", type=int, default=256)
    ap.add_argument("--only", choices=["words", "cyrillic"])
    args = ap.parse_args()
    marisa_trie = peer("marisa_trie", "marisa-trie")
    dawg2 = peer("dawg", "dawg2")  # the module of the dawg2 package is `dawg`
    print(f"load at start: {load():.2f} on {os.cpu_count()} cpus")
    if args.only in (None, "words"):
        words = word_list("/usr/share/dict/american-english-huge", "wamerican-huge")
        if words:
            bench("wamerican-huge", words, 64, args, marisa_trie, dawg2)
    if args.only in (None, "cyrillic"):
        words = word_list("/usr/share/dict/ukrainian", "wukrainian")
        if words:
            bench("wukrainian", words, 32, args, marisa_trie, dawg2)


if __name__ == "__main__":
    main()
