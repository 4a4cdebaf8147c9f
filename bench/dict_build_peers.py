#!/usr/bin/env python3
"""The in-memory dictionary build against marisa-trie, by hand:

    .venv/bin/python bench/dict_build_peers.py [--quick]

Corpora: Debian's wamerican-huge word list, the file paths of the installed
packages' lists, and decimal ids 0..10^7 (10^6 with --quick), each in its
natural order (the ids numeric, not sorted as bytes). Per corpus and block
size (32, 256, 1024) it runs build/bench/dict_build_bench (ours, C++, all
cores) and prints bytes a key, build keys a second, and whether the build
writes the same bytes on 1, 2 and 8 workers; marisa-trie's `Trie(keys)` is
timed through Python on the same keys in the same order (best of three) and
its saved size taken, with the ratios ours/peer.

marisa-trie is installed with pip (the word list with apt-get) when missing;
a peer or corpus that cannot be installed is reported as missing.
"""
import glob
import json
import os
import subprocess
import sys
import tempfile
import time

from fst_peers import ROOT, ensure_bench, peer, word_list  # beside this file

BENCH = os.path.join(ROOT, "build", "bench", "dict_build_bench")


def corpora(quick):
    yield "wamerican-huge", word_list("/usr/share/dict/american-english-huge", "wamerican-huge")
    paths = []
    for lst in sorted(glob.glob("/var/lib/dpkg/info/*.list")):
        with open(lst, "rb") as f:
            paths.extend(f.read().split(b"\n"))
    yield "package file paths", paths
    n = 10**6 if quick else 10**7
    yield f"ids 0..{n}", [str(i).encode() for i in range(n)]


def marisa_figures(marisa, keys, tmp):
    texts = [k.decode("utf-8") for k in keys]
    best = float("inf")
    for _ in range(3):
        t0 = time.perf_counter()
        trie = marisa.Trie(texts)
        best = min(best, time.perf_counter() - t0)
    path = os.path.join(tmp, "marisa.bin")
    trie.save(path)
    return {"bytes": os.path.getsize(path), "distinct": len(trie), "build_s": best}


def main():
    quick = "--quick" in sys.argv
    ensure_bench("dict_build_bench")
    marisa = peer("marisa_trie", "marisa-trie")
    with tempfile.TemporaryDirectory() as tmp:
        for name, keys in corpora(quick):
            if keys is None:
                continue
            keys = [k for k in keys if k]
            path = os.path.join(tmp, "keys.txt")
            with open(path, "wb") as f:
                f.write(b"\n".join(keys))
            out = subprocess.run([BENCH, path], capture_output=True, text=True, check=True).stdout
            rows = [json.loads(line) for line in out.splitlines() if line.strip()]
            peer_row = marisa_figures(marisa, keys, tmp) if marisa is not None else None
            for row in rows:
                row = {"corpus": name, **row}
                if peer_row is not None:
                    assert peer_row["distinct"] == row["keys"]
                    row["marisa_bytes_per_key"] = round(peer_row["bytes"] / row["keys"], 4)
                    row["marisa_keys_per_s"] = round(row["keys"] / peer_row["build_s"])
                    row["bytes_vs_marisa"] = round(row["bytes"] / peer_row["bytes"], 3)
                    row["build_speed_vs_marisa"] = round(peer_row["build_s"] / row["build_s"], 2)
                print(json.dumps(row), flush=True)


if __name__ == "__main__":
    main()
