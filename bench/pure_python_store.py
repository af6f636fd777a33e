"""The peer: an interning graph store written in plain Python, the way a framework author would
without a native core. A dict maps a hashable key (kind, name, sorted params, inputs) to an id,
and a list holds the nodes in id order."""


class PurePythonStore:
    def __init__(self):
        self._ids = {}
        self._nodes = []

    def _intern(self, kind, name, inputs, params):
        n = len(self._nodes)
        for i in inputs:
            if not 0 <= i < n:
                raise ValueError(f"no node with id {i}")
        key = (kind, name, tuple(sorted(params.items())) if params else (), tuple(inputs))
        node_id = self._ids.get(key)
        if node_id is None:
            node_id = n
            self._ids[key] = node_id
            self._nodes.append(key)
        return node_id

    def add_source(self, name, params=None):
        return self._intern("source", name, (), params)

    def add_op(self, name, inputs, params=None):
        return self._intern("op", name, inputs, params)

    def add_reduction(self, name, inputs, params=None):
        return self._intern("reduction", name, inputs, params)

    def add_external(self, descriptor, inputs, params=None):
        return self._intern("external", tuple(sorted(descriptor.items())), inputs, params)

    def add_exchange(self, inputs, params=None):
        return self._intern("exchange", None, inputs, params)

    def node_count(self):
        return len(self._nodes)
