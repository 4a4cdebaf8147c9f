import collections
import collections.abc
import random
import re
import sys

import numpy as np
import pytest

import quorvale._core as core
from quorvale._core import plan

ALL = [
    ("CompactHashIndex", None), ("ClosedHashIndex", None), ("PerfectHashIndex", None), ("StringIndex", None),
    ("DictIndex", 32), ("DictIndex", 256), ("DictIndex", 1024),
]
EXACT = ALL[2:]
ORDERED = ALL[3:]
FUZZY = [("StringIndex", None)]
ESTIMATE_FIELDS = ["kind", "bytes", "bytes_per_key", "block", "measured", "nanos"]
PLAN_FIELDS = ["keys", "mean_length", "mean_lcp", "best", "estimates", "close", "thin", "text"]
MODEL_LINE = "the nanoseconds are a model of this crate's own machine, not a measurement of yours"
CLOSE_LINE = "the two cheapest are within 1.3x, which is inside what an estimate can separate: build both"
LINE = re.compile(
    r"([* ]) (\S+) +(\d+) bytes  +([\d.]+) B/key  +(\d+|inf) ns  (built|estimated)(?: at block (\d+))?"
)

KEYS = ["apple", "banana", "cherry", "date", "elderberry", "fig", "grape", "héllo", "日本"]


def candidates(result):
    return sorted((e["kind"], e["block"]) for e in result["estimates"])


@pytest.mark.parametrize(
    "kwargs, want",
    [
        ({}, ALL),
        ({"objective": {"hits": 9, "misses": 1}}, ALL),
        ({"objective": {"reverse": 0}}, ALL),
        ({"exact": True}, EXACT),
        ({"reverse": True}, EXACT),
        ({"objective": {"reverse": 2}}, EXACT),
        ({"ordered": True}, ORDERED),
        ({"prefix": True}, ORDERED),
        ({"reverse": True, "ordered": True}, ORDERED),
        ({"objective": {"longest_prefix": 1}}, ORDERED),
        ({"fuzzy": True}, FUZZY),
        ({"fuzzy": True, "exact": True}, FUZZY),
        ({"fuzzy": True, "reverse": True, "ordered": True, "prefix": True, "exact": True}, FUZZY),
        ({"fuzzy": True, "objective": {"reverse": 1}}, FUZZY),
    ],
)
def test_candidates(kwargs, want):
    assert candidates(plan(KEYS, **kwargs)) == sorted(want)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (None, TypeError, "objective: a name, or a mapping from operation to weight"),
        (3, TypeError, "objective: a name, or a mapping from operation to weight"),
        (["hits"], TypeError, "objective: a name, or a mapping from operation to weight"),
        ("Memory", ValueError, "objective: `Memory` is not one of memory / latency / balanced"),
        ({1: 2}, TypeError, "objective: an operation is named by a string"),
        ({"size": 1}, ValueError,
         "objective: `size` is not one of hits / misses / reverse / prefix / common_prefix / longest_prefix / batch"),
        ({"hits": -1}, ValueError, "objective: `hits` is not a whole number of 0 or more"),
        ({"hits": 1.5}, ValueError, "objective: `hits` is not a whole number of 0 or more"),
        ({"misses": 2**64}, ValueError, "objective: `misses` is not a whole number of 0 or more"),
        ({"batch": "1"}, ValueError, "objective: `batch` is not a whole number of 0 or more"),
        ({"batch": 2**32}, ValueError, "objective: `batch` is past what a batch can hold"),
    ],
)
def test_objective_errors(value, error, message):
    with pytest.raises(error) as e:
        plan(KEYS, objective=value)
    assert type(e.value) is error
    assert str(e.value) == message
    assert e.value.__notes__ == ["while processing 'objective'"]


class Items(collections.abc.Mapping):
    """A mapping that is not a dict, whose items come as given."""

    def __init__(self, items):
        self._items = items

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(k for k, _ in self._items)

    def __len__(self):
        return len(self._items)

    def items(self):
        return self._items


def header(result):
    return result["text"].split("\n")[0]


def test_objective_values():
    assert header(plan(KEYS, objective={"batch": 2**32 - 1})).endswith("ranked by latency (batch 4294967295)")
    assert header(plan(KEYS, objective={"hits": True, "misses": 2**64 - 1})).endswith(
        "ranked by workload (hits 1, misses 18446744073709551615)")
    # Any Mapping; items taken once, in order, a later repeat winning.
    assert header(plan(KEYS, objective=Items([("hits", 1), ("hits", 5)]))).endswith("ranked by workload (hits 5)")
    assert header(plan(KEYS, objective=collections.OrderedDict(misses=2))).endswith("ranked by workload (misses 2)")
    assert header(plan(KEYS, objective=Items(iter([("batch", 16)])))).endswith("ranked by latency (batch 16)")
    with pytest.raises(TypeError) as e:
        plan(KEYS, objective=Items([("hits", 1, 2)]))
    assert str(e.value) == "expected tuple of length 2, but got tuple of length 3"
    assert e.value.__notes__ == ["while processing 'objective'"]
    with pytest.raises(TypeError) as e:
        plan(KEYS, objective=Items([["hits", 1]]))
    assert str(e.value) == "'list' object is not an instance of 'tuple'"


def test_objective_mapping_test_that_raises(monkeypatch):
    class Meta(type):
        def __instancecheck__(cls, obj):
            raise RuntimeError("no test")

    class Odd(metaclass=Meta):
        pass

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))
    monkeypatch.setattr(collections.abc, "Mapping", Odd)
    with pytest.raises(TypeError) as e:
        plan(KEYS, objective=object())
    assert str(e.value) == "objective: a name, or a mapping from operation to weight"
    assert seen == [RuntimeError]
    # A dict needs no test.
    assert plan(KEYS, objective={})["keys"] == len(KEYS)
    assert seen == [RuntimeError]


def test_an_items_failure_is_raised_unchanged():
    class Broken(Items):
        def items(self):
            raise LookupError("gone")

    with pytest.raises(LookupError) as e:
        plan(KEYS, objective=Broken([]))
    assert e.value.__notes__ == ["while processing 'objective'"]


def test_argument_order_and_flags():
    with pytest.raises(TypeError) as e:
        plan(5, reverse=1)
    assert e.value.__notes__ == ["while processing 'reverse'"]
    with pytest.raises(TypeError) as e:
        plan(5, objective=None)
    assert e.value.__notes__ == ["while processing 'objective'"]
    with pytest.raises(TypeError) as e:
        plan(5)
    with pytest.raises(TypeError) as e:
        plan(["a", 1])
    assert str(e.value) == "'int' object is not an instance of 'str'"

    def broken():
        yield "a"
        raise KeyError("inside")

    with pytest.raises(KeyError):
        plan(broken())
    with pytest.raises(TypeError):
        plan(KEYS, True)
    with pytest.raises(TypeError):
        plan(KEYS, size=True)
    with pytest.raises(TypeError):
        plan()
    assert plan(keys=KEYS, exact=False)["keys"] == len(KEYS)
    assert candidates(plan(KEYS, fuzzy=np.bool_(True))) == FUZZY


def test_signature_and_place_in_the_module():
    assert plan.__text_signature__ == (
        "(keys, *, reverse=False, ordered=False, prefix=False, fuzzy=False, exact=False, objective=...)")
    assert plan.__doc__.startswith("Which index kind suits these keys")
    names = [n for n in core.__all__ if n in ("inspect", "plan", "_cli")]
    assert names == ["inspect", "plan", "_cli"]


def test_empty():
    r = plan([])
    assert list(r) == PLAN_FIELDS
    assert (r["keys"], r["mean_length"], r["mean_lcp"], r["thin"]) == (0, 0.0, 0.0, False)
    assert candidates(r) == sorted(ALL)
    for e in r["estimates"]:
        assert list(e) == ESTIMATE_FIELDS
        assert e["measured"] is True and e["bytes_per_key"] == 0.0 and e["bytes"] > 0
    assert r["best"] == r["estimates"][0]
    assert r["text"].startswith("0 keys, mean length 0.0, mean shared prefix 0.0, ranked by size\n")


def test_keys_are_distinct_and_the_means():
    r = plan(["b", "a", "b"])
    assert r["keys"] == 2
    r = plan(["abc", "abd", "b"])
    assert r["mean_length"] == 7 / 3 and r["mean_lcp"] == 1.0
    assert header(r) == "3 keys, mean length 2.3, mean shared prefix 1.0, ranked by size"


def test_fuzzy_is_one_estimate():
    r = plan(KEYS, fuzzy=True)
    assert len(r["estimates"]) == 1 and r["close"] is False
    lines = r["text"].split("\n")
    assert lines[1].startswith("* StringIndex ")
    assert lines[2:] == [MODEL_LINE, ""]


@pytest.mark.parametrize(
    "objective, name",
    [
        ("memory", "size"),
        ("latency", "latency"),
        ("balanced", "balance"),
        ({"hits": 9, "misses": 1}, "workload (hits 9, misses 1)"),
        ({"batch": 64}, "latency (batch 64)"),
        ({}, "latency"),
        ({"batch": 1}, "latency"),
        ({"prefix": 2, "batch": 16}, "workload (prefix 2, batch 16)"),
    ],
)
def test_text_names_the_objective(objective, name):
    assert header(plan(KEYS, objective=objective)) == (
        f"{len(KEYS)} keys, mean length {plan(KEYS)['mean_length']:.1f}, "
        f"mean shared prefix {plan(KEYS)['mean_lcp']:.1f}, ranked by {name}")


def check_text(r):
    """The estimate lines agree with the estimate dictionaries."""
    lines = r["text"].split("\n")
    assert lines[-1] == ""
    rows = lines[1:1 + len(r["estimates"])]
    best = r["best"]
    for line, e in zip(rows, r["estimates"]):
        m = LINE.fullmatch(line)
        assert m, line
        mark, kind, size, per_key, ns, how, block = m.groups()
        assert line[2:19] == kind.ljust(17)
        assert (mark == "*") == (e["kind"] == best["kind"] and e["block"] == best["block"])
        assert (kind, int(size), how) == (e["kind"], e["bytes"], "built" if e["measured"] else "estimated")
        assert per_key == f"{e['bytes_per_key']:.2f}"
        assert ns == ("inf" if e["nanos"] == float("inf") else f"{e['nanos']:.0f}")
        assert (int(block) if block else None) == e["block"]
    rest = lines[1 + len(r["estimates"]):-1]
    want = [MODEL_LINE]
    if r["close"]:
        want.append(CLOSE_LINE)
    if r["thin"]:
        suffix = r["mean_length"] - r["mean_lcp"]
        want.append(f"the mean suffix is {suffix:.1f} bytes, too short for a sampled compression ratio to carry: "
                    "build rather than quote")
    assert rest == want


def test_text_and_ranking():
    for objective in ("memory", "latency", "balanced", {"hits": 1, "reverse": 1}, {"batch": 2000}):
        r = plan(KEYS, objective=objective)
        check_text(r)
        if objective == "memory":
            sizes = [e["bytes"] for e in r["estimates"]]
            assert sizes == sorted(sizes)
        if objective == "latency":
            nanos = [e["nanos"] for e in r["estimates"]]
            assert nanos == sorted(nanos)


def blob_sizes(keys):
    """The blob lengths of the kinds' own builds."""
    sizes = {
        ("CompactHashIndex", None): len(core.CompactHashIndex(keys).to_bytes()),
        ("ClosedHashIndex", None): len(core.ClosedHashIndex(keys).to_bytes()),
        ("PerfectHashIndex", None): len(core.PerfectHashIndex(keys).to_bytes()),
        ("StringIndex", None): len(core.StringIndex(keys).to_bytes()),
    }
    for block in (32, 256, 1024):
        sizes[("DictIndex", block)] = len(core.DictIndex(keys, block=block).to_bytes())
    return sizes


def words(n, seed=7):
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyzé"
    out = set()
    while len(out) < n:
        out.add("".join(rng.choice(letters) for _ in range(rng.randint(3, 14))))
    return sorted(out)


@pytest.mark.parametrize("keys", [[], ["only"], KEYS, words(3000)])
def test_exact_sizes_are_the_blobs(keys):
    r = plan(keys)
    assert all(e["measured"] for e in r["estimates"])
    assert {(e["kind"], e["block"]): e["bytes"] for e in r["estimates"]} == blob_sizes(keys)


def test_the_exact_limit():
    keys = [f"k{i:07d}" for i in range(100001)]
    r = plan(keys[:100000])
    assert all(e["measured"] for e in r["estimates"])
    r = plan(keys)
    assert r["keys"] == 100001
    assert not any(e["measured"] for e in r["estimates"])
    assert "built" not in r["text"]
    check_text(r)


def test_large_plans_are_reproducible_and_thin():
    keys = [str(i) for i in range(200000)]
    first = plan(keys)
    assert first["text"] == plan(keys)["text"]
    shuffled = keys + keys[:5000]
    random.Random(3).shuffle(shuffled)
    assert plan(shuffled)["text"] == first["text"]
    assert first["thin"] is True
    assert first["text"].endswith(
        "the mean suffix is 1.0 bytes, too short for a sampled compression ratio to carry: build rather than quote\n")
    check_text(first)
