"""The ordered walks and the dictionary-matching queries that several index
classes share: each class answers them alike, argument errors included."""
import pytest

from quorvale._core import DictIndex, DoubleArrayIndex, StringIndex
from test_crafted_blobs import interrupted_after, said

KEYS = ["", "a", "ab", "abc", "b", "ba", "\u00e9t\u00e9"]
ORDERED = (DictIndex, StringIndex)
MATCHING = (DictIndex, StringIndex, DoubleArrayIndex)
OCCURRENCES = (StringIndex, DoubleArrayIndex)


@pytest.mark.parametrize("cls", ORDERED, ids=lambda c: c.__name__)
def test_ordered_queries_agree_with_sorted_keys(cls):
    idx = cls(KEYS)
    keys = sorted(KEYS)
    pairs = [(k, i) for i, k in enumerate(keys)]
    for lo in ["", "a", "aa", "ab", "b", "c", "\u00e9", "\uffff"]:
        for hi in ["", "a", "abd", "b", "bb", "\u00e9t\u00e9", "\uffff"]:
            assert idx.range(lo, hi) == [p for p in pairs if lo <= p[0] < hi], (lo, hi)
        assert idx.range(lo, "\uffff", limit=2) == [p for p in pairs if lo <= p[0]][:2]
        assert idx.prefix(lo) == [p for p in pairs if p[0].startswith(lo)]
        assert idx.prefix(lo, 1) == [p for p in pairs if p[0].startswith(lo)][:1]
        assert idx.prefix(lo, limit=0) == [] and idx.range(lo, "\uffff", 0) == []
        at_least = [p for p in pairs if p[0] >= lo]
        at_most = [p for p in pairs if p[0] <= lo]
        assert idx.successor(lo) == (at_least[0] if at_least else None), lo
        assert idx.predecessor(lo) == (at_most[-1] if at_most else None), lo
    empty = cls([])
    assert empty.range("", "z") == [] and empty.prefix("") == []
    assert empty.successor("") is None and empty.predecessor("z") is None


@pytest.mark.parametrize("cls", MATCHING, ids=lambda c: c.__name__)
def test_matching_queries_agree(cls):
    idx = cls(KEYS)
    ids = {k: i for i, k in enumerate(sorted(KEYS))}
    assert idx.common_prefix("abcd") == [(k, ids[k]) for k in ["", "a", "ab", "abc"]]
    assert idx.longest_prefix("abx") == ("ab", ids["ab"])
    assert idx.longest_prefix("\u00e9t\u00e9s") == ("\u00e9t\u00e9", ids["\u00e9t\u00e9"])
    assert cls(["a"]).longest_prefix("b") is None and cls(["a"]).common_prefix("b") == []
    if cls in OCCURRENCES:
        assert idx.occurrences("x\u00e9t\u00e9ab") == [(1, 4, ids["\u00e9t\u00e9"]), (4, 5, ids["a"]),
                                                      (4, 6, ids["ab"]), (5, 6, ids["b"])]
    else:
        assert not hasattr(idx, "occurrences")


class Text(str):
    pass


@pytest.mark.parametrize("cls", MATCHING, ids=lambda c: c.__name__)
def test_matched_prefixes_are_the_query_characters(cls):
    # A match's str is cut from the query's characters: queries of one, two,
    # three and four UTF-8 bytes a character (astral ones included), mixed,
    # ASCII, a str subclass, and a match that is the whole query.
    keys = ["", "a", "ab", "\u00e9", "\u00e9a", "a\U0001f600", "a\U0001f600b", "\u4e2d", "\u4e2d\u6587",
            "\u0436", "\u0436\u0430\U0001f600", "\U0001f600"]
    idx = cls(keys)
    ids = {k: i for i, k in enumerate(sorted(keys))}
    for q in ["a\U0001f600bc", "\u00e9a\u4e2d", "\u4e2d\u6587\u5b57", "\u0436\u0430\U0001f600\u0436", "\U0001f600",
              "abc", "ab", "\u4e2d\u6587", "x\u00e9", Text("a\U0001f600b"), Text("ab")]:
        want = [(k, ids[k]) for k in (q[:i] for i in range(len(q) + 1)) if k in ids]
        got = idx.common_prefix(q)
        assert got == want, q
        assert all(type(k) is str for k, _ in got), q
        longest = idx.longest_prefix(q)
        assert longest == (want[-1] if want else None), q
        assert longest is None or type(longest[0]) is str


# (method, arguments, keywords, exception, message, notes); "{}" is the class's name.
ERRORS = [
    ("range", ("a",), {}, TypeError, "{}.range() missing 1 required positional argument: 'hi'", []),
    ("range", (), {}, TypeError, "{}.range() missing 2 required positional arguments: 'lo' and 'hi'", []),
    ("range", ("a", "b", 1, 2), {}, TypeError, "{}.range() takes 3 positional arguments but 4 were given", []),
    ("range", ("a", 5), {}, TypeError, "'int' object is not an instance of 'str'", ["while processing 'hi'"]),
    ("range", ("a", "b", -1), {}, OverflowError, None, ["while processing 'limit'"]),
    ("range", ("a", "b"), {"limit": "1"}, TypeError, None, ["while processing 'limit'"]),
    ("range", ("a",), {"lo": "b"}, TypeError, "{}.range() got multiple values for argument 'lo'", []),
    ("prefix", (b"a",), {}, TypeError, "'bytes' object is not an instance of 'str'", ["while processing 'prefix'"]),
    ("prefix", (), {"prefix": "a", "max": 1}, TypeError, "{}.prefix() got an unexpected keyword argument 'max'",
     []),
    ("successor", (), {}, TypeError, "{}.successor() missing 1 required positional argument: 'query'", []),
    ("successor", (1,), {}, TypeError, "'int' object is not an instance of 'str'", ["while processing 'query'"]),
    ("predecessor", ("a", "b"), {}, TypeError, "{}.predecessor() takes 1 positional argument but 2 were given", []),
    ("predecessor", ("\ud800",), {}, UnicodeEncodeError, None, ["while processing 'query'"]),
    ("common_prefix", (None,), {}, TypeError, "'NoneType' object is not an instance of 'str'",
     ["while processing 'query'"]),
    ("common_prefix", (), {"text": "a"}, TypeError, "{}.common_prefix() got an unexpected keyword argument 'text'",
     []),
    ("longest_prefix", (), {}, TypeError, "{}.longest_prefix() missing 1 required positional argument: 'query'",
     []),
    ("longest_prefix", ("a",), {"query": "a"}, TypeError,
     "{}.longest_prefix() got multiple values for argument 'query'", []),
    ("occurrences", (b"ab",), {}, TypeError, "'bytes' object is not an instance of 'str'",
     ["while processing 'text'"]),
    ("occurrences", ("a", "b"), {}, TypeError, "{}.occurrences() takes 1 positional argument but 2 were given", []),
]


@pytest.mark.parametrize("cls", MATCHING, ids=lambda c: c.__name__)
def test_argument_errors(cls):
    idx = cls(["a", "b"])
    methods = ["common_prefix", "longest_prefix"]
    methods += ["range", "prefix", "successor", "predecessor"] if cls in ORDERED else []
    methods += ["occurrences"] if cls in OCCURRENCES else []
    for method, args, kwargs, exc, message, notes in ERRORS:
        if method not in methods:
            continue
        with pytest.raises(exc) as e:
            getattr(idx, method)(*args, **kwargs)
        if message is not None:
            assert str(e.value) == message.format(cls.__name__), (method, args, kwargs)
        assert getattr(e.value, "__notes__", []) == notes, (method, args, kwargs)



ITERATE_UNTIL_STOPPED = r"""
import collections, itertools, sys
import quorvale._core as core
x = getattr(core, sys.argv[1])([f"key{i:05}" for i in range(3000)])
print("iterating", flush=True)
try:
    # Fresh iterators one after another, drained by consumers in C that
    # never look for signals themselves, as list() is.
    collections.deque(itertools.chain.from_iterable(itertools.repeat(x)), maxlen=0)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@pytest.mark.parametrize("cls", ORDERED, ids=lambda c: c.__name__)
def test_ctrl_c_stops_an_iteration_driven_from_c(cls):
    """The iterators run the signal handlers at every refill."""
    status, took, out, err = interrupted_after(ITERATE_UNTIL_STOPPED, said(b"iterating\n"), cls.__name__)
    assert (status, out) == (0, b"interrupted\n"), err
    assert took < 2
