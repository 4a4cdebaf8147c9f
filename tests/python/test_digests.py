"""Every kind's bytes, over fixed seeded key sets, against SHA-256 digests recorded once.

The stored formats and the builders' choices are fixed: a refactoring that moves a
single byte of any blob, of a command's output or of the plan text fails here. Run
with QUORVALE_RECORD_DIGESTS=1 to write the fixture anew (only when a change of
bytes is intended).
"""

import hashlib
import json
import os
import random
import subprocess
import sys

import pytest

import quorvale._core as core

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURE = os.path.join(HERE, "fixtures", "digests.json")
RECORD = os.environ.get("QUORVALE_RECORD_DIGESTS") == "1"


def key_sets():
    rng = random.Random(20261211)
    words = sorted({"".join(rng.choice("etaoinshrdlucmfwyp") for _ in range(rng.randint(1, 12)))
                    for _ in range(6000)})
    urls = sorted({f"https://{rng.choice(['www.', 'api.', ''])}site{rng.randint(0, 400)}.example/"
                   f"{rng.choice(['a', 'b', 'docs', 'img'])}/{rng.randint(0, 10**6)}?q={rng.randint(0, 99)}"
                   for _ in range(20000)})
    cyrillic = sorted({"".join(rng.choice("абвгдежзийклмнопрстуфхцчшщыэюя") for _ in range(rng.randint(2, 9)))
                       for _ in range(3000)})
    mixed = sorted({"".join(rng.choice("ab\u00e4\u20ac\U0001f600 x/0") for _ in range(rng.randint(0, 20)))
                    for _ in range(2500)})
    return {
        "empty": [],
        "one": ["solo"],
        "few": ["", "a", "ab", "abc", "b", "\u00e9t\u00e9", "z" * 300],
        "words": words,
        "urls": urls,
        "cyrillic": cyrillic,
        "mixed": mixed,
    }


KEYS = key_sets()
HASH_SETS = ["empty", "one", "few", "words", "urls"]
ORDERED_SETS = ["empty", "one", "few", "words", "urls", "cyrillic", "mixed"]


def sha(data):
    return hashlib.sha256(bytes(data)).hexdigest()


def file_sha(path):
    with open(path, "rb") as f:
        return sha(f.read())


def in_memory_blobs():
    """(name, bytes) of every kind built in memory."""
    for s in HASH_SETS:
        keys = KEYS[s]
        yield f"perfect/{s}", core.PerfectHashIndex(keys).to_bytes()
        yield f"perfect-tags/{s}", core.PerfectHashIndex(keys, fingerprints=True).to_bytes()
        yield f"closed/{s}", core.ClosedHashIndex(keys).to_bytes()
        for width in (1, 4):
            yield f"compact-{width}B/{s}", core.CompactHashIndex(keys, width).to_bytes()
        yield f"compact-13bit/{s}", core.CompactHashIndex(keys, fingerprint_bits=13).to_bytes()
    for s in ORDERED_SETS:
        keys = KEYS[s]
        yield f"string/{s}", core.StringIndex(keys).to_bytes()
        yield f"double-array/{s}", core.DoubleArrayIndex(keys).to_bytes()
        for block in (1, 32, 256, 1024):
            d = core.DictIndex(keys, block)
            yield f"dict-{block}/{s}", d.to_bytes()
            if block in (32, 256):
                for bits in (0, 8, 32):
                    yield f"hashed-{block}-{bits}/{s}", core.HashedDictIndex.from_dict(d, bits).to_bytes()


def overlay_blobs():
    bases = {
        "string": core.StringIndex,
        "perfect": core.PerfectHashIndex,
        "compact": core.CompactHashIndex,
    }
    keys = KEYS["words"][:3000]
    for name, cls in bases.items():
        o = core.Overlay(cls(keys[::2]))
        for k in keys[1::2][:700]:
            o.add(k)
        for k in keys[::6][:200]:
            o.remove(k)
        o.add(keys[0])  # a removed key revived
        yield f"overlay-{name}", o.to_bytes()


def streamed_files(tmp):
    keys = KEYS["urls"]
    shuffled = list(keys)
    random.Random(7).shuffle(shuffled)
    p = os.path.join(tmp, "p.idx")
    core.PerfectHashIndex.build_to_file(lambda: shuffled, p)
    yield "perfect-stream", p
    p = os.path.join(tmp, "pt.idx")
    core.PerfectHashIndex.build_to_file(lambda: shuffled, p, fingerprints=True)
    yield "perfect-tags-stream", p
    p = os.path.join(tmp, "c.idx")
    core.CompactHashIndex.build_to_file(iter(shuffled), p, 2)
    yield "compact-2B-stream", p
    p = os.path.join(tmp, "s.idx")
    core.StringIndex.build_to_file(iter(shuffled), p)
    yield "string-stream", p
    p = os.path.join(tmp, "ss.idx")
    core.StringIndex.build_sorted_to_file(iter(keys), p)
    yield "string-sorted-stream", p
    for block in (32, 256):
        p = os.path.join(tmp, f"d{block}.idx")
        core.DictIndex.build_to_file(iter(shuffled), p, block)
        yield f"dict-{block}-stream", p


def cli(*args, cwd):
    r = subprocess.run([sys.executable, "-m", "quorvale", *args], capture_output=True, cwd=cwd)
    return r.returncode, r.stdout, r.stderr


def cli_outputs(tmp):
    """The command line's blobs, texts and exit statuses over one keys file with repeats and empty lines."""
    keys = KEYS["words"][:4000]
    lines = keys + keys[::5] + ["", ""]
    random.Random(3).shuffle(lines)
    with open(os.path.join(tmp, "keys.txt"), "w", encoding="utf-8") as f:
        f.write("".join(line + "\n" for line in lines))
    for needs in ([], ["--ordered"], ["--closed-vocabulary"], ["--objective", "latency", "--reverse"]):
        yield "plan " + " ".join(needs), cli("plan", "keys.txt", *needs, cwd=tmp)
    for index in ("dict", "string", "compact", "closed", "perfect"):
        for stream in ("never", "always"):
            out = f"{index}-{stream}.idx"
            status = cli("build", "keys.txt", out, "--index", index, "--stream", stream, cwd=tmp)
            yield f"build {index} {stream}", status + (file_sha(os.path.join(tmp, out)),)
            yield f"inspect {index} {stream}", cli("inspect", out, cwd=tmp)
            if index not in ("compact", "closed"):
                yield f"dump {index} {stream}", cli("dump", out, cwd=tmp)
    yield "build dict block 1024", cli("build", "keys.txt", "d1024.idx", "--index", "dict", "--block", "compact",
                                       cwd=tmp) + (file_sha(os.path.join(tmp, "d1024.idx")),)
    yield "inspect sections", cli("inspect", "d1024.idx", "--sections", cwd=tmp)
    yield "build auto", cli("build", "keys.txt", "auto.idx", cwd=tmp) + (file_sha(os.path.join(tmp, "auto.idx")),)


def digest_of(value):
    if isinstance(value, tuple):  # a command's (status, stdout, stderr[, blob digest])
        return [value[0], sha(value[1]), sha(value[2])] + list(value[3:])
    return sha(value)


def current(tmp):
    got = {}
    for name, blob in in_memory_blobs():
        got["blob " + name] = digest_of(blob)
    for name, blob in overlay_blobs():
        got["blob " + name] = digest_of(blob)
    for name, path in streamed_files(tmp):
        got["file " + name] = file_sha(path)
    for name, outcome in cli_outputs(tmp):
        got["cli " + name] = digest_of(outcome)
    return got


def test_every_kind_keeps_its_bytes(tmp_path):
    got = current(str(tmp_path))
    if RECORD:
        with open(FIXTURE, "w", encoding="utf-8") as f:
            json.dump(got, f, indent=1, sort_keys=True)
            f.write("\n")
        pytest.skip("digests recorded")
    with open(FIXTURE, encoding="utf-8") as f:
        want = json.load(f)
    assert sorted(got) == sorted(want)
    moved = [name for name in sorted(want) if got[name] != want[name]]
    assert not moved, f"{len(moved)} outputs moved: {moved}"
