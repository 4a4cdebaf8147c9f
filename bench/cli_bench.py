"""Command-line start-up and inspection cost against the size of the blob.

    bench/cli_bench.sh [--runs N]

Times `quorvale --version`, `quorvale inspect` on blobs of 10 MB (a real
PerfectHashIndex), 1 GB and 10 GB (sparse files behind sane headers: a
perfect-hash blob and an overlay whose tombstone words lie at the very end),
and the floor `head -c 72`, with Debian's hyperfine (the shell wrapper installs
it; without it the same commands are timed here). The inspection's own
cost is `inspect` minus `--version`, and `_core.inspect` timed in process.
Goals: inspection flat in size and at most 20 ms on 10 GB; `--version` at
most 100 ms.
"""

import argparse
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import quorvale._core as core

QUORVALE = os.path.join(os.path.dirname(sys.executable), "quorvale")


def have_hyperfine():
    if shutil.which("hyperfine"):
        return True
    print("hyperfine is missing: timing the commands here instead", file=sys.stderr)
    return False


def perfect_hash_header(keys, mph_bytes):
    return b"BMP8" + struct.pack("<QQIQI", keys, mph_bytes, 0, 0, 0)


def sparse(path, header, size, tail=b""):
    with open(path, "wb") as f:
        f.write(header)
        f.truncate(size)
        if tail:
            f.seek(size - len(tail))
            f.write(tail)


def make_blobs(tmp):
    blobs = []
    # A real blob of about 10 MB.
    n = 500_000
    index = core.PerfectHashIndex(f"key-{i:09d}" for i in range(n))
    path = os.path.join(tmp, "real-10MB.bin")
    index.save(path)
    blobs.append(("10 MB perfect-hash (real)", path))
    for label, size in (("1 GB", 1 << 30), ("10 GB", 10 << 30)):
        path = os.path.join(tmp, f"phi-{label.replace(' ', '')}.bin")
        sparse(path, perfect_hash_header(100_000_000, 40_000_000), size)
        blobs.append((f"{label} perfect-hash (sparse)", path))
    # An overlay over a 10 GB base, 64 tombstone words at the very end.
    size = 10 << 30
    words = 64
    base_len = size - 49 - 8 * words
    header = b"OVL2" + struct.pack("<BQQQQQI", 2, base_len, 0, 0, words, 0, 0)
    path = os.path.join(tmp, "ovl-10GB.bin")
    sparse(path, header + perfect_hash_header(100_000_000, 40_000_000), size, b"\xff" * (8 * words))
    blobs.append(("10 GB overlay (sparse)", path))
    return blobs


def hyperfine(commands, runs):
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run(["hyperfine", "-N", "--warmup", "10", "--runs", str(runs), "--export-json", out.name,
                        "--style", "none", *commands], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        with open(out.name) as f:
            results = json.load(f)["results"]
    # A command given twice (first and last, against drift) keeps its lower median.
    medians = {}
    for r in results:
        medians[r["command"]] = min(r["median"], medians.get(r["command"], float("inf")))
    return medians


def time_here(commands, runs):
    medians = {}
    for command in commands:
        argv = command.split()
        times = []
        for _ in range(runs):
            t = time.perf_counter()
            subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            times.append(time.perf_counter() - t)
        medians[command] = statistics.median(times)
    return medians


def in_process(path, rounds=2000):
    core.inspect(path)
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        core.inspect(path)
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=30)
    args = parser.parse_args()
    use_hyperfine = have_hyperfine()
    with tempfile.TemporaryDirectory(prefix="quorvale-cli-bench-") as tmp:
        blobs = make_blobs(tmp)
        version = f"{QUORVALE} --version"
        commands = [version]
        for _, path in blobs:
            commands += [f"{QUORVALE} inspect {path}", f"head -c 72 {path}"]
        commands.append(version)
        medians = hyperfine(commands, args.runs) if use_hyperfine else time_here(commands, args.runs)
        base = medians[version]
        print(f"quorvale --version: {base * 1e3:.1f} ms (goal: at most 100 ms)")
        print(f"{'blob':28} {'inspect':>10} {'- version':>10} {'in process':>11} {'head -c 72':>11} {'x head':>7}")
        first = None
        for label, path in blobs:
            cmd = medians[f"{QUORVALE} inspect {path}"]
            floor = medians[f"head -c 72 {path}"]
            here = in_process(path)
            first = first or here
            print(f"{label:28} {cmd * 1e3:8.2f}ms {(cmd - base) * 1e3:8.2f}ms {here * 1e6:9.1f}us "
                  f"{floor * 1e3:9.2f}ms {cmd / floor:6.1f}x")
        last = in_process(blobs[-2][1])
        print(f"in-process inspection, 10 GB over 10 MB: {last / first:.2f}x (flat is 1.0); "
              f"goal: at most 20 ms on 10 GB")


if __name__ == "__main__":
    main()
