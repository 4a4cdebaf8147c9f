"""Streamed builds against `LC_ALL=C sort -u` of the same keys file; in-memory build peaks against the blob.

Usage: .venv/bin/python bench/stream_build_bench.py [--urls N] [--varied N] [--keys N] [--dir DIR]
                                                     [--files urls,varied,keys] [--only ROADS] [--runs R]
                                                     [--memory] [--memory-keys N] [--only-kinds KINDS]
                                                     [--string-roads]

1. Streamed builds (the default). Three keys files, made once in DIR: N =
   10^6 generated URLs (about 60 bytes: one of 6 hosts, two of about 1,000
   path words, a number), N = 10^6 varied URLs (`--varied`, about 60 bytes:
   one of 3,000 word-based hosts over 16 top-level domains, two words of the
   whole of Debian's wamerican-huge, a number) and N = 10^7 generated keys of
   8 to 40 letters and digits, every key distinct, shuffled (`--files`
   picks among them). On each, in a fresh process under GNU time -v (Debian's `time`):
   `LC_ALL=C sort -u --parallel=<cores>` (the peer), the command line's
   `quorvale build F OUT --index {dict,string,perfect} --stream always`, and
   the Python classes' `DictIndex.build_to_file` and `StringIndex.build_to_file`
   over a generator of the file's lines and `PerfectHashIndex.build_to_file`
   over a callable returning one. Wall time and peak RSS, medians of R runs
   (alternating roads), each road's ratio to sort -u. Target: every road at
   most 2x sort -u.
2. `--memory`: the in-memory constructors of PerfectHashIndex, StringIndex
   and DictIndex (`--only-kinds` adds `closed`, whose blob holds no keys) over a list of N = 10^7 of the generated keys,
   each in a fresh process: the peak RSS the build adds above the process
   holding the list (the peak is reset once the list is made), beside the
   blob's size. Target: at most 2.5x the blob.
3. `--string-roads`: the in-memory string build against the streamed one
   over the same keys, on the files of 1.: `StringIndex(keys)` against
   `StringIndex.build_to_file(keys, path)` over one list of the file's lines
   (timed in a fresh process once the list is made), and the command line's
   `quorvale build F OUT --index string` with `--stream never` against
   `--stream always` (reading the file included). Medians of R alternating
   runs, the load beside each. Target: `StringIndex(keys)` at most 1.0x
   `build_to_file`.

The peers (GNU time, GNU sort) are installed with apt when missing; a missing
one is reported. Run alone: the builds use every core.
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from dict_class_bench import url_lines  # noqa: E402
from fst_peers import word_list  # noqa: E402
from keyless_stream_bench import key_lines, mix  # noqa: E402

TIME = "/usr/bin/time"
QUORVALE = os.path.join(os.path.dirname(sys.executable), "quorvale")
ROADS = ["sort", "cli-dict", "cli-string", "cli-perfect", "py-dict", "py-string", "py-perfect"]
KINDS = ["perfect", "string", "dict"]
CLASSES = {"perfect": "PerfectHashIndex", "string": "StringIndex", "dict": "DictIndex", "closed": "ClosedHashIndex"}


WORDS = "/usr/share/dict/american-english-huge"
SUBDOMAINS = ["", "www.", "www.", "blog.", "shop.", "docs.", "news.", "m.", "api.", "cdn.", "en.", "forum."]
TLDS = [".com", ".com", ".com", ".org", ".net", ".io", ".co.uk", ".de", ".fr", ".info", ".edu", ".dev", ".us",
        ".ca", ".com.au", ".nl"]
SECTIONS = ["", "", "", "wiki/", "p/", "2024/", "posts/", "static/", "en/", "a/", "item/", "tag/", "blog/"]
VARIED_TAILS = ["", ".html", "?ref=home", "#comments", "/edit", "?page=2", ".php", "?id=7"]
_varied = None


def varied_vocabulary(hosts=3000, seed=31):
    """The whole of wamerican-huge for the path words, and `hosts` distinct
    word-based hosts (a subdomain, one or two words, a top-level domain and
    a first path section), made once from a seeded generator."""
    global _varied
    if _varied is None:
        words = word_list(WORDS, "wamerican-huge")
        if words is None:
            sys.exit(f"{WORDS} is missing: no varied URLs can be made")
        words = [w.decode() for w in words if w]
        names = sorted({"".join(c for c in w.lower() if c.isascii() and c.isalnum()) for w in words} - {""})
        rng = np.random.default_rng(seed)
        made, seen = [], set()
        while len(made) < hosts:
            name = names[rng.integers(len(names))]
            if rng.random() < 0.2:
                name += ("-" if rng.random() < 0.5 else "") + names[rng.integers(len(names))]
            host = (f"{'https' if rng.random() < 0.8 else 'http'}://{SUBDOMAINS[rng.integers(len(SUBDOMAINS))]}"
                    f"{name}{TLDS[rng.integers(len(TLDS))]}/")
            if host in seen:
                continue
            seen.add(host)
            made.append(host + SECTIONS[rng.integers(len(SECTIONS))])
        _varied = (made, words)
    return _varied


def varied_url_lines(numbers):
    """Line i: a URL of about 60 bytes over about 3,000 word-based hosts and
    the whole word list in its path (host, two path words, a number, a tail),
    derived from i alone; the varied counterpart of `url_lines`."""
    hosts, words = varied_vocabulary()
    numbers = numbers.astype(np.uint64)
    with np.errstate(over="ignore"):
        h = [mix(numbers * np.uint64(8) + np.uint64(w + 4)) for w in range(4)]
    host = (h[0] % np.uint64(len(hosts))).tolist()
    a = (h[1] % np.uint64(len(words))).tolist()
    b = (h[2] % np.uint64(len(words))).tolist()
    num = (h[3] % np.uint64(10**5)).tolist()
    tail = ((h[3] >> np.uint64(40)) % np.uint64(len(VARIED_TAILS))).tolist()
    return "".join(f"{hosts[host[i]]}{words[a[i]]}/{words[b[i]]}-{num[i]}{VARIED_TAILS[tail[i]]}\n"
                   for i in range(len(num))).encode()


def install_peers():
    subprocess.run(["bash", "-c", f"source {HERE}/apt_peers.sh; apt_peers time coreutils"], check=False)
    if not os.path.exists(TIME):
        print(f"{TIME} is missing (Debian's `time`): no figures can be taken")
        sys.exit(1)


def make_file(path, lines, maker, seed):
    if os.path.exists(path):
        return
    print(f"writing {lines} lines to {path} ...", flush=True)
    order = np.random.default_rng(seed).permutation(lines).astype(np.uint64)
    tmp = path + ".part"
    with open(tmp, "wb") as f:
        for at in range(0, lines, 1_000_000):
            f.write(maker(order[at:at + 1_000_000]))
    os.replace(tmp, path)


def timed(cmd, env=None):
    """Runs cmd under GNU time -v: (wall seconds, max RSS in bytes)."""
    r = subprocess.run([TIME, "-v"] + cmd, capture_output=True, text=True, env=env)
    if r.returncode != 0:
        sys.exit(f"{' '.join(cmd)} failed ({r.returncode}):\n{r.stderr[-2000:]}")
    m = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", r.stderr)
    wall = 0.0
    for p in m.group(1).split(":"):
        wall = wall * 60 + float(p)
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", r.stderr).group(1)) * 1024
    return wall, rss


PY_STREAM = """
import sys
from quorvale._core import {cls}
path, out = sys.argv[1], sys.argv[2]
def lines():
    with open(path, encoding="utf-8") as f:
        for line in f:
            yield line[:-1]
{cls}.build_to_file({arg}, out)
"""


def road_cmd(road, keys, out):
    if road == "sort":
        return ["sort", "-u", f"--parallel={os.cpu_count() or 1}", "-o", out, keys]
    where, kind = road.split("-")
    if where == "cli":
        return [QUORVALE, "build", keys, out, "--index", kind, "--stream", "always"]
    cls = CLASSES[kind]
    arg = "lines" if kind == "perfect" else "lines()"
    return [sys.executable, "-c", PY_STREAM.format(cls=cls, arg=arg), keys, out]


def stream_bench(keys, roads, runs, work):
    lines = sum(1 for _ in open(keys, "rb"))
    print(f"\n== {os.path.basename(keys)}: {lines} lines, {os.path.getsize(keys) / 1e6:.0f} MB, "
          f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}")
    env = dict(os.environ, LC_ALL="C")
    got = {r: [] for r in roads}
    for _ in range(runs):
        for road in roads:
            out = os.path.join(work, f"out-{road}")
            got[road].append(timed(road_cmd(road, keys, out), env) + (os.path.getsize(out),))
            os.remove(out)
    base = statistics.median(w for w, _, _ in got["sort"]) if "sort" in got else None
    print(f"  {'road':<12} {'wall s':>8} {'peak MiB':>9} {'out MB':>8} {'vs sort -u':>11}")
    for road in roads:
        wall = statistics.median(w for w, _, _ in got[road])
        rss = statistics.median(r for _, r, _ in got[road])
        size = got[road][0][2]
        ratio = f"{wall / base:.2f}x" if base else "-"
        verdict = "" if road == "sort" or not base else ("  met" if wall <= 2 * base else "  MISSED (target <= 2x)")
        print(f"  {road:<12} {wall:8.2f} {rss / 2**20:9.0f} {size / 1e6:8.1f} {ratio:>11}{verdict}", flush=True)
    print(f"  (medians of {runs}; load now {os.getloadavg()[0]:.1f})")


MEMORY_CHILD = """
import json, sys
from quorvale._core import {cls}
def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
with open(sys.argv[1], encoding="utf-8") as f:
    keys = [line[:-1] for line in f]
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak to what the process holds now
before = status("VmRSS:")
index = {cls}(keys)
peak = status("VmHWM:")
print(json.dumps({{"added": peak - before, "blob": len(index.to_bytes()), "n": len(keys)}}))
"""


def memory_bench(keys, kinds, runs):
    print(f"\n== in-memory builds over a list of the lines of {os.path.basename(keys)}, "
          f"load {os.getloadavg()[0]:.1f}")
    print(f"  {'kind':<8} {'blob MB':>8} {'added MB':>9} {'added/blob':>11}")
    for kind in kinds:
        res = []
        for _ in range(runs):
            t = time.perf_counter()
            r = subprocess.run([sys.executable, "-c", MEMORY_CHILD.format(cls=CLASSES[kind]), keys],
                               capture_output=True, text=True)
            if r.returncode != 0:
                sys.exit(f"{kind} child failed:\n{r.stderr[-2000:]}")
            res.append(json.loads(r.stdout) | {"seconds": time.perf_counter() - t})
        added = statistics.median(x["added"] for x in res)
        blob = res[0]["blob"]
        verdict = "met" if added <= 2.5 * blob else "MISSED (target <= 2.5x)"
        print(f"  {kind:<8} {blob / 1e6:8.1f} {added / 1e6:9.1f} {added / blob:10.2f}x  {verdict}", flush=True)
    print(f"  (medians of {runs}; load now {os.getloadavg()[0]:.1f})")


STRING_CHILD = """
import sys, time
from quorvale._core import StringIndex
with open(sys.argv[1], encoding="utf-8") as f:
    keys = [line[:-1] for line in f]
t = time.perf_counter()
if sys.argv[2] == "memory":
    StringIndex(keys)
else:
    StringIndex.build_to_file(keys, sys.argv[3])
print(time.perf_counter() - t)
"""


def string_roads_bench(keys, runs, work):
    """In-memory against streamed string builds over the same keys."""
    print(f"\n== string builds in memory and streamed, {os.path.basename(keys)}")
    out = os.path.join(work, "out-string-roads")

    def py(road):
        r = subprocess.run([sys.executable, "-c", STRING_CHILD, keys, road, out], capture_output=True, text=True)
        if r.returncode != 0:
            sys.exit(f"{road} child failed:\n{r.stderr[-2000:]}")
        return float(r.stdout)

    def cli(stream):
        return timed([QUORVALE, "build", keys, out, "--index", "string", "--stream", stream])[0]

    # (in memory, streamed, whether the ratio has a target)
    pairs = [("StringIndex(keys)", lambda: py("memory"), "build_to_file", lambda: py("file"), True),
             ("cli --stream never", lambda: cli("never"), "cli --stream always", lambda: cli("always"), False)]
    for mem_name, mem, file_name, stream, target in pairs:
        got = {mem_name: [], file_name: []}
        for _ in range(runs):
            for name, road in ((mem_name, mem), (file_name, stream)):
                load = os.getloadavg()[0]
                got[name].append((road(), load))
                if os.path.exists(out):
                    os.remove(out)
        for name in (mem_name, file_name):
            print(f"  {name:<20} {statistics.median(w for w, _ in got[name]):7.2f} s  "
                  f"(runs {', '.join(f'{w:.2f}' for w, _ in got[name])}; load {', '.join(f'{l:.0f}' for _, l in got[name])})")
        ratio = statistics.median(w for w, _ in got[mem_name]) / statistics.median(w for w, _ in got[file_name])
        verdict = ("met" if ratio <= 1.0 else "MISSED (target <= 1.0x)") if target else "(no target)"
        print(f"  {mem_name} / {file_name}: {ratio:.2f}x  {verdict}", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--urls", type=int, default=10**6)
    ap.add_argument("--varied", type=int, default=10**6, help="lines of the varied URL file")
    ap.add_argument("--keys", type=int, default=10**7)
    ap.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "quorvale-stream-build"))
    ap.add_argument("--only", default=",".join(ROADS), help="roads, comma-separated (sort always runs)")
    ap.add_argument("--files", default="urls,varied,keys", help="which keys files: urls, varied, keys")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--memory", action="store_true")
    ap.add_argument("--only-kinds", default=",".join(KINDS))
    ap.add_argument("--string-roads", action="store_true", help="in-memory against streamed string builds")
    a = ap.parse_args()
    install_peers()
    os.makedirs(a.dir, exist_ok=True)
    urls = os.path.join(a.dir, f"urls-{a.urls}.txt")
    varied = os.path.join(a.dir, f"varied-{a.varied}.txt")
    keys = os.path.join(a.dir, f"keys-{a.keys}.txt")
    files = a.files.split(",")
    if "urls" in files and not a.memory:
        make_file(urls, a.urls, url_lines, 17)
    if "varied" in files and not a.memory:
        make_file(varied, a.varied, varied_url_lines, 19)
    if "keys" in files or a.memory:
        make_file(keys, a.keys, key_lines, 23)
    if a.memory:
        memory_bench(keys, [k for k in a.only_kinds.split(",") if k], a.runs)
        return
    chosen = [path for name, path in (("urls", urls), ("varied", varied), ("keys", keys)) if name in files]
    if a.string_roads:
        for f in chosen:
            string_roads_bench(f, a.runs, a.dir)
        return
    roads = ["sort"] + [r for r in a.only.split(",") if r and r != "sort"]
    for f in chosen:
        stream_bench(f, roads, a.runs, a.dir)


if __name__ == "__main__":
    main()
