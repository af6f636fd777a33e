"""veltrix_core.dask on a distributed LocalCluster of two worker processes on loopback: the
optimizer runs where the cluster materializes the graph (the scheduler), its tasks pickle to the
workers, and arrays and delayed programs compute the values they compute without it. Every test
has a timeout, and every wait on the cluster has one of its own."""

import os
import sys
import warnings

import pytest
from optional import require

if "libasan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip(
        "cluster workers are separate processes that would inherit the sanitizer runtime", allow_module_level=True
    )
np = require("numpy")
dask = require("dask")
da = require("dask.array")
distributed = require("distributed")

import cloudpickle  # noqa: E402
import test_dask_optimizer  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "bench"))
from loopback_cluster import two_workers  # noqa: E402
from test_dask_optimizer import PROGRAMS, bits  # noqa: E402

import veltrix_core.dask as vd  # noqa: E402
from veltrix_core.dask import _optimize  # noqa: E402

# The programs' functions (lambdas of map_blocks and map_overlap) go to the workers by value.
cloudpickle.register_pickle_by_value(test_dask_optimizer)
cloudpickle.register_pickle_by_value(sys.modules[__name__])

WAIT = 120  # seconds, for any one computation on the cluster
pytestmark = pytest.mark.timeout(300)


@pytest.fixture(scope="module")
def client():
    with two_workers(distributed, WAIT) as client:
        yield client


def on_cluster(client, collection, **enabled):
    with warnings.catch_warnings():
        warnings.simplefilter("error", vd.OptimizerDeclined)
        with vd.enabled(**enabled):
            future = client.compute(collection)
    return future.result(timeout=WAIT)


@pytest.mark.parametrize("name", ["broadcast arithmetic", "sum split_every", "rechunk", "map_overlap", "written twice"])
def test_arrays_compute_the_values_they_compute_locally(client, monkeypatch, name):
    calls = []
    original = _optimize.optimize_graph
    monkeypatch.setattr(_optimize, "optimize_graph", lambda *a, **k: calls.append(1) or original(*a, **k))
    collection = PROGRAMS[name]
    assert bits(on_cluster(client, collection)) == bits(collection.compute(scheduler="threads"))
    assert calls  # the scheduler of a LocalCluster runs in this process


def test_delayed_programs_on_the_cluster(client):
    delayed = dask.delayed
    parts = [delayed(np.arange, pure=True)(i, i + 5.0) for i in range(4)]
    total = delayed(sum, pure=True)([p.sum() for p in parts]) * delayed(np.mean, pure=True)(parts[2])
    assert bits(on_cluster(client, total, delayed=True)) == bits(total.compute(scheduler="sync"))
