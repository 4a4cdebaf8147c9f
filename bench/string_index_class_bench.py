#!/usr/bin/env python3
"""The StringIndex Python class against marisa-trie, ducer and rapidfuzz on
the same keys, in one run, by hand:

    .venv/bin/python bench/string_index_class_bench.py [--full]

Corpora: Debian's wamerican and wamerican-huge word lists, 10^6 generated
keys of 4 to 20 characters and (with --full) 10^7 of them. Lookups use fresh
str objects (no cached hash or UTF-8) in shuffled order, hits and misses.

Per corpus:
- `ids_of(keys)` per key against marisa-trie's `trie[key]` in a loop (goal:
  at least 3x faster);
- iteration, `for pair in index`, in pairs/s against marisa-trie's
  `iteritems()` (goal: at least 2x);
- the single-key `id` through the class against ducer's `Map.get` and
  marisa-trie's `trie[key]` (the core's goals: at most ducer's time and at
  most 0.5x marisa-trie's);
- `prefix(p, limit=10)` over 1- to 3-character prefixes against
  `islice(trie.iteritems(p), 10)` (goal: at least marisa-trie's speed);
- on the generated keys, `fuzzy(q, d)` at d = 1 and 2 against rapidfuzz's
  brute-force `process.extract` (goal: at least 100x; the id sets must agree).

Peers are installed with pip when missing; a peer that cannot be installed
is reported and its lines are skipped.
"""
import gc
import json
import os
import random
import sys
import time
from itertools import islice

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import fst_peers  # noqa: E402

from quorvale._core import StringIndex  # noqa: E402


def generated_keys(n, seed):
    rng = random.Random(seed)
    alphabet = "abcdefghijklmnopqrstuvwxyz" * 4 + "éü東京ß"
    out = set()
    while len(out) < n:
        out.add("".join(rng.choice(alphabet) for _ in range(rng.randint(4, 20))))
    return sorted(out)


def fresh(keys, rng):
    q = [k.encode().decode() for k in keys]
    rng.shuffle(q)
    return q


def best_ns(f, count, repeat=3):
    """Best of `repeat` runs of f(), per item."""
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return min(times) / max(1, count) * 1e9


def ratio(a, b, digits=2):
    return round(a / b, digits) if b else None


def corpora(full):
    for name, path, package in (("wamerican", "/usr/share/dict/american-english", "wamerican"),
                                ("wamerican-huge", "/usr/share/dict/american-english-huge", "wamerican-huge")):
        raw = fst_peers.word_list(path, package)
        if raw is not None:
            yield name, sorted({w.decode("utf-8", "replace") for w in raw if w}), False
    yield "generated 4-20 chars x 10^6", generated_keys(10**6, 19), True
    if full:
        yield "generated 4-20 chars x 10^7", generated_keys(10**7, 20), False


def main():
    full = "--full" in sys.argv
    marisa = fst_peers.peer("marisa_trie", "marisa-trie")
    ducer = fst_peers.peer("ducer", "ducer")
    rapidfuzz = fst_peers.peer("rapidfuzz", "rapidfuzz")
    rng = random.Random(7)
    for name, keys, with_fuzzy in corpora(full):
        key_set = set(keys)
        sample = rng.sample(keys, min(len(keys), 10**6))
        hits = fresh(sample, rng)
        misses = []
        for k in sample:
            i = rng.randrange(len(k))
            m = k[:i] + "\x7f" + k[i + 1:]
            if m not in key_set:
                misses.append(m)
        misses = fresh(misses, rng)
        prefixes = fresh([k[:rng.randint(1, 3)] for k in rng.sample(keys, min(len(keys), 20000))], rng)
        idx = StringIndex(keys)
        row = {"corpus": name, "keys": len(keys), "ours": {}, "ratios": {}}
        ours, ratios = row["ours"], row["ratios"]

        ours["ids_of_ns"] = best_ns(lambda: idx.ids_of(hits), len(hits))
        id_ = idx.id
        ours["id_hit_ns"] = best_ns(lambda: [id_(k) for k in hits], len(hits))
        ours["id_miss_ns"] = best_ns(lambda: [id_(k) for k in misses], len(misses))
        ours["iter_pairs_per_s"] = len(keys) / best_ns(lambda: sum(1 for _ in idx), 1) * 1e9
        ours["prefix10_ns"] = best_ns(lambda: [idx.prefix(p, 10) for p in prefixes], len(prefixes))

        if marisa is not None:
            trie = marisa.Trie(keys)

            def lookup_all(items, trie=trie):
                for k in items:
                    try:
                        trie[k]
                    except KeyError:
                        pass

            m_hit = best_ns(lambda: lookup_all(hits), len(hits))
            m_miss = best_ns(lambda: lookup_all(misses), len(misses))
            m_iter = len(keys) / best_ns(lambda: sum(1 for _ in trie.iteritems()), 1) * 1e9
            m_prefix = best_ns(lambda: [list(islice(trie.iteritems(p), 10)) for p in prefixes], len(prefixes))
            row["marisa"] = {"get_hit_ns": m_hit, "get_miss_ns": m_miss, "iter_pairs_per_s": m_iter,
                             "prefix10_ns": m_prefix}
            ratios["ids_of_speedup_vs_marisa_get (goal >= 3)"] = ratio(m_hit, ours["ids_of_ns"])
            ratios["iter_speedup_vs_marisa (goal >= 2)"] = ratio(ours["iter_pairs_per_s"], m_iter)
            ratios["id_hit_vs_marisa (goal <= 0.5)"] = ratio(ours["id_hit_ns"], m_hit, 3)
            ratios["id_miss_vs_marisa (goal <= 0.5)"] = ratio(ours["id_miss_ns"], m_miss, 3)
            ratios["prefix10_speedup_vs_marisa (goal >= 1)"] = ratio(m_prefix, ours["prefix10_ns"])
            del trie
        if ducer is not None:
            data = ducer.Map.build(":memory:", ((k.encode(), i) for i, k in enumerate(keys)))
            dmap = ducer.Map(data)
            get = dmap.get
            bh, bm = [k.encode() for k in hits], [k.encode() for k in misses]
            d_hit = best_ns(lambda: [get(k) for k in bh], len(bh))
            d_miss = best_ns(lambda: [get(k) for k in bm], len(bm))
            row["ducer"] = {"get_hit_ns": d_hit, "get_miss_ns": d_miss}
            ratios["id_hit_vs_ducer (goal <= 1)"] = ratio(ours["id_hit_ns"], d_hit, 3)
            ratios["id_miss_vs_ducer (goal <= 1)"] = ratio(ours["id_miss_ns"], d_miss, 3)
            del dmap, data, bh, bm
        if with_fuzzy:
            queries = [k if i % 2 else k[:-1] + "q" for i, k in enumerate(rng.sample(keys, 20))]
            for d in (1, 2):
                found = []
                t0 = time.perf_counter()
                for q in queries:
                    found.append(sorted(i for _, i in idx.fuzzy(q, d)))
                ns = (time.perf_counter() - t0) / len(queries) * 1e9
                ours[f"fuzzy_d{d}_ns"] = ns
                if rapidfuzz is None:
                    continue
                from rapidfuzz import process
                from rapidfuzz.distance import Levenshtein
                t0 = time.perf_counter()
                theirs = [sorted(i for _, _, i in process.extract(q, keys, scorer=Levenshtein.distance,
                                                                   score_cutoff=d, limit=None)) for q in queries]
                r_ns = (time.perf_counter() - t0) / len(queries) * 1e9
                row.setdefault("rapidfuzz", {})[f"d{d}_ns"] = r_ns
                ratios[f"fuzzy_d{d}_speedup_vs_rapidfuzz (goal >= 100)"] = ratio(r_ns, ns, 1)
                ratios[f"fuzzy_d{d}_same_set"] = theirs == found
        print(json.dumps(row), flush=True)
        del idx


if __name__ == "__main__":
    main()
