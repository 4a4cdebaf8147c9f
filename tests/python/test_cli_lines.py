"""Keys-file lines as every command reads them: the plan counts the keys the
build holds."""
import os
import re

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
