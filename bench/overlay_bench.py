"""Overlay against the Python a user would otherwise write: a dict (key -> id),
a list (id -> key) and a set (retired ids) under one threading.Lock, on the
same bases and the same operations in one run.

    .venv/bin/python bench/overlay_bench.py [base keys] [operations]

For a StringIndex and a PerfectHashIndex base of `base keys` random strings
(default 10^6): a mix of `id` (hits and misses), `add` (new keys and base
keys) and `remove`, on one thread and on 8 threads sharing one overlay
(ops/s and the ratios the goals name); then `compact()` after 10^5 additions
and 10^4 removals against building the same kind from the live keys. The
peer is plain Python: nothing to install.
"""
import gc
import random
import sys
import threading
import time

from quorvale._core import Overlay, PerfectHashIndex, StringIndex

THREADS = 8


class Peer:
    """The dict/list/set overlay under one lock."""

    def __init__(self, keys):
        self.ids = {k: i for i, k in enumerate(keys)}
        self.keys = list(keys)
        self.retired = set()
        self.lock = threading.Lock()

    def id(self, key):
        with self.lock:
            i = self.ids.get(key)
            return None if i is None or i in self.retired else i

    def add(self, key):
        with self.lock:
            i = self.ids.get(key)
            if i is None:
                i = len(self.keys)
                self.keys.append(key)
                self.ids[key] = i
            else:
                self.retired.discard(i)
            return i

    def remove(self, key):
        with self.lock:
            i = self.ids.get(key)
            if i is None or i in self.retired:
                return False
            self.retired.add(i)
            return True


def random_keys(n, rng, prefix=""):
    out = set()
    while len(out) < n:
        out.add(prefix + "".join(rng.choices("abcdefghijklmnopqrstuvwxyz0123456789", k=rng.randint(8, 24))))
    return list(out)


def operations(base, count, rng, tag):
    """(op, key) pairs: 40% id of a base key, 20% id of a stranger, 15% add of
    a new key, 10% add of a base key, 15% remove of a base or added key.
    Fresh str objects, as a caller's keys would be."""
    ops = []
    fresh = 0
    for _ in range(count):
        r = rng.random()
        if r < 0.40:
            ops.append((0, "".join(rng.choice(base))))
        elif r < 0.60:
            ops.append((0, "miss-" + tag + str(rng.randrange(10**9))))
        elif r < 0.75:
            ops.append((1, f"new-{tag}-{fresh}"))
            fresh += 1
        elif r < 0.85:
            ops.append((1, "".join(rng.choice(base))))
        else:
            ops.append((2, "".join(rng.choice(base)) if fresh == 0 or rng.random() < 0.5
                        else f"new-{tag}-{rng.randrange(fresh)}"))
    return ops


def run(target, ops):
    fns = (target.id, target.add, target.remove)
    for op, key in ops:
        fns[op](key)


def timed_threads(target, per_thread):
    threads = [threading.Thread(target=run, args=(target, ops)) for ops in per_thread]
    t = time.perf_counter()
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    return time.perf_counter() - t


class Baseline:
    """A dict lookup behind the same three methods, without a lock: what the
    interpreter itself gives up when the same calls come from 8 threads."""

    def __init__(self):
        self.d = {}

    def id(self, key):
        return self.d.get(key)

    add = remove = id


def gil_baseline(base_keys, n_ops, rng):
    ops = operations(base_keys, n_ops, rng, "base")
    target = Baseline()
    gc.collect()
    t = time.perf_counter()
    run(target, ops)
    one = n_ops / (time.perf_counter() - t)
    per_thread = [operations(base_keys, n_ops // THREADS, rng, f"b{i}") for i in range(THREADS)]
    many = (n_ops // THREADS) * THREADS / timed_threads(target, per_thread)
    print(f"interpreter baseline (no lock, a dict lookup per call): {THREADS} threads vs one {many / one:.2f}x")


def mix(kind, base_keys, n_ops, rng):
    print(f"\n== {kind.__name__} base of {len(base_keys):,} keys, {n_ops:,} operations a run")
    t = time.perf_counter()
    index = kind(base_keys)
    print(f"base built in {time.perf_counter() - t:.2f} s")
    rows = {}
    for name, make in (("Overlay", lambda: Overlay(index)), ("dict+list+set+Lock", lambda: Peer(base_keys))):
        target = make()
        ops = operations(base_keys, n_ops, rng, "one")
        gc.collect()
        t = time.perf_counter()
        run(target, ops)
        one = n_ops / (time.perf_counter() - t)
        target = make()
        per_thread = [operations(base_keys, n_ops // THREADS, rng, f"t{i}") for i in range(THREADS)]
        gc.collect()
        many = (n_ops // THREADS) * THREADS / timed_threads(target, per_thread)
        rows[name] = (one, many)
        print(f"{name:>20}: 1 thread {one / 1e6:6.3f} M ops/s   {THREADS} threads {many / 1e6:6.3f} M ops/s")
    ours, peer = rows["Overlay"], rows["dict+list+set+Lock"]
    print(f"one thread vs peer: {ours[0] / peer[0]:.2f}x (goal >= 0.5x)")
    print(f"{THREADS} threads vs one thread: {ours[1] / ours[0]:.2f}x (goal >= 1.0x); peer {peer[1] / peer[0]:.2f}x")


def best(f, repeat=3):
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        out = f()
        times.append(time.perf_counter() - t)
        del out
    return min(times)


def compaction(kind, base_keys, rng):
    index = kind(base_keys)
    o = Overlay(index)
    for k in random_keys(100_000, rng, "added-"):
        o.add(k)
    for i in rng.sample(range(o.id_space()), 10_000):
        o.retire_id(i)
    live = o.keys()
    compact = best(o.compact)
    build = best(lambda: kind(live))
    print(f"{kind.__name__:>17}: compact() {compact:.3f} s, build from {len(live):,} live keys {build:.3f} s, "
          f"ratio {compact / build:.2f} (goal <= 1.2)")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10**6
    n_ops = int(sys.argv[2]) if len(sys.argv) > 2 else 10**6
    rng = random.Random(2026)
    base_keys = random_keys(n, rng)
    print(f"Python {sys.version.split()[0]}; GIL {'on' if getattr(sys, '_is_gil_enabled', lambda: True)() else 'off'}")
    gil_baseline(base_keys, n_ops, rng)
    for kind in (StringIndex, PerfectHashIndex):
        mix(kind, base_keys, n_ops, rng)
    print(f"\n== compaction after 100,000 additions and 10,000 removals over {n:,} base keys (best of 3)")
    for kind in (StringIndex, PerfectHashIndex):
        compaction(kind, base_keys, rng)


if __name__ == "__main__":
    main()
