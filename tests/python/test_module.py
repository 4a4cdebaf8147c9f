import os
import shutil
import subprocess
import sys

import pytest

import quorvale
import quorvale._core as core

# The module's names, in registration order.
ORDER = [
    "StringIndex", "StringIndexIterator", "PerfectHashIndex", "CompactHashIndex", "ClosedHashIndex",
    "Overlay", "DictIndex", "DictIndexIterator", "HashedDictIndex", "DoubleArrayIndex",
    "inspect", "plan", "_cli",
]


def test_module_identity():
    assert core.__doc__ == ""
    assert core.__name__ == "quorvale._core"


def test_all_follows_registration_order():
    names = list(core.__all__)
    assert names == ORDER
    for n in names:
        obj = getattr(core, n)
        assert getattr(obj, "__module__", None) == "quorvale._core"
    assert quorvale.__all__ == names


def test_import_keeps_the_gil_disabled_where_free_threaded():
    code = "import sys, quorvale._core; print(getattr(sys, '_is_gil_enabled', lambda: None)())"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.strip()
    if sys.version_info >= (3, 13) and "free-threading" in sys.version:
        assert out == "False"


def test_entry_points_reach_the_cli():
    bin_dir = os.path.dirname(sys.executable)
    for cmd in ([sys.executable, "-m", "quorvale", "--version"], [os.path.join(bin_dir, "quorvale"), "--version"]):
        r = subprocess.run(cmd, capture_output=True, text=True)
        assert (r.returncode, r.stderr) == (0, "")
        assert r.stdout.startswith("quorvale ")


def exported_symbols(path):
    # nm comes with binutils, which the compiler the setup installs depends on.
    nm = shutil.which("nm")
    assert nm, "nm (binutils) is needed to read an extension's symbol table"
    out = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    return sorted(line.split()[-1] for line in out.splitlines() if line.strip())


@pytest.mark.parametrize("which", ["_core", "_frametest"])
def test_extension_exports_its_init_function_alone(which, request):
    # Anything else exported could be interposed by, or clash with, another
    # library in a process that loads with RTLD_GLOBAL.
    mod = core if which == "_core" else request.getfixturevalue("frametest")
    assert exported_symbols(mod.__file__) == ["PyInit_" + which]
