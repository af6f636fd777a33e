"""veltrix_core.columns: reading a store as columns agrees with nodes(), and recording a batch
agrees with recording its rows one add_* call at a time (same ids, same bytes), all or nothing."""

import array

import pytest
from optional import require

require("hypothesis")

from hypothesis import given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from test_recording_properties import awkward_text, values  # noqa: E402

import veltrix_core as vc
from veltrix_core import columns

KIND_CODES = {name: code for code, name in enumerate(columns.KINDS)}
DESCRIPTORS = [
    None,
    vc.PayloadDescriptor(kind="m", content_hash="h1", framework="f", version="1", io_schema="s"),
    {"kind": "m", "content_hash": "h|2", "framework": "f", "version": "1", "io_schema": "s", "preprocessing_ref": ""},
]


@st.composite
def batches(draw, max_rows=30):
    """Rows of a batch: (kind, name, params, descriptor, inputs), inputs naming store ids below
    `existing` or earlier rows (-1 - row); params dicts sometimes shared between rows."""
    existing = draw(st.integers(0, 4))
    shared = draw(st.lists(st.dictionaries(awkward_text, values, max_size=3), min_size=1, max_size=3))
    rows = []
    for r in range(draw(st.integers(1, max_rows))):
        kind = draw(st.sampled_from(["source", "op", "reduction", "external", "exchange"]))
        if existing == 0 and r == 0:
            kind = "source"
        name = draw(st.sampled_from(["a", "add", ""]) | awkward_text) if kind in ("source", "op", "reduction") else None
        params = draw(st.none() | st.sampled_from(shared) | st.dictionaries(awkward_text, values, max_size=2))
        descriptor = draw(st.sampled_from(DESCRIPTORS[1:])) if kind == "external" else None
        targets = [i for i in range(existing)] + [-1 - j for j in range(r)]
        inputs = [] if kind == "source" or not targets else draw(st.lists(st.sampled_from(targets), max_size=3))
        rows.append((kind, name, params, descriptor, inputs))
    return existing, rows


def as_arguments(rows, kinds_as="names"):
    kinds = [kind for kind, *_ in rows]
    if kinds_as == "codes":
        kinds = bytes(KIND_CODES[kind] for kind in kinds)
    offsets, inputs = [0], []
    for *_, row_inputs in rows:
        inputs.extend(row_inputs)
        offsets.append(len(inputs))
    return (
        kinds,
        [name for _, name, *_ in rows],
        [params for _, _, params, _, _ in rows],
        [descriptor for *_, descriptor, _ in rows],
        offsets if kinds_as == "names" else array.array("q", offsets),
        inputs if kinds_as == "names" else array.array("q", inputs),
    )


def record_one_at_a_time(store, rows):
    ids = []
    for kind, name, params, descriptor, inputs in rows:
        inputs = [i if i >= 0 else ids[-1 - i] for i in inputs]
        if kind == "source":
            ids.append(store.add_source(name, params))
        elif kind in ("op", "reduction"):
            ids.append(getattr(store, f"add_{kind}")(name, inputs, params))
        elif kind == "external":
            ids.append(store.add_external(descriptor, inputs, params))
        else:
            ids.append(store.add_exchange(inputs, params))
    return ids


def store_with(existing):
    store = vc.GraphStore()
    for i in range(existing):
        store.add_source("pre", {"i": i})
    return store


def as_table(params, shuffle):
    """A params column as a table the rows index: each distinct object once, in a drawn order,
    plus an entry no row names (never read, so even a bad one is harmless)."""
    distinct = list({id(p): p for p in params}.values())
    table = shuffle(distinct) + [{"unused": [1]}]
    return table, array.array("q", [next(i for i, t in enumerate(table) if t is p) for p in params])


@given(batches(), st.sampled_from(["names", "codes", "table"]), st.randoms(use_true_random=False))
def test_a_batch_records_what_its_rows_would_one_at_a_time(batch, kinds_as, random):
    existing, rows = batch
    one_by_one, batched = store_with(existing), store_with(existing)
    expected = record_one_at_a_time(one_by_one, rows)
    arguments, options = list(as_arguments(rows, kinds_as)), {}
    if kinds_as == "table":
        arguments[2], options["param_rows"] = as_table(arguments[2], lambda items: random.sample(items, len(items)))
    ids = columns.record(batched, *arguments, **options)
    assert ids.format == "q" and list(ids) == expected
    assert batched.serialize() == one_by_one.serialize()


def shape_of(view):
    return {key: value for key, value in view.items() if key not in ("id", "inputs", "output")}


def reachable(views, outputs):
    seen, stack = set(), list(outputs)
    while stack:
        node = stack.pop()
        if node not in seen:
            seen.add(node)
            stack.extend(views[node]["inputs"])
    return sorted(seen)


@given(batches(max_rows=40), st.booleans(), st.data())
def test_columns_agree_with_the_node_views(batch, reduce_first, data):
    existing, rows = batch
    store = store_with(existing)
    columns.record(store, *as_arguments(rows))
    if reduce_first:  # stages, with members, come from reductions
        store, _ = store.reduce(outputs=list(range(store.node_count())))
    views = store.nodes()
    outputs = data.draw(st.none() | st.lists(st.integers(0, len(views) - 1), max_size=4))
    read = columns.read(store, outputs)
    expected_ids = list(range(len(views))) if outputs is None else reachable(views, outputs)
    assert list(read.ids) == expected_ids and len(read) == len(expected_ids)
    assert len(read.offsets) == len(read) + 1 and read.offsets[0] == 0 and read.offsets[-1] == len(read.inputs)
    first_row_of_shape = {}
    for row, node in enumerate(read.ids):
        view = views[node]
        assert columns.KINDS[read.kinds[row]] == view["kind"]
        assert list(read.inputs_of(row)) == view["inputs"]
        shape = read.shape_table[read.shapes[row]]
        assert shape.keys() == shape_of(view).keys() and shape_key(shape) == shape_key(view)
        first_row_of_shape.setdefault(read.shapes[row], row)
    # Shape ids are dense, in order of first appearance, and equal exactly for equal shapes (a
    # float param by its bits, so 0.0 and -0.0 are two shapes, which == would not tell apart).
    assert list(first_row_of_shape) == list(range(len(read.shape_table)))
    keys = [shape_key(views[node]) for node in read.ids]
    for a in range(len(keys)):
        for b in range(a):
            assert (read.shapes[a] == read.shapes[b]) == (keys[a] == keys[b])


def _params_key(params):
    return tuple((k, type(v).__name__, v.hex() if isinstance(v, float) else v) for k, v in params.items())


def shape_key(view):
    """Equal exactly when two nodes are equal but for their inputs."""
    members = tuple(
        (m["kind"], m["name"], _params_key(m["params"]), tuple(m["inputs"])) for m in view.get("members", ())
    )
    return view["kind"], view["name"], _params_key(view["params"]), tuple(view.get("descriptor", {}).items()), members


def test_columns_are_typed_buffers_numpy_reads_in_place():
    np = pytest.importorskip("numpy")
    store = vc.GraphStore()
    x = store.add_source("x")
    store.add_op("add", [x, x])
    read = columns.read(store)
    assert [read.ids.format, read.kinds.format, read.shapes.format, read.offsets.format] == ["q", "B", "I", "q"]
    assert np.asarray(read.inputs).tolist() == [0, 0]
    ids = np.asarray(read.ids)
    assert ids.dtype == np.int64 and not ids.flags.owndata  # a view of the column, not a copy
    ids = columns.record(store, np.array([1], dtype=np.uint8), ["neg"], None, None, np.array([0, 1]), np.array([0]))
    assert list(ids) == [2]


BAD_ROWS = [
    # (kinds, names, params, descriptors, offsets, inputs), error type, message
    (([9], ["x"], None, None, None, None), ValueError, "row 0, kind: 9 is not a kind"),
    ((["stage"], ["x"], None, None, None, None), ValueError, "row 0, kind: 4 is not a kind"),
    ((["bogus"], ["x"], None, None, None, None), ValueError, "row 0, kind: 'bogus' is not a kind name"),
    ((["source", "op"], ["x", 5], None, None, None, None), TypeError, "row 1, name: 'int' object is not an instance"),
    ((["exchange"], ["x"], None, None, [0, 0], []), TypeError, "row 0, name: exchange nodes have no name"),
    ((["source"], ["x"], [{"k": [1]}], None, None, None), TypeError, "row 0, params: param values must be"),
    ((["source"], ["x"], [{1: 1}], None, None, None), TypeError, "row 0, params:"),
    ((["source"], ["x"], None, ["d"], None, None), TypeError, "row 0, descriptor: only external nodes"),
    ((["external"], [None], None, [{"kind": "k"}], [0, 0], []), ValueError, "row 0, descriptor: descriptor missing"),
    ((["external"], [None], None, [5], [0, 0], []), TypeError, "row 0, descriptor: descriptor must be"),
    ((["source"], ["x"], None, None, [0, 1], [0]), ValueError, "row 0, inputs: source nodes have no inputs"),
    ((["source", "op"], ["x", "f"], None, None, [0, 0, 1], [99]), ValueError, "row 1, inputs: no node with id 99"),
    ((["source", "op"], ["x", "f"], None, None, [0, 0, 1], [-2]), ValueError, "row 1, inputs: -2 names row 1"),
    ((["source", "op"], ["x", "f"], None, None, [0, 0, 1], [2**40]), ValueError, "no node with id 1099511627776"),
    # A late bad row in a long batch: the rows after it were prepared (their texts interned)
    # before it failed, and must vanish with the rest.
    (
        (
            ["source"] + ["op"] * 39,
            [f"t{r}" for r in range(40)],
            None,
            None,
            [0, *range(40)],
            [0] * 19 + [500] + [0] * 19,
        ),
        ValueError,
        "row 20, inputs: no node with id 500",
    ),
    ((["source"], ["x"], None, None, [0, 1, 1], [0]), ValueError, "offsets has 3 items for 1 rows"),
    ((["source", "op"], ["x", "f"], None, None, [0, 1, 0], [0]), ValueError, "offsets must start at 0"),
    ((["source"], ["x", "y"], None, None, None, None), ValueError, "names has 2 items for 1 rows"),
    ((["source"], ["x"], None, None, [0, 0], [1.5]), TypeError, "inputs[0] must be an int"),
    ((["source"], ["x"], None, None, [0, 0], "ab"), TypeError, "inputs must be a buffer of integers"),
    # Params as a table: an index out of range; a bad entry is named by the first row using it.
    ((["source"], ["x"], [None], None, None, None, {"param_rows": [1]}), ValueError, "row 0, param_rows: 1 is not"),
    ((["source"], ["x"], [None], None, None, None, {"param_rows": [-1]}), ValueError, "row 0, param_rows: -1 is not"),
    (
        (["source"] * 3, ["x", "y", "z"], [{"k": 1}, {"k": [1]}], None, None, None, {"param_rows": [0, 1, 1]}),
        TypeError,
        "row 1, params: param values must be",
    ),
    ((["source"], ["x"], [None], None, None, None, {"param_rows": [0, 0]}), ValueError, "param_rows has 2 items"),
    ((["source"], ["x"], {}, None, None, None, {"param_rows": [0]}), TypeError, "params must be a list or tuple"),
]


@pytest.mark.parametrize("arguments, error, message", BAD_ROWS)
def test_a_bad_row_records_nothing(arguments, error, message):
    *arguments, options = arguments if len(arguments) == 7 else (*arguments, {})
    store = vc.GraphStore()
    store.add_source("x", {"k": "kept"})
    before = store.serialize()
    with pytest.raises(error, match=message.replace("(", r"\(").replace("[", r"\[")):
        columns.record(store, *arguments, **options)
    assert store.serialize() == before
    # Nothing half-recorded lingers: recording afterwards is what it is in a store that never
    # saw the batch (the texts and index entries of undone rows are gone too).
    fresh = vc.GraphStore()
    fresh.add_source("x", {"k": "kept"})
    for target in (store, fresh):
        target.add_op("f", [target.add_source("new", {"t": "text"})])
    assert store.serialize() == fresh.serialize()
