#!/usr/bin/env python3
"""StringIndex.build_to_file over keys from a generator, each build in a
fresh process, by hand:

    .venv/bin/python bench/string_index_build_bench.py [keys] [directory]

Keys (default 10^8): key j is 16 hexadecimal digits, j in the top 27 bits
and scrambled bits of j below, so that the keys ascend with j; the builds
take them in a scrambled order of j (i * step mod n). The blob goes to a
file in `directory` (the system's temporary directory by default), with the
spilled runs beside it.

Prints, for build_to_file: keys/s and peak RSS (ru_maxrss; goal: at most 1
GiB) of its process; whether its file is the one build_sorted_to_file writes
from the keys in ascending order (whose bytes the tests hold to the
constructor's); for the constructor `StringIndex(keys)` over the same
keys as a list, in its own process: the same figures; and whether the file
and the constructor's to_bytes() have the same SHA-256. The constructor holds
some 170 bytes a key (the str objects above all); when the system reports
less than 1.5 times that available, the comparison is made at the largest
power of ten that fits instead (build_to_file rerun at that size), and the
output says so.

For scale, marisa-trie (installed with pip when missing) builds a trie from
the same generator in a third process, at the size of the comparison (it
holds its keys as well); a peer that cannot be installed is reported and
skipped.
"""
import hashlib
import os
import subprocess
import sys
import tempfile
import time

CHILD = r"""
import hashlib, math, resource, sys, time
mode, n, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
M = (1 << 64) - 1
LOW = (1 << 37) - 1


def key(j):
    # Ascending in j (j in the top 27 bits), scrambled below.
    return f"{(j << 37) | (((j * 0x9E3779B97F4A7C15) & M) >> 27 & LOW):016x}"


step = 0x9E3779B1
while math.gcd(step, n) != 1:
    step += 2
ascending = (key(j) for j in range(n))
scrambled = (key(i * step % n) for i in range(n))
t0 = time.perf_counter()
if mode == "build_to_file":
    from quorvale._core import StringIndex
    count = StringIndex.build_to_file(scrambled, path)
    digest = ""
elif mode == "build_sorted_to_file":
    from quorvale._core import StringIndex
    count = StringIndex.build_sorted_to_file(ascending, path)
    digest = ""
elif mode == "constructor":
    from quorvale._core import StringIndex
    keys = list(scrambled)
    t0 = time.perf_counter()
    index = StringIndex(keys)
    count = len(index)
    digest = hashlib.sha256(index.to_bytes()).hexdigest()
else:
    import marisa_trie
    count = len(marisa_trie.Trie(scrambled))
    digest = ""
seconds = time.perf_counter() - t0
print(count, seconds, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, digest)
"""


def child(mode, n, path):
    out = subprocess.run([sys.executable, "-c", CHILD, mode, str(n), path], capture_output=True, text=True)
    if out.returncode != 0:
        print(f"# {mode} failed: {out.stderr.strip().splitlines()[-1:]}")
        return None
    count, seconds, rss, *digest = out.stdout.split()
    return int(count), float(seconds), int(rss), digest[0] if digest else ""


def figures(label, count, seconds, rss):
    return (f"{label}: {count} keys in {seconds:.1f} s ({count / seconds:,.0f} keys/s), "
            f"peak RSS {rss / (1 << 30):.3f} GiB")


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def available_bytes():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def have_marisa():
    try:
        import marisa_trie  # noqa: F401
        return True
    except ImportError:
        print("# installing marisa-trie with pip", flush=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "marisa-trie"], check=False)
    try:
        import marisa_trie  # noqa: F401,F811
        return True
    except ImportError:
        print("# peer marisa-trie is missing: its line is skipped")
        return False


def main():
    n = int(float(sys.argv[1])) if len(sys.argv) > 1 else 10**8
    where = sys.argv[2] if len(sys.argv) > 2 else None
    GiB = 1 << 30
    with tempfile.TemporaryDirectory(dir=where) as tmp:
        path = os.path.join(tmp, "keys.bix")
        got = child("build_to_file", n, path)
        if got is None:
            return
        count, seconds, rss, _ = got
        size = os.path.getsize(path)
        ours = file_digest(path)
        leftovers = sorted(set(os.listdir(tmp)) - {"keys.bix"})
        print(figures("build_to_file", count, seconds, rss) + f" (goal <= 1 GiB: {'met' if rss <= GiB else 'missed'}), "
              f"blob {size:,} bytes, left beside it: {leftovers or 'nothing'}", flush=True)
        os.remove(path)
        got = child("build_sorted_to_file", n, path)
        if got is not None:
            print(figures("build_sorted_to_file", *got[:3]) + "; same SHA-256 as build_to_file's file: "
                  f"{file_digest(path) == ours}", flush=True)
            os.remove(path)
        m = n
        while m > 1 and available_bytes() < 1.5 * 170 * m:
            m //= 10
        if m != n:
            print(f"# the constructor would need about {170 * n / GiB:.1f} GiB ({available_bytes() / GiB:.1f} GiB "
                  f"available): bytes compared at {m} keys instead", flush=True)
            small = child("build_to_file", m, path)
            if small is None:
                return
            count, seconds, rss, _ = small
            ours = file_digest(path)
            os.remove(path)
        got = child("constructor", m, path)
        if got is not None:
            print(figures("constructor", *got[:3]) + f"; same SHA-256 as build_to_file's file: {got[3] == ours} "
                  f"({ours[:16]})", flush=True)
        if have_marisa():
            got = child("marisa", m, path)
            if got is not None:
                print(figures("marisa-trie Trie(generator)", *got[:3]) +
                      f"; build_to_file's RSS is {rss / got[2]:.2f}x, its speed {got[1] / seconds:.2f}x")


if __name__ == "__main__":
    main()
