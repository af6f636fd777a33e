"""The project's one graph generator: a seeded, realistic traced dataflow program.

A program is the list of recording calls a framework would make while tracing user code, with
every argument prepared beforehand, so that replaying it measures the recording itself. It
mixes sources, element-wise ops with one to three inputs and zero to three params (including
commuted duplicates of commutative ops and identity ops that add 0.0 or multiply by 1.0),
reductions, exchanges and a few external payload calls; values fan out to several consumers,
some branches are never used again (dead code), and about a fifth of all calls re-record a node
that already exists (the interning store returns its id).

Ids in the calls are the ids an interning store hands out, so the program replays identically
against GraphStore and against any other store that interns the same way.

    program = generate_program(100_000, seed=1)
    store = veltrix_core.GraphStore()
    program.replay(store)
    outputs = program.sinks(store_node_count)   # nodes nothing consumes, minus a tenth

With `evaluable=True` the program is one that veltrix_core.run's default registry can run:
square sources of `array_size` (every value's dims are 1 or that size, so any two values
broadcast), reduction axes that the input has, and only params that some meaning reads (a
cast's dtype, the scalar forms of binary ops). `source_value` and `models` give what
evaluating it needs:

    program = generate_program(10_000, seed=1, evaluable=True)
    values = run.evaluate(store, outputs, sources=source_value, models=models(program))
"""

from __future__ import annotations

import random
from dataclasses import dataclass, field

COMMUTATIVE = ["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"]
NON_COMMUTATIVE_BINARY = ["sub", "div", "pow", "lt", "atan2"]
UNARY = ["neg", "exp", "log", "abs", "sqrt", "relu", "tanh", "sigmoid", "cast"]
TERNARY = ["where", "clip", "fma"]
REDUCTIONS = ["sum", "mean", "max", "min", "prod"]
SCHEMES = ["hash", "range", "broadcast"]
DTYPES = ["float32", "float64", "int64", "bool"]


@dataclass
class Program:
    """Recording calls as (method name, positional args) plus what the generator knows."""

    calls: list[tuple[str, tuple]] = field(default_factory=list)
    node_count: int = 0
    consumed: set[int] = field(default_factory=set)
    duplicate_calls: int = 0
    model_hashes: list[str] = field(default_factory=list)  # of the external payloads recorded

    def replay(self, store) -> None:
        methods = {
            name: getattr(store, name)
            for name in ("add_source", "add_op", "add_reduction", "add_external", "add_exchange")
        }
        for name, args in self.calls:
            methods[name](*args)

    def bound_calls(self, store) -> list[tuple]:
        """The calls bound to one store's methods, for timing loops without lookups."""
        methods = {
            name: getattr(store, name)
            for name in ("add_source", "add_op", "add_reduction", "add_external", "add_exchange")
        }
        return [(methods[name], args) for name, args in self.calls]

    def sinks(self, seed: int = 0, dead_fraction: float = 0.1) -> list[int]:
        """Nodes that nothing consumes, minus a fraction left dead."""
        sinks = [i for i in range(self.node_count) if i not in self.consumed]
        rng = random.Random(seed)
        keep = [i for i in sinks if rng.random() >= dead_fraction]
        return keep


class _Interner:
    """Mirrors an interning store, so the generator knows the id each call returns."""

    def __init__(self):
        self.ids: dict[tuple, int] = {}

    def intern(self, key: tuple) -> tuple[int, bool]:
        found = self.ids.get(key)
        if found is not None:
            return found, False
        node_id = len(self.ids)
        self.ids[key] = node_id
        return node_id, True


def _key(kind: str, name, inputs, params) -> tuple:
    return (kind, name, tuple(sorted((params or {}).items())), tuple(inputs))


def _elementwise_params(rng: random.Random, name: str) -> dict | None:
    count = rng.choices([0, 1, 2, 3], weights=[50, 25, 15, 10])[0]
    if count == 0:
        return None
    pool = [
        ("alpha", lambda: rng.choice([0.5, 1.5, 2.0, 0.1])),
        ("approx", lambda: rng.random() < 0.5),
        ("mode", lambda: rng.choice(["fast", "exact"])),
        ("precision", lambda: rng.choice([16, 32, 64])),
        ("dtype", lambda: rng.choice(DTYPES)),
    ]
    chosen = rng.sample(pool, count)
    return {key: make() for key, make in chosen}


# Scalar forms of binary ops in evaluable programs (identity scalars come separately).
SCALAR_OPS = ["add", "sub", "mul", "div", "maximum", "minimum", "lt", "eq"]
SCALARS = [0.5, 2.0, -1.0, 3.0, 0.0]


def generate_program(
    n_nodes: int, seed: int = 0, removable_share: float | None = None, evaluable: bool = False, array_size: int = 4
) -> Program:
    """A program whose replay leaves exactly `n_nodes` distinct nodes in the store.

    By default about one call in eleven records a node that the optimizer's rules remove (the
    commuted twin of an earlier op, or an identity op). With `removable_share`, every new
    element-wise op is also followed, with the probability that makes about that share of all
    recorded nodes removable, by its commuted twin (binary commutative ops without params) or an
    identity op over it."""
    rewrite_share = 0.09
    follow = 0.0
    if removable_share is not None:
        follow = min(removable_share / max(1e-9, 1.0 - removable_share), 1.0)
    rng = random.Random(seed)
    interner = _Interner()
    program = Program()
    values: list[int] = []  # ids of value-producing nodes, most recent last
    binary_ops: list[tuple] = []  # (name, a, b) of commutative ops without params
    recorded: list[tuple] = []  # every distinct call, for re-recording
    ndim: dict[int, int] = {}  # evaluable programs: dimensions of each value (0 to 2)

    def record(method: str, kind: str, name, inputs: list[int], params, args: tuple) -> int:
        node_id, new = interner.intern(_key(kind, name, inputs, params))
        program.calls.append((method, args))
        if new:
            program.consumed.update(inputs)
            recorded.append((method, args))
        else:
            program.duplicate_calls += 1
        return node_id

    def pick(count: int) -> list[int]:
        # Mostly recent values (a traced program works on what it just computed), sometimes any:
        # this gives fan-out, long-range edges and values that are never used again.
        picked = []
        for _ in range(count):
            if rng.random() < 0.8:
                window = min(len(values), 64)
                picked.append(values[-1 - int(rng.random() ** 2 * window)])
            else:
                picked.append(rng.choice(values))
        return picked

    def add_source() -> None:
        index = len(values)
        if evaluable:
            params = {"size": array_size, "dtype": rng.choice(DTYPES), "index": index}
        else:
            params = {
                "shape": f"({rng.choice([128, 256, 1024])}, {rng.choice([64, 512])})",
                "dtype": rng.choice(DTYPES),
                "index": index,
            }
        name = rng.choice(["input", "weights", "table", "batch"])
        node = record("add_source", "source", name, [], params, (name, params))
        values.append(node)
        ndim[node] = 2

    def add_value(node: int, dims: int) -> None:
        values.append(node)
        ndim.setdefault(node, dims)

    while interner.ids.__len__() < n_nodes:
        if len(values) < 4:
            add_source()
            continue
        roll = rng.random()
        if roll < 0.20 and recorded:
            method, args = rng.choice(recorded)  # a re-recorded node: interning returns its id
            program.calls.append((method, args))
            program.duplicate_calls += 1
        elif roll < 0.23:
            add_source()
        elif roll < 0.23 + rewrite_share * 2 / 3 and binary_ops:
            name, a, b = rng.choice(binary_ops[-256:])  # the commuted twin of a recent op
            add_value(record("add_op", "op", name, [b, a], None, (name, [b, a])), max(ndim.get(a, 0), ndim.get(b, 0)))
        elif roll < 0.23 + rewrite_share:
            x = pick(1)[0]
            name, scalar = rng.choice([("add", 0.0), ("mul", 1.0)])
            params = {"scalar": scalar, "side": rng.choice(["r", "l"])}
            add_value(record("add_op", "op", name, [x], params, (name, [x], params)), ndim.get(x, 0))
        elif roll < 0.29 + rewrite_share:
            x = pick(1)[0]
            name = rng.choice(REDUCTIONS)
            params = {"axis": rng.choice([0, 1, -1]), "keepdims": rng.random() < 0.3}
            dims = ndim.get(x, 0)
            if evaluable:
                if dims == 0:
                    del params["axis"]  # a 0-d value reduces over everything
                elif params["axis"] >= dims:
                    params["axis"] = dims - 1
                dims = dims if params["keepdims"] or dims == 0 else dims - 1
            add_value(record("add_reduction", "reduction", name, [x], params, (name, [x], params)), dims)
        elif roll < 0.31 + rewrite_share:
            x = pick(1)[0]
            params = {"scheme": rng.choice(SCHEMES), "partitions": rng.choice([4, 8, 16])}
            add_value(record("add_exchange", "exchange", None, [x], params, ([x], params)), ndim.get(x, 0))
        elif roll < 0.32 + rewrite_share:
            inputs = pick(rng.choice([1, 2]))
            descriptor = {
                "kind": "udf",
                "content_hash": f"{rng.randrange(1 << 32):08x}",
                "framework": "numpy",
                "version": "2.1",
                "io_schema": "f32->f32",
            }
            key_name = tuple(sorted(descriptor.items()))
            node = record("add_external", "external", key_name, inputs, None, (descriptor, inputs))
            add_value(node, max(ndim.get(i, 0) for i in inputs))
            if evaluable and descriptor["content_hash"] not in program.model_hashes:
                program.model_hashes.append(descriptor["content_hash"])
        else:
            arity = rng.choices([1, 2, 3], weights=[30, 60, 10])[0]
            if arity == 1:
                name = rng.choice(UNARY)
            elif arity == 2:
                name = rng.choice(COMMUTATIVE if rng.random() < 0.6 else NON_COMMUTATIVE_BINARY)
            else:
                name = rng.choice(TERNARY)
            inputs = pick(arity)
            if not evaluable:
                params = _elementwise_params(rng, name)
            elif name == "cast":
                params = {"dtype": rng.choice(DTYPES)}
            elif arity == 1 and rng.random() < 0.25:
                name = rng.choice(SCALAR_OPS)  # a binary op between the value and a constant
                params = {"scalar": rng.choice(SCALARS), "side": rng.choice(["r", "l"])}
            else:
                params = None
            args = (name, inputs) if params is None else (name, inputs, params)
            node = record("add_op", "op", name, inputs, params, args)
            add_value(node, max(ndim.get(i, 0) for i in inputs))
            if arity == 2 and params is None and name in COMMUTATIVE:
                binary_ops.append((name, inputs[0], inputs[1]))
                if follow and rng.random() < follow:
                    twin = [inputs[1], inputs[0]]
                    add_value(record("add_op", "op", name, twin, None, (name, twin)), ndim[node])
            elif follow and rng.random() < follow:
                identity = {"scalar": 1.0, "side": rng.choice(["r", "l"])}
                add_value(record("add_op", "op", "mul", [node], identity, ("mul", [node], identity)), ndim[node])
    program.node_count = len(interner.ids)
    return program


def source_value(name: str, params: dict):
    """The array of a source of an evaluable program: square, of the source's dtype, seeded by
    its index; floats include zeros of both signs and NaNs, so that results would show a
    rewrite that changes a zero's sign or drops a NaN."""
    import numpy as np  # noqa: PLC0415 (the generator itself needs no numpy)

    rng = np.random.default_rng(params["index"])
    shape = (params["size"], params["size"])
    dtype = params["dtype"]
    if dtype == "bool":
        return rng.random(shape) < 0.5
    if dtype == "int64":
        return rng.integers(-4, 5, size=shape, dtype=np.int64)
    data = rng.normal(0.0, 2.0, size=shape)
    special = rng.random(shape)
    data[special < 0.15] = 0.0
    data[(special >= 0.15) & (special < 0.25)] = -0.0
    data[(special >= 0.25) & (special < 0.3)] = np.nan
    return data.astype(dtype)


class _Model:
    """tanh of the sum of the inputs, scaled. A class at module level rather than a closure, so
    that a task holding it pickles by reference, as a real model's entry point would."""

    __slots__ = ("scale",)

    def __init__(self, scale: float):
        self.scale = scale

    def __call__(self, inputs, params):
        import numpy as np  # noqa: PLC0415

        with np.errstate(all="ignore"):  # inf - inf is nan here, as in the ops
            total = sum(np.asarray(x, dtype=np.float64) for x in inputs)
            return np.tanh(total * self.scale)


def models(program: Program) -> dict:
    """A model for each external payload of an evaluable program: tanh of the sum of its
    inputs, scaled by a factor taken from the payload's content hash."""
    return {h: _Model(1.0 + int(h, 16) % 7 / 4) for h in program.model_hashes}


def recorded_evaluable(n_nodes: int, seed: int, store) -> tuple[Program, dict]:
    """Records an evaluable program of about n_nodes into `store`; returns the program and the
    keyword arguments (sources, models) that veltrix_core.run needs to evaluate it."""
    program = generate_program(n_nodes, seed=seed, evaluable=True)
    program.replay(store)
    return program, {"sources": source_value, "models": models(program)}
