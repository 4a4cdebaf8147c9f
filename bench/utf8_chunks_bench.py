"""utf8_chunks on a 10^7-element Arrow column, against a plain copy of the
column's bytes and against to_pylist().

Needs the test-only extension of a test build (build/wheel/pyext, made
by scripts/test.sh or the quick loop of the README) and pyarrow.

    .venv/bin/python bench/utf8_chunks_bench.py [elements]
"""
import os
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.environ.get("QUORVALE_TEST_EXT") or os.path.join(here, "..", "build", "wheel", "pyext"))

try:
    import pyarrow as pa
except ImportError:
    sys.exit("pyarrow is missing: pip install pyarrow (pinned in requirements-dev.txt)")
import numpy as np
import _frametest as ft


def best(f, repeat=5):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
    keys = [f"key-{i * 2654435761 % 10**9:09d}" for i in range(n)]
    for label, col in [
        ("string", pa.array(keys, type=pa.string())),
        ("large_string", pa.array(keys, type=pa.large_string())),
        ("string, 8 chunks", pa.chunked_array([pa.array(keys[i::8]) for i in range(8)])),
    ]:
        arrays = col.chunks if hasattr(col, "chunks") else [col]
        nbytes = sum(b.size for a in arrays for b in a.buffers() if b is not None)

        def memcpy():
            for a in arrays:
                for b in a.buffers():
                    if b is not None:
                        np.frombuffer(b, dtype=np.uint8).copy()

        t_chunks = best(lambda: ft.chunk_sizes(col))
        t_copy = best(memcpy)
        t_list = best(lambda: col.to_pylist(), repeat=1)
        print(f"{label}: {n} elements, {nbytes / 1e6:.0f} MB")
        print(f"  utf8_chunks  {t_chunks * 1e3:8.1f} ms")
        print(f"  memcpy       {t_copy * 1e3:8.1f} ms   utf8_chunks / memcpy = {t_chunks / t_copy:.2f}")
        print(f"  to_pylist()  {t_list * 1e3:8.1f} ms   to_pylist / utf8_chunks = {t_list / t_chunks:.1f}x")


if __name__ == "__main__":
    main()
