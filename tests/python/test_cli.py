import importlib.metadata
import os
import struct
import subprocess
import sys

import pytest

import quorvale._core as core

from blobs import made

HERE = os.path.dirname(os.path.abspath(__file__))
VERSION = importlib.metadata.version("quorvale")
with open(os.path.join(HERE, "fixtures", "usage.txt"), encoding="utf-8") as f:
    USAGE = f.read().replace("{version}", VERSION)
QUORVALE = os.path.join(os.path.dirname(sys.executable), "quorvale")
NOTE = (
    "excluded: needs exact \u2014 CompactHashIndex (a bounded false-positive rate) and ClosedHashIndex (a stranger "
    "gets some member's id). Pass --closed-vocabulary if every key you will ask about is in this file, and they are "
    "ranked with the rest.\n"
)
OBJECTIVE_PIECE = (
    "` is not op=weight, with op one of hits / misses / reverse / prefix / common_prefix / longest_prefix / batch"
)


def cli(*args, stdin=b"", cwd=None, via_module=True, **kw):
    cmd = [sys.executable, "-m", "quorvale"] if via_module else [QUORVALE]
    return subprocess.run(cmd + list(args), input=stdin, capture_output=True, cwd=cwd, **kw)


def usage_failure(message):
    return ("quorvale: " + message + "\n\n" + USAGE + "\n").encode()


def in_process(capfdbinary, cwd, *args):
    """The command run by `_cli` in this process, from `cwd`: (status, stdout, stderr)."""
    capfdbinary.readouterr()
    here = os.getcwd()
    os.chdir(cwd)
    try:
        status = core._cli(list(args))
    finally:
        os.chdir(here)
    out, err = capfdbinary.readouterr()
    return status, out, err


def both(capfdbinary, cwd, *args):
    """The command run by the installed `quorvale` and by `_cli` in this
    process (from `cwd`): [(status, stdout, stderr)], in that order."""
    r = cli(*args, cwd=cwd, via_module=False)
    return [(r.returncode, r.stdout, r.stderr), in_process(capfdbinary, cwd, *args)]


def test_usage_fixture_is_the_usage_text():
    assert USAGE.startswith(f"quorvale {VERSION} \u2014 price, build and inspect string\u2194id indexes\n\nusage:\n")
    assert "**open**" in USAGE


@pytest.mark.parametrize("via_module", [True, False])
def test_no_subcommand_help_and_version(via_module):
    r = cli(via_module=via_module)
    assert (r.returncode, r.stdout, r.stderr) == (2, b"", usage_failure("no subcommand"))
    for args in (["-V"], ["--version", "x"]):
        r = cli(*args, via_module=via_module)
        assert (r.returncode, r.stdout, r.stderr) == (0, f"quorvale {VERSION}\n".encode(), b"")
    for args in (["help", "x"], ["build", "k", "o", "-h"], ["plan", "--index", "-h"]):
        r = cli(*args, via_module=via_module)
        assert (r.returncode, r.stdout, r.stderr) == (0, USAGE.encode(), b"")


ARG_FAILURES = [
    (["frob"], "no such subcommand `frob`"),
    (["plan"], "expected `quorvale plan <keys-file> [needs]`"),
    (["plan", "a", "b"], "expected `quorvale plan <keys-file> [needs]`"),
    (["inspect"], "expected `quorvale inspect <blob> [--sections]`"),
    (["dump", "a", "b"], "expected `quorvale dump <blob>`"),
    (["build", "k"], "expected `quorvale build <keys-file> <out-blob> [options]`"),
    (["plan", "k", "-V"], "no such option `-V`"),
    (["inspect", "x", "--reverse"], "no such option `--reverse`"),
    (["plan", "k", "--sections"], "no such option `--sections`"),
    (["plan", "k", "--foo=1"], "no such option `--foo`"),
    (["build", "k", "o", "--block", "0"], "--block: 0 is outside 1..=1024"),
    (["build", "k", "o", "--block="], "--block: `` is neither a number nor one of fast / balanced / compact"),
    (["build", "k", "o", "--block"], "--block needs a value"),
    (["build", "k", "o", "--stream", "G"],
     "--stream: `G` is neither a size (1000, 512M, 4G) nor one of auto / always / never"),
    (["build", "k", "o", "--stream", "-1"],
     "--stream: `-1` is neither a size (1000, 512M, 4G) nor one of auto / always / never"),
    (["plan", "k", "--objective", "fast"],
     "--objective: `fast` is not one of memory / latency / balanced, or a workload such as hits=9,misses=1"),
    (["plan", "k", "--objective", "hits=9,misses=1,"], "--objective: `" + OBJECTIVE_PIECE),
    (["build", "k", "o", "--objective", "batch=4294967296"], "--objective: `batch=4294967296" + OBJECTIVE_PIECE),
    (["build", "k", "o", "--index", "trie"], "--index: no such index `trie`"),
]


@pytest.mark.parametrize("args, message", ARG_FAILURES)
def test_command_line_failures(args, message):
    r = cli(*args)
    assert (r.returncode, r.stdout, r.stderr) == (2, b"", usage_failure(message))


def test_inspect_command(tmp_path):
    (tmp_path / "p.bin").write_bytes(made("BMP8", 36 + 20 + 7 + 12, [(4, "Q", 4), (12, "Q", 20), (20, "I", 1)]))
    r = cli("inspect", "p.bin", cwd=tmp_path)
    assert r.returncode == 0 and r.stderr == b""
    assert r.stdout == (
        b"kind: PerfectHashIndex\nformat: BMP8\nbytes: 75\nkeys: 4\nmph_bytes: 20\narena_bytes: 7\nside_entries: 1\n"
    )

    base = made("BIX4", 40, [(4, "Q", 3), (20, "Q", 10)])
    added = b"".join(struct.pack("<I", len(a)) + a for a in (b"x", b"y", b"z"))
    over = b"OVL2" + struct.pack("<BQQQQQI", 1, len(base), 3, len(added), 1, 0, 0) + base + added + struct.pack("<Q", 6)
    (tmp_path / "o.bin").write_bytes(over)
    r = cli("inspect", "o.bin", cwd=tmp_path)
    assert r.returncode == 0
    assert r.stdout.decode().splitlines() == [
        "kind: Overlay", "format: OVL2", f"bytes: {len(over)}", "keys: 11", "overlay.base_tag: 1",
        "overlay.additions: 3", "overlay.retired: 2", "base.kind: StringIndex", "base.format: BIX4",
        "base.bytes: 40", "base.keys: 10",
    ]

    (tmp_path / "junk").write_bytes(b"JUNKJUNK")
    r = cli("inspect", "junk", cwd=tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (1, b"", b"quorvale: junk: format error: not a quorvale blob: unknown magic\n")

    # "-" names a file here, never standard input.
    r = cli("inspect", "-", cwd=tmp_path, stdin=b"BMP8")
    assert r.returncode == 1 and r.stderr == b"quorvale: -: io error: No such file or directory (os error 2)\n"
    (tmp_path / "-").write_bytes(made("BMP8", 36))
    assert cli("inspect", "-", cwd=tmp_path).stdout.startswith(b"kind: PerfectHashIndex\n")

    r = cli("inspect", "p.bin", "--sections", cwd=tmp_path)
    assert r.returncode == 1
    assert r.stdout.startswith(b"kind: PerfectHashIndex\n") and r.stdout.endswith(b"side_entries: 1\n")
    assert r.stderr == b"quorvale: p.bin: --sections is a DictIndex's byte split, and this is a PerfectHashIndex\n"


def test_inspect_sections_of_a_dictionary(tmp_path):
    path = tmp_path / "d.bin"
    core.DictIndex([f"key{i:05}" for i in range(5000)]).save(str(path))
    r = cli("inspect", str(path), "--sections")
    assert r.returncode == 0, r.stderr
    lines = r.stdout.decode().splitlines()
    sections = [line for line in lines if line.startswith("sections.")]
    assert len(sections) == 19
    names = [line.split(":")[0][len("sections."):] for line in sections]
    assert names == [
        "header", "tables", "header_codes", "phrases", "heads", "head_ends", "block_offsets", "micro_offsets",
        "chars", "restart_headers", "restart_wide", "restart_codes", "entry_headers", "entry_wide", "entry_codes",
        "total", "restarts", "entries", "wide",
    ]
    assert sections[0].startswith("sections.header: 72 (")
    total = sections[15]
    assert total.startswith(f"sections.total: {os.path.getsize(path)} (") and total.endswith(" B/key, 100.00 %)")


def test_plan_reads_standard_input():
    r = cli("plan", "-", stdin=b"b\n\n\na\n")
    expected = core.plan(["a", "b"], exact=True)["text"].encode()
    assert (r.returncode, r.stdout, r.stderr) == (0, expected, b"-: 2 empty lines skipped\n" + NOTE.encode())
    assert len(NOTE.encode()) == 240


def test_plan_of_a_file_and_the_note(tmp_path):
    (tmp_path / "keys").write_bytes(b"b\n\na\n")
    expected = core.plan(["a", "b"], exact=True)["text"].encode()
    r = cli("plan", str(tmp_path / "keys"))
    assert (r.returncode, r.stdout, r.stderr) == (0, expected, NOTE.encode())
    for extra in (["--fuzzy"], ["--closed-vocabulary"], ["--objective", "reverse=1"]):
        r = cli("plan", str(tmp_path / "keys"), *extra)
        assert r.returncode == 0 and r.stderr == b"", extra


def test_plan_failures_of_a_file(tmp_path):
    missing = tmp_path / "missing"
    r = cli("plan", str(missing))
    assert (r.returncode, r.stdout) == (1, b"")
    assert r.stderr == f"quorvale: io error: {missing}: No such file or directory (os error 2)\n".encode()
    (tmp_path / "keys").write_bytes(b"a\n\xff\n")
    r = cli("plan", str(tmp_path / "keys"))
    assert (r.returncode, r.stderr) == (1, f"quorvale: io error: {tmp_path / 'keys'}:2: not UTF-8\n".encode())
    assert sorted(p.name for p in tmp_path.iterdir()) == ["keys"]


def test_cli_arguments_in_process(capfd):
    with pytest.raises(TypeError) as e:
        core._cli("plan")
    assert str(e.value) == "Can't extract `str` to `Vec`"
    assert e.value.__notes__ == ["while processing 'args'"]
    for bad in ([1], None, 3):
        with pytest.raises(TypeError) as e:
            core._cli(bad)
        assert e.value.__notes__ == ["while processing 'args'"]
    assert core._cli.__text_signature__ == "(args)"
    assert core._cli(args=("-V",)) == 0
    assert core._cli(["frob"]) == 2
    out, err = capfd.readouterr()
    assert out == f"quorvale {VERSION}\n"
    assert err == usage_failure("no such subcommand `frob`").decode()


def test_closed_and_gone_standard_output():
    # A closed stream counts as written.
    r = subprocess.run([QUORVALE, "--version"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       preexec_fn=lambda: os.close(1))
    assert (r.returncode, r.stderr) == (0, b"")
    # A reader that has gone is a failure of the work.
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        r = subprocess.run([QUORVALE, "help"], stdout=write_end, stderr=subprocess.PIPE)
    finally:
        os.close(write_end)
    assert (r.returncode, r.stderr) == (1, b"quorvale: Broken pipe (os error 32)\n")


def damaged(blob):
    """One flipped byte at the end of the payload: the header still reads."""
    return blob[:-1] + bytes([blob[-1] ^ 1])


# (command line, fault made in the directory, the stderr line): every
# failure that concerns one file names it first.
FAILURES_NAME_THEIR_FILE = [
    (["build", "k.txt", "none/o.idx", "--index", "string", "--stream", "never"], None,
     "none/o.idx: io error: No such file or directory (os error 2)"),
    (["build", "k.txt", "none/o.idx", "--index", "perfect", "--stream", "always"], None,
     "none/o.idx: io error: No such file or directory (os error 2)"),
    (["build", "k.txt", "none/o.idx", "--stream", "always"], None,
     "none/o.idx: io error: No such file or directory (os error 2)"),
    (["dump", "x"], lambda d: (d / "x").write_bytes(damaged(core.PerfectHashIndex(["a", "b"]).to_bytes())),
     "x: format error: payload checksum mismatch"),
    (["inspect", "x", "--sections"], lambda d: (d / "x").write_bytes(damaged(core.DictIndex(["a", "b"]).to_bytes())),
     "x: format error: payload checksum mismatch"),
    (["dump", "x"], lambda d: core.StringIndex(["a", "b\rc"]).save(str(d / "x")),
     "x: id 1 holds a line break, which one key per line cannot carry"),
    (["plan", "absent"], None, "io error: absent: No such file or directory (os error 2)"),
]


@pytest.mark.parametrize("args, fault, line", FAILURES_NAME_THEIR_FILE, ids=lambda c: str(c)[:20])
def test_failures_name_their_file(tmp_path, capfdbinary, args, fault, line):
    (tmp_path / "k.txt").write_bytes(b"a\nb\n")
    if fault:
        fault(tmp_path)
    before = sorted(os.listdir(tmp_path))
    for status, out, err in both(capfdbinary, tmp_path, *args):
        assert (status, err.splitlines()[-1:]) == (1, [b"quorvale: " + line.encode()])
        assert sorted(os.listdir(tmp_path)) == before
