"""DictIndex from Python against marisa-trie, on the same keys in one run.

    .venv/bin/python bench/dict_class_bench.py [--generated N] [--stream-gb G] [--dir DIR] [--skip-stream]
        [--only words|urls|generated ...] [--skip-lookups] [--dawg-max N]

1. Lookups and iteration, per corpus (Debian's wamerican-huge words, 10^6
   generated URLs, N = 10^7 generated keys of 8 to 40 bytes), with fresh
   shuffled str queries made for the purpose (members only: marisa-trie's
   `key_id` raises for others), the block 256; each time the median of three
   runs, the machine's load printed beside them:
   - `d.ids_of(queries)`, `d.ids_of_bytes(queries)` and `d.ids_into(queries,
     out)` per key against `[t.key_id(q) for q in queries]` (marisa-trie has
     no batch call) and against dawg2's per-key lookups, also without a batch
     call: `[g.get(q) for q in queries]` on an `IntDAWG` mapping each key to
     its rank (the lookup that maps a key to an id) and `[q in w for q in
     queries]` on a `DAWG` (membership only, its fastest lookup).
     `[d.id(q) for q in queries]` beside them, before and after
     `route_microblocks()`. Targets: each batch form at most 0.33x marisa's
     `key_id` and at most 1.0x the `IntDAWG` lookup (the ratio to the `DAWG`
     membership test is printed too).
   - iteration, keys/s of `for k, i in d` against `for k, i in t.iteritems()`.
     Target: at least 2x.
2. `DictIndex.build_to_file` over a generator of the lines of a keys file of
   about G = 2 GB (URL-like lines of ~57 bytes, 10% repeats, shuffled; made
   once in DIR), in a child process reporting its peak RSS (VmHWM; GNU
   `time -v` reports the same figure), against a child that reads the lines
   into a list, builds `DictIndex(list)` and saves it. Targets: peak RSS at
   most 1 GiB, wall at most 1.5x the in-memory road, the same bytes.
   Mind the memory: the in-memory road peaks near 6 GB at 2 GB of keys.

marisa-trie and dawg2 are installed with pip (and the word list with apt-get)
when missing; a missing peer is reported and its ratios skipped. dawg2's
automata over 10^7 keys take minutes and gigabytes to build: `--dawg-max`
(default 10^7) skips them above that many keys.
"""
import argparse
import gc
import hashlib
import json
import os
import random
import subprocess
import sys
import tempfile
import time

import numpy as np

from fst_peers import peer, word_list  # beside this file
from keyless_stream_bench import best, file_sha256, key_lines, mix

from quorvale._core import DictIndex


def fresh(keys, count, seed):
    """`count` members, shuffled, each a new str object (no cached UTF-8)."""
    rng = random.Random(seed)
    picks = [keys[rng.randrange(len(keys))] for _ in range(count)]
    return [k.encode().decode() for k in picks]


def verdict(ok):
    return "met" if ok else "NOT met"


def median3(f):
    """The median time of three runs of f, and its last result."""
    times = []
    for _ in range(3):
        gc.collect()
        t = time.perf_counter()
        out = f()
        times.append(time.perf_counter() - t)
    return sorted(times)[1], out


def load():
    return "load " + " ".join(f"{x:.2f}" for x in os.getloadavg())


def lookup_bench(name, keys, marisa, dawg, dawg_max, queries_count):
    keys = sorted(set(keys))
    n = len(keys)
    print(f"\n== {name}: {n} keys, {sum(map(len, keys)) / n:.1f} chars/key")
    t_build, d = best(lambda: DictIndex(keys), 1)
    print(f"  DictIndex(keys): {t_build:.2f} s, {d.serialized_len() / n:.3f} B/key")
    queries = fresh(keys, queries_count, n)
    q = len(queries)
    out = np.empty(q, dtype=np.uint64)
    print(f"  ({load()})")
    t_batch, ids = median3(lambda: d.ids_of(queries))
    t_bytes, packed = median3(lambda: d.ids_of_bytes(queries))
    t_into, _ = median3(lambda: d.ids_into(queries, out))
    t_single, single = median3(lambda: [d.id(k) for k in queries])
    assert ids == single and None not in ids
    assert np.frombuffer(packed, dtype=np.uint64).tolist() == ids == out.tolist()
    routed_bytes = d.route_microblocks()
    t_batch_r, _ = median3(lambda: d.ids_of(queries))
    t_single_r, _ = median3(lambda: [d.id(k) for k in queries])
    forms = {"ids_of": t_batch, "ids_of_bytes": t_bytes, "ids_into": t_into}
    print("  " + ", ".join(f"{f} {t / q * 1e9:.0f} ns/key" for f, t in forms.items()) +
          f", [d.id(k)] {t_single / q * 1e9:.0f} ns/key; after route_microblocks() ({routed_bytes / n:.2f} B/key): "
          f"ids_of {t_batch_r / q * 1e9:.0f} ns/key, [d.id(k)] {t_single_r / q * 1e9:.0f} ns/key "
          f"({t_single / t_single_r:.2f}x)")
    d = DictIndex(keys)  # unrouted again
    t_iter, count = best(lambda: sum(1 for _ in d))
    assert count == n
    print(f"  iteration: {n / t_iter / 1e6:.2f} M keys/s")
    if marisa is None:
        print("  (marisa-trie missing: no ratios to it)")
    else:
        t_mbuild, t = best(lambda: marisa.Trie(keys), 1)
        t_mid, mids = median3(lambda: [t.key_id(k) for k in queries])
        t_miter, mcount = best(lambda: sum(1 for _ in t.iteritems()))
        assert mcount == n
        print(f"  marisa-trie: Trie(keys) {t_mbuild:.2f} s, key_id {t_mid / q * 1e9:.0f} ns/key, iteritems "
              f"{n / t_miter / 1e6:.2f} M keys/s ({load()})")
        for f, t_ours in forms.items():
            r = t_ours / t_mid
            print(f"  {f} / marisa key_id: {r:.2f}x (target <= 0.33x: {verdict(r <= 0.33)})")
        print(f"  [d.id(k)] / marisa key_id: {t_single / t_mid:.2f}x")
        r = t_miter / t_iter
        print(f"  iteration vs marisa iteritems: {r:.2f}x (target >= 2x: {verdict(r >= 2)})")
        del t
    if dawg is None:
        print("  (dawg2 missing: no ratios to it)")
    elif n > dawg_max:
        print(f"  (dawg2 skipped above {dawg_max} keys: --dawg-max)")
    else:
        t_gbuild, g = best(lambda: dawg.IntDAWG(zip(keys, range(n))), 1)
        t_get, gids = median3(lambda: [g.get(k) for k in queries])
        assert gids == ids
        del g
        t_wbuild, w = best(lambda: dawg.DAWG(keys), 1)
        t_in, hits = median3(lambda: [k in w for k in queries])
        assert all(hits)
        del w
        print(f"  dawg2: IntDAWG(keys -> rank) {t_gbuild:.2f} s, get {t_get / q * 1e9:.0f} ns/key; DAWG(keys) "
              f"{t_wbuild:.2f} s, `in` {t_in / q * 1e9:.0f} ns/key ({load()})")
        for f, t_ours in forms.items():
            r = t_ours / t_get
            print(f"  {f} / dawg2 IntDAWG.get: {r:.2f}x (target <= 1.0x: {verdict(r <= 1.0)}); "
                  f"/ DAWG `in` (membership only): {t_ours / t_in:.2f}x")


SYLLABLES = ["ka", "lo", "mi", "ne", "su", "ta", "ri", "po", "de", "va", "shi", "ron", "el", "an", "tor", "bel"]
VOCABULARY = [a + b + c for a in SYLLABLES for b in SYLLABLES for c in ("", "s", "ing", "er")]
HOSTS = ["https://www.example.com/", "https://docs.example.org/wiki/", "http://shop.example.net/p/",
         "https://news.example.co.uk/2024/", "https://blog.example.io/posts/", "https://cdn.example.com/static/"]
TAILS = ["", ".html", "?ref=home", "#comments", "/edit", "?page=2"]


def url_lines(numbers):
    """Line i: a URL-like key of about 60 bytes (host, two path words, a number), derived from i alone."""
    numbers = numbers.astype(np.uint64)
    with np.errstate(over="ignore"):
        h = [mix(numbers * np.uint64(8) + np.uint64(w)) for w in range(4)]
    host = (h[0] % np.uint64(len(HOSTS))).tolist()
    a = (h[1] % np.uint64(len(VOCABULARY))).tolist()
    b = (h[2] % np.uint64(len(VOCABULARY))).tolist()
    num = (h[3] % np.uint64(10**7)).tolist()
    tail = ((h[3] >> np.uint64(40)) % np.uint64(len(TAILS))).tolist()
    return "".join(f"{HOSTS[host[i]]}{VOCABULARY[a[i]]}/{VOCABULARY[b[i]]}-{num[i]}{TAILS[tail[i]]}\n"
                   for i in range(len(num))).encode()


def make_url_file(path, target_bytes, seed=17):
    if os.path.exists(path):
        return
    lines = target_bytes // 58
    print(f"writing about {target_bytes / 1e9:.1f} GB ({lines} lines) to {path} ...", flush=True)
    rng = np.random.default_rng(seed)
    distinct = lines - lines // 10
    order = np.concatenate([np.arange(distinct, dtype=np.uint64),
                            rng.integers(0, distinct, lines - distinct, dtype=np.uint64)])
    rng.shuffle(order)
    tmp = path + ".part"
    with open(tmp, "wb") as f:
        for at in range(0, lines, 1_000_000):
            f.write(url_lines(order[at:at + 1_000_000]))
    del order
    os.replace(tmp, path)


def peak_rss():
    """This process's own high-water mark (ru_maxrss would carry the parent's from before the exec)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024


def run_child(what, keys_path, out_path):
    def lines():
        with open(keys_path, encoding="utf-8") as f:
            for line in f:
                yield line[:-1]

    t = time.perf_counter()
    if what == "stream":
        n = DictIndex.build_to_file(lines(), out_path)
    else:
        keys = list(lines())
        d = DictIndex(keys)
        del keys
        d.save(out_path)
        n = len(d)
    print(json.dumps({"n": n, "seconds": time.perf_counter() - t, "rss": peak_rss()}))


def child(what, keys_path, out_path):
    r = subprocess.run([sys.executable, __file__, "--child", what, keys_path, out_path], capture_output=True,
                       text=True)
    if r.returncode != 0:
        sys.exit(f"{what} child failed:\n{r.stderr}")
    return json.loads(r.stdout)


def stream_bench(gb, work):
    keys = os.path.join(work, f"urls-{gb:g}GB.txt")
    make_url_file(keys, int(gb * 1e9))
    size = os.path.getsize(keys)
    print(f"\n== keys file {keys}: {size / 1e9:.2f} GB")
    out_s, out_m = os.path.join(work, "stream.bdx"), os.path.join(work, "memory.bdx")
    s = child("stream", keys, out_s)
    print(f"  build_to_file(<generator of lines>): {s['seconds']:.1f} s, peak RSS {s['rss'] / 2**20:.0f} MiB, "
          f"{s['n']} distinct keys, {os.path.getsize(out_s) / s['n']:.3f} B/key")
    m = child("memory", keys, out_m)
    print(f"  list + DictIndex(list) + save: {m['seconds']:.1f} s, peak RSS {m['rss'] / 2**20:.0f} MiB")
    same = m["n"] == s["n"] and file_sha256(out_s) == file_sha256(out_m)
    print(f"  same bytes: {'yes' if same else 'NO'}")
    print(f"  peak RSS {s['rss'] / 2**30:.3f} GiB (target <= 1 GiB: {verdict(s['rss'] <= 2**30)})")
    r = s["seconds"] / m["seconds"]
    print(f"  wall vs the in-memory road: {r:.2f}x (target <= 1.5x: {verdict(r <= 1.5)})")
    os.remove(out_s)
    os.remove(out_m)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--generated", type=int, default=10**7)
    p.add_argument("--queries", type=int, default=10**6)
    p.add_argument("--dawg-max", type=int, default=10**7)
    p.add_argument("--skip-lookups", action="store_true")
    p.add_argument("--only", choices=["words", "urls", "generated"], action="append")
    p.add_argument("--stream-gb", type=float, default=2.0)
    p.add_argument("--skip-stream", action="store_true")
    p.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "quorvale-dict-class"))
    p.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        return run_child(*a.child)
    os.makedirs(a.dir, exist_ok=True)
    marisa = peer("marisa_trie", "marisa-trie")
    dawg = peer("dawg", "dawg2")
    only = set(a.only or ["words", "urls", "generated"]) if not a.skip_lookups else set()
    words = word_list("/usr/share/dict/american-english-huge", "wamerican-huge") if "words" in only else None
    if words is not None:
        lookup_bench("wamerican-huge", [w.decode() for w in words if w], marisa, dawg, a.dawg_max, a.queries)
    if "urls" in only:
        urls = url_lines(np.arange(10**6, dtype=np.uint64)).decode().split("\n")[:-1]
        lookup_bench("URLs x 10^6", urls, marisa, dawg, a.dawg_max, a.queries)
        del urls
    if a.generated and "generated" in only:
        generated = key_lines(np.arange(a.generated, dtype=np.uint64)).decode().split("\n")[:-1]
        lookup_bench(f"generated x {a.generated}", generated, marisa, dawg, a.dawg_max, a.queries)
        del generated
    if not a.skip_stream:
        stream_bench(a.stream_gb, a.dir)


if __name__ == "__main__":
    sys.exit(main())
