"""Argument binding and value conversion: every refusal has one exact message."""

import pytest

import veltrix_core as vc


@pytest.fixture
def store():
    s = vc.GraphStore()
    for name in "abcde":
        s.add_source(name)
    return s


def desc(**changes):
    fields = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    fields.update(changes)
    return fields


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.add_source(), "GraphStore.add_source() missing 1 required positional argument: 'name'"),
        (lambda s: s.add_op(), "GraphStore.add_op() missing 2 required positional arguments: 'name' and 'inputs'"),
        (
            lambda s: s.add_op(params=None),
            "GraphStore.add_op() missing 2 required positional arguments: 'name' and 'inputs'",
        ),
        (
            lambda s: s.add_external(),
            "GraphStore.add_external() missing 2 required positional arguments: 'descriptor' and 'inputs'",
        ),
        (
            lambda s: s.add_source("x", None, 3),
            "GraphStore.add_source() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (
            lambda s: s.add_exchange([], None, 1),
            "GraphStore.add_exchange() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (lambda s: s.add_op("f", [0], name="g"), "GraphStore.add_op() got multiple values for argument 'name'"),
        (
            lambda s: s.add_op("f", [0], params=None, params2=1),
            "GraphStore.add_op() got an unexpected keyword argument 'params2'",
        ),
        (
            lambda s: s.add_source(name="x", name2="y"),
            "GraphStore.add_source() got an unexpected keyword argument 'name2'",
        ),
        (lambda s: vc.GraphStore(1), "GraphStore.__new__() takes 0 positional arguments but 1 was given"),
        (lambda s: vc.GraphStore(1, 2), "GraphStore.__new__() takes 0 positional arguments but 2 were given"),
        (lambda s: vc.GraphStore(a=1), "GraphStore.__new__() got an unexpected keyword argument 'a'"),
        (lambda s: vc.IncrementalReducer(x=1), "IncrementalReducer.__new__() got an unexpected keyword argument 'x'"),
        (
            lambda s: vc.PayloadDescriptor("k"),
            "PayloadDescriptor.__new__() takes 0 positional arguments but 1 was given",
        ),
        (
            lambda s: vc.PayloadDescriptor(kind="k"),
            "PayloadDescriptor.__new__() missing 4 required keyword arguments: 'content_hash', 'framework', 'version', and 'io_schema'",
        ),
        (
            lambda s: vc.PayloadDescriptor(),
            "PayloadDescriptor.__new__() missing 5 required keyword arguments: 'kind', 'content_hash', 'framework', 'version', and 'io_schema'",
        ),
        (
            lambda s: vc.PayloadDescriptor(**desc(), extra=1),
            "PayloadDescriptor.__new__() got an unexpected keyword argument 'extra'",
        ),
        (
            lambda s: vc.PayloadDescriptor(**{k: v for k, v in desc().items() if k != "io_schema"}),
            "PayloadDescriptor.__new__() missing 1 required keyword argument: 'io_schema'",
        ),
    ],
)
def test_binding_messages(store, call, message):
    with pytest.raises(TypeError) as info:
        call(store)
    assert str(info.value) == message
    assert store.node_count() == 5


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class LyingLength:
    """A sequence whose __len__ claims far more items than it yields."""

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError
        return i


class FailingLength:
    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i >= 1:
            raise IndexError
        return 0


import collections.abc  # noqa: E402

collections.abc.Sequence.register(LyingLength)
collections.abc.Sequence.register(FailingLength)


class ReversedList(list):
    """A list subclass whose iteration differs from its storage: iteration is what counts."""

    def __iter__(self):
        return iter(self[::-1])


class ReversedTuple(tuple):
    def __iter__(self):
        return iter(self[::-1])


@pytest.mark.parametrize(
    "inputs, expected",
    [
        ([0, 1], [0, 1]),
        ((0, 0), [0, 0]),
        (range(3), [0, 1, 2]),
        (b"\x00\x02", [0, 2]),
        (bytearray(b"\x01"), [1]),
        ([True, Index(4)], [1, 4]),
        (LyingLength(), [0, 1]),
        (FailingLength(), [0]),
        (ReversedList([0, 2]), [2, 0]),
        (ReversedTuple((1, 3)), [3, 1]),
        ([], []),
    ],
)
def test_id_lists_accept_any_sequence(store, inputs, expected):
    node = store.add_op("f", inputs)
    assert store.nodes()[node]["inputs"] == expected


@pytest.mark.parametrize(
    "inputs, exc_type, message",
    [
        ("01", TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
        ({0}, TypeError, "argument 'inputs': 'set' object is not an instance of 'Sequence'"),
        ({0: 1}, TypeError, "argument 'inputs': 'dict' object is not an instance of 'Sequence'"),
        ((i for i in [0]), TypeError, "argument 'inputs': 'generator' object is not an instance of 'Sequence'"),
        (None, TypeError, "argument 'inputs': 'None' is not an instance of 'Sequence'"),
        (5, TypeError, "argument 'inputs': 'int' object is not an instance of 'Sequence'"),
        ([0.5], TypeError, "argument 'inputs': 'float' object cannot be interpreted as an integer"),
        (["0"], TypeError, "argument 'inputs': 'str' object cannot be interpreted as an integer"),
        ([-1], OverflowError, "can't convert negative int to unsigned"),
        ([2**64], OverflowError, "int too big to convert"),
        ([0, 7, 9], ValueError, "no node with id 7"),
        ([2**64 - 1], ValueError, "no node with id 18446744073709551615"),
        ([5], ValueError, "no node with id 5"),
    ],
)
def test_id_list_refusals(store, inputs, exc_type, message):
    with pytest.raises(exc_type) as info:
        store.add_op("f", inputs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert store.node_count() == 5


def test_numpy_arrays_are_not_sequences(store):
    np = pytest.importorskip("numpy")
    with pytest.raises(TypeError, match=r"^argument 'inputs': 'ndarray' object is not an instance of 'Sequence'$"):
        store.add_op("f", np.array([0, 1]))
    assert store.add_op("f", [np.int64(0), np.uint8(1)]) == 5


class Boom(Exception):
    pass


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def test_errors_from_user_code_pass_through_unless_exactly_type_error(store):
    with pytest.raises(Boom):
        store.add_op("f", [RaisingIndex(Boom("x"))])

    class SubTypeError(TypeError):
        pass

    with pytest.raises(SubTypeError) as info:
        store.add_op("f", [RaisingIndex(SubTypeError("sub"))])
    assert str(info.value) == "sub"

    cause = ValueError("root")
    err = TypeError("plain")
    err.__cause__ = cause
    with pytest.raises(TypeError) as info:
        store.add_op("f", [RaisingIndex(err)])
    assert str(info.value) == "argument 'inputs': plain"
    assert info.value.__cause__ is cause


def test_list_mutated_by_its_own_items_is_read_safely(store):
    items = [0]

    class Growing:
        def __index__(self):
            items.append(1)
            del items[0]
            return 2

    items.append(Growing())
    node = store.add_op("f", items)
    assert store.nodes()[node]["inputs"][:2] == [0, 2]


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda s: s.add_source(1), TypeError, "argument 'name': 'int' object is not an instance of 'str'"),
        (lambda s: s.add_source(None), TypeError, "argument 'name': 'None' is not an instance of 'str'"),
        (lambda s: s.add_source(b"x"), TypeError, "argument 'name': 'bytes' object is not an instance of 'str'"),
        (lambda s: s.add_op(1, "x"), TypeError, "argument 'name': 'int' object is not an instance of 'str'"),
        (lambda s: s.add_op("f", 1, 1), TypeError, "argument 'inputs': 'int' object is not an instance of 'Sequence'"),
    ],
)
def test_name_and_order_of_conversions(store, call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call(store)
    assert str(info.value) == message


def test_lone_surrogates_raise_the_interpreters_error(store):
    with pytest.raises(UnicodeEncodeError):
        store.add_source("\ud800")
    with pytest.raises(UnicodeEncodeError):
        store.add_source("x", {"\udfff": 1})
    with pytest.raises(UnicodeEncodeError):
        vc.PayloadDescriptor(kind="\ud800", content_hash="h", framework="f", version="v", io_schema="s")
    with pytest.raises(TypeError, match="^param values must be int, float, bool, or str$"):
        store.add_source("x", {"k": "\ud800"})
    assert store.node_count() == 5


def test_string_subclasses_are_strings(store):
    class S(str):
        pass

    assert store.add_source(S("a")) == 0
