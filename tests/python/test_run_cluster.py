"""Graphs lowered to dask, run on a distributed LocalCluster of two worker processes on loopback:
the same values as the local evaluator, reduced or not; a worker killed in the middle of a run
changes nothing (the scheduler runs its tasks again); a node that raises is named on the
client. Every test has a timeout, and every wait on the cluster has one of its own."""

import os
import pathlib
import signal
import sys
import time

import pytest
from optional import require

if "libasan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip(
        "cluster workers are separate processes that would inherit the sanitizer runtime; "
        "they are not run under AddressSanitizer",
        allow_module_level=True,
    )
np = require("numpy")
require("dask")
distributed = require("distributed")

import cloudpickle  # noqa: E402

import veltrix_core as vc  # noqa: E402
from veltrix_core import run  # noqa: E402
from veltrix_core.run import NodeFailed, default_registry, evaluate, to_dask  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
import graphgen  # noqa: E402
import soundness  # noqa: E402
from loopback_cluster import two_workers  # noqa: E402

# Functions of this module run on the workers; send them by value rather than by module name.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

WAIT = 120  # seconds, for any one run on the cluster
pytestmark = pytest.mark.timeout(300)


@pytest.fixture(scope="module")
def client():
    import dask  # noqa: PLC0415

    # A worker that asks the killed one for data gives up after this long, not the default 30 s;
    # the scheduler then has the data computed again.
    with dask.config.set({"distributed.comm.timeouts.connect": "5s"}):
        with two_workers(distributed, WAIT) as client:
            yield client


def run_on(client, graph, keys):
    futures = client.get(graph, keys, sync=False)
    assert not distributed.wait(futures, timeout=WAIT).not_done, "the cluster did not finish in time"
    return client.gather(futures)


def program_inputs(nodes, seed):
    store = vc.GraphStore()
    program, kwargs = graphgen.recorded_evaluable(nodes, seed, store)
    return store, program.sinks(seed), kwargs


@pytest.mark.parametrize("maximal", [False, True])
def test_reduced_and_recorded_graphs_give_the_local_values(client, maximal):
    store, outputs, kwargs = program_inputs(600, seed=11)
    want = evaluate(store, outputs, **kwargs)
    graph, keys = to_dask(store, outputs, **kwargs)
    assert soundness.compare_outputs(want, run_on(client, graph, keys)) == []
    reduced, _, mapped = run.reduce(store, outputs, maximal_fusion=maximal)
    graph, keys = to_dask(reduced, mapped, **kwargs)
    assert soundness.compare_outputs(want, run_on(client, graph, keys)) == []


def hold_until_killed(inputs, params):
    """Passes its input on. The first time, it says which process runs it and waits until the
    test has killed that process; a retry, which the kill has made, finds the flag and goes on."""
    directory = pathlib.Path(params["dir"])
    flag = directory / "killed"
    if not flag.exists():
        (directory / f"running-{os.getpid()}").touch()
        deadline = time.monotonic() + WAIT
        while not flag.exists():
            if time.monotonic() > deadline:
                raise TimeoutError("nobody killed the worker")
            time.sleep(0.02)
    return inputs[0]


def test_a_worker_killed_in_the_middle_changes_nothing(client, tmp_path):
    store, outputs, kwargs = program_inputs(400, seed=12)
    # The hold sits in the middle: it reads a value computed early and feeds every output.
    middle = outputs[len(outputs) // 2]
    held = store.add_op("hold", [middle], {"dir": str(tmp_path)})
    outputs = [store.add_op("add", [o, held]) for o in outputs]
    registry = default_registry()
    registry["op", "hold"] = hold_until_killed
    reduced, _, mapped = run.reduce(store, outputs)
    graph, keys = to_dask(reduced, mapped, registry=registry, **kwargs)
    futures = client.get(graph, keys, sync=False)

    deadline = time.monotonic() + WAIT
    while not (running := list(tmp_path.glob("running-*"))):
        assert time.monotonic() < deadline, "the held task never started"
        time.sleep(0.02)
    killed = int(running[0].name.split("-")[1])
    assert killed in client.run(os.getpid).values()
    os.kill(killed, signal.SIGKILL)
    (tmp_path / "killed").touch()

    assert not distributed.wait(futures, timeout=WAIT).not_done, "the run did not finish after the kill"
    got = client.gather(futures)
    want = evaluate(store, outputs, registry=registry, **kwargs)
    assert soundness.compare_outputs(want, got) == []
    client.wait_for_workers(2, timeout=WAIT)  # the nanny brings a new worker process
    assert killed not in client.run(os.getpid).values()


def fails_on_worker(inputs, params):
    raise FloatingPointError(f"refused on process {os.getpid()}")


def test_a_node_that_raises_on_a_worker_is_named_on_the_client(client):
    store, outputs, kwargs = program_inputs(300, seed=13)
    bad = store.add_op("refuse", [outputs[0]])
    outputs = [*outputs[1:], store.add_op("neg", [bad])]
    registry = default_registry()
    registry["op", "refuse"] = fails_on_worker
    reduced, _ = store.reduce(outputs=outputs)
    for graph_store, ids, where in [
        (store, outputs, r"op 'refuse'"),
        (reduced, reduced.outputs(), r"stage member \d+, op 'refuse'"),
    ]:
        graph, keys = to_dask(graph_store, ids, registry=registry, **kwargs)
        futures = client.get(graph, keys, sync=False)
        assert not distributed.wait(futures, timeout=WAIT).not_done  # an error is an end too: no hang
        with pytest.raises(
            NodeFailed, match=rf"^node \d+ \({where}\) raised FloatingPointError: refused on process"
        ) as caught:
            client.gather(futures)
        assert graph_store.nodes()[caught.value.node_id]["kind"] == ("op" if graph_store is store else "stage")
        assert str(os.getpid()) not in str(caught.value)  # it ran on a worker
