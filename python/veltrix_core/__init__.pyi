"""The native core of a Python dataflow compiler: an interning graph store, graph reduction,
canonical IR bytes and DOT rendering."""

from collections.abc import Sequence
from typing import SupportsIndex, final

from veltrix_core.typing import DescriptorDict, NodeView, Params, ReductionReport, ShapeView

__all__ = ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]

@final
class GraphStore:
    """Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to
    share across threads under the GIL and free-threaded 3.14t)."""

    def __new__(cls) -> GraphStore: ...
    def add_source(self, name: str, params: Params | None = None) -> int:
        """Record a Source node and return its id (the existing id if an equal node is
        recorded already)."""

    def add_op(self, name: str, inputs: Sequence[SupportsIndex], params: Params | None = None) -> int:
        """Record an Op node over earlier nodes and return its id."""

    def add_reduction(self, name: str, inputs: Sequence[SupportsIndex], params: Params | None = None) -> int:
        """Record a Reduction node over earlier nodes and return its id."""

    def add_external(
        self,
        descriptor: PayloadDescriptor | DescriptorDict,
        inputs: Sequence[SupportsIndex],
        params: Params | None = None,
    ) -> int:
        """Record a call of an external payload, described by `descriptor`, and return its
        id."""

    def add_exchange(self, inputs: Sequence[SupportsIndex], params: Params | None = None) -> int:
        """Record an `Exchange` boundary (plan M39 §2.1). No `name` — an Exchange's identity is its
        `scheme` ParamMap (`params`) + its one logical input; `nodes()[i]["kind"] == "exchange"`."""

    def node_count(self) -> int:
        """The number of nodes recorded."""

    def to_dot(self) -> str:
        """The whole store as GraphViz DOT text (outputs drawn as double circles)."""

    def serialize(self, outputs: Sequence[SupportsIndex] | None = None) -> bytes:
        """Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:
        the serializable IR — not cloudpickle — is the canonical durable representation). With
        `outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a
        property of the compile request); the default keeps the marks-based behavior."""

    @staticmethod
    def deserialize(data: bytes) -> GraphStore:
        """Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so
        `serialize` of the result is byte-identical to the input (plan M8 determinism gate)."""

    def nodes(self) -> list[NodeView]:
        """Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and
        `reproduce` interprets it). Each entry is a dict with `id`, `kind`
        (source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a
        `descriptor` dict for external nodes and `n_members` for stage nodes."""

    def outputs(self) -> list[int]:
        """The marked output node ids, in mark order (what an IR evaluator returns, in order)."""

    def reduce(
        self, *, maximal_fusion: bool = False, outputs: Sequence[SupportsIndex] | None = None
    ) -> tuple[GraphStore, ReductionReport]:
        """Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind
        RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in
        to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is
        pinned by the frozen M4 suite)."""

    def reduce_incremental(
        self, *, outputs: Sequence[SupportsIndex] | None = None
    ) -> tuple[GraphStore, ReductionReport]:
        """One-shot incremental reduction of the current graph (same result as `reduce`). For genuine
        step-by-step reduction while building, use `IncrementalReducer`."""

    def reduction_report(self, *, outputs: Sequence[SupportsIndex] | None = None) -> ReductionReport:
        """The reduction report for the current graph, without keeping the reduced store."""

    def _read_columns(
        self, *, outputs: Sequence[SupportsIndex] | None = None
    ) -> tuple[bytes, bytes, bytes, bytes, bytes, list[ShapeView]]:
        """For `veltrix_core.columns.read`, which callers use instead."""

    def _record_columns(
        self, kinds: object, names: object, params: object, descriptors: object, offsets: object, inputs: object
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
    """Reproducibility metadata an External node carries (participates in the structural hash)."""

    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: str | None = None,
    ) -> PayloadDescriptor:
        """Every argument is keyword-only; an empty `preprocessing_ref` is present, ``None``
        means absent. The fields never change afterwards."""
    @property
    def kind(self) -> str: ...
    @property
    def content_hash(self) -> str: ...
    @property
    def framework(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def io_schema(self) -> str: ...
    @property
    def preprocessing_ref(self) -> str | None: ...

@final
class IncrementalReducer:
    """Genuinely incremental reduction (plan §A.1): feed it a store as the graph is being built; each
    `step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,
    commutativity dedup, hash-consing — the same sound rules the EGraphEngine runs), so a concise
    canonical form is maintained while building and `finalize` does one linear pass instead of a
    whole-history optimization. `total_work()` counts nodes processed across all steps — it equals
    the node count of the store, no matter how many steps fed it (the incrementality witness)."""

    def __new__(cls) -> IncrementalReducer: ...
    def step(self, store: GraphStore) -> int:
        """Consume the nodes recorded in `store` since the last step. Returns how many were processed
        (the delta size). The reducer must always be fed the same store."""

    def watermark(self) -> int:
        """How many of the store's nodes have been consumed so far."""

    def total_work(self) -> int:
        """Cumulative nodes processed across all steps (== watermark: each node touched once)."""

    def canonical_count(self) -> int:
        """Size of the maintained canonical form."""

    def finalize(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: Sequence[SupportsIndex] | None = None
    ) -> tuple[GraphStore, ReductionReport]:
        """Finish: consume any remaining delta, then reduce the maintained canonical form against the
        store's marked outputs — or, with `outputs=`, against EXACTLY that set (M22: stored marks
        ignored). Returns the reduced store + report, exactly like `GraphStore.reduce`."""

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
    """The module's version, "0.0.1"."""
