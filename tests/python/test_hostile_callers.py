"""Callers that fight the module: code that runs inside a conversion, import hooks that call back
in, subinterpreters, texts that are all empty. Each case once broke memory, hung, or lost an
interrupt."""

import subprocess
import sys
import textwrap

import pytest

import veltrix_core as vc


def run_child(code, timeout=60):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout
    )


def test_stores_whose_texts_are_all_empty_reduce_soundly():
    # Texts of a table that holds no bytes have no address; a new store's text cache once took
    # that for a cached entry and handed out ids of texts that did not exist.
    result = run_child(
        """
        import veltrix_core as vc
        for _ in range(200):
            s = vc.GraphStore()
            a = s.add_source("")
            b = s.add_op("", [a], {"": ""})
            for out in ([a], [b]):
                reduced, _ = s.reduce(outputs=out)
                reducer = vc.IncrementalReducer()
                reducer.step(s)
                finalized, _ = reducer.finalize(s, outputs=out)
                assert finalized.serialize() == reduced.serialize()
                again = vc.GraphStore.deserialize(reduced.serialize())
                assert again.nodes() == reduced.nodes()
            assert [n["name"] for n in s.reduce(outputs=[a])[0].nodes()] == [""]
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_an_import_hook_that_records_during_the_modules_own_import_does_not_hang():
    result = run_child(
        """
        import collections.abc, importlib.util, sys
        import veltrix_core as vc

        class Ids:
            def __init__(self, *ids): self.ids = ids
            def __len__(self): return len(self.ids)
            def __getitem__(self, i): return self.ids[i]
        collections.abc.Sequence.register(Ids)

        store = vc.GraphStore()
        a = store.add_source("a")
        saved = sys.modules.pop("collections.abc")

        class SavedModule:
            def create_module(self, spec): return saved
            def exec_module(self, module): pass

        class RecordingHook:
            fired = False
            def find_spec(self, name, path=None, target=None):
                if name != "collections.abc":
                    return None
                if not RecordingHook.fired:
                    RecordingHook.fired = True
                    store.add_op("from_hook", Ids(a))  # looks the class up again, from inside its import
                return importlib.util.spec_from_loader(name, SavedModule())
        sys.meta_path.insert(0, RecordingHook())
        store.add_op("f", Ids(a))
        print(sorted(n["name"] for n in store.nodes()))
        """,
        timeout=30,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['a', 'f', 'from_hook']"


def test_a_legacy_subinterpreter_is_refused_and_the_main_interpreter_unaffected():
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create(interpreters.new_config("legacy"))
    try:
        failure = interpreters.exec(
            interp,
            "import collections.abc, veltrix_core\nveltrix_core.GraphStore().add_source('a')\n",
        )
    finally:
        interpreters.destroy(interp)
    assert failure is not None
    assert failure.type.__name__ == "ImportError"
    # Free-threaded builds check the module's slot even for legacy subinterpreters.
    assert failure.msg in (
        "veltrix_core can only be imported in the main interpreter",
        "module veltrix_core does not support loading in subinterpreters",
    )

    class Ids:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError(i)
            return 0

    import collections.abc

    collections.abc.Sequence.register(Ids)
    store = vc.GraphStore()
    store.add_source("a")
    assert store.add_op("f", Ids()) == 1
    assert vc.__all__ == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]


class Rewrites:
    """A param value whose conversion rewrites the dict that holds it."""

    def __init__(self, params, change):
        self.params, self.change = params, change

    def __index__(self):
        self.change(self.params)
        return 4


def reinsert_first_key(params):
    key = next(iter(params))
    params[key] = params.pop(key)


def swap_first_key(params):
    del params[next(iter(params))]
    params["zz"] = 0


def add_a_key(params):
    params["zz"] = 0


@pytest.mark.parametrize(
    "change, message",
    [
        (reinsert_first_key, "dictionary keys changed during iteration"),
        (swap_first_key, "dictionary keys changed during iteration"),
        (add_a_key, "dictionary changed size during iteration"),
    ],
)
def test_a_dict_changed_by_its_own_values_ends_the_walk(change, message):
    store = vc.GraphStore()
    params = {"".join(["ea", "rly"]): 1.5}  # a key object that only the dict holds
    params["late"] = Rewrites(params, change)
    with pytest.raises(BaseException) as info:
        store.add_source("x", params)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == message
    assert store.node_count() == 0
    assert store.add_source("x", {"k": 1}) == 0  # nothing was poisoned


class Interrupting:
    def __init__(self, exc, method):
        self.exc, self.method = exc, method

    def __index__(self):
        if self.method == "__index__":
            raise self.exc
        raise TypeError("not an integer")

    def __float__(self):
        raise self.exc


@pytest.mark.parametrize("method", ["__index__", "__float__"])
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
def test_interrupts_raised_by_param_values_propagate(exc_type, method):
    store = vc.GraphStore()
    raised = exc_type("stop")
    with pytest.raises(exc_type) as info:
        store.add_source("x", {"k": Interrupting(raised, method)})
    assert info.value is raised
    assert store.node_count() == 0


def test_ordinary_failures_of_param_values_are_still_discarded():
    store = vc.GraphStore()
    with pytest.raises(TypeError, match="^param values must be int, float, bool, or str$"):
        store.add_source("x", {"k": Interrupting(ValueError("no"), "__float__")})
