#!/usr/bin/env python3
"""Dictionary key(id) against marisa-trie's restore_key on the same keys, by hand:

    .venv/bin/python bench/dict_index_peers.py [--quick]

Corpora: Debian's wamerican-huge word list, decimal ids 0..10^6 and 10^6
URL-like keys. Per corpus it runs build/bench/dict_index_bench --keys (our
decoder in C++, over a blob laid out by the tests' hand writer at block 256
until the dictionary build exists) and times marisa-trie's restore_key for
random ids through Python, and prints both with the ratio ours/peer (goal:
at most 0.5). The peer's figure includes the interpreter's call overhead;
ours does not yet (no Python class): repeat through DictIndex.key once it
exists. marisa-trie is installed with pip when missing; a peer that cannot
be installed is reported as missing.
"""
import os
import random
import subprocess
import sys
import tempfile
import time

from fst_peers import ROOT, ensure_bench, peer, word_list  # beside this file

BENCH = os.path.join(ROOT, "build", "bench", "dict_index_bench")


def corpora(quick):
    words = word_list("/usr/share/dict/american-english-huge", "wamerican-huge")
    if words is not None:
        yield "wamerican-huge", [w for w in words if w]
    n = 10**5 if quick else 10**6
    yield f"ids 0..{n}", [str(i).encode() for i in range(n)]
    rng = random.Random(7)
    hosts = [f"www.{rng.choice(['shop', 'news', 'blog', 'docs'])}{i}.example" for i in range(2000)]
    urls = set()
    while len(urls) < n:
        urls.add(f"https://{rng.choice(hosts)}/{rng.choice(['item', 'page', 'user'])}/{rng.randrange(10**7)}".encode())
    yield f"urls x {n}", sorted(urls)


def ours(keys, tmp):
    path = os.path.join(tmp, "keys")
    with open(path, "wb") as f:
        f.write(b"\n".join(keys))
    out = subprocess.run([BENCH, "--keys", path], check=True, capture_output=True, text=True).stdout
    return {k: float(v) for k, v in (line.split() for line in out.splitlines())}


def marisa_key_ns(marisa, keys):
    trie = marisa.Trie([k.decode() for k in keys])
    ids = [random.randrange(len(trie)) for _ in range(10**6)]
    restore = trie.restore_key
    best = float("inf")
    for _ in range(3):
        t0 = time.perf_counter()
        for i in ids:
            restore(i)
        best = min(best, time.perf_counter() - t0)
    with tempfile.NamedTemporaryFile() as f:
        trie.save(f.name)
        size = os.path.getsize(f.name)
    return best / len(ids) * 1e9, size


def main():
    quick = "--quick" in sys.argv
    ensure_bench("dict_index_bench")
    marisa = peer("marisa_trie", "marisa-trie")
    print(f"{'corpus':<18} {'keys':>9} {'raw MB':>8} {'blob MB':>8} {'marisa MB':>9} "
          f"{'key ns':>7} {'marisa ns':>9} {'ratio':>6} {'iter ns':>7}")
    with tempfile.TemporaryDirectory() as tmp:
        for name, keys in corpora(quick):
            keys = sorted(set(keys))
            o = ours(keys, tmp)
            m_ns, m_size = marisa_key_ns(marisa, keys) if marisa else (float("nan"), float("nan"))
            print(f"{name:<18} {int(o['keys']):>9} {o['raw_bytes'] / 1e6:>8.2f} {o['blob_bytes'] / 1e6:>8.2f} "
                  f"{m_size / 1e6:>9.2f} {o['key_ns']:>7.0f} {m_ns:>9.0f} {o['key_ns'] / m_ns:>6.2f} "
                  f"{o['iter_ns']:>7.0f}", flush=True)


if __name__ == "__main__":
    main()
