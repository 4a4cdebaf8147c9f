import os
import random
import re
import resource
import signal
import stat
import subprocess
import threading

import pytest

import quorvale._core as core

from test_cli import NOTE, QUORVALE, both, cli, usage_failure

KINDS = {
    "compact": "CompactHashIndex",
    "closed": "ClosedHashIndex",
    "perfect": "PerfectHashIndex",
    "string": "StringIndex",
    "dict": "DictIndex",
}
WROTE = re.compile(rb"wrote (.+): (\w+) over (\d+) keys, (\d+) bytes \((\d+\.\d\d) B/key\)\n")


def umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def random_keys(n, seed, distinct=True):
    rng = random.Random(seed)
    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789-_ äöü€"
    keys = {"".join(rng.choice(alphabet) for _ in range(rng.randint(1, 30))) for _ in range(n)}
    return sorted(keys)


def keys_file(path, keys, repeats=False, empty=0):
    lines = list(keys)
    if repeats:
        lines += keys[::7]
    random.Random(1).shuffle(lines)
    lines += [""] * empty
    path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    return path


def wrote(stderr, cwd, out, kind, keys):
    """The report ends stderr; it names the file's length and its bytes per key."""
    m = WROTE.search(stderr)
    assert m and stderr.endswith(m.group(0)), stderr
    size = os.path.getsize(cwd / out)
    assert m.groups() == (out.encode(), kind.encode(), str(keys).encode(), str(size).encode(),
                          f"{size / max(keys, 1):.2f}".encode())
    return m


def holds_exactly(kind, path, keys):
    """The blob loads with its class and holds the distinct keys, no others."""
    index = getattr(core, kind).load(str(path))
    distinct = sorted(set(keys))
    if kind == "ClosedHashIndex":
        assert sorted(index.id(k) for k in distinct) == list(range(len(distinct)))
        return
    assert len(index) == len(distinct)
    assert all(k in index for k in distinct)
    if kind in ("StringIndex", "DictIndex"):
        assert [index.key(i) for i in range(len(distinct))] == distinct
    elif kind == "PerfectHashIndex":
        assert sorted(index.key(i) for i in range(len(distinct))) == distinct
    else:
        assert sorted(index.id(k) for k in distinct) == list(range(len(distinct)))


@pytest.mark.parametrize("extra", [[], ["--closed-vocabulary"]])
def test_auto_builds_the_plans_best(tmp_path, extra):
    keys = random_keys(2000, 5)
    k = keys_file(tmp_path / "k.txt", keys, repeats=True)
    planned = cli("plan", "k.txt", *extra, cwd=tmp_path)
    assert planned.returncode == 0
    r = cli("build", "k.txt", "o.idx", *extra, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    note = b"" if extra else NOTE.encode()
    assert r.stderr.startswith(planned.stdout + note + b"wrote o.idx: ")
    best = core.plan(keys, exact=not extra)["best"]["kind"]
    wrote(r.stderr, tmp_path, "o.idx", best, len(keys))
    if extra:
        assert b"ClosedHashIndex" in planned.stdout and b"CompactHashIndex" in planned.stdout
    holds_exactly(best, tmp_path / "o.idx", keys)


def test_auto_from_standard_input_counts_empty_lines_before_the_plan(tmp_path):
    keys = random_keys(500, 9)
    text = "".join(k + "\n" for k in keys).encode() + b"\n\n" + keys[0].encode() + b"\n"
    (tmp_path / "k.txt").write_bytes(text)
    planned = cli("plan", "k.txt", "--closed-vocabulary", cwd=tmp_path)
    r = cli("build", "-", "o.idx", "--closed-vocabulary", "--stream", "always", stdin=text, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stderr.startswith(b"-: 2 empty lines skipped\n" + planned.stdout + b"wrote o.idx: ")
    best = core.plan(keys, exact=False)["best"]["kind"]
    wrote(r.stderr, tmp_path, "o.idx", best, len(keys))
    holds_exactly(best, tmp_path / "o.idx", keys)


CASES = [["--index", kind] for kind in KINDS] + [["--index", "dict", "--block", "32"]]


@pytest.mark.parametrize("args", CASES, ids=lambda a: "-".join(a[1:]))
def test_the_two_roads_write_the_same_file(tmp_path, args):
    kind = KINDS[args[1]]
    keys = random_keys(3000, 11)
    keys_file(tmp_path / "k.txt", keys, repeats=True, empty=2)
    blobs = []
    for stream in ("never", "always"):
        out = tmp_path / f"{stream}.idx"
        r = cli("build", "k.txt", out.name, *args, "--stream", stream, cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        assert r.stderr.startswith(b"k.txt: 2 empty lines skipped\nwrote ")
        wrote(r.stderr, tmp_path, out.name, kind, len(keys))
        holds_exactly(kind, out, keys)
        blobs.append(out.read_bytes())
    assert blobs[0] == blobs[1]
    assert sorted(os.listdir(tmp_path)) == ["always.idx", "k.txt", "never.idx"]


@pytest.mark.parametrize("content", [b"", b"\n\r\n\n"], ids=["empty", "empty-lines"])
def test_zero_keys(tmp_path, content):
    (tmp_path / "k.txt").write_bytes(content)
    for flag, kind in KINDS.items():
        for stream in ("never", "always"):
            r = cli("build", "k.txt", "o.idx", "--index", flag, "--stream", stream, cwd=tmp_path)
            assert r.returncode == 0, r.stderr
            head = b"k.txt: 3 empty lines skipped\n" if content else b""
            m = wrote(r.stderr, tmp_path, "o.idx", kind, 0)
            assert r.stderr == head + m.group(0)
            assert cli("inspect", "o.idx", cwd=tmp_path).stdout.startswith(f"kind: {kind}\n".encode())
            holds_exactly(kind, tmp_path / "o.idx", [])


def test_a_repeated_key_counts_once_on_every_road(tmp_path, capfdbinary):
    """Every kind and auto (whose plan picks the perfect-hash index here),
    in memory and streamed: the repeats go, and both roads write one blob."""
    (tmp_path / "k.txt").write_text("b\na\nb\nc\na\n")
    for args, kind in [(["--index", flag], kind) for flag, kind in KINDS.items()] + [
            (["--objective", "latency"], "PerfectHashIndex")]:
        blobs = set()
        for stream in ("never", "always"):
            for i, (status, out, err) in enumerate(
                    both(capfdbinary, tmp_path, "build", "k.txt", f"{stream}.idx", *args, "--stream", stream)):
                assert (status, out) == (0, b""), err
                wrote(err, tmp_path, f"{stream}.idx", kind, 3)
                blobs.add((tmp_path / f"{stream}.idx").read_bytes())
        assert len(blobs) == 1, args
        holds_exactly(kind, tmp_path / "never.idx", ["a", "b", "c"])
        assert sorted(os.listdir(tmp_path)) == ["always.idx", "k.txt", "never.idx"]


# The output named four ways that all reach the keys file.
SAME_FILE = [
    ("same path", lambda d: "k.txt"),
    ("symbolic link", lambda d: (os.symlink("k.txt", d / "link"), "link")[1]),
    ("hard link", lambda d: (os.link(d / "k.txt", d / "hard"), "hard")[1]),
    ("through ..", lambda d: (os.mkdir(d / "sub"), "sub/../k.txt")[1]),
]


@pytest.mark.parametrize("name, spell", SAME_FILE, ids=[c[0] for c in SAME_FILE])
def test_the_keys_file_is_never_the_output(tmp_path, capfdbinary, name, spell):
    keys = b"b\na\nc\n"
    (tmp_path / "k.txt").write_bytes(keys)
    out = spell(tmp_path)
    before = sorted(os.listdir(tmp_path))
    message = f"the output `{out}` is the keys file `k.txt`: the index would overwrite its keys"
    for args in (["--index", "closed"], ["--index", "perfect", "--stream", "always"], []):
        for status, stdout, stderr in both(capfdbinary, tmp_path, "build", "k.txt", out, *args):
            assert (status, stdout, stderr) == (2, b"", usage_failure(message)), args
            assert (tmp_path / "k.txt").read_bytes() == keys
            assert sorted(os.listdir(tmp_path)) == before


def with_standard_input(path, cwd, args):
    """`_cli(args)` in this process, from `cwd`, its standard input (descriptor 0) reading `path`."""
    saved = os.dup(0)
    fd = os.open(path, os.O_RDONLY)
    here = os.getcwd()
    try:
        os.dup2(fd, 0)
        os.chdir(cwd)
        return core._cli(list(args))
    finally:
        os.chdir(here)
        os.dup2(saved, 0)
        os.close(saved)
        os.close(fd)


@pytest.mark.parametrize("args", [["--index", "closed"], ["--index", "perfect"], []], ids=["keyless", "keyed", "auto"])
def test_standard_input_is_never_the_output(tmp_path, capfdbinary, args):
    """`build - OUT < OUT` (or a link to OUT) is refused before a key is read,
    on both roads; a pipe carrying the same keys is no refusal."""
    keys = b"b\na\nc\n"
    (tmp_path / "k.txt").write_bytes(keys)
    os.symlink("k.txt", tmp_path / "link")
    message = "the output `k.txt` is standard input: the index would overwrite its keys"
    for stream in ("never", "always"):
        command = ["build", "-", "k.txt", *args, "--stream", stream]
        for redirected in ("k.txt", "link"):
            with open(tmp_path / redirected, "rb") as f:
                r = subprocess.run([QUORVALE, *command], stdin=f, capture_output=True, cwd=tmp_path)
            assert (r.returncode, r.stdout, r.stderr) == (2, b"", usage_failure(message))
            capfdbinary.readouterr()
            status = with_standard_input(tmp_path / redirected, tmp_path, command)
            assert (status, *capfdbinary.readouterr()) == (2, b"", usage_failure(message))
            assert (tmp_path / "k.txt").read_bytes() == keys
            assert sorted(os.listdir(tmp_path)) == ["k.txt", "link"]
    r = cli("build", "-", "k.txt", *args, stdin=keys, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "k.txt").read_bytes() != keys


def test_the_longest_output_names(tmp_path, capfdbinary):
    """An output name as long as the directory takes is built by every kind
    on both roads, and nothing is left beside it."""
    keys = random_keys(500, 3)
    keys_file(tmp_path / "k.txt", keys)
    out = "f" * (os.pathconf(tmp_path, "PC_NAME_MAX") - 4) + ".idx"
    for flag, kind in KINDS.items():
        blobs = set()
        for stream in ("never", "always"):
            for status, stdout, stderr in both(capfdbinary, tmp_path, "build", "k.txt", out, "--index", flag,
                                               "--stream", stream):
                assert (status, stdout) == (0, b""), stderr
                wrote(stderr, tmp_path, out, kind, len(keys))
                blobs.add((tmp_path / out).read_bytes())
                assert sorted(os.listdir(tmp_path)) == sorted(["k.txt", out])
        assert len(blobs) == 1, flag
        holds_exactly(kind, tmp_path / out, keys)


def full_disk():
    """In the child: files end at 4 KiB, and a write past that fails (EFBIG) instead of killing it."""
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


def test_a_full_disk_is_the_outputs_failure(tmp_path):
    """A write refused for want of room names the output, on every road:
    the string index's streamed build too, whose FST builder reports only
    "I/O error"; the old output stays and nothing is left beside it."""
    keys_file(tmp_path / "k.txt", random_keys(20000, 4))
    (tmp_path / "o.idx").write_bytes(b"old")
    for flag in KINDS:
        for stream in ("never", "always"):
            r = subprocess.run([QUORVALE, "build", "k.txt", "o.idx", "--index", flag, "--stream", stream],
                               capture_output=True, cwd=tmp_path, preexec_fn=full_disk)
            assert (r.returncode, r.stdout) == (1, b""), (flag, stream, r.stderr)
            if (flag, stream) == ("string", "always"):
                assert r.stderr == b"quorvale: o.idx: fst error: I/O error\n"
            else:
                assert r.stderr == b"quorvale: o.idx: io error: File too large (os error 27)\n", (flag, stream)
            assert (tmp_path / "o.idx").read_bytes() == b"old"
            assert sorted(os.listdir(tmp_path)) == ["k.txt", "o.idx"]


def without_permission_override():
    """A command prefix under which permission bits bind: none for a user
    they bind already; for root, setpriv dropping the capabilities that
    override them (None when that cannot be had here)."""
    if os.geteuid() != 0:
        return []
    drop = "-dac_override,-dac_read_search"
    prefix = ["setpriv", f"--inh-caps={drop}", f"--bounding-set={drop}"]
    try:
        subprocess.run(prefix + ["true"], check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    return prefix


def test_an_unwritable_output_fails_before_the_work(tmp_path):
    """A missing directory, a file standing as one, or a read-only one: the
    build fails at once with the line its write would give, reads no key (a
    keys file that is not even there) and plans nothing."""
    (tmp_path / "file").write_bytes(b"")
    os.mkdir(tmp_path / "ro", 0o500)
    bound = without_permission_override()
    cases = [([], "absent/o.idx", "No such file or directory (os error 2)"),
             ([], "file/o.idx", "Not a directory (os error 20)")]
    if bound is not None:
        cases.append((bound, "ro/o.idx", "Permission denied (os error 13)"))
    for prefix, out, error in cases:
        line = f"quorvale: {out}: io error: {error}\n".encode()
        for args in (["--index", "dict"], ["--index", "string", "--stream", "always"], []):
            for keys, stdin in (("absent.txt", b""), ("-", b"a\n\nb\n")):
                r = subprocess.run(prefix + [QUORVALE, "build", keys, out, *args], input=stdin, capture_output=True,
                                   cwd=tmp_path)
                assert (r.returncode, r.stdout, r.stderr) == (1, b"", line), (out, args, keys)


def test_failures(tmp_path):
    def run(*args, stdin=b""):
        return cli("build", *args, cwd=tmp_path, stdin=stdin)

    # Options that do not fit are refused before the keys file is looked at.
    for extra in ([], ["--index", "string"], ["--index", "auto"]):
        r = run("absent.txt", "o.idx", "--block", "64", *extra)
        message = "--block is the DictIndex block size and needs `--index dict`"
        assert (r.returncode, r.stdout, r.stderr) == (2, b"", usage_failure(message))

    (tmp_path / "o.idx").write_bytes(b"old")
    r = run("k.txt", "o.idx", "--index", "dict")
    assert (r.returncode, r.stderr) == (1, b"quorvale: k.txt: No such file or directory (os error 2)\n")
    r = run("k.txt", "o.idx")
    assert (r.returncode, r.stderr) == (1, b"quorvale: io error: k.txt: No such file or directory (os error 2)\n")

    (tmp_path / "k.txt").write_bytes(b"a\n\xff\nb\n")
    for stream in ("never", "always"):
        r = run("k.txt", "o.idx", "--index", "string", "--stream", stream)
        assert (r.returncode, r.stderr) == (1, b"quorvale: k.txt:2: stream did not contain valid UTF-8\n")
    r = run("k.txt", "o.idx")
    assert (r.returncode, r.stderr) == (1, b"quorvale: io error: k.txt:2: not UTF-8\n")
    assert (tmp_path / "o.idx").read_bytes() == b"old"
    assert sorted(os.listdir(tmp_path)) == ["k.txt", "o.idx"]

    (tmp_path / "k.txt").write_bytes(b"a\nb\n")
    os.mkdir(tmp_path / "o")
    r = run("k.txt", "o", "--index", "closed", "--stream", "always")
    assert (r.returncode, r.stderr) == (1, b"quorvale: o: Is a directory (os error 21)\n")
    assert sorted(os.listdir(tmp_path)) == ["k.txt", "o", "o.idx"]


def test_stream_decision_seen_through_permissions(tmp_path):
    """Replacing a 0600 file: the in-memory road keeps its mode, the streamed
    road's partial file brings 0666 less the umask."""
    streamed_mode = 0o666 & ~umask()
    assert streamed_mode != 0o600
    out = tmp_path / "o.idx"

    def mode_after(keys_path, *args, stdin=b"", fifo_content=None):
        out.write_bytes(b"old")
        os.chmod(out, 0o600)
        writer = None
        if fifo_content is not None:
            def feed():
                with open(keys_path, "wb") as f:
                    f.write(fifo_content)
            writer = threading.Thread(target=feed)
            writer.start()
        r = cli("build", str(keys_path), str(out), "--index", "closed", *args, stdin=stdin)
        if writer:
            writer.join()
        assert r.returncode == 0, r.stderr
        return stat.S_IMODE(os.stat(out).st_mode)

    k = tmp_path / "k.txt"
    k.write_bytes(b"")
    assert mode_after(k, "--stream", "always") == streamed_mode
    assert mode_after(k, "--stream", "0") == streamed_mode
    assert mode_after(k, "--stream", "never") == 0o600
    assert mode_after(k, "--stream", "1") == 0o600
    k.write_bytes(b"k" * 999 + b"\n")
    assert mode_after(k, "--stream", "1000") == streamed_mode
    k.write_bytes(b"k" * 998 + b"\n")
    assert mode_after(k, "--stream", "1000") == 0o600
    assert mode_after("-", "--stream", "always", stdin=b"a\nb\n") == 0o600
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    assert mode_after(fifo, "--stream", "always", fifo_content=b"a\nb\n") == 0o600
    # A directory is read as keys (and fails there), never streamed.
    before = out.read_bytes()
    r = cli("build", str(tmp_path), str(out), "--index", "closed", "--stream", "always")
    assert (r.returncode, r.stderr) == (1, f"quorvale: {tmp_path}:1: Is a directory (os error 21)\n".encode())
    assert out.read_bytes() == before and sorted(os.listdir(tmp_path)) == ["fifo", "k.txt", "o.idx"]


def test_fixed_parameters(tmp_path):
    keys_file(tmp_path / "k.txt", random_keys(300, 2))
    for stream in ("never", "always"):
        assert cli("build", "k.txt", "c.idx", "--index", "compact", "--stream", stream, cwd=tmp_path).returncode == 0
        assert b"\nfingerprint_bits: 8\n" in cli("inspect", "c.idx", cwd=tmp_path).stdout
        assert cli("build", "k.txt", "p.idx", "--index", "perfect", "--stream", stream, cwd=tmp_path).returncode == 0
        assert core.PerfectHashIndex.load(str(tmp_path / "p.idx")).has_fingerprints() is False
        assert cli("build", "k.txt", "d.idx", "--index", "dict", "--stream", stream, cwd=tmp_path).returncode == 0
        info = core.inspect(str(tmp_path / "d.idx"))
        assert info["kind"] == "DictIndex"
        assert core.DictIndex.load(str(tmp_path / "d.idx")).block == 256
