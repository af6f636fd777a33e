"""Python allocations that fail part-way through a call. Each allocation the call makes is made
to fail in turn: the call raises MemoryError and releases everything it had built by then, so
repeating the failures leaves no memory behind."""

import gc
import tracemalloc

import pytest

import veltrix_core as vc

testcapi = pytest.importorskip("_testcapi", reason="the interpreter was built without its test modules")


def recorded_store():
    store = vc.GraphStore()
    a = store.add_source("read", {"path": "warehouse/a", "rows": 3, "scale": 0.5, "strict": True})
    b = store.add_source("read", {"path": "warehouse/b"})
    c = store.add_op("add", [a, b], {"path": "warehouse/a", "mode": "fast"})
    model = vc.PayloadDescriptor(
        kind="model", content_hash="h1", framework="fw", version="v1", io_schema="io", preprocessing_ref="pre"
    )
    e = store.add_external(model, [store.add_op("neg", [c])], {"batch": 8})
    store.add_exchange([e], {"scheme": "hash", "partitions": 4})
    chain = store.add_op("neg", [store.add_op("abs", [store.add_op("neg", [a])])])
    return store, [chain, e]


def fail_each_allocation(call):
    """Runs `call` once for each of its allocations, with that one failing, until a run makes no
    allocation beyond those already tried. Returns how many runs failed."""
    failed = 0
    while True:
        testcapi.set_nomemory(failed, failed + 1)
        try:
            call()
        except MemoryError:
            failed += 1
        else:
            return failed
        finally:
            testcapi.remove_mem_hooks()


def bytes_left_behind(call, rounds):
    tracemalloc.start()
    try:
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            fail_each_allocation(call)
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


STORE, OUTPUTS = recorded_store()
REDUCED, _ = STORE.reduce(outputs=OUTPUTS)  # stages, whose views list their members

CALLS = {
    "views": STORE.nodes,
    "views of stages": REDUCED.nodes,
    "reduce": lambda: STORE.reduce(outputs=OUTPUTS),
    "finalize": lambda: vc.IncrementalReducer().finalize(STORE, outputs=OUTPUTS),
}


def comparable(result):
    if isinstance(result, tuple):  # a reduced store and its report
        return result[0].serialize(), result[1]
    return result


@pytest.mark.parametrize("name", CALLS)
def test_a_failed_allocation_releases_what_the_call_built(name):
    call = CALLS[name]
    expected = comparable(call())
    # The first round also fills what the interpreter keeps for reuse (free lists, caches).
    assert fail_each_allocation(call) >= 2  # more than one allocation to fail
    rounds = 10
    # A leak repeats in every round: at least one object, of 24 bytes or more, each time.
    assert bytes_left_behind(call, rounds) < 24 * rounds
    assert comparable(call()) == expected
