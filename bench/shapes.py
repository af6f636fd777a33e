"""Graph shapes that traced programs produce and that stress different parts of reduction.

The shared generator (graphgen.py) makes one realistic mix; each shape here pushes one thing to
the extreme. Every function records about `n` distinct nodes into a new store and returns it with
the outputs the shape's program would ask for:

  wide_fan_in        one node over many values, each merged with its commuted twin
  commuted_chains    two long chains of commutative ops with their operands swapped: merging
                     the first links makes the next ones congruent, all the way up
  identity_chains    deep chains of identity ops (add of 0.0, mul of 1.0, either side), mixed
                     with near-misses that must stay (integer 0, -0.0, an extra param)
  equal_subterms     a balanced tree whose every node is built twice, operands swapped
  fusable_chains     long chains of one-input ops, fused into stages
  small_components   many small independent programs, each with its own output
  restaged           the generator's program reduced once, so the graph to reduce holds Stages
  long_range_reuse   a traced program that reuses early values late: operands, repeated calls
                     and commuted twins drawn uniformly from the whole graph so far, so that
                     nothing a step touches is near what the previous step touched

    store, outputs = SHAPES["wide_fan_in"](10_000)
"""

from __future__ import annotations

import random

import graphgen

COMMUTATIVE = graphgen.COMMUTATIVE
UNARY = graphgen.UNARY


def wide_fan_in(n, vc):
    store = vc.GraphStore()
    shared = store.add_source("table", {"part": -1})
    values = []
    for i in range((n - 2) // 3):
        s = store.add_source("table", {"part": i})
        name = COMMUTATIVE[i % 2]  # add and mul: no params, so the twins are merged
        values += [store.add_op(name, [s, shared]), store.add_op(name, [shared, s])]
    return store, [store.add_op("concat", values)]


def commuted_chains(n, vc):
    store = vc.GraphStore()
    length = max(1, (n - 2) // 3)
    a = b = store.add_source("start")
    for i in range(length):
        s = store.add_source("step", {"i": i})
        name = COMMUTATIVE[i % 4]
        a, b = store.add_op(name, [a, s]), store.add_op(name, [s, b])
    return store, [a, b]


IDENTITIES = [
    ("add", {"scalar": 0.0, "side": "r"}),
    ("add", {"scalar": 0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "l"}),
]
NEAR_MISSES = [
    ("add", {"scalar": 0, "side": "r"}),  # an integer zero is another parameter
    ("add", {"scalar": -0.0, "side": "l"}),  # -0.0 is not 0.0
    ("mul", {"scalar": 1.0, "side": "r", "approx": True}),  # an extra param
    ("mul", {"scalar": 1.0}),  # no side
]


def identity_chains(n, vc, depth=200, seed=0):
    rng = random.Random(seed)
    store = vc.GraphStore()
    outputs = []
    chain = 0
    while store.node_count() < n:
        x = store.add_source("input", {"chain": chain})
        for _ in range(depth):
            name, params = rng.choice(NEAR_MISSES if rng.random() < 0.2 else IDENTITIES)
            x = store.add_op(name, [x], params)
        outputs.append(x)
        chain += 1
    return store, outputs


def equal_subterms(n, vc):
    store = vc.GraphStore()
    leaves = 1
    while 4 * leaves < n:  # leaves plus about three nodes per leaf above them
        leaves *= 2
    level = [store.add_source("leaf", {"i": i}) for i in range(leaves)]
    depth = 0
    while len(level) > 1:
        name = COMMUTATIVE[depth % 8]
        up = []
        for left, right in zip(level[::2], level[1::2]):
            u, v = store.add_op(name, [left, right]), store.add_op(name, [right, left])
            up.append(store.add_op("add", [u, v]))
        level = up
        depth += 1
    return store, level


def fusable_chains(n, vc, length=100):
    store = vc.GraphStore()
    outputs = []
    chain = 0
    while store.node_count() < n:
        x = store.add_source("input", {"chain": chain})
        for i in range(length):
            x = store.add_op(UNARY[(chain + i) % len(UNARY)], [x], {"step": i} if i % 3 == 0 else None)
        outputs.append(x)
        chain += 1
    return store, outputs


def small_components(n, vc):
    store = vc.GraphStore()
    outputs = []
    component = 0
    while store.node_count() < n:
        a = store.add_source("input", {"component": component})
        b = store.add_source("weights", {"component": component})
        x = store.add_op("mul", [a, b])
        y = store.add_op("mul", [b, a])
        z = store.add_op("add", [x, y], {"alpha": 0.5})
        w = store.add_op("mul", [z], {"scalar": 1.0, "side": "l"})
        outputs.append(store.add_reduction("sum", [store.add_op("exp", [w])], {"axis": 0}))
        component += 1
    return store, outputs


def restaged(n, vc):
    # The reduced store of a program about twice the size: what a framework holds after one
    # reduction and hands back after recording a little more.
    program = graphgen.generate_program(2 * n, seed=3)
    original = vc.GraphStore()
    program.replay(original)
    reduced, _ = original.reduce(outputs=program.sinks())
    return reduced, reduced.outputs()


def long_range_reuse(n, vc, seed=0):
    rng = random.Random(seed)
    store = vc.GraphStore()
    values = [store.add_source("table", {"part": i}) for i in range(max(2, n // 50))]
    calls = []  # (name, operands) recorded so far
    while store.node_count() < n:
        roll = rng.random()
        if calls and roll < 0.15:  # an earlier call again: the store returns the same node
            name, operands = calls[rng.randrange(len(calls))]
        elif calls and roll < 0.3:  # an earlier commutative call with its operands swapped
            name, operands = calls[rng.randrange(len(calls))]
            operands = operands[::-1] if name in COMMUTATIVE else operands
        else:
            name = rng.choice(COMMUTATIVE + ["sub", "div"])
            operands = [values[rng.randrange(len(values))], values[rng.randrange(len(values))]]
        before = store.node_count()
        node = store.add_op(name, operands)
        if store.node_count() > before:
            calls.append((name, operands))
        values.append(node)
    consumed = {i for view in store.nodes() for i in view["inputs"]}
    return store, [i for i in range(store.node_count()) if i not in consumed]


SHAPES = {
    "wide_fan_in": wide_fan_in,
    "commuted_chains": commuted_chains,
    "identity_chains": identity_chains,
    "equal_subterms": equal_subterms,
    "fusable_chains": fusable_chains,
    "small_components": small_components,
    "restaged": restaged,
    "long_range_reuse": long_range_reuse,
}
