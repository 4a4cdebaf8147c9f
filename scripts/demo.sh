#!/usr/bin/env bash
# The main job: set everything up, then build a perfect-hash index over the
# sample keys file, save it, map it back and query it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python - examples/sample-keys.txt <<'PY'
import os
import sys
import tempfile

import quorvale._core as c
from quorvale._core import PerfectHashIndex

print("quorvale._core:", c.__all__)
keys_file = sys.argv[1]
with open(keys_file, encoding="utf-8") as f:
    keys = [line.rstrip("\n") for line in f if line.rstrip("\n")]

index = PerfectHashIndex(keys, fingerprints=True)
with tempfile.TemporaryDirectory() as d:
    path = os.path.join(d, "sample.bmp8")
    index.save(path)
    mapped = PerfectHashIndex.load_mmap(path)
    size = os.path.getsize(path)
    ids = mapped.ids_of(keys)
    assert sorted(ids) == list(range(len(keys))) and mapped.keys_of(ids) == keys
    # The same index streamed straight to a file from a replayable source.
    streamed = os.path.join(d, "streamed.bmp8")
    n = PerfectHashIndex.build_to_file(lambda: open(keys_file, encoding="utf-8").read().splitlines(), streamed,
                                       fingerprints=True)
    same = PerfectHashIndex.load(streamed).ids_of(keys) == ids
    print(f"{keys_file}: {len(keys)} keys, {sum(len(k.encode()) for k in keys)} key bytes")
    print(f"saved {size} bytes ({size / len(keys):.1f} bytes/key), mapped back: {len(mapped)} keys, "
          f"every key found, ids 0..{len(keys) - 1}")
    for q in (keys[0], keys[len(keys) // 2], next(k for k in keys if not k.isascii()), "not-a-key"):
        i = mapped.id(q)
        print(f"  id({q!r}) = {i}" + (f", key({i}) = {mapped.key(i)!r}" if i is not None else ""))
    print(f"build_to_file over the same file: {n} keys, same ids: {same}")
PY

# The same keys through the command line: the planner picks a kind, build
# writes it, inspect reads its header, dump gives the keys back.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
q=.venv/bin/quorvale
"$q" build examples/sample-keys.txt "$tmp/sample.idx" 2>"$tmp/build.log"
tail -n 1 "$tmp/build.log"
"$q" inspect "$tmp/sample.idx"
"$q" dump "$tmp/sample.idx" | LC_ALL=C sort >"$tmp/dumped.txt"
grep -v '^$' examples/sample-keys.txt | LC_ALL=C sort -u | cmp - "$tmp/dumped.txt"
echo "dump gives back the $(wc -l <"$tmp/dumped.txt") keys of examples/sample-keys.txt"
