#!/usr/bin/env python3
"""FST engine against its peers on the same keys, by hand:

    python3 bench/fst_peers.py [--quick]

Corpora: Debian's wamerican and wamerican-huge word lists, decimal ids
0..10^7 (10^6 with --quick), 10^6 random UUIDs, and the file paths of the
installed packages' lists. Per corpus it runs build/bench/fst_bench (our
engine, C++) and, when importable, the PyPI packages `ducer` (bindings of the
FST library the format comes from) and `marisa-trie`, plus `zstd -19` of the
sorted newline-joined keys, and prints sizes and the ratios ours/peer.

Peers are installed with pip (and the word lists with apt-get) when missing;
a peer that cannot be installed is reported as missing. The peers' speed is
measured through Python, so their per-call figures include the interpreter's
overhead; sizes compare exactly.
"""
import glob
import json
import os
import random
import subprocess
import sys
import tempfile
import time
import uuid

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "build", "bench", "fst_bench")


def ensure_bench(target="fst_bench"):
    # cmake and ninja, pinned: scripts/setup.sh puts them in .venv/bin only.
    env = dict(os.environ, PATH=os.path.join(ROOT, ".venv", "bin") + os.pathsep + os.environ.get("PATH", ""))
    subprocess.run(["cmake", "-S", ROOT, "-B", os.path.join(ROOT, "build", "bench"), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DQUORVALE_BENCH=ON", "-DQUORVALE_EXTENSION=OFF"],
                   check=True, stdout=subprocess.DEVNULL, env=env)
    subprocess.run(["cmake", "--build", os.path.join(ROOT, "build", "bench"), "-j4", "--target", target],
                   check=True, stdout=subprocess.DEVNULL, env=env)


def peer(module, package):
    try:
        return __import__(module)
    except ImportError:
        pass
    print(f"# installing {package} with pip", flush=True)
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", package], check=False)
    try:
        return __import__(module)
    except ImportError:
        print(f"# peer {package} is missing: its columns stay empty")
        return None


def word_list(path, package):
    if not os.path.exists(path):
        print(f"# installing {package} with apt-get", flush=True)
        subprocess.run(["apt-get", "install", "-y", "-q", package], check=False, stdout=subprocess.DEVNULL)
    if not os.path.exists(path):
        print(f"# corpus {package} is missing")
        return None
    with open(path, "rb") as f:
        return f.read().split(b"\n")


def corpora(quick):
    yield "wamerican", word_list("/usr/share/dict/american-english", "wamerican")
    yield "wamerican-huge", word_list("/usr/share/dict/american-english-huge", "wamerican-huge")
    n = 10**6 if quick else 10**7
    yield f"ids 0..{n}", [str(i).encode() for i in range(n)]
    rng = random.Random(7)
    yield "uuid x 10^6", [str(uuid.UUID(int=rng.getrandbits(128), version=4)).encode() for _ in range(10**6)]
    paths = []
    for lst in glob.glob("/var/lib/dpkg/info/*.list"):
        with open(lst, "rb") as f:
            paths.extend(f.read().split(b"\n"))
    yield "package file paths", paths


def ducer_figures(ducer, keys, tmp):
    items = [(k, i) for i, k in enumerate(keys)]
    t0 = time.perf_counter()
    data = ducer.Map.build(":memory:", items)
    build_s = time.perf_counter() - t0
    path = os.path.join(tmp, "ducer.map")
    t0 = time.perf_counter()
    ducer.Map.build(path, items)
    build_file_s = time.perf_counter() - t0
    os.remove(path)
    m = ducer.Map(data)
    order = list(range(len(keys)))
    random.Random(1).shuffle(order)
    shuffled = [keys[i] for i in order]
    get = m.get
    t0 = time.perf_counter()
    for k in keys:
        get(k)
    seq_s = time.perf_counter() - t0
    t0 = time.perf_counter()
    for k in shuffled:
        get(k)
    shuf_s = time.perf_counter() - t0
    t0 = time.perf_counter()
    count = sum(1 for _ in m.items())
    stream_s = time.perf_counter() - t0
    assert count == len(keys)
    return {"bytes": len(data), "build_mem_keys_per_s": len(keys) / build_s,
            "build_file_keys_per_s": len(keys) / build_file_s, "lookup_hit_seq_ns": seq_s / len(keys) * 1e9,
            "lookup_hit_shuffled_ns": shuf_s / len(keys) * 1e9, "stream_keys_per_s": len(keys) / stream_s}


def python_loop_ns(keys):
    d = dict.fromkeys(keys[:200000], 1)
    get = d.get
    sample = keys[:200000]
    t0 = time.perf_counter()
    for k in sample:
        get(k)
    return (time.perf_counter() - t0) / len(sample) * 1e9


def main():
    quick = "--quick" in sys.argv
    ensure_bench()
    ducer = peer("ducer", "ducer")
    marisa = peer("marisa_trie", "marisa-trie")
    print(json.dumps({"crc": json.loads(subprocess.run([BENCH, "--crc"], capture_output=True, text=True,
                                                       check=True).stdout)}))
    print(json.dumps({"levenshtein": json.loads(subprocess.run([BENCH, "--lev"], capture_output=True, text=True,
                                                               check=True).stdout)}))
    with tempfile.TemporaryDirectory() as tmp:
        for name, keys in corpora(quick):
            if keys is None:
                continue
            keys = sorted(set(k for k in keys if k))
            joined = b"\n".join(keys) + b"\n"
            path = os.path.join(tmp, "keys.txt")
            with open(path, "wb") as f:
                f.write(joined)
            ours = json.loads(subprocess.run([BENCH, path, tmp], capture_output=True, text=True,
                                             check=True).stdout)
            zstd = subprocess.run(["zstd", "-19", "-q", "-c", path], capture_output=True).stdout
            row = {"corpus": name, "keys": len(keys), "sorted_file": len(joined), "zstd19": len(zstd),
                   "ours": ours, "python_dict_get_ns": round(python_loop_ns(keys), 1)}
            if marisa is not None:
                trie = marisa.Trie([k.decode("utf-8", "surrogateescape") for k in keys])
                mpath = os.path.join(tmp, "marisa.bin")
                trie.save(mpath)
                row["marisa"] = os.path.getsize(mpath)
            if ducer is not None:
                row["ducer"] = ducer_figures(ducer, keys, tmp)
            n = len(keys)
            ob = ours["fst_bytes"]
            ratios = {"ours_bytes_per_key": round(ob / n, 3), "vs_sorted_file": round(ob / len(joined), 3),
                      "vs_zstd19": round(ob / max(1, len(zstd)), 3)}
            if "marisa" in row:
                ratios["vs_marisa"] = round(ob / row["marisa"], 3)
            if "ducer" in row:
                dc = row["ducer"]
                ratios["bytes_vs_ducer"] = round(ob / dc["bytes"], 4)
                ratios["build_speed_vs_ducer"] = round(ours["build_mem_keys_per_s"] / dc["build_mem_keys_per_s"], 2)
                ratios["file_build_speed_vs_ducer"] = round(ours["build_file_keys_per_s"] / dc["build_file_keys_per_s"], 2)
                ratios["lookup_speedup_vs_ducer"] = round(dc["lookup_hit_seq_ns"] / ours["lookup_hit_seq_ns"], 2)
                ratios["shuffled_lookup_speedup_vs_ducer"] = round(dc["lookup_hit_shuffled_ns"] / ours["lookup_hit_shuffled_ns"], 2)
                ratios["stream_speed_vs_ducer"] = round(ours["stream_keys_per_s"] / dc["stream_keys_per_s"], 2)
            row["ratios"] = ratios
            print(json.dumps(row), flush=True)


if __name__ == "__main__":
    main()
