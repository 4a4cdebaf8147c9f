"""Walks down deep keys: memory in proportion to the key's bytes, and Ctrl-C
stops them wherever they are."""

import signal
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import references

HWM = """
def hwm():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM"))
"""


def test_a_deep_key_costs_memory_of_its_bytes(tmp_path):
    """One key of 3,000,000 bytes. Its build holds under 32 bytes a key byte
    (it held 94), and a load plus every walk that goes down it stays within
    8x the blob + 50 MB (each level of depth cost a walk over 100 bytes)."""
    n = 3_000_000
    path = tmp_path / "deep.bix"
    build = HWM + textwrap.dedent(f"""
        from quorvale._core import StringIndex
        key = "x" * {n}
        before = hwm()
        StringIndex([key]).save({str(path)!r})
        print(hwm() - before)
    """)
    out = subprocess.run([sys.executable, "-c", build], capture_output=True, text=True, check=True).stdout
    assert int(out) < 32 * n
    size = path.stat().st_size
    walks = HWM + textwrap.dedent(f"""
        from quorvale._core import Overlay, StringIndex
        key = "x" * {n}
        x = StringIndex.load_untrusted({str(path)!r})
        assert next(iter(x)) == (key, 0)
        assert x.prefix("", limit=1) == x.range("", "y", limit=1) == x.subsequence("x", limit=1) == [(key, 0)]
        assert x.successor("") == x.predecessor("y") == (key, 0)
        assert Overlay(x).keys() == [key]
        print(hwm())
    """)
    out = subprocess.run([sys.executable, "-c", walks], capture_output=True, text=True, check=True).stdout
    assert int(out) <= 8 * size + 50 * 10**6


def dead_end_blob(depth):
    """A "BIX4" blob of `depth` nodes of two transitions (a and b, both to the
    node below) over a node that is not final and has no transition: 2^depth
    paths, and none spells a key (only a trusted open takes it)."""
    nodes = bytearray([0, 0, 0])  # pack byte, count byte 0, state byte: no transition
    below = 16 + 2
    for _ in range(depth):
        delta = 16 + len(nodes) - below
        # Outputs of b then a, their deltas, the inputs, the pack byte, the
        # state byte (two transitions).
        nodes += struct.pack("<QQBB", 0, 0, delta, delta) + b"ba" + bytes([0x18, 0x02])
        below = 16 + len(nodes) - 1
    return b"BIX4" + references.load("fst_crc32c").fst(bytes(nodes), 1, below)


WALKS = {
    "successor": "x.successor('')",
    "predecessor": "x.predecessor('b')",
    "iteration": "next(iter(x))",
}


@pytest.mark.parametrize("walk", WALKS)
def test_ctrl_c_stops_an_attached_walk_that_finds_no_key(walk, tmp_path):
    """The neighbours and the iterator's refill run attached: their walks run
    the signal handlers as they go, however long they go without a key."""
    path = tmp_path / "x.bin"
    path.write_bytes(dead_end_blob(40))
    code = textwrap.dedent(f"""
        from quorvale._core import StringIndex
        x = StringIndex.load_mmap({str(path)!r})
        print("walking", flush=True)
        try:
            {WALKS[walk]}
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """)
    p = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert p.stdout.readline() == "walking\n", p.stderr.read()
        time.sleep(0.5)
        p.send_signal(signal.SIGINT)
        sent = time.monotonic()
        assert p.wait(timeout=10) == 0, p.stderr.read()
        assert time.monotonic() - sent < 2
        assert p.stdout.read() == "interrupted\n"
    finally:
        p.kill()
        p.wait()
