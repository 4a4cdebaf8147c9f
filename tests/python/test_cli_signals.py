"""SIGINT and SIGTERM stop a long command: one line "quorvale: interrupted",
status 130 or 143, within about a second, and nothing left on disk."""

import os
import signal
import subprocess
import sys
import time

import pytest

import quorvale._core as core

from test_cli import QUORVALE

LINES = 10_000_000
# Generous beside the second a stop takes, for a loaded machine.
STOPS_WITHIN = 3.0

pytestmark = pytest.mark.big


@pytest.fixture(scope="module")
def big_keys(tmp_path_factory):
    """10^7 distinct keys in a scrambled order (i times an odd constant
    modulo 2^40, in hex)."""
    path = tmp_path_factory.mktemp("big") / "keys.txt"
    with open(path, "wb") as f:
        step = 1 << 20
        for start in range(0, LINES, step):
            f.write(b"".join(b"%x\n" % (i * 0x9E3779B97F & 0xFFFFFFFFFF) for i in range(start, min(LINES, start + step))))
    return path


def reading(pid, path):
    """Whether process `pid` has read into the file at `path`."""
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return False
    for fd in fds:
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") != str(path):
                continue
            with open(f"/proc/{pid}/fdinfo/{fd}") as f:
                if int(f.readline().split()[1]) > 0:
                    return True
        except (OSError, ValueError, IndexError):
            continue
    return False


def read_through(path):
    """A progress test that turns true once a process has read into `path`
    and closed it again: the keys are in, the work on them under way."""
    seen = []

    def progress(p):
        if reading(p.pid, path):
            seen.append(True)
            return False
        return bool(seen) and str(path) not in open_files(p.pid)
    return progress


def open_files(pid):
    out = set()
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                out.add(os.readlink(f"/proc/{pid}/fd/{fd}"))
            except OSError:
                pass
    except OSError:
        pass
    return out


def stopped(args, cwd, sig, progress):
    """Runs the installed command, sends `sig` once progress(process) says
    the work is under way, and waits: (status, seconds to exit, stderr)."""
    p = subprocess.Popen([QUORVALE] + args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 60
        while p.poll() is None and not progress(p) and time.monotonic() < deadline:
            time.sleep(0.005)
        assert p.poll() is None, "finished before the signal"
        sent = time.monotonic()
        p.send_signal(sig)
        _, err = p.communicate(timeout=120)
        return p.returncode, time.monotonic() - sent, err
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()


STREAMED = [
    (["--index", "compact"], signal.SIGINT),
    (["--index", "closed"], signal.SIGTERM),
    (["--index", "perfect"], signal.SIGINT),
    (["--index", "string"], signal.SIGTERM),
    (["--index", "dict"], signal.SIGINT),
    ([], signal.SIGINT),  # auto: the plan reads the keys, then the build
]
# (arguments, signal, when): streamed builds stopped while they read the keys
# and once the keys are in (sorting, hashing, building), over an old output;
# in-memory builds while they read (after that the computation may finish,
# but then writes nothing).
BUILDS = [(args + ["--stream", "always"], sig, when) for args, sig in STREAMED for when in ("reading", "read through")]
BUILDS += [(["--index", "string", "--stream", "never"], signal.SIGINT, "reading"),
           (["--index", "perfect", "--stream", "never"], signal.SIGTERM, "reading"),
           (["--stream", "never"], signal.SIGTERM, "reading")]  # auto: one read for the plan and the build


@pytest.mark.parametrize("args, sig, when", BUILDS,
                         ids=lambda c: "-".join(c) if isinstance(c, list) else getattr(c, "name", c))
def test_a_signal_stops_a_build(tmp_path, big_keys, args, sig, when):
    old_output = when == "read through"
    if old_output:
        (tmp_path / "o.idx").write_bytes(b"old")
    before = sorted(os.listdir(tmp_path))
    progress = read_through(big_keys) if when == "read through" else lambda p: reading(p.pid, big_keys)
    status, took, err = stopped(["build", str(big_keys), "o.idx", *args], tmp_path, sig, progress)
    assert (status, err) == (128 + sig, b"quorvale: interrupted\n")
    assert took < STOPS_WITHIN
    assert sorted(os.listdir(tmp_path)) == before
    if old_output:
        assert (tmp_path / "o.idx").read_bytes() == b"old"


def test_a_signal_stops_plan_and_dump(tmp_path, big_keys):
    status, took, err = stopped(["plan", str(big_keys)], tmp_path, signal.SIGINT, lambda p: reading(p.pid, big_keys))
    assert (status, err) == (130, b"quorvale: interrupted\n") and took < STOPS_WITHIN
    assert os.listdir(tmp_path) == [] and sorted(os.listdir(big_keys.parent)) == ["keys.txt"]

    # The dump blocks on a pipe nobody reads after the first line; the
    # signal ends the blocked write and the dump.
    core.StringIndex([f"key-{i:08}" for i in range(1_000_000)]).save(str(tmp_path / "x.idx"))
    status, took, err = stopped(["dump", "x.idx"], tmp_path, signal.SIGTERM, lambda p: p.stdout.readline())
    assert (status, err) == (143, b"quorvale: interrupted\n") and took < STOPS_WITHIN


PROGRAM = r"""
import os, signal, sys, threading, time
import quorvale._core as core
sys.path.insert(0, sys.argv[3])
from test_cli_signals import reading

keys, out = sys.argv[1], sys.argv[2]
seen = []
if sys.argv[4] == "own":
    signal.signal(signal.SIGINT, lambda s, f: seen.append(s))

def interrupt():
    while not reading(os.getpid(), keys):
        time.sleep(0.005)
    os.kill(os.getpid(), signal.SIGINT)

threading.Thread(target=interrupt).start()
status = core._cli(["build", keys, out, "--index", "dict", "--stream", "always"])
print(status, seen, os.path.exists(out), flush=True)
try:
    os.kill(os.getpid(), signal.SIGINT)
    time.sleep(1)
except KeyboardInterrupt:
    seen.append("KeyboardInterrupt")
print(seen, flush=True)
"""


@pytest.mark.parametrize("handler", ["own", "default"])
def test_the_callers_handler_is_back_after_the_call(tmp_path, big_keys, handler):
    """From a Python program: the signal stops `_cli` (status 130, no
    exception), and the program's own SIGINT handler is back afterwards."""
    here = os.path.dirname(os.path.abspath(__file__))
    r = subprocess.run([sys.executable, "-c", PROGRAM, str(big_keys), str(tmp_path / "o.idx"), here, handler],
                       capture_output=True, timeout=120)
    assert r.returncode == 0, r.stderr
    after = [2] if handler == "own" else ["KeyboardInterrupt"]
    assert r.stdout.decode().splitlines() == ["130 [] False", str(after)]
    assert r.stderr == b"quorvale: interrupted\n"
    assert os.listdir(tmp_path) == []
