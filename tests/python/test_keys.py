import pytest


def test_order_kept_for_lists_tuples_and_generators(frametest):
    keys = ["b", "a", "é", "", "a"]
    expected = [k.encode() for k in keys]
    assert frametest.collect(keys) == expected
    assert frametest.collect(tuple(keys)) == expected
    assert frametest.collect(k for k in keys) == expected
    assert frametest.collect(iter(keys)) == expected
    assert frametest.stream(keys) == expected
    assert frametest.stream(k for k in keys) == expected
    assert frametest.batch(keys) == expected
    assert frametest.batch(tuple(keys)) == expected


def test_empty_inputs(frametest):
    assert frametest.collect([]) == []
    assert frametest.collect(x for x in ()) == []
    assert frametest.stream([]) == []
    assert frametest.batch(()) == []


def test_nul_bytes_make_distinct_keys(frametest):
    keys = ["a", "a\x00b", "a\x00"]
    got = frametest.collect(keys)
    assert got == [b"a", b"a\x00b", b"a\x00"]
    assert len(set(got)) == 3
    assert frametest.stream(keys) == got
    assert frametest.batch(keys) == got


def test_str_subclass_is_a_key(frametest):
    class S(str):
        pass

    assert frametest.collect([S("x")]) == [b"x"]
    assert frametest.batch([S("x")]) == [b"x"]


@pytest.mark.parametrize("form", ["collect", "stream", "batch"])
def test_bad_items(frametest, form):
    f = getattr(frametest, form)
    with pytest.raises(TypeError) as info:
        f(["a", 1, "b"])
    assert str(info.value) == "'int' object is not an instance of 'str'"
    assert not getattr(info.value, "__notes__", None)
    with pytest.raises(TypeError, match="'bytes' object is not an instance of 'str'"):
        f(["a", b"b"])
    with pytest.raises(UnicodeEncodeError):
        f(["a", "\ud800"])


def test_non_iterable(frametest):
    with pytest.raises(TypeError):
        frametest.collect(5)
    with pytest.raises(TypeError):
        frametest.stream(5)


def failing_after(n, exc):
    for i in range(n):
        yield f"k{i}"
    raise exc


@pytest.mark.parametrize("form", ["collect", "stream"])
def test_iterable_exception_is_the_very_object(frametest, form):
    exc = RuntimeError("boom")
    with pytest.raises(RuntimeError) as info:
        getattr(frametest, form)(failing_after(100, exc))
    assert info.value is exc


class CountingIterator:
    """Raises after n keys, then would go on giving keys if asked."""

    def __init__(self, n, exc):
        self.n, self.exc, self.calls = n, exc, 0

    def __iter__(self):
        return self

    def __next__(self):
        self.calls += 1
        if self.calls == self.n + 1:
            raise self.exc
        return "k"


def test_stream_parks_the_first_exception_and_asks_no_more(frametest):
    exc = RuntimeError("first")
    it = CountingIterator(100, exc)
    with pytest.raises(RuntimeError) as info:
        frametest.stream(it, again=True)
    assert info.value is exc
    assert it.calls == 101


def test_stream_bad_item_is_parked_too(frametest):
    it = iter(["a", "b", 3, "c"])
    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'"):
        frametest.stream(it, again=True)
    assert next(it) == "c"  # not asked again after the bad item


def test_stream_skip(frametest):
    assert frametest.stream(iter(["a", "b", "c", "d"]), skip=2) == [b"c", b"d"]
    assert frametest.stream(["a"], skip=5) == []
    with pytest.raises(TypeError):
        frametest.stream(["a", 1, "b"], skip=2)


class LyingLength:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 2**62

    def __iter__(self):
        return iter(self.items)

    def __getitem__(self, i):
        return self.items[i]


class BrokenLength(LyingLength):
    def __len__(self):
        raise ValueError("no length")


def test_lying_or_failing_length_costs_nothing(frametest):
    assert frametest.collect(LyingLength(["a", "b"])) == [b"a", b"b"]
    assert frametest.collect(BrokenLength(["a"])) == [b"a"]


def test_batch_must_be_a_sequence_not_a_str(frametest):
    with pytest.raises(TypeError) as info:
        frametest.batch("abc")
    assert str(info.value) == "Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as info:
        frametest.batch(k for k in ["a"])
    assert str(info.value) == "'generator' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError):
        frametest.batch({"a": 1})
    assert frametest.batch(LyingLength(["x"])) == [b"x"]


def test_many_keys(frametest):
    keys = [f"key{i}" for i in range(10000)]
    assert frametest.collect(keys) == [k.encode() for k in keys]
    assert frametest.stream(iter(keys)) == [k.encode() for k in keys]


def test_references_are_released(frametest):
    import sys

    key = "".join(["held", "key"])  # a fresh object
    before = sys.getrefcount(key)
    frametest.collect([key] * 50)
    frametest.batch([key] * 50)
    frametest.stream([key] * 50)
    for form in (frametest.collect, frametest.batch, frametest.stream):
        with pytest.raises(TypeError):
            form([key] * 50 + [1])
    assert sys.getrefcount(key) == before


def _mixed_keys():
    # Every length around the point where a batch copies a key rather than
    # holding its str, in each storage width, plain and subclassed; enough of
    # them to fill several of the copies' slabs.
    class S(str):
        pass

    keys = []
    for n in range(0, 40):
        for text in ("a" * n, "é" * n, "ж" * n, "\U0001f600" * n, "x" * max(0, n - 1) + "é"):
            keys.append(text)
            keys.append(S(text))
    return keys * 40


def test_batch_keys_short_and_long_in_every_str_form(frametest):
    keys = _mixed_keys()
    assert frametest.batch(keys) == [k.encode() for k in keys]
    assert frametest.batch(tuple(keys)) == [k.encode() for k in keys]


@pytest.mark.parametrize("at", [0, 1, 15, 2000, 9999])
def test_batch_first_bad_item_decides_the_error(frametest, at):
    # Keys before it taken in place or copied alike; a later bad item of the
    # other sort never gets a say.
    keys = (_mixed_keys() * 2)[:10000]
    for first, second, error in (("\ud800", 7, UnicodeEncodeError), (7, "\ud800", TypeError),
                                 ("ab\udfffcd" * 5, "\ud800", UnicodeEncodeError)):
        bad = list(keys)
        bad[at] = first
        bad.insert(at + 1 + (at % 3), second)
        with pytest.raises(error):
            frametest.batch(bad)
