"""DoubleArrayIndex against pyahocorasick (dictionary matching) and
marisa-trie (exact lookup), on the same keys in one run.

    .venv/bin/python bench/double_array_bench.py [text megabytes] [patterns]
    .venv/bin/python bench/double_array_bench.py --refusal [keys] [--before PYTHON]

Patterns: `patterns` distinct words (default 10^5) of Debian's word list
(wamerican, /usr/share/dict/american-english, installed through
bench/apt_peers.sh when missing). Text: `text megabytes` (default 100) of random words of that list
with spaces and punctuation, in lines of 6 to 20 words.

- matching: `occurrences` of every line against pyahocorasick's `iter` over
  the same lines (the same (start, end, pattern) matches: counts compared on
  the whole text, full sets on a sample of lines);
- the blob's length beside pyahocorasick's pickled automaton;
- exact lookup: `id` per call on fresh, shuffled str objects (hits and misses)
  against marisa-trie's `trie[key]` (its `get` for misses, which would
  otherwise time Python's exception machinery), and `ids_of` per key.

Installs pyahocorasick and marisa-trie from PyPI when missing and says so when
one cannot be installed; the benchmark then skips that peer.

`--refusal`: the constructor over more keys than ids can name (default 10^7
distinct keys, as a shuffled list and as a set), each in a fresh process:
wall time until the ValueError and peak RSS above the keys themselves. With
`--before PYTHON` the same runs under another interpreter (one with an
earlier build of quorvale installed), printed beside them with the ratios.
"""
import os
import pickle
import random
import subprocess
import sys
import time

from perfect_hash_bench import best, ratio  # beside this file
from quorvale._core import DoubleArrayIndex

WORDS = "/usr/share/dict/american-english"


def peer(module, package):
    try:
        return __import__(module)
    except ImportError:
        pass
    print(f"installing {package} from PyPI ...")
    r = subprocess.run([sys.executable, "-m", "pip", "install", "-q", package], capture_output=True, text=True)
    try:
        return __import__(module)
    except ImportError:
        print(f"{package}: not available, skipped ({(r.stderr.strip().splitlines() or ['pip failed'])[-1]})")
        return None


def word_list():
    if not os.path.exists(WORDS):
        print("installing wamerican with apt-get ...")
        helper = os.path.join(os.path.dirname(os.path.abspath(__file__)), "apt_peers.sh")
        subprocess.run(["bash", "-c", '. "$0" && apt_peers wamerican', helper])
    if not os.path.exists(WORDS):
        sys.exit(f"no word list at {WORDS}: install Debian's wamerican")
    with open(WORDS, encoding="utf-8") as f:
        return sorted({w.strip() for w in f if w.strip()})


def make_text(words, megabytes, rng):
    punct = [",", ".", ";", ":", "!", "?", " -", ""]
    lines, size = [], 0
    while size < megabytes * 1_000_000:
        parts = []
        for _ in range(rng.randint(6, 20)):
            w = rng.choice(words)
            if rng.random() < 0.15:
                w += rng.choice(punct)
            parts.append(w)
        line = " ".join(parts)
        lines.append(line)
        size += len(line) + 1
    return lines


def main():
    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 100
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 100_000
    rng = random.Random(21)
    words = word_list()
    patterns = rng.sample(words, min(count, len(words)))
    print(f"{len(patterns):,} patterns from {len(words):,} words; building a {megabytes:g} MB text ...")
    lines = make_text(words, megabytes, rng)
    chars = sum(len(l) for l in lines)
    print(f"{len(lines):,} lines, {chars:,} characters")

    ahocorasick = peer("ahocorasick", "pyahocorasick")
    marisa_trie = peer("marisa_trie", "marisa-trie")

    t_build, index = best(lambda: DoubleArrayIndex(patterns), 1)
    ids = {p: index.id(p) for p in patterns}
    print(f"\nbuild: DoubleArrayIndex {t_build:.3f} s, {index.serialized_len():,} bytes")

    # ---- dictionary matching ----
    print("\ndictionary matching, every line:")
    occ = index.occurrences

    def ours_all():
        n = 0
        for line in lines:
            n += len(occ(line))
        return n

    t_ours, found = best(ours_all, 2)
    print(f"  DoubleArrayIndex.occurrences: {t_ours:.3f} s, {found:,} matches, "
          f"{t_ours / len(lines) * 1e6:.2f} us a line, {chars / t_ours / 1e6:.1f} M characters/s")
    if ahocorasick:
        t0 = time.perf_counter()
        automaton = ahocorasick.Automaton()
        for p in patterns:
            automaton.add_word(p, (ids[p], len(p)))
        automaton.make_automaton()
        t_aho_build = time.perf_counter() - t0
        it = automaton.iter

        def theirs_all():
            n = 0
            for line in lines:
                n += len(list(it(line)))
            return n

        t_aho, found_aho = best(theirs_all, 2)
        print(f"  pyahocorasick iter:           {t_aho:.3f} s, {found_aho:,} matches (build {t_aho_build:.3f} s)")
        assert found == found_aho, (found, found_aho)
        for i in random.Random(3).sample(range(len(lines)), min(20_000, len(lines))):
            want = {(end - n + 1, end + 1, pid) for end, (pid, n) in it(lines[i])}
            got = occ(lines[i])
            assert set(got) == want and len(got) == len(want), lines[i]
        print("  same matches: counts on the whole text, full sets on 20,000 lines")
        ratio("occurrences time / pyahocorasick iter time", t_ours, t_aho, 0.5)
        blob = len(pickle.dumps(automaton, protocol=pickle.HIGHEST_PROTOCOL))
        print(f"  to_bytes: {index.serialized_len():,} bytes; pickled automaton: {blob:,} bytes "
              f"({index.serialized_len() / blob:.3f}x)")
        del automaton

    # ---- exact lookup ----
    print("\nexact lookup, one call a key (fresh str, shuffled):")
    present = set(patterns)
    misses = [w for w in words if w not in present][: len(patterns)]
    misses += [w + "q" for w in patterns[: len(patterns) - len(misses)]]
    hits = [p.encode().decode() for p in patterns]
    misses = [m.encode().decode() for m in misses]
    rng.shuffle(hits)
    mixed = hits + misses
    rng.shuffle(mixed)
    # Fresh copies for every repetition: no cached UTF-8 form survives a run.
    fresh = lambda qs: [q.encode().decode() for q in qs]
    did = index.id
    for label, qs in (("hits", hits), ("misses", misses), ("hits and misses", mixed)):
        runs = [fresh(qs) for _ in range(3)]
        t_ours = min(best(lambda r=r: [did(q) for q in r], 1)[0] for r in runs)
        print(f"  DoubleArrayIndex.id, {label}: {t_ours / len(qs) * 1e9:.0f} ns a key")
        if marisa_trie and label == "hits":
            trie = marisa_trie.Trie(patterns)
            runs = [fresh(qs) for _ in range(3)]
            t_m = min(best(lambda r=r: [trie[q] for q in r], 1)[0] for r in runs)
            print(f"  marisa-trie trie[key], {label}: {t_m / len(qs) * 1e9:.0f} ns a key")
            ratio(f"id / marisa trie[key] ({label})", t_ours, t_m, 0.5)
        elif marisa_trie:
            runs = [fresh(qs) for _ in range(3)]
            t_m = min(best(lambda r=r: [trie.get(q) for q in r], 1)[0] for r in runs)
            print(f"  marisa-trie trie.get(key), {label}: {t_m / len(qs) * 1e9:.0f} ns a key")
            ratio(f"id / marisa trie.get(key) ({label})", t_ours, t_m, 0.5)
    runs = [fresh(mixed) for _ in range(3)]
    t_batch = min(best(lambda r=r: index.ids_of(r), 1)[0] for r in runs)
    print(f"  DoubleArrayIndex.ids_of, hits and misses: {t_batch / len(mixed) * 1e9:.0f} ns a key")
    assert index.ids_of(hits) == [ids[h] for h in hits]


REFUSAL_CHILD = """
import random, resource, sys, time
from quorvale._core import DoubleArrayIndex
n, form = int(sys.argv[1]), sys.argv[2]
keys = [f"key{i:09d}" for i in range(n)]
random.Random(1).shuffle(keys)
if form == "set":
    keys = set(keys)
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t = time.perf_counter()
try:
    DoubleArrayIndex(keys)
    sys.exit("built: no refusal")
except ValueError as e:
    message = str(e)
print(time.perf_counter() - t, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) / 1024, message)
"""


def refusal(python, n, form):
    r = subprocess.run([python, "-c", REFUSAL_CHILD, str(n), form], capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit(f"{python}: {r.stderr.strip() or r.stdout.strip()}")
    seconds, mb, message = r.stdout.split(" ", 2)
    return float(seconds), float(mb), message.strip()


def refusals(args):
    n = int(args[0]) if args and not args[0].startswith("--") else 10_000_000
    before = args[args.index("--before") + 1] if "--before" in args else None
    print(f"DoubleArrayIndex over {n:,} distinct keys (more than 2^23 ids), fresh process each, "
          f"median of 3; load {os.getloadavg()[0]:.1f}")
    for form in ("list", "set"):
        runs = sorted(refusal(sys.executable, n, form) for _ in range(3))
        seconds, mb, message = runs[1]
        print(f"  {form:<4}: refused in {seconds:.2f} s, peak +{mb:.0f} MB above the keys ({message})")
        if before:
            old = sorted(refusal(before, n, form) for _ in range(3))[1]
            print(f"        before: {old[0]:.2f} s, peak +{old[1]:.0f} MB; now {seconds / old[0]:.2f}x the time, "
                  f"{mb / max(old[1], 1):.2f}x the memory")


if __name__ == "__main__":
    if "--refusal" in sys.argv[1:]:
        refusals([a for a in sys.argv[1:] if a != "--refusal"])
    else:
        main()
