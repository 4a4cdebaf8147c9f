"""Every file name the file system takes can be written: the temporary and
scratch files beside an output of the longest legal name are cut to fit,
by every writer of the library (the command line's are in test_cli_build)."""
import os

import pytest

from quorvale._core import (
    ClosedHashIndex,
    CompactHashIndex,
    DictIndex,
    DoubleArrayIndex,
    HashedDictIndex,
    Overlay,
    PerfectHashIndex,
    StringIndex,
)

KEYS = [f"key-{i:05d}-\u00e9" for i in range(3000)]


def longest_names(directory):
    """Names of exactly the directory's limit: ASCII, and one of two-byte
    characters that a cut falls inside of."""
    limit = os.pathconf(directory, "PC_NAME_MAX")
    ascii_name = "f" * (limit - 4) + ".idx"
    wide = "\u00e9" * ((limit - 5) // 2)
    wide_name = wide + "x" * (limit - 4 - len(wide.encode())) + ".idx"
    assert len(ascii_name.encode()) == len(wide_name.encode()) == limit
    return [ascii_name, wide_name]


def overlay(base):
    o = Overlay(base)
    o.add("added")
    o.remove(KEYS[0])
    return o


# Each writer: how it writes a path, and the bytes the file must then hold.
WRITERS = {
    "StringIndex.save": (lambda p: StringIndex(KEYS).save(p), StringIndex(KEYS).to_bytes()),
    "StringIndex.build_to_file": (lambda p: StringIndex.build_to_file(iter(KEYS), p),
                                  StringIndex(KEYS).to_bytes()),
    "StringIndex.build_sorted_to_file": (lambda p: StringIndex.build_sorted_to_file(sorted(KEYS), p),
                                         StringIndex(KEYS).to_bytes()),
    "PerfectHashIndex.save": (lambda p: PerfectHashIndex(KEYS).save(p), PerfectHashIndex(KEYS).to_bytes()),
    "PerfectHashIndex.build_to_file": (lambda p: PerfectHashIndex.build_to_file(lambda: iter(KEYS), p),
                                       PerfectHashIndex(KEYS).to_bytes()),
    "CompactHashIndex.save": (lambda p: CompactHashIndex(KEYS).save(p), CompactHashIndex(KEYS).to_bytes()),
    "CompactHashIndex.build_to_file": (lambda p: CompactHashIndex.build_to_file(iter(KEYS), p),
                                       CompactHashIndex(KEYS).to_bytes()),
    "ClosedHashIndex.save": (lambda p: ClosedHashIndex(KEYS).save(p), ClosedHashIndex(KEYS).to_bytes()),
    "DictIndex.save": (lambda p: DictIndex(KEYS).save(p), DictIndex(KEYS).to_bytes()),
    "DictIndex.build_to_file": (lambda p: DictIndex.build_to_file(iter(KEYS), p), DictIndex(KEYS).to_bytes()),
    "HashedDictIndex.save": (lambda p: HashedDictIndex.from_dict(DictIndex(KEYS), 8).save(p),
                             HashedDictIndex.from_dict(DictIndex(KEYS), 8).to_bytes()),
    "DoubleArrayIndex.save": (lambda p: DoubleArrayIndex(KEYS).save(p), DoubleArrayIndex(KEYS).to_bytes()),
    "Overlay.save": (lambda p: overlay(StringIndex(KEYS)).save(p), overlay(StringIndex(KEYS)).to_bytes()),
    "Overlay.compact_to_file": (lambda p: overlay(PerfectHashIndex(KEYS)).compact_to_file(p),
                                overlay(PerfectHashIndex(KEYS)).compact().base().to_bytes()),
}


@pytest.mark.parametrize("writer", WRITERS)
def test_the_longest_names_are_written(writer, tmp_path):
    write, blob = WRITERS[writer]
    for name in longest_names(tmp_path):
        path = tmp_path / name
        write(str(path))
        assert path.read_bytes() == blob
        # Over an existing file too, and nothing left beside it either time.
        write(path)
        assert path.read_bytes() == blob
        assert os.listdir(tmp_path) == [name]
        path.unlink()
