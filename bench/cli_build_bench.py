"""`quorvale build` over a 10^7-line keys file vs `marisa-build`.

Usage: .venv/bin/python bench/cli_build_bench.py [--lines N] [--dir DIR] [--only KIND,...]

The keys file (kept in DIR between runs): half synthetic keys of 8-40 bytes
(printable ASCII and a few two- and three-byte characters, no tab, CR or
line feed), half words of Debian's wamerican-huge made distinct with a
numeric suffix, shuffled; every key distinct, so that the streamed
perfect-hash build takes it too. Each build runs once under GNU time -v
(Debian's `time`): wall time and maximum RSS for every `--index` kind and for
auto, on both roads (`--stream never`, `--stream always`), and
`marisa-build` (Debian's `marisa`) on the same file, with each blob's bytes
beside marisa's and the ratios to marisa. For the in-memory road it also
prints what the build added above the key list it holds, against the blob
(target: at most 2.5x): the maximum RSS less that of `quorvale --version`
and less the list itself, counted as every key's bytes plus a 16-byte view
of each (an estimate: the list's own allocations are not sampled). The peers are installed here
(apt); a missing one is skipped and said so. Run alone: the in-memory road
holds the corpus.
"""

import argparse
import os
import random
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
QUORVALE = os.path.join(os.path.dirname(sys.executable), "quorvale")
TIME = "/usr/bin/time"
WORDS = "/usr/share/dict/american-english-huge"
KINDS = ["dict", "string", "compact", "closed", "perfect", "auto"]


def install_peers():
    subprocess.run(["bash", "-c", f"source {HERE}/apt_peers.sh; apt_peers time marisa wamerican-huge"], check=False)


def make_keys(path, lines):
    if os.path.exists(path):
        with open(path, "rb") as f:
            if sum(1 for _ in f) == lines:
                return
    rng = random.Random(2024)
    alphabet = [chr(c) for c in range(0x21, 0x7F)] + ["é", "ß", "ж", "€", "中", "—"]
    keys = set()
    half = lines // 2
    while len(keys) < half:
        n = rng.randint(8, 40)
        k = "".join(rng.choice(alphabet) for _ in range(n))
        while len(k.encode()) > 40:
            k = k[:-1]
        if len(k.encode()) >= 8:
            keys.add(k)
    synthetic = list(keys)
    if os.path.exists(WORDS):
        with open(WORDS, encoding="utf-8") as f:
            words = [w for w in (line.rstrip("\n") for line in f) if w and "\t" not in w and "\r" not in w]
    else:
        print(f"{WORDS} is missing (Debian's wamerican-huge): words generated instead")
        words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(3, 12)))
                 for _ in range(100_000)]
    words = sorted(set(words))
    made = [f"{words[i % len(words)]}{i // len(words)}" for i in range(lines - half)]
    all_keys = synthetic + made
    rng.shuffle(all_keys)
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write("\n".join(all_keys))
        f.write("\n")
    os.replace(tmp, path)


def timed(cmd):
    """Runs cmd under GNU time -v: (status, wall seconds, max RSS in KiB, its own stderr)."""
    r = subprocess.run([TIME, "-v"] + cmd, capture_output=True, text=True)
    err = r.stderr
    m = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", err)
    parts = [float(p) for p in m.group(1).split(":")] if m else [0.0]
    wall = 0.0
    for p in parts:
        wall = wall * 60 + p
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", err).group(1)) if m else 0
    own = err[: err.find("\tCommand ")] if "\tCommand " in err else err
    return r.returncode, wall, rss, own


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--lines", type=int, default=10_000_000)
    ap.add_argument("--dir", default="/tmp/quorvale-cli-build-bench")
    ap.add_argument("--only", default=",".join(KINDS))
    args = ap.parse_args()
    install_peers()
    os.makedirs(args.dir, exist_ok=True)
    keys = os.path.join(args.dir, f"keys-{args.lines}.txt")
    make_keys(keys, args.lines)
    size = os.path.getsize(keys)
    print(f"keys file: {args.lines} lines, {size} bytes ({size / args.lines:.1f} B/line), {os.cpu_count()} processors")
    out = os.path.join(args.dir, "out.idx")

    rows = []
    marisa = None
    idle_rss = timed([QUORVALE, "--version"])[2] if os.path.exists(TIME) else 0
    with open(keys, "rb") as f:
        list_bytes = size - sum(1 for _ in f) + 16 * args.lines
    if shutil.which("marisa-build") and os.path.exists(TIME):
        status, wall, rss, err = timed(["marisa-build", "-o", out, keys])
        if status == 0:
            marisa = (wall, rss, os.path.getsize(out))
            rows.append(("marisa-build", "", wall, rss, marisa[2], ""))
        else:
            print("marisa-build failed:", err.strip())
    else:
        print("marisa-build (Debian's marisa) or GNU time is missing: no peer figures")
    if not os.path.exists(TIME):
        print("GNU time (Debian's time) is missing: nothing measured")
        return

    for kind in args.only.split(","):
        for stream in ("never", "always"):
            if os.path.exists(out):
                os.remove(out)
            status, wall, rss, err = timed([QUORVALE, "build", keys, out, "--index", kind, "--stream", stream])
            if status != 0:
                print(f"{kind} --stream {stream} failed: {err.strip().splitlines()[-1] if err.strip() else status}")
                continue
            m = re.search(r"wrote .*: (\w+) over (\d+) keys, (\d+) bytes", err)
            rows.append((f"quorvale {kind}", stream, wall, rss, int(m.group(3)), m.group(1)))

    print()
    print(f"{'build':<22}{'stream':<8}{'wall s':>9}{'max RSS MiB':>13}{'blob bytes':>14}{'B/key':>8}"
          f"{'time/marisa':>13}{'RSS/marisa':>12}{'bytes/marisa':>14}{'above list/blob':>17}  kind")
    for name, stream, wall, rss, nbytes, kind in rows:
        ratio = ""
        if marisa and name != "marisa-build":
            ratio = f"{wall / marisa[0]:>13.2f}{rss / marisa[1]:>12.2f}{nbytes / marisa[2]:>14.2f}"
        elif marisa:
            ratio = f"{1:>13.2f}{1:>12.2f}{1:>14.2f}"
        above = f"{'':>17}"
        if stream == "never" and nbytes:
            above = f"{(rss * 1024 - idle_rss * 1024 - list_bytes) / nbytes:>16.2f}x"
        print(f"{name:<22}{stream:<8}{wall:>9.2f}{rss / 1024:>13.1f}{nbytes:>14}{nbytes / args.lines:>8.2f}{ratio}{above}  {kind}")
    if os.path.exists(out):
        os.remove(out)


if __name__ == "__main__":
    main()
