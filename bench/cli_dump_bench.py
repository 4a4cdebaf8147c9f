"""`quorvale dump` of every key-holding kind over 10^7 keys vs `marisa-dump`.

Usage: .venv/bin/python bench/cli_dump_bench.py [--lines N] [--dir DIR] [--only KIND,...]

The keys file is cli_build_bench.py's (half synthetic keys of 8-40 bytes
without tab or CR, half real words made distinct with numeric suffixes,
shuffled; kept in DIR between runs). From it are built a StringIndex, a
DictIndex at blocks 32 and 1,024, a PerfectHashIndex and, when the command
line offers it, a HashedDictIndex, and a `marisa-build` trie of the same
keys. Each `quorvale dump x > /dev/null` and `marisa-dump` runs once under
hyperfine; the table gives keys per second and the ratio to marisa-dump's.
Then the round trip of each blob: `quorvale dump x | quorvale build -
y --index string`, and `quorvale dump y | LC_ALL=C sort` must equal
`LC_ALL=C sort -u` of the keys file. The peers (hyperfine, marisa,
wamerican-huge) are installed here with apt; a missing one is skipped and
said so.
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from cli_build_bench import QUORVALE, make_keys  # noqa: E402

KINDS = {
    "string": ["--index", "string"],
    "dict-32": ["--index", "dict", "--block", "32"],
    "dict-1024": ["--index", "dict", "--block", "1024"],
    "perfect": ["--index", "perfect"],
    "hashed": None,  # not a build kind of the command line: made with the Python class
}


def build(kind, keys, blob, args):
    """Builds one blob of the keys file; an error text when it cannot be made here."""
    if KINDS[kind] is not None:
        r = subprocess.run([QUORVALE, "build", keys, blob] + KINDS[kind], capture_output=True, text=True)
        return None if r.returncode == 0 else (r.stderr.strip() or f"status {r.returncode}")
    import quorvale._core as core

    if not hasattr(core, "HashedDictIndex"):
        return "this build has no HashedDictIndex class"
    dictionary = os.path.join(args.dir, "dump-dict-256.idx")
    r = subprocess.run([QUORVALE, "build", keys, dictionary, "--index", "dict"], capture_output=True, text=True)
    if r.returncode != 0:
        return r.stderr.strip()
    core.HashedDictIndex.from_dict(core.DictIndex.load(dictionary), 8).save(blob)
    return None


def install_peers():
    subprocess.run(["bash", "-c", f"source {HERE}/apt_peers.sh; apt_peers hyperfine marisa wamerican-huge"],
                   check=False)


def once(command, json_path):
    """One run of a shell command under hyperfine: its wall seconds, or None."""
    r = subprocess.run(["hyperfine", "--runs", "1", "--style", "none", "--export-json", json_path, command],
                       capture_output=True, text=True)
    if r.returncode != 0:
        print(f"failed: {command}\n{r.stderr.strip()}")
        return None
    with open(json_path) as f:
        return json.load(f)["results"][0]["mean"]


def digest(command):
    """sha256 of a shell pipeline's output, streamed."""
    p = subprocess.Popen(["bash", "-o", "pipefail", "-c", command], stdout=subprocess.PIPE)
    h = hashlib.sha256()
    for chunk in iter(lambda: p.stdout.read(1 << 20), b""):
        h.update(chunk)
    return h.hexdigest() if p.wait() == 0 else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--lines", type=int, default=10_000_000)
    ap.add_argument("--dir", default="/tmp/quorvale-cli-dump-bench")
    ap.add_argument("--only", default=",".join(KINDS))
    args = ap.parse_args()
    install_peers()
    if not shutil.which("hyperfine"):
        print("hyperfine (Debian's hyperfine) is missing: nothing measured")
        return
    os.makedirs(args.dir, exist_ok=True)
    keys = os.path.join(args.dir, f"keys-{args.lines}.txt")
    make_keys(keys, args.lines)
    print(f"keys file: {args.lines} lines, {os.path.getsize(keys)} bytes, {os.cpu_count()} processors")
    timing = os.path.join(args.dir, "hyperfine.json")

    marisa = None
    if shutil.which("marisa-build") and shutil.which("marisa-dump"):
        trie = os.path.join(args.dir, "keys.marisa")
        subprocess.run(["marisa-build", "-o", trie, keys], check=True, capture_output=True)
        marisa = once(f"marisa-dump {trie} > /dev/null", timing)
    else:
        print("marisa-build / marisa-dump (Debian's marisa) are missing: no peer figures")

    rows = []
    if marisa:
        rows.append(("marisa-dump", marisa))
    blobs = {}
    for kind in args.only.split(","):
        blob = os.path.join(args.dir, f"dump-{kind}.idx")
        failure = build(kind, keys, blob, args)
        if failure:
            print(f"{kind}: not built here ({failure.splitlines()[0]})")
            continue
        blobs[kind] = blob
        seconds = once(f"{QUORVALE} dump {blob} > /dev/null", timing)
        if seconds:
            rows.append((kind, seconds))

    print(f"\n{'dump of':<14}{'seconds':>10}{'Mkeys/s':>10}{'vs marisa-dump':>16}")
    for name, seconds in rows:
        rate = args.lines / seconds / 1e6
        ratio = f"{marisa / seconds:.2f}x" if marisa else "-"
        print(f"{name:<14}{seconds:>10.3f}{rate:>10.2f}{ratio:>16}")

    print("\nround trips: dump x | build - y --index string; dump y | LC_ALL=C sort == LC_ALL=C sort -u keys")
    want = digest(f"LC_ALL=C sort -u {keys}")
    moved = os.path.join(args.dir, "dump-moved.idx")
    for kind, blob in blobs.items():
        r = subprocess.run(["bash", "-o", "pipefail", "-c",
                            f"{QUORVALE} dump {blob} | {QUORVALE} build - {moved} --index string"],
                           capture_output=True, text=True)
        got = digest(f"{QUORVALE} dump {moved} | LC_ALL=C sort") if r.returncode == 0 else None
        print(f"{kind:<14}{'equal' if got == want else 'DIFFERENT'}")


if __name__ == "__main__":
    main()
