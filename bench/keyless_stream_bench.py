"""CompactHashIndex.build_to_file, the streamed build, against GNU sort and the
in-memory constructor, on the same keys in one run.

    .venv/bin/python bench/keyless_stream_bench.py [--lines N] [--list N] [--dir DIR]

1. A keys file of N lines (default 10^8) of 8 to 40 bytes, 10% of them
   repeats, shuffled (made once in DIR and reused). `build_to_file` over a
   generator of its lines, in a child process that reports its peak RSS M (VmHWM);
   then `LC_ALL=C sort -u -S M --parallel=<cores>` of the same file. Targets:
   wall time at most 0.5x sort's, peak RSS at most 1 GiB plus the fingerprint
   table (ceil(n * 8 / 8) bytes). The file must equal
   `CompactHashIndex(<generator over the same lines>).to_bytes()` (built in
   another child; it holds every hash pair, 16 bytes a line, at once).
2. --list keys (default 10^7) from a list: `build_to_file` at most 1.5x the
   in-memory constructor, best of 3, same bytes.

GNU sort comes with coreutils; when it is missing that comparison is skipped.
Mind the memory: the in-memory check of step 1 peaks near 40 bytes a line.
"""
import argparse
import gc
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np

from quorvale._core import CompactHashIndex

ALPHABET = np.frombuffer(b"abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ", dtype=np.uint8)
CHUNK = 1_000_000


def mix(x):
    """splitmix64's finaliser over a uint64 array."""
    with np.errstate(over="ignore"):
        x = x + np.uint64(0x9E3779B97F4A7C15)
        x ^= x >> np.uint64(30)
        x *= np.uint64(0xBF58476D1CE4E5B9)
        x ^= x >> np.uint64(27)
        x *= np.uint64(0x94D049BB133111EB)
        x ^= x >> np.uint64(31)
    return x


def key_lines(numbers):
    """Key number i as a line of 8 to 40 letters and digits, derived from i alone."""
    numbers = numbers.astype(np.uint64)
    n = len(numbers)
    with np.errstate(over="ignore"):
        base = numbers * np.uint64(5)
        lens = (np.uint64(8) + mix(base) % np.uint64(33)).astype(np.int64)
        rows = np.empty((n, 41), dtype=np.uint8)
        for w in range(4):
            h = mix(base + np.uint64(w + 1))
            for j in range(10):
                rows[:, 10 * w + j] = ALPHABET[(h % np.uint64(62)).astype(np.int64)]
                h //= np.uint64(62)
    rows[np.arange(n), lens] = 10
    keep = np.arange(41)[None, :] <= lens[:, None]
    return rows[keep].tobytes()


def make_keys_file(path, lines, seed=12):
    if os.path.exists(path):
        return
    print(f"writing {lines} lines to {path} ...", flush=True)
    rng = np.random.default_rng(seed)
    distinct = lines - lines // 10
    order = np.concatenate([np.arange(distinct, dtype=np.uint64), rng.integers(0, distinct, lines - distinct, dtype=np.uint64)])
    rng.shuffle(order)
    tmp = path + ".part"
    with open(tmp, "wb") as f:
        for at in range(0, lines, CHUNK):
            f.write(key_lines(order[at:at + CHUNK]))
    del order
    os.replace(tmp, path)


CHILD = textwrap.dedent(
    """
    import hashlib, json, sys, time
    from quorvale._core import CompactHashIndex

    def peak_rss():
        # This process's own high-water mark (ru_maxrss would carry the
        # parent's from before the exec).
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024

    def lines(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                yield line[:-1]

    what, keys_path, out_path = sys.argv[1:4]
    t = time.perf_counter()
    if what == "stream":
        n = CompactHashIndex.build_to_file(lines(keys_path), out_path)
        digest = None
    else:
        idx = CompactHashIndex(lines(keys_path))
        n = len(idx)
        digest = hashlib.sha256(idx.to_bytes()).hexdigest()
    seconds = time.perf_counter() - t
    rss = peak_rss()
    print(json.dumps({"n": n, "seconds": seconds, "rss": rss, "sha256": digest}))
    """
)


def child(what, keys_path, out_path):
    r = subprocess.run([sys.executable, "-c", CHILD, what, keys_path, out_path], capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit(f"{what} child failed:\n{r.stderr}")
    return json.loads(r.stdout)


def ratio(label, ours, theirs, target):
    r = ours / theirs
    print(f"  {label:<52} {r:8.3f}x   (target <= {target}x: {'met' if r <= target else 'NOT met'})")


def file_sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 22):
            h.update(block)
    return h.hexdigest()


def keys_file_bench(lines, work):
    cores = os.cpu_count() or 1
    keys = os.path.join(work, f"keys-{lines}.txt")
    make_keys_file(keys, lines)
    size = os.path.getsize(keys)
    print(f"\n== keys file: {lines} lines, {size / lines - 1:.1f} bytes/key on average, 10% repeats, {cores} cores")
    out = os.path.join(work, "stream.idx")
    s = child("stream", keys, out)
    n, table = s["n"], s["n"]  # 8-bit fingerprints: one byte a key
    print(f"  build_to_file over a generator of the lines: {s['seconds']:.1f} s, peak RSS {s['rss'] / 2**20:.0f} MiB, "
          f"{n} distinct keys, {os.path.getsize(out) / n:.4f} bytes/key")
    budget = 2**30 + table
    print(f"  {'peak RSS vs 1 GiB + fingerprint table':<52} {s['rss'] / budget:8.3f}x   "
          f"(target <= 1.0x: {'met' if s['rss'] <= budget else 'NOT met'})")

    if shutil.which("sort"):
        kib = s["rss"] // 1024
        cmd = ["sort", "-u", f"-S{kib}K", f"--parallel={cores}", "-T", work, "-o", os.devnull, keys]
        t = time.perf_counter()
        subprocess.run(cmd, check=True, env={**os.environ, "LC_ALL": "C"})
        t_sort = time.perf_counter() - t
        print(f"  LC_ALL=C sort -u -S {kib}K --parallel={cores}: {t_sort:.1f} s")
        ratio("build_to_file vs sort -u", s["seconds"], t_sort, 0.5)
    else:
        print("  (GNU sort not found; comparison skipped)")

    m = child("memory", keys, "")
    same = m["sha256"] == file_sha256(out)
    print(f"  CompactHashIndex(<same generator>): {m['seconds']:.1f} s, peak RSS {m['rss'] / 2**20:.0f} MiB; "
          f"file identical to its to_bytes(): {'yes' if same and m['n'] == n else 'NO'}")
    os.remove(out)


def best(f, repeat=3):
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        out = f()
        times.append(time.perf_counter() - t)
    return min(times), out


def list_bench(count, work):
    distinct = [line.decode() for line in key_lines(np.arange(count, dtype=np.uint64)).split(b"\n")[:-1]]
    keys = list(dict.fromkeys(distinct))
    print(f"\n== {len(keys)} keys from a list, {sum(map(len, keys)) / len(keys):.1f} bytes/key on average")
    out = os.path.join(work, "list.idx")
    t_mem, idx = best(lambda: CompactHashIndex(keys))
    blob = idx.to_bytes()
    del idx
    t_stream, n = best(lambda: CompactHashIndex.build_to_file(keys, out))
    with open(out, "rb") as f:
        same = f.read() == blob
    print(f"  CompactHashIndex(keys) {t_mem:.2f} s, build_to_file(keys, path) {t_stream:.2f} s; same bytes: "
          f"{'yes' if same and n == len(keys) else 'NO'}")
    ratio("build_to_file vs the in-memory constructor", t_stream, t_mem, 1.5)
    os.remove(out)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--lines", type=int, default=10**8)
    p.add_argument("--list", type=int, default=10**7)
    p.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "quorvale-keyless-stream"))
    a = p.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    if a.list:
        list_bench(a.list, a.dir)
    if a.lines:
        keys_file_bench(a.lines, a.dir)


if __name__ == "__main__":
    main()
