"""Eight threads share one store and one reducer, while other threads change the id lists and
params dicts being converted. Afterwards every id, view and counter must tell one consistent
story. Runs a few seconds by default; `--stress-seconds=N` runs longer."""

import faulthandler
import random
import sys
import sysconfig
import threading
import time

import veltrix_core as vc
from veltrix_core import columns

THREADS = 8
NAMES = ["a", "b", "c", "d"]
PARAM_POOL = [None, {"k": 1}, {"k": True}, {"k": 2.5, "s": "x"}]
INPUT_WINDOW = 16  # inputs are drawn from the first ids only, so the node universe is finite
DESCRIPTORS = [
    dict(kind="model", content_hash="h1", framework="f", version="1", io_schema="s"),
    dict(kind="model", content_hash="h2", framework="f", version="1", io_schema="s", preprocessing_ref="p"),
]

# Shared caller objects that mutator threads move between known states. Every state an id list
# or a dict passes through is listed, so a recorded node can be checked against them.
LIST_STATES = [[0], [0, 1], [0, 1, 2]]
DICT_STATES = [{"k1": 1}, {"k1": 1, "k2": "two"}, {"k1": 1, "k3": 3.5}, {"k1": 1, "k2": "two", "k3": 3.5}]


def value_key(value):
    return (type(value).__name__, value)


def params_key(params):
    return tuple(sorted((k, value_key(v)) for k, v in (params or {}).items()))


def node_key(kind, name, inputs, params, descriptor=None):
    desc = None
    if descriptor is not None:
        desc = tuple(descriptor.get(f) for f in ("kind", "content_hash", "framework", "version", "io_schema"))
        desc += (descriptor.get("preprocessing_ref"),)
    return (kind, name, tuple(inputs), params_key(params), desc)


def view_key(view):
    return node_key(view["kind"], view["name"], view["inputs"], view["params"], view.get("descriptor"))


class Shared:
    def __init__(self):
        self.store = vc.GraphStore()
        self.reducer = vc.IncrementalReducer()
        self.ids = [0]
        self.params = {"k1": 1}
        self.mutation_lock = threading.Lock()  # orders the mutators only; converters never take it


def mutate(shared, rng):
    with shared.mutation_lock:
        ids = shared.ids
        if len(ids) == 1 or (len(ids) < 3 and rng.random() < 0.5):
            ids.append(len(ids))
        else:
            ids.pop()
        key = rng.choice(["k2", "k3"])
        if key in shared.params:
            del shared.params[key]
        else:
            shared.params[key] = "two" if key == "k2" else 3.5


class Worker:
    def __init__(self, shared, seed, deadline):
        self.shared, self.rng, self.deadline = shared, random.Random(seed), deadline
        self.recorded = []  # (node key, id)
        self.counter_reads = []  # (watermark, total_work, canonical_count) in read order
        self.problems = []
        self.failed_batches = []  # the marker names of batches that had to fail

    def inputs(self, count):
        n = min(self.shared.store.node_count(), INPUT_WINDOW)
        return [self.rng.randrange(n) for _ in range(count)]

    def record(self):
        store, rng = self.shared.store, self.rng
        name, params = rng.choice(NAMES), rng.choice(PARAM_POOL)
        kind = rng.choice(["source", "op", "reduction", "external", "exchange"])
        if kind == "source" or store.node_count() == 0:
            self.recorded.append((node_key("source", name, [], params), store.add_source(name, params)))
        elif kind == "external":
            inputs, fields = self.inputs(1), rng.choice(DESCRIPTORS)
            descriptor = vc.PayloadDescriptor(**fields) if rng.random() < 0.5 else fields
            node = store.add_external(descriptor, inputs, params)
            self.recorded.append((node_key("external", "", inputs, params, fields), node))
        elif kind == "exchange":
            inputs = self.inputs(1)
            self.recorded.append((node_key("exchange", "", inputs, params), store.add_exchange(inputs, params)))
        else:
            inputs = self.inputs(rng.randint(1, 2))
            add = store.add_op if kind == "op" else store.add_reduction
            self.recorded.append((node_key(kind, name, inputs, params), add(name, inputs, params)))

    def record_with_shared_objects(self):
        store = self.shared.store
        if store.node_count() < 3:
            return
        node = store.add_op("shared", self.shared.ids, self.shared.params)
        view = store.nodes()[node]
        if view["inputs"] not in LIST_STATES or view["params"] not in DICT_STATES:
            self.problems.append(f"node {node} records a state its arguments never had: {view}")
        self.recorded.append((view_key(view), node))

    def record_batch(self):
        """A few rows in one call, reading earlier rows and existing ids, some sharing one params
        dict that a mutator changes meanwhile; now and then a batch whose last row is bad, which
        must leave no trace."""
        store, rng = self.shared.store, self.rng
        if store.node_count() == 0:
            return
        rows = rng.randint(1, 4)
        names = [rng.choice(NAMES) for _ in range(rows)]
        params = [rng.choice(PARAM_POOL) for _ in range(rows)]
        inputs = [[-1 - rng.randrange(r)] if r and rng.random() < 0.5 else self.inputs(1) for r in range(rows)]
        bad = rng.random() < 0.2
        if bad:
            names[0] = f"never-{id(self)}-{len(self.failed_batches)}"
            inputs[-1] = [10**12]
            self.failed_batches.append(names[0])
        offsets = [0]
        for row in inputs:
            offsets.append(offsets[-1] + len(row))
        flat = [i for row in inputs for i in row]
        try:
            ids = columns.record(store, ["op"] * rows, names, params, None, offsets, flat).tolist()
        except ValueError as error:
            if not bad or "no node with id 1000000000000" not in str(error):
                self.problems.append(f"a batch failed: {error}")
            return
        if bad:
            self.problems.append("a batch with a bad row was recorded")
            return
        for r, node in enumerate(ids):
            resolved = [i if i >= 0 else ids[-1 - i] for i in inputs[r]]
            self.recorded.append((node_key("op", names[r], resolved, params[r]), node))

    def read_columns(self):
        store = self.shared.store
        count = store.node_count()
        read = columns.read(store)
        ids = read.ids.tolist()
        if len(ids) < count or ids != list(range(len(ids))) or len(read.offsets) != len(ids) + 1:
            self.problems.append("columns lost or reordered nodes")

    def read(self):
        store, rng = self.shared.store, self.rng
        choice = rng.randrange(4)
        if choice == 0:
            count = store.node_count()
            views = store.nodes()
            if len(views) < count:
                self.problems.append("nodes() lost nodes")
        elif choice == 1:
            outputs = list(dict.fromkeys(self.inputs(2))) if store.node_count() else None  # repeats would be dropped
            blob = store.serialize(outputs=outputs)
            again = vc.GraphStore.deserialize(blob)
            if again.serialize() != blob:
                self.problems.append("a blob did not read back to itself")
        elif choice == 2:
            if not store.to_dot().startswith("digraph veltrix {"):
                self.problems.append("to_dot lost its header")
        elif store.node_count():
            store.reduce(outputs=self.inputs(2), maximal_fusion=rng.random() < 0.5)

    def reduce_incrementally(self):
        reducer, store = self.shared.reducer, self.shared.store
        if self.rng.random() < 0.7:
            reducer.step(store)
        elif store.node_count():
            reducer.finalize(store, outputs=self.inputs(2))
        self.counter_reads.append((reducer.watermark(), reducer.total_work(), reducer.canonical_count()))

    def fail(self):
        store, rng = self.shared.store, self.rng
        calls = [
            (lambda: store.add_op("f", [10**12]), ValueError, "no node with id 1000000000000"),
            (lambda: store.add_source(5), TypeError, "argument 'name': 'int' object is not an instance of 'str'"),
            (lambda: store.reduce(outputs=[10**12]), ValueError, "no node with id 1000000000000"),
            (
                lambda: self.shared.reducer.step(None),
                TypeError,
                "argument 'store': 'None' is not an instance of 'GraphStore'",
            ),
            (
                lambda: store.add_op("f", [0], {"k": object()}),
                TypeError,
                "param values must be int, float, bool, or str",
            ),
        ]
        call, exc_type, message = rng.choice(calls)
        try:
            call()
        except exc_type as exc:
            if str(exc) != message:
                self.problems.append(f"unexpected message {exc!s}")
        else:
            self.problems.append("a bad call succeeded")

    def run(self):
        actions = [self.record] * 6 + [self.record_with_shared_objects] * 2 + [self.read, self.reduce_incrementally]
        actions += [self.record_batch, self.read_columns]
        actions += [self.fail, lambda: mutate(self.shared, self.rng), lambda: mutate(self.shared, self.rng)]
        try:
            while time.monotonic() < self.deadline:
                self.rng.choice(actions)()
        except BaseException as exc:  # noqa: BLE001 - any escape is a finding, PanicException included
            self.problems.append(f"{type(exc).__name__}: {exc}")


def test_threads_sharing_a_store_and_a_reducer(request):
    seconds = request.config.getoption("--stress-seconds")
    shared = Shared()
    deadline = time.monotonic() + seconds
    workers = [Worker(shared, seed, deadline) for seed in range(THREADS)]
    threads = [threading.Thread(target=w.run) for w in workers]
    faulthandler.dump_traceback_later(seconds + 120, exit=True)  # a hang dumps every stack and ends the run
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        faulthandler.cancel_dump_traceback_later()

    problems = [p for w in workers for p in w.problems]
    assert not problems, problems[:10]

    store = shared.store
    views = store.nodes()
    never = {name for w in workers for name in w.failed_batches}
    assert not [v for v in views if v["name"] in never], "a failed batch left a node behind"
    ids_of_key = {}
    for w in workers:
        for key, node in w.recorded:
            ids_of_key.setdefault(key, set()).add(node)
    assert all(len(ids) == 1 for ids in ids_of_key.values()), "equal nodes got different ids"
    assert store.node_count() == len(views) == len(ids_of_key), "node count is not the number of distinct nodes"
    for key, (node,) in ids_of_key.items():
        assert view_key(views[node]) == key, f"node {node} does not hold what was recorded"

    for w in workers:
        for earlier, later in zip(w.counter_reads, w.counter_reads[1:]):
            assert all(a <= b for a, b in zip(earlier[:2], later[:2])), "a counter went backwards"
    shared.reducer.step(store)
    assert shared.reducer.watermark() == shared.reducer.total_work() == store.node_count()
    outputs = list(range(0, store.node_count(), 7))
    finalized, report = shared.reducer.finalize(store, outputs=outputs)
    reduced, expected = store.reduce(outputs=outputs)
    assert finalized.serialize() == reduced.serialize()
    assert report["reduced_nodes"] == expected["reduced_nodes"]


def test_importing_keeps_the_gil_disabled_on_free_threaded_builds():
    # A module that did not declare that it runs without the GIL would turn it back on.
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    assert sys._is_gil_enabled() is not free_threaded
