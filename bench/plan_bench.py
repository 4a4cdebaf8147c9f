"""`plan(keys)` on 10^6 keys held in memory (goal: at most 1 s), beside what
a caller pays anyway to hold them: `sorted(set(keys))`.

    .venv/bin/python bench/plan_bench.py [n]

Keys: synthetic keys of 8 to 40 bytes (path-like pieces, numbers and random
letters), two-word phrases of Debian's word list (wamerican-huge, installed
through bench/apt_peers.sh when missing) and dense decimal ids. The model's
error against real builds and `plan_file` against `sort -u` are in
bench/plan_bench.sh.
"""
import os
import random
import subprocess
import sys
import time

from quorvale._core import plan

WORDS = "/usr/share/dict/american-english-huge"


def synthetic(n, rng):
    words = ["user", "order", "item", "cart", "admin", "api", "v2", "static", "image", "thumb", "search", "query",
             "report", "daily", "eu", "us"]
    alnum = "abcdefghijklmnopqrstuvwxyz0123456789"
    out = set()
    while len(out) < n:
        size = rng.randint(8, 40)
        k = ""
        while len(k) < size:
            r = rng.randrange(3)
            k += words[rng.randrange(16)] if r == 0 else str(rng.randrange(100000)) if r == 1 else "".join(
                rng.choice(alnum) for _ in range(4))
            k += "/" if len(k) % 2 else "-"
        out.add(k[:size])
    keys = list(out)
    rng.shuffle(keys)
    return keys


def phrases(n, rng):
    if not os.path.exists(WORDS):
        print("installing wamerican-huge with apt-get ...")
        helper = os.path.join(os.path.dirname(os.path.abspath(__file__)), "apt_peers.sh")
        subprocess.run(["bash", "-c", '. "$0" && apt_peers wamerican-huge', helper])
    if not os.path.exists(WORDS):
        print(f"no word list at {WORDS}: the phrases are skipped")
        return None
    with open(WORDS, encoding="utf-8") as f:
        words = [w.strip() for w in f if w.strip()]
    out = set()
    while len(out) < n:
        out.add(f"{rng.choice(words)} {rng.choice(words)}")
    keys = list(out)
    rng.shuffle(keys)
    return keys


def best(f, repeat=3):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        r = f()
        times.append(time.perf_counter() - t)
    return min(times), r


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    rng = random.Random(5)
    sets = [("synthetic keys of 8 to 40 bytes", synthetic(n, rng)), ("two-word phrases", phrases(n, rng)),
            ("dense decimal ids", [str(i) for i in range(n)])]
    for name, keys in sets:
        if keys is None:
            continue
        ours, result = best(lambda: plan(keys))
        theirs, _ = best(lambda: sorted(set(keys)))
        print(f"{name}: {len(keys)} keys, plan {ours:.3f} s (goal at most 1 s), sorted(set(keys)) {theirs:.3f} s, "
              f"ratio {ours / theirs:.2f}x; best {result['best']['kind']}")
        print("  " + result["text"].replace("\n", "\n  ").rstrip())


if __name__ == "__main__":
    main()
