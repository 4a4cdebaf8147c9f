#!/usr/bin/env python3
"""StringIndex core against its peers on the same keys, by hand:

    .venv/bin/python bench/string_index_peers.py [--full]

Corpora: those of bench/fst_peers.py (word lists, decimal ids, UUIDs, file
paths; the ids at 10^6, or 10^7 with --full) and 10^6 random keys of 4 to 20
characters. Our side runs in build/bench/string_index_bench (C++); the peers
run through Python, so their per-call figures include the interpreter:
ducer's `Map.get` and marisa-trie's `trie[key]` (hits and misses, shuffled),
marisa-trie's `islice(trie.iteritems(prefix), 10)` over 1- to 3-character
prefixes, and on the random keys rapidfuzz's brute-force `process.extract`
at distances 1 and 2 (its result set is compared with ours). Also
`from_bytes` against `from_untrusted_bytes`.

Peers are installed with pip when missing; a peer that cannot be installed
is reported as missing and its columns stay empty.
"""
import importlib.util
import json
import os
import random
import subprocess
import sys
import tempfile
import time
from itertools import islice

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "build", "bench", "string_index_bench")

spec = importlib.util.spec_from_file_location("fst_peers", os.path.join(ROOT, "bench", "fst_peers.py"))
fst_peers = importlib.util.module_from_spec(spec)
spec.loader.exec_module(fst_peers)


def random_keys(n, rng):
    alphabet = "abcdefghijklmnopqrstuvwxyz" * 4 + "éü東京ß"
    out = set()
    while len(out) < n:
        out.add("".join(rng.choice(alphabet) for _ in range(rng.randint(4, 20))))
    return out


def write_lines(path, items):
    with open(path, "wb") as f:
        f.write(b"".join(s.encode() + b"\n" for s in items))


def ratio(a, b, digits=3):
    return round(a / b, digits) if b else None


def per_call_ns(fn, items):
    t0 = time.perf_counter()
    for k in items:
        fn(k)
    return (time.perf_counter() - t0) / max(1, len(items)) * 1e9


def main():
    full = "--full" in sys.argv
    fst_peers.ensure_bench("string_index_bench")
    ducer = fst_peers.peer("ducer", "ducer")
    marisa = fst_peers.peer("marisa_trie", "marisa-trie")
    rapidfuzz = fst_peers.peer("rapidfuzz", "rapidfuzz")
    rng = random.Random(19)
    corpora = [(name, keys) for name, keys in fst_peers.corpora(not full)]
    corpora.append(("random 4-20 chars x 10^6", random_keys(10**6, rng)))
    with tempfile.TemporaryDirectory() as tmp:
        for name, raw in corpora:
            if raw is None:
                continue
            keys = set()
            for k in raw:
                s = k.decode("utf-8", "strict") if isinstance(k, bytes) else k
                if s and "\n" not in s:
                    keys.add(s)
            keys = sorted(keys, key=lambda s: s.encode())
            key_set = set(keys)
            hits = rng.sample(keys, min(len(keys), 10**6))
            misses = []
            for k in rng.sample(keys, min(len(keys), 10**6)):
                i = rng.randrange(len(k))
                m = k[:i] + "\x7f" + k[i + 1:]
                if m not in key_set:
                    misses.append(m)
            prefixes = []
            for k in rng.sample(keys, min(len(keys), 20000)):
                prefixes.append(k[:rng.randint(1, 3)])
            is_random = name.startswith("random")
            fuzzy = [k if i % 2 else k[:-1] + "q" for i, k in enumerate(rng.sample(keys, 20))] if is_random else []
            paths = {n: os.path.join(tmp, n) for n in ("keys", "hits", "misses", "prefixes", "fuzzy")}
            for n, items in (("keys", keys), ("hits", hits), ("misses", misses), ("prefixes", prefixes),
                             ("fuzzy", fuzzy)):
                write_lines(paths[n], items)
            ours = json.loads(subprocess.run([BENCH] + [paths[n] for n in ("keys", "hits", "misses", "prefixes", "fuzzy")],
                                             capture_output=True, text=True, check=True).stdout)
            fuzzy_ids = ours.pop("fuzzy")
            row = {"corpus": name, "keys": len(keys), "ours": dict(ours)}
            ratios = {"from_untrusted_vs_from_bytes": ratio(ours["from_untrusted_bytes_ms"], ours["from_bytes_ms"], 1)}
            if ducer is not None:
                data = ducer.Map.build(":memory:", ((k.encode(), i) for i, k in enumerate(keys)))
                m = ducer.Map(data)
                get = m.get
                bh, bm = [k.encode() for k in hits], [k.encode() for k in misses]
                row["ducer"] = {"bytes": len(data), "get_hit_ns": per_call_ns(get, bh), "get_miss_ns": per_call_ns(get, bm)}
                ratios["bytes_vs_ducer"] = ratio(ours["blob_bytes"], len(data), 4)
                ratios["id_hit_vs_ducer"] = ratio(ours["id_hit_ns"], row["ducer"]["get_hit_ns"], 3)
                ratios["id_miss_vs_ducer"] = ratio(ours["id_miss_ns"], row["ducer"]["get_miss_ns"], 3)
                del m, data, bh, bm
            if marisa is not None:
                trie = marisa.Trie(keys)

                def lookup(k, trie=trie):
                    try:
                        return trie[k]
                    except KeyError:
                        return None

                row["marisa"] = {"get_hit_ns": per_call_ns(lookup, hits), "get_miss_ns": per_call_ns(lookup, misses),
                                 "prefix10_ns": per_call_ns(lambda p: list(islice(trie.iteritems(p), 10)), prefixes)}
                ratios["id_hit_vs_marisa"] = ratio(ours["id_hit_ns"], row["marisa"]["get_hit_ns"], 3)
                ratios["id_miss_vs_marisa"] = ratio(ours["id_miss_ns"], row["marisa"]["get_miss_ns"], 3)
                ratios["prefix10_speedup_vs_marisa"] = ratio(row["marisa"]["prefix10_ns"], ours["prefix10_ns"], 2)
                del trie
            if rapidfuzz is not None and fuzzy:
                from rapidfuzz import process
                from rapidfuzz.distance import Levenshtein
                for d in ("1", "2"):
                    t0 = time.perf_counter()
                    same = True
                    for q, ids in zip(fuzzy, fuzzy_ids[d]["ids"]):
                        got = process.extract(q, keys, scorer=Levenshtein.distance, score_cutoff=int(d), limit=None)
                        same &= sorted(i for _, _, i in got) == ids
                    ns = (time.perf_counter() - t0) / len(fuzzy) * 1e9
                    row.setdefault("rapidfuzz", {})[f"d{d}_ns_per_query"] = ns
                    ratios[f"fuzzy_d{d}_speedup_vs_rapidfuzz"] = ratio(ns, fuzzy_ids[d]["ns_per_query"], 1)
                    ratios[f"fuzzy_d{d}_same_set"] = same
            elif fuzzy:
                for d in ("1", "2"):
                    row["ours"][f"fuzzy_d{d}_ns_per_query"] = fuzzy_ids[d]["ns_per_query"]
            row["ratios"] = ratios
            print(json.dumps(row), flush=True)


if __name__ == "__main__":
    main()
