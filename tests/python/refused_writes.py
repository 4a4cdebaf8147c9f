"""Writes a full disk refuses, simulated in a child process."""

import subprocess
import sys
import textwrap

PRELUDE = """
import os, resource, signal
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
def limited():
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
def attempt(call):
    try:
        call()
        print("no error")
    except OSError as e:
        print(str(e))
"""


def refused(directory, body):
    """Runs `body` in a fresh interpreter (`limited()` caps files at 4 KiB, `attempt(call)` prints the call's
    OSError, `d` is `directory`); its printed lines, then the directory's listing afterwards."""
    code = PRELUDE + f"d = {str(directory)!r}\n" + textwrap.dedent(body) + "\nprint(sorted(os.listdir(d)))\n"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.splitlines()
