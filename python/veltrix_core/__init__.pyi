"""The native core of a dataflow compiler: an interning graph store, graph reduction, canonical
IR bytes and DOT text.

Record a graph into a `GraphStore` with its ``add_*`` methods, then reduce it
(`GraphStore.reduce`, or step by step with an `IncrementalReducer`), write it as bytes
(`GraphStore.serialize`) or draw it (`GraphStore.to_dot`). Node ids are ``int``; parameters,
node views and reports are plain Python data, typed in `veltrix_core.typing`.
"""

from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, Literal, SupportsIndex, final, overload

from veltrix_core.typing import DescriptorDict, NodeView, Params, ParamValue, ReductionReport, ShapeView

__all__ = ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]

@final
class GraphStore:
    """A dataflow graph whose nodes are interned: recording a node equal to one already in the
    store returns the existing id.

    Ids are dense and follow insertion order, and every input is an earlier node, so the node
    list is always in topological order. Nodes are never changed or removed. A store is safe
    to share between threads; reductions and serialization work on a snapshot and never change
    the store. ``GraphStore()`` makes an empty store.
    """

    def __new__(cls) -> GraphStore: ...
    def add_source(self, name: str, params: Params | None = None) -> int:
        """Records a source node and returns its id.

        :param name: what the source reads, as the framework names it.
        :param params: the node's parameter map (``None`` is the empty map).
        :returns: the id of the node; the existing id when an equal node is already recorded.
        :raises TypeError: a name that is not a ``str``, params that are not a ``dict`` of
            ``str`` keys and ``int``, ``float``, ``bool`` or ``str`` values.
        """

    def add_op(self, name: str, inputs: Sequence[SupportsIndex], params: Params | None = None) -> int:
        """Records an element-wise op over earlier nodes and returns its id.

        :param name: the op's name (``"add"``, ``"mul"``, ...).
        :param inputs: the ids of its operands, in order; repeats are allowed.
        :param params: the node's parameter map (``None`` is the empty map).
        :returns: the id of the node; the existing id when an equal node is already recorded.
        :raises ValueError: an input id that names no node (the store is left unchanged).
        :raises TypeError: arguments of the wrong type, as for `add_source`.
        """

    def add_reduction(self, name: str, inputs: Sequence[SupportsIndex], params: Params | None = None) -> int:
        """Records a reduction over earlier nodes and returns its id.

        Arguments, result and errors are those of `add_op`. A reduction is never fused into a
        stage.
        """

    def add_external(
        self,
        descriptor: PayloadDescriptor | DescriptorDict,
        inputs: Sequence[SupportsIndex],
        params: Params | None = None,
    ) -> int:
        """Records a call of an external payload (a model, a user function) and returns its id.

        :param descriptor: a `PayloadDescriptor`, or a dict with its fields (other keys are
            ignored); its six fields take part in the node's identity.
        :param inputs: the ids of the payload's arguments, in order.
        :param params: the node's parameter map (``None`` is the empty map).
        :returns: the id of the node; the existing id when an equal node is already recorded.
        :raises ValueError: an input id that names no node, or a descriptor dict without one
            of the five required fields.
        :raises TypeError: a descriptor of another type, or arguments of the wrong type.
        """

    def add_exchange(self, inputs: Sequence[SupportsIndex], params: Params | None = None) -> int:
        """Records an exchange boundary, where data moves between partitions, and returns its id.

        An exchange has no name: its identity is its params (the scheme, such as
        ``{"scheme": "hash", "partitions": 8}``) and its input. Its view's kind is
        ``"exchange"``.

        :returns: the id of the node; the existing id when an equal node is already recorded.
        :raises ValueError: an input id that names no node.
        """

    def node_count(self) -> int:
        """The number of nodes in the store."""

    def to_dot(self) -> str:
        """The whole store as Graphviz DOT text.

        One statement per node, in id order, and one edge per input; marked outputs are drawn
        as double circles.
        """

    def serialize(self, outputs: Sequence[SupportsIndex] | None = None) -> bytes:
        """The graph in its canonical, versioned byte form.

        Equal graphs with equal outputs give identical bytes, and `deserialize` reads them back
        with the same ids.

        :param outputs: the output ids the bytes carry, in order, repeats kept; ``None`` keeps
            the store's own marks (a recorded store has none).
        :returns: the bytes, starting with ``VIR1``.
        :raises ValueError: an output id that names no node.
        """

    @staticmethod
    def deserialize(data: bytes) -> GraphStore:
        """A new store read from bytes that `serialize` wrote.

        The new store has the same ids, and its marks are the outputs the bytes carry; it
        serializes to the same bytes again.

        :raises ValueError: bytes that are not a readable blob (truncated, another format,
            corrupted), with the reason.
        :raises TypeError: ``data`` that is not ``bytes``.
        """

    def nodes(self) -> list[NodeView]:
        """One new dict per node, in id order, describing it.

        Every view has ``id``, ``output``, ``inputs``, ``kind``, ``name`` and ``params``; an
        external's adds ``descriptor``, a stage's adds ``n_members`` and ``members`` (see
        `veltrix_core.typing.NodeView`). Changing a view changes nothing in the store.

        :raises ValueError: a stage whose member text does not parse (only in a store read
            from corrupted bytes).
        """

    def outputs(self) -> list[int]:
        """The store's output marks, in mark order.

        Only stores read by `deserialize` and stores made by a reduction have marks; a store
        recorded with the ``add_*`` methods has none.
        """

    def reduce(
        self, *, maximal_fusion: bool = False, outputs: Sequence[SupportsIndex] | None = None
    ) -> tuple[GraphStore, ReductionReport]:
        """A new, smaller store that computes the same outputs, and the report of six counters.

        Dead code is dropped, terms that are equal under the commutativity and identity rules
        are merged, equal terms are shared, and chains of ops are fused into stages. The
        reduced store marks each distinct reduced output once; `veltrix_core.run.reduce` also
        gives the reduced id of every requested output.

        :param maximal_fusion: also fuse an op used several times when all its users are ops
            of one stage (by default only ops used once join their user's stage).
        :param outputs: the ids the result must compute, in order; ``None`` uses the store's
            marks (a recorded store has none, so the result is empty).
        :raises ValueError: an output id that names no node, before any work.
        :raises TypeError: a ``maximal_fusion`` that is not a ``bool``.
        """

    def reduce_incremental(
        self, *, outputs: Sequence[SupportsIndex] | None = None
    ) -> tuple[GraphStore, ReductionReport]:
        """What ``reduce(outputs=outputs)`` returns.

        To reduce while recording, step by step, use an `IncrementalReducer`.
        """

    def reduction_report(self, *, outputs: Sequence[SupportsIndex] | None = None) -> ReductionReport:
        """The report of ``reduce(outputs=outputs)``, without keeping the reduced store."""

    @overload
    def _read_columns(
        self, *, outputs: Sequence[SupportsIndex] | None = None, stages: Literal[False] = False
    ) -> tuple[bytes, bytes, bytes, bytes, bytes, list[ShapeView]]:
        """For `veltrix_core.columns.read`, which callers use instead."""
    @overload
    def _read_columns(
        self, *, outputs: Sequence[SupportsIndex] | None = None, stages: Literal[True]
    ) -> tuple[
        bytes,
        bytes,
        bytes,
        bytes,
        bytes,
        list[ShapeView],
        list[tuple[str, str, dict[str, ParamValue], int]],
        list[tuple[tuple[int, ...], tuple[tuple[int, ...], ...], tuple[tuple[int, ...], ...], int, int] | None],
    ]:
        """The columns, the distinct stage members, and each shape's stage plan, for
        veltrix_core.run."""

    def _record_columns(
        self,
        kinds: object,
        names: object,
        params: object,
        descriptors: object,
        offsets: object,
        inputs: object,
        *,
        param_rows: object = None,
    ) -> bytes:
        """For `veltrix_core.columns.record`, which callers use instead."""

    def _reduce_mapped(
        self, *, maximal_fusion: bool = False, outputs: Sequence[SupportsIndex] | None = None, origins: bool = False
    ) -> (
        tuple[GraphStore, ReductionReport, list[int]]
        | tuple[GraphStore, ReductionReport, list[int], tuple[bytes, bytes]]
    ):
        """For `veltrix_core.run.reduce`, which callers use instead."""

@final
class PayloadDescriptor:
    """What an external node calls: a model or function, described by six strings.

    All six fields take part in the identity of the nodes that use the descriptor. Every
    argument is keyword-only; ``preprocessing_ref`` is optional, and an empty string there is
    present, not absent. The fields are read-only. Two descriptors compare by identity, not
    by their fields.

    :raises TypeError: a field that is not a ``str``, or an argument given by position.
    """

    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: str | None = None,
    ) -> PayloadDescriptor: ...
    @property
    def kind(self) -> str:
        """What the payload is (a model, a user function)."""

    @property
    def content_hash(self) -> str:
        """A hash of the payload's content; `veltrix_core.run` finds models by it."""

    @property
    def framework(self) -> str:
        """The framework that runs the payload."""

    @property
    def version(self) -> str:
        """The payload's version."""

    @property
    def io_schema(self) -> str:
        """What the payload reads and returns."""

    @property
    def preprocessing_ref(self) -> str | None:
        """What prepares the payload's inputs, or ``None`` when absent."""

@final
class IncrementalReducer:
    """A reduction kept up to date while a graph is recorded.

    Feed it the store from time to time with `step`: each step canonicalises only the nodes
    recorded since the previous one (identity ops replaced by their input, commuted twins and
    equal nodes merged), so `finalize` reduces a small canonical form instead of the whole
    history. Always feed one reducer the same store. ``IncrementalReducer()`` makes an empty
    reducer; it is safe to share between threads.
    """

    def __new__(cls) -> IncrementalReducer: ...
    def step(self, store: GraphStore) -> int:
        """Consumes the nodes recorded in ``store`` since the last step.

        :returns: how many nodes it consumed.
        :raises TypeError: a ``store`` that is not a `GraphStore`.
        """

    def watermark(self) -> int:
        """How many of the store's nodes have been consumed so far."""

    def total_work(self) -> int:
        """The nodes processed over all steps: equal to `watermark`, since each node is processed
        once."""

    def canonical_count(self) -> int:
        """The number of nodes in the canonical form."""

    def finalize(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: Sequence[SupportsIndex] | None = None
    ) -> tuple[GraphStore, ReductionReport]:
        """Consumes the rest of ``store`` and reduces the canonical form, as `GraphStore.reduce`
        does.

        The reducer is not reset: it can go on stepping and be finalized again.
        `veltrix_core.run.finalize` also gives the reduced id of every requested output.

        :param maximal_fusion: as for `GraphStore.reduce`.
        :param outputs: the ids of ``store`` the result must compute; ``None`` uses the store's
            marks.
        :returns: the reduced store and its report; ``input_nodes`` counts the canonical form.
        :raises ValueError: an output id that names no node (the reducer is left unchanged).
        :raises TypeError: a ``store`` that is not a `GraphStore`.
        """

    def _finalize_mapped(
        self,
        store: GraphStore,
        *,
        maximal_fusion: bool = False,
        outputs: Sequence[SupportsIndex] | None = None,
        origins: bool = False,
    ) -> (
        tuple[GraphStore, ReductionReport, list[int]]
        | tuple[GraphStore, ReductionReport, list[int], tuple[bytes, bytes]]
    ):
        """For `veltrix_core.run.finalize`, which callers use instead."""

def version() -> str:
    """The version of the module: the distribution's version, such as ``"0.0.1"``."""

def _rewrite_rules() -> tuple[tuple[str, ...], tuple[tuple[str, dict[str, float | str]], ...]]:
    """For `veltrix_core.rules`, which callers use instead."""

def _shape_arities(shapes: memoryview, offsets: memoryview, shape_count: int) -> tuple[list[int], list[int]]:
    """For `veltrix_core.run`'s plan, which callers use instead."""

def _walk_tasks(
    outputs: Iterable[object],
    lookup: Callable[[Any], tuple[Any, Iterable[Any], bool] | None],
    ranks: dict[Any, int] | None,
    block_ranks: dict[Any, int],
    block_type: type,
) -> tuple[Any, ...]:
    """For `veltrix_core.dask`'s recording, which callers use instead."""

def _lower_rows(
    prefix: str,
    ids: memoryview,
    shapes: memoryview,
    offsets: memoryview,
    inputs: memoryview,
    by_shape: Sequence[object],
    exceptions: Mapping[int, object],
    where: Sequence[object] | None,
    outputs: object,
) -> tuple[dict[str, tuple[object, ...]], list[str]]:
    """For `veltrix_core.run`'s dask lowering, which callers use instead."""
