"""`quorvale plan` against `quorvale build` of the kind the plan picks.

    .venv/bin/python bench/plan_vs_build.py DIR [FILE ...]

Keys files: generated URLs (about 58 bytes, host, two path words and a
number, as bench/dict_class_bench.py makes them) of 100,001 keys (just past
the exact pricing), 200,000 and 10^6 keys, written into DIR, and any FILE
given. For each: `quorvale plan FILE` (which implies --exact), then
`LC_ALL=C sort -u --parallel=8 FILE` (the peer of planning a file), then
`quorvale build FILE OUT --index KIND [--block B]` of the kind and block its
plan ranks first, and `quorvale build --index auto` (plan and build in one),
each in a fresh process, three times in turn; the medians, planning over the
build (goal at most 0.5x), planning over `sort -u` (goal at most 0.5x),
auto over the named kind (goal at most 1.3x), and the same with
--closed-vocabulary, whose pick may be another kind. Wall time as a user
sees it, interpreter start included.
"""
import os
import re
import statistics
import subprocess
import sys
import time

import numpy as np

from dict_class_bench import url_lines  # beside this file

QUORVALE = os.path.join(os.path.dirname(sys.executable), "quorvale")
KINDS = {"DictIndex": "dict", "StringIndex": "string", "CompactHashIndex": "compact",
         "ClosedHashIndex": "closed", "PerfectHashIndex": "perfect"}


def timed(args, env=None):
    t = time.perf_counter()
    r = subprocess.run(args, capture_output=True, text=True, env=env)
    elapsed = time.perf_counter() - t
    if r.returncode != 0:
        sys.exit(f"{' '.join(args)}: {r.stderr.strip()}")
    return elapsed, r.stdout


def pick(plan_text):
    best = next(line for line in plan_text.splitlines() if line.startswith("*"))
    m = re.match(r"\* (\w+) .* at block (\d+)$", best)
    if m:
        return ["--index", KINDS[m.group(1)], "--block", m.group(2)], f"{m.group(1)} at block {m.group(2)}"
    name = best.split()[1]
    return ["--index", KINDS[name]], name


SORT_ENV = dict(os.environ, LC_ALL="C")


def compare(path, out, extra):
    plans, sorts, builds, autos, loads = [], [], [], [], []
    chosen = None
    for _ in range(3):
        loads.append(os.getloadavg()[0])
        seconds, text = timed([QUORVALE, "plan", path] + extra)
        plans.append(seconds)
        sorts.append(timed(["sort", "-u", "--parallel=8", "-o", os.devnull, path], SORT_ENV)[0])
        args, chosen = pick(text)
        builds.append(timed([QUORVALE, "build", path, out] + args + extra)[0])
        autos.append(timed([QUORVALE, "build", path, out, "--index", "auto"] + extra)[0])
    os.remove(out)
    p, s, b, a = (statistics.median(x) for x in (plans, sorts, builds, autos))
    label = " ".join(extra) or "(open vocabulary)"
    print(f"  {label}: picks {chosen}; plan {p:.2f} s, sort -u {s:.2f} s, its build {b:.2f} s, "
          f"--index auto {a:.2f} s; plan / build {p / b:.2f}x (goal at most 0.5x), plan / sort -u {p / s:.2f}x "
          f"(goal at most 0.5x), auto / build {a / b:.2f}x (goal at most 1.3x); "
          f"load {' '.join(f'{x:.1f}' for x in loads)}")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    work = sys.argv[1]
    files = []
    for n in (100_001, 200_000, 1_000_000):
        path = os.path.join(work, f"urls-{n}.txt")
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(url_lines(np.arange(n, dtype=np.uint64)))
        files.append(path)
    files += sys.argv[2:]
    print(f"quorvale plan vs the build it picks, median of 3, fresh processes; load {os.getloadavg()[0]:.1f}")
    for path in files:
        with open(path, "rb") as f:
            lines = sum(1 for _ in f)
        print(f"{os.path.basename(path)}: {lines:,} lines")
        out = os.path.join(work, "plan_vs_build.idx")
        compare(path, out, [])
        compare(path, out, ["--closed-vocabulary"])
    print(f"load at the end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
