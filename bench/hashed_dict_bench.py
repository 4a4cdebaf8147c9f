"""HashedDictIndex against the DictIndex it rides on and a Python dict, on the
same keys in one run: id(key) per key with fresh str objects in shuffled
order, and the sidecar's bytes a key against the keyless indexes of the same
width plus the rank field.

    .venv/bin/python bench/hashed_dict_bench.py [keys] [word-list-file]

Keys: `keys` random strings of 8 to 40 bytes (default 10^7), then the words of
the word list (default /usr/share/dict/american-english, Debian's wamerican,
installed when missing; skipped, and said so, when it cannot be). The
DictIndex is built at its default block.
"""
import sys

from keyless_bench import WORDS, word_list
from perfect_hash_bench import best, fresh, random_keys, ratio
from quorvale._core import ClosedHashIndex, CompactHashIndex, DictIndex, HashedDictIndex


def run(name, keys):
    n = len(keys)
    print(f"\n== {name}: {n} keys, {sum(len(k.encode()) for k in keys) / n:.1f} bytes/key on average")
    queries = fresh(keys)
    reps = 1 if n >= 1_000_000 else 5

    t_build_d, d = best(lambda: DictIndex(keys), 1)
    t_build_h, h = best(lambda: HashedDictIndex.from_dict(d, 8), 1)
    print(f"  builds: DictIndex {t_build_d:.2f} s, HashedDictIndex.from_dict(d, 8) {t_build_h:.2f} s")

    pd = dict(zip(keys, range(n)))
    t_pd, got_pd = best(lambda: [pd.get(k) for k in queries], reps)
    del pd
    t_d, got_d = best(lambda: [d.id(k) for k in queries], reps)
    t_h, got_h = best(lambda: [h.id(k) for k in queries], reps)
    assert got_h == got_d and None not in got_h
    del got_pd, got_d, got_h
    t_hb, _ = best(lambda: h.ids_of(queries), reps)
    t_db, _ = best(lambda: d.ids_of(queries), reps)
    print(f"  [pd.get(k)] {t_pd * 1e9 / n:.0f} ns/key, [d.id(k)] {t_d * 1e9 / n:.0f} ns/key, "
          f"[h.id(k)] {t_h * 1e9 / n:.0f} ns/key; ids_of: h {t_hb * 1e9 / n:.0f}, d {t_db * 1e9 / n:.0f} ns/key")
    ratio("[h.id(k)] vs [d.id(k)] (8 bits)", t_h, t_d, 0.5)
    ratio("[h.id(k)] vs [pd.get(k)] (8 bits)", t_h, t_pd, 1.0)
    ratio("h.ids_of vs d.ids_of (8 bits, for scale)", t_hb, t_db, 1.0)

    rank_field = (n - 1).bit_length() / 8
    dict_len = d.serialized_len()
    for bits, peer_name, make_peer in ((0, "ClosedHashIndex", lambda: ClosedHashIndex(keys)),
                                       (8, "CompactHashIndex(8)", lambda: CompactHashIndex(keys, fingerprint_bits=8)),
                                       (16, "CompactHashIndex(16)", lambda: CompactHashIndex(keys, fingerprint_bits=16))):
        hb = h if bits == 8 else HashedDictIndex.from_dict(d, bits)
        sidecar = (hb.serialized_len() - dict_len) / n
        peer = make_peer()
        peer_bpk = peer.serialized_len() / n
        del peer
        ceiling = peer_bpk + rank_field + 0.01
        print(f"  sidecar at {bits:2} bits: {sidecar:.4f} B/key; {peer_name} {peer_bpk:.4f} + rank field "
              f"{rank_field:.3f} + 0.01 = {ceiling:.4f} (ceiling: {'met' if sidecar <= ceiling else 'NOT met'})")
        del hb


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10**7
    path = sys.argv[2] if len(sys.argv) > 2 else WORDS
    run("random 8-40 byte keys", random_keys(n))
    words = word_list(path)
    if words:
        run(f"words ({path})", words)


if __name__ == "__main__":
    main()
