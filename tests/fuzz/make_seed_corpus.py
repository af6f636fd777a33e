"""Writes the seed corpus of the IR reader fuzzer: small valid blobs covering every node kind,
every parameter variant and the reader's lenient paths. Run it from any directory; it rewrites
corpus/ next to this file.

    python tests/fuzz/make_seed_corpus.py
"""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))

from ir_blob import (  # noqa: E402
    BOOL, EXCHANGE, EXTERNAL, FLOAT, INPUT_REF, INT, MEMBER_REF, OP, REDUCTION, SOURCE, STAGE, STR, Node, blob,
    float_bits,
)

ALL_VARIANTS = (("b", BOOL, 1), ("f", FLOAT, float_bits(-0.5)), ("i", INT, -3), ("s", STR, "t\u00e9xt"))

SEEDS = {
    "empty": blob([], []),
    "source": blob([Node(SOURCE, "x", ALL_VARIANTS)], [0]),
    "op": blob([Node(SOURCE, "x"), Node(OP, "add", (("alpha", FLOAT, float_bits(1.0)),), (0, 0))], [1]),
    "reduction": blob([Node(SOURCE, "x"), Node(REDUCTION, "sum", (("axis", INT, 0),), (0,))], [1]),
    "external": blob([Node(SOURCE, "x"), Node(EXTERNAL, "", (), (0,), ("k", "h", "f", "v", "s", None)),
                      Node(EXTERNAL, "", (("k", STR, ""),), (1, 0), ("k", "h", "f", "v", "s", "pre"))], [2, 1]),
    "stage": blob([Node(SOURCE, "x"), Node(SOURCE, "y"),
                   Node(STAGE, "", (), (0, 1), (("op|neg", ((INPUT_REF, 0),)),
                                                ("red|sum|axis=i0", ((MEMBER_REF, 0), (INPUT_REF, 1)))))], [2]),
    "exchange": blob([Node(SOURCE, "x"), Node(EXCHANGE, "", (("scheme", STR, "hash"),), (0,))], [1, 0, 1]),
    "unsorted_params": blob([Node(SOURCE, "x", (("b", INT, 1), ("a", INT, 2), ("b", INT, 3)))], []),
    "merged_records": blob([Node(SOURCE, "a"), Node(SOURCE, "a"), Node(OP, "f", (), (0,))], [1]),
    "every_kind": blob([
        Node(SOURCE, "x", ALL_VARIANTS), Node(OP, "mul", (), (0,)), Node(REDUCTION, "max", (), (1,)),
        Node(EXTERNAL, "", (), (2,), ("k", "h", "f", "v", "s", "p")), Node(EXCHANGE, "", (), (3,)),
        Node(STAGE, "", (), (4,), (("op|neg", ((INPUT_REF, 0),)),)),
    ], [5, 0]),
}

corpus = HERE / "corpus"
corpus.mkdir(exist_ok=True)
for name, data in SEEDS.items():
    (corpus / f"{name}.bin").write_bytes(data)
print(f"wrote {len(SEEDS)} seeds to {corpus}")
