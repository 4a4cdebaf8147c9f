"""PerfectHashIndex against a Python dict and marisa-trie, on the same keys in
one run: build, lookups with fresh str objects in shuffled order, ids into a
NumPy array, memory, loading, and ids_of on several threads.

    .venv/bin/python bench/perfect_hash_bench.py [keys] [word-list-file]

Installs marisa-trie from PyPI when it is missing (and says so when it cannot).
Keys: `keys` random strings of 8 to 40 bytes (default 10^7), and the lines of
a word list when one is given or /usr/share/dict/words exists.
"""
import gc
import os
import pickle
import random
import subprocess
import sys
import tempfile
import threading
import time
import tracemalloc

import numpy as np

from quorvale._core import PerfectHashIndex


def peer(module, package):
    """The peer's module, installed from PyPI first when it is missing; None
    (and a line saying so) when it cannot be."""
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        pass
    print(f"installing {package} from PyPI ...")
    r = subprocess.run([sys.executable, "-m", "pip", "install", "-q", package], capture_output=True, text=True)
    try:
        return importlib.import_module(module)
    except ImportError:
        print(f"{package}: not available, skipped (" + (r.stderr.strip().splitlines() or ["pip failed"])[-1] + ")")
        return None


def peer_marisa():
    return peer("marisa_trie", "marisa-trie")


def best(f, repeat=3):
    times = []
    out = None
    for _ in range(repeat):
        out = None  # the previous result is released outside the timing
        gc.collect()
        t = time.perf_counter()
        out = f()
        times.append(time.perf_counter() - t)
    return min(times), out


def random_keys(n, seed=1):
    rng = random.Random(seed)
    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789-_./ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    keys = set()
    while len(keys) < n:
        need = n - len(keys)
        for _ in range(need):
            keys.add("".join(rng.choices(alphabet, k=rng.randint(8, 40))))
    return list(keys)


def fresh(keys, seed=2):
    """The keys as new str objects (no cached hash), shuffled."""
    q = [k.encode().decode() for k in keys]
    random.Random(seed).shuffle(q)
    return q


def ratio(label, ours, theirs, target, lower_is_better=True):
    r = ours / theirs
    ok = r <= target if lower_is_better else r >= target
    cmp = "<=" if lower_is_better else ">="
    print(f"  {label:<44} {r:8.3f}x   (target {cmp} {target}x: {'met' if ok else 'NOT met'})")


def run(name, keys, marisa):
    n = len(keys)
    print(f"\n== {name}: {n} keys, {sum(len(k.encode()) for k in keys) / n:.1f} bytes/key on average")
    queries = fresh(keys)

    t_dict, d = best(lambda: dict(zip(keys, range(n))), 1)
    t_ours, idx = best(lambda: PerfectHashIndex(keys), 1)
    print(f"  build: dict {t_dict:.2f} s, PerfectHashIndex {t_ours:.2f} s")
    ratio("build vs dict", t_ours, t_dict, 1.5)

    t_dget, want = best(lambda: [d.get(k) for k in queries])
    t_ids, got = best(lambda: idx.ids_of(queries))
    assert [d[k] for k in queries] != None  # noqa: E711 - the dict answers every query
    assert len(got) == n and None not in got
    out = np.empty(n, dtype=np.uint32)
    t_into, _ = best(lambda: idx.ids_into(queries, out))
    print(f"  lookups: dict.get {t_dget * 1e9 / n:.0f} ns/key, ids_of {t_ids * 1e9 / n:.0f} ns/key, "
          f"ids_into {t_into * 1e9 / n:.0f} ns/key")
    ratio("ids_of vs [d.get(k) for k in queries]", t_ids, t_dget, 0.7)
    ratio("ids_into (numpy uint32) vs the same", t_into, t_dget, 0.35)

    gc.collect()
    tracemalloc.start()
    d2 = dict(zip((k.encode().decode() for k in keys), range(n)))
    dict_bytes = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del d2
    ours_bytes = idx.serialized_len()
    print(f"  memory: dict with keys and ints {dict_bytes / n:.1f} bytes/key, index {ours_bytes / n:.1f} bytes/key")
    ratio("serialized_len vs dict (tracemalloc)", ours_bytes, dict_bytes, 0.2)

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "i.bmp8")
        idx.save(path)
        blob = pickle.dumps(d, protocol=pickle.HIGHEST_PROTOCOL)
        t_unpickle, _ = best(lambda: pickle.loads(blob), 3)
        t_mmap, mapped = best(lambda: PerfectHashIndex.load_mmap(path), 20)
        print(f"  load: unpickle dict {t_unpickle * 1e3:.1f} ms, load_mmap {t_mmap * 1e3:.3f} ms")
        ratio("load_mmap speed-up over unpickling the dict", t_unpickle, t_mmap, 100, lower_is_better=False)
        del mapped

    if marisa:
        t_mb, trie = best(lambda: marisa.Trie(keys), 1)
        t_ml, _ = best(lambda: [trie.get(k) for k in queries])
        mbytes = len(trie.tobytes())
        print(f"  marisa-trie: build {t_mb:.2f} s, lookups {t_ml * 1e9 / n:.0f} ns/key, {mbytes / n:.1f} bytes/key "
              f"(index: {ours_bytes / n:.1f} bytes/key)")
        ratio("marisa lookups / ids_of (speed-up)", t_ml, t_ids, 5, lower_is_better=False)
        ratio("marisa build / our build (speed-up)", t_mb, t_ours, 3, lower_is_better=False)
        del trie

    # Threads: 4 threads each running ids_of over its own quarter, repeated.
    chunks = [queries[i::4] for i in range(4)]

    def one_thread():
        for c in chunks:
            idx.ids_of(c)

    def four_threads():
        ts = [threading.Thread(target=idx.ids_of, args=(c,)) for c in chunks]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    t1, _ = best(one_thread)
    t4, _ = best(four_threads)
    cores = len(os.sched_getaffinity(0))
    print(f"  threads: 1 thread {n / t1 / 1e6:.1f} M keys/s, 4 threads {n / t4 / 1e6:.1f} M keys/s "
          f"({cores} processors; the GIL is {'on' if getattr(sys, '_is_gil_enabled', lambda: True)() else 'off'})")
    ratio("4-thread throughput / 1 thread", t1, t4, 3, lower_is_better=False)
    del d, idx


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
    words = sys.argv[2] if len(sys.argv) > 2 else "/usr/share/dict/words"
    marisa = peer_marisa()
    run("random keys of 8-40 bytes", random_keys(n), marisa)
    if os.path.exists(words):
        with open(words, encoding="utf-8", errors="replace") as f:
            wl = list(dict.fromkeys(line.rstrip("\n") for line in f if line.strip()))
        run(f"word list {words}", wl, marisa)
    else:
        print(f"\n(no word list at {words}; pass one as the second argument)")


if __name__ == "__main__":
    main()
