"""The exceptions of running a graph. Each names the node it is about: its id, its kind and its
name (for an External, its descriptor's kind and content hash; for a Stage member, the stage's
id and the member's position)."""

from __future__ import annotations

from collections.abc import Callable

__all__ = ["RunError", "MissingImplementation", "NodeFailed"]


class RunError(Exception):
    """A node that cannot be run; its attributes say which.

    :ivar node_id: the node's id.
    :ivar kind: the node's kind (``"op"``, ``"stage"``, ...).
    :ivar name: the node's name; for an External, its descriptor's kind and content hash.
    :ivar recorded_ids: for a node of a reduced graph run with its reduction's origins, the
        recorded nodes it stands for (None otherwise).
    """

    def __init__(
        self,
        message: str,
        *,
        node_id: int | None = None,
        kind: str | None = None,
        name: str | None = None,
        recorded_ids: tuple[int, ...] | None = None,
    ) -> None:
        super().__init__(message)
        self.node_id, self.kind, self.name, self.recorded_ids = node_id, kind, name, recorded_ids

    def __reduce__(self) -> tuple[Callable[..., RunError], tuple[object, ...]]:
        # Keyword-only fields survive the trip from a cluster worker back to the client.
        return _rebuild, (type(self), self.args[0], self.node_id, self.kind, self.name, self.recorded_ids)


class MissingImplementation(RunError, LookupError):
    """A reachable node that nothing can compute, found before anything runs.

    No registry entry for its op or reduction, or one that refuses the node's inputs or params;
    no value for its source, or one the registry's ``("source", "")`` entry refuses; no model
    for its External; an entry or model that is not callable; a Stage without members, or with
    a member that reads a stage input the Stage lacks.
    """


class NodeFailed(RunError):
    """A node whose computation raised.

    The original error's type and text are in the message, on a cluster too; locally the
    original error is also the cause (``__cause__``).
    """


def _rebuild(
    cls: type[RunError],
    message: str,
    node_id: int | None,
    kind: str | None,
    name: str | None,
    recorded_ids: tuple[int, ...] | None = None,
) -> RunError:
    return cls(message, node_id=node_id, kind=kind, name=name, recorded_ids=recorded_ids)
