"""The module's frame: registration, class properties, docstrings, the panic exception."""

import subprocess
import sys
import textwrap

import pytest

import veltrix_core as vc

CLASSES = [vc.GraphStore, vc.PayloadDescriptor, vc.IncrementalReducer]


def test_registration_order_and_version():
    assert vc.__all__ == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]
    assert vc.__doc__ == ""
    assert vc.version() == "0.0.1"
    with pytest.raises(TypeError):
        vc.version(1)
    assert vc.version.__text_signature__ == "()"


@pytest.mark.parametrize("cls", CLASSES)
def test_classes_are_closed_builtins(cls):
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "make",
    [
        vc.GraphStore,
        vc.IncrementalReducer,
        lambda: vc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s"),
    ],
)
def test_instances_take_no_attributes_and_use_identity(make):
    a, b = make(), make()
    with pytest.raises(AttributeError):
        a.x = 1
    assert not hasattr(a, "__dict__")
    assert a != b and a == a
    assert hash(a) != hash(b) or a is b
    assert repr(a).startswith(f"<builtins.{type(a).__name__} object at 0x")


@pytest.mark.parametrize(
    "cls, signature, first_line",
    [
        (
            vc.GraphStore,
            "()",
            "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to",
        ),
        (
            vc.PayloadDescriptor,
            "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)",
            "Reproducibility metadata an External node carries (participates in the structural hash).",
        ),
        (
            vc.IncrementalReducer,
            "()",
            "Genuinely incremental reduction (plan \u00a7A.1): feed it a store as the graph is being built; each",
        ),
    ],
)
def test_class_docstrings(cls, signature, first_line):
    assert cls.__text_signature__ == signature
    assert cls.__doc__.splitlines()[0] == first_line


@pytest.mark.parametrize(
    "method, signature",
    [
        ("add_source", "($self, name, params=None)"),
        ("add_op", "($self, name, inputs, params=None)"),
        ("add_reduction", "($self, name, inputs, params=None)"),
        ("add_external", "($self, descriptor, inputs, params=None)"),
        ("add_exchange", "($self, inputs, params=None)"),
        ("node_count", "($self)"),
        ("nodes", "($self)"),
        ("outputs", "($self)"),
    ],
)
def test_method_signatures(method, signature):
    assert getattr(vc.GraphStore, method).__text_signature__ == signature


def test_method_docstrings_verbatim():
    assert vc.GraphStore.add_exchange.__doc__ == (
        "Record an `Exchange` boundary (plan M39 \u00a72.1). No `name` \u2014 an Exchange's identity is its\n"
        '`scheme` ParamMap (`params`) + its one logical input; `nodes()[i]["kind"] == "exchange"`.'
    )
    assert vc.GraphStore.outputs.__doc__ == (
        "The marked output node ids, in mark order (what an IR evaluator returns, in order)."
    )
    assert vc.GraphStore.add_op.__doc__ is None  # signature only


@pytest.mark.parametrize("method", ["node_count", "nodes", "outputs"])
def test_methods_without_parameters_refuse_arguments(method):
    with pytest.raises(TypeError):
        getattr(vc.GraphStore(), method)(1)


class Mutating:
    """An int-like param value whose conversion changes the dict being converted."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target["zz_added"] = 1
        return 3


def test_dict_mutated_during_conversion_panics_and_store_survives():
    store = vc.GraphStore()
    a = store.add_source("a")
    params = {"k": 0}
    params["m"] = Mutating(params)
    with pytest.raises(BaseException) as info:
        store.add_op("f", [a], params)
    exc = info.value
    assert not isinstance(exc, Exception)
    assert type(exc).__module__ == "pyo3_runtime" and type(exc).__name__ == "PanicException"
    assert str(exc) == "dictionary changed size during iteration"
    assert store.node_count() == 1
    assert store.add_op("f", [a]) == 1  # the store stays usable


def test_panic_exception_is_created_once():
    store = vc.GraphStore()
    types = set()
    for _ in range(2):
        d = {}
        d["x"] = Mutating(d)
        try:
            store.add_source("s", d)
        except BaseException as exc:  # noqa: B036 - the panic derives from BaseException on purpose
            types.add(type(exc))
    assert len(types) == 1
    (panic,) = types
    assert panic.__mro__[1] is BaseException
    assert "BaseException" in panic.__doc__


def test_panic_writes_a_diagnostic_to_stderr():
    code = textwrap.dedent(
        """
        import veltrix_core as vc
        class M:
            def __init__(self, d): self.d = d
            def __index__(self):
                self.d["new"] = 0
                return 1
        d = {}
        d["k"] = M(d)
        try:
            vc.GraphStore().add_source("x", d)
        except BaseException as e:
            print(type(e).__qualname__)
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "PanicException"
    assert "dictionary changed size during iteration" in result.stderr


def test_reimport_reuses_the_classes():
    before = vc.GraphStore
    del sys.modules["veltrix_core"]
    import veltrix_core as again  # noqa: PLC0415

    assert again.GraphStore is before
    sys.modules["veltrix_core"] = vc
