"""Keys-file lines as every command reads them: the plan counts the keys the
build holds, a key past a streamed build's budget is refused by its line
before the rest of it is read, and running out of memory is one line."""
import os
import re
import subprocess
import sys

import pytest

from test_cli import cli, in_process

STREAMED = {
    "compact": "compact-hash",
    "closed": "closed-hash",
    "perfect": "perfect-hash",
    "string": "string-index",
    "dict": "dict",
}
KEPT_KEYS = ("string", "dict", "perfect")
PLANNED = re.compile(rb"^(\d+) keys, ")
WROTE = re.compile(rb"wrote [^:]+: (\w+) over (\d+) keys, ")

# (name, bytes, keys, empty lines): the keys counted by hand.
ENDINGS = [
    ("LF", b"b\na\nc\na\n", 3, 0),
    ("CRLF", b"b\r\na\r\nc\r\n", 3, 0),
    ("lone CR at the end", b"abc\nabc\r", 1, 0),
    ("CR inside a line", b"x\ry\nx\n", 2, 0),
    ("no final newline", b"b\na", 2, 0),
    ("lines of only CR", b"a\n\r\n\r", 1, 2),
    ("empty lines", b"\n\na\n\n\nb\n\n", 2, 5),
]


def wrote(stderr):
    m = WROTE.search(stderr)
    assert m, stderr
    return m.group(1).decode(), int(m.group(2))


@pytest.mark.parametrize("name, content, keys, empty", ENDINGS, ids=[e[0] for e in ENDINGS])
def test_plan_and_build_read_the_same_keys(tmp_path, capfdbinary, name, content, keys, empty):
    (tmp_path / "k.txt").write_bytes(content)
    skipped = f"k.txt: {empty} empty lines skipped\n".encode() if empty else b""

    status, out, err = in_process(capfdbinary, tmp_path, "plan", "k.txt")
    assert status == 0, err
    assert int(PLANNED.match(out).group(1)) == keys
    piped = cli("plan", "-", stdin=content, cwd=tmp_path, via_module=False)
    assert piped.returncode == 0 and piped.stdout == out

    # The plan the build prints names the count of what it builds.
    status, _, err = in_process(capfdbinary, tmp_path, "build", "k.txt", "auto.idx")
    assert status == 0, err
    assert int(PLANNED.match(err).group(1)) == wrote(err)[1] == keys

    for index in STREAMED:
        blobs = set()
        for stream in ("never", "always"):
            status, _, err = in_process(capfdbinary, tmp_path, "build", "k.txt", f"{stream}.idx", "--index", index,
                                      "--stream", stream)
            assert status == 0, err
            assert err.startswith(skipped + b"wrote ") and wrote(err)[1] == keys, (index, stream)
            blobs.add((tmp_path / f"{stream}.idx").read_bytes())
        piped = cli("build", "-", "stdin.idx", "--index", index, stdin=content, cwd=tmp_path, via_module=False)
        assert piped.returncode == 0, piped.stderr
        blobs.add((tmp_path / "stdin.idx").read_bytes())
        assert len(blobs) == 1, index
        if index not in KEPT_KEYS:
            continue
        # What dump writes is a keys file that builds the same blob.
        dumped = cli("dump", "never.idx", cwd=tmp_path, via_module=False)
        if name == "CR inside a line":
            # dump refuses every carriage return, even one a keys file keeps.
            assert dumped.returncode == 1 and b"holds a line break" in dumped.stderr
            continue
        assert dumped.returncode == 0, dumped.stderr
        again = cli("build", "-", "again.idx", "--index", index, stdin=dumped.stdout, cwd=tmp_path, via_module=False)
        assert again.returncode == 0, again.stderr
        assert (tmp_path / "again.idx").read_bytes() == blobs.pop(), index


def peak_run(tmp_path, *args, limit=None, stdin=subprocess.DEVNULL):
    """The command in a fresh interpreter that reports its own peak RSS (KiB);
    under `limit` bytes of address space above what it holds at the start,
    when given."""
    driver = (
        "import resource, sys\n"
        "import quorvale._core as core\n"
        "if sys.argv[2] != '-':\n"
        "    with open('/proc/self/status') as f:\n"
        "        size = next(int(l.split()[1]) for l in f if l.startswith('VmSize:')) * 1024\n"
        "    room = size + int(sys.argv[2])\n"
        "    resource.setrlimit(resource.RLIMIT_AS, (room, room))\n"
        "status = core._cli(sys.argv[3:])\n"
        "with open(sys.argv[1], 'w') as f:\n"
        "    f.write(str(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss))\n"
        "sys.exit(status)\n"
    )
    peak = tmp_path / "peak"
    r = subprocess.run([sys.executable, "-c", driver, str(peak), "-" if limit is None else str(limit), *args],
                       stdin=stdin, capture_output=True, cwd=tmp_path)
    return r, int(peak.read_text()) * 1024 if peak.exists() else None


BUDGET = 1 << 28  # the run budget of every streamed build and of the planner


def test_a_key_past_the_budget_is_refused_by_its_line(tmp_path):
    """A second line of 384 MiB without an end, the file sparse: every road
    that keeps to a budget stops at it, holding less than the line."""
    with open(tmp_path / "k.txt", "wb") as f:
        f.write(b"a\n")
        f.truncate(BUDGET + BUDGET // 2)
    runs = [(["build", "k.txt", "o.idx", "--index", index, "--stream", "always"],
             f"k.txt:2: format error: {prefix}: a key longer than the run budget") for index, prefix in STREAMED.items()]
    runs += [(args, "format error: k.txt:2: plan: a key longer than the run budget")
             for args in (["plan", "k.txt"], ["build", "k.txt", "o.idx"])]
    for args, line in runs:
        r, peak = peak_run(tmp_path, *args)
        assert (r.returncode, r.stdout, r.stderr) == (1, b"", f"quorvale: {line}\n".encode()), args
        assert peak < BUDGET + BUDGET // 4, (args, peak)
        assert sorted(os.listdir(tmp_path)) == ["k.txt", "peak"]


def test_running_out_of_memory_is_one_line(tmp_path):
    """The in-memory roads keep a key whatever its length: an endless line
    runs them out of memory, which ends the command with one line naming
    the keys."""
    room = 1 << 27
    for args, name in [(["build", "/dev/zero", "z.idx", "--index", "dict", "--stream", "always"], "/dev/zero"),
                       (["build", "/dev/zero", "z.idx"], "/dev/zero"),
                       (["plan", "/dev/zero"], "/dev/zero")]:
        r, _ = peak_run(tmp_path, *args, limit=room)
        assert (r.returncode, r.stdout, r.stderr) == (1, b"", f"quorvale: {name}: out of memory\n".encode()), args
    with open("/dev/zero", "rb") as zero:
        for args in (["plan", "-"], ["build", "-", "z.idx", "--index", "string"]):
            r, _ = peak_run(tmp_path, *args, limit=room, stdin=zero)
            assert (r.returncode, r.stdout, r.stderr) == (1, b"", b"quorvale: -: out of memory\n"), args
    assert sorted(os.listdir(tmp_path)) == ["peak"]
