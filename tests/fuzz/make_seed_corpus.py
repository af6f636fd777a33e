"""Writes the hand-picked seeds of every fuzz harness into corpus/<harness>/ next to this file:
small valid blobs covering every node kind, every parameter variant and the reader's lenient
paths (ir_reader); s-expressions and patterns, valid and nearly so (sexpr_reader,
pattern_reader); member tokens (member_token). Run it from any directory; it rewrites its own
seeds and leaves inputs that fuzzing added alone.

    python tests/fuzz/make_seed_corpus.py
"""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))

from ir_blob import (  # noqa: E402
    BOOL,
    EXCHANGE,
    EXTERNAL,
    FLOAT,
    INPUT_REF,
    INT,
    MEMBER_REF,
    OP,
    REDUCTION,
    SOURCE,
    STAGE,
    STR,
    Node,
    blob,
    float_bits,
)

ALL_VARIANTS = (("b", BOOL, 1), ("f", FLOAT, float_bits(-0.5)), ("i", INT, -3), ("s", STR, "t\u00e9xt"))

BLOB_SEEDS = {
    "empty": blob([], []),
    "source": blob([Node(SOURCE, "x", ALL_VARIANTS)], [0]),
    "op": blob([Node(SOURCE, "x"), Node(OP, "add", (("alpha", FLOAT, float_bits(1.0)),), (0, 0))], [1]),
    "reduction": blob([Node(SOURCE, "x"), Node(REDUCTION, "sum", (("axis", INT, 0),), (0,))], [1]),
    "external": blob(
        [
            Node(SOURCE, "x"),
            Node(EXTERNAL, "", (), (0,), ("k", "h", "f", "v", "s", None)),
            Node(EXTERNAL, "", (("k", STR, ""),), (1, 0), ("k", "h", "f", "v", "s", "pre")),
        ],
        [2, 1],
    ),
    "stage": blob(
        [
            Node(SOURCE, "x"),
            Node(SOURCE, "y"),
            Node(
                STAGE,
                "",
                (),
                (0, 1),
                (("op|neg", ((INPUT_REF, 0),)), ("red|sum|axis=i0", ((MEMBER_REF, 0), (INPUT_REF, 1)))),
            ),
        ],
        [2],
    ),
    "exchange": blob([Node(SOURCE, "x"), Node(EXCHANGE, "", (("scheme", STR, "hash"),), (0,))], [1, 0, 1]),
    "unsorted_params": blob([Node(SOURCE, "x", (("b", INT, 1), ("a", INT, 2), ("b", INT, 3)))], []),
    "merged_records": blob([Node(SOURCE, "a"), Node(SOURCE, "a"), Node(OP, "f", (), (0,))], [1]),
    "every_kind": blob(
        [
            Node(SOURCE, "x", ALL_VARIANTS),
            Node(OP, "mul", (), (0,)),
            Node(REDUCTION, "max", (), (1,)),
            Node(EXTERNAL, "", (), (2,), ("k", "h", "f", "v", "s", "p")),
            Node(EXCHANGE, "", (), (3,)),
            Node(STAGE, "", (), (4,), (("op|neg", ((INPUT_REF, 0),)),)),
        ],
        [5, 0],
    ),
}

SEXPR_SEEDS = {
    "atom": "x",
    "list": "(f a b)",
    "nested": '(f\r\n  (g x)\n (h (i j) "k l"))',
    "trailing_text": "(a b) c",
    "tab_in_atom": "(f a\tb)",
    "quoted_escapes": '(f "a b\\"c" d)',
    "empty_list": "()",
    "empty_quoted": '(f "")',
    "leading_blanks": " \t x",
    "line_break_first": "\nx",
    "unclosed_list": "(f a",
    "unclosed_nested": "(f\n  (g",
    "code_points": "(\u00e9\u20ac",
    "stray_close": "  )",
    "unclosed_string": '"ab\\"',
    "rule_text": "(op|add|scalar=f0000000000000000;side=sr ?x)",
    # One list deeper than the reader allows, and a run of parentheses that overflowed the stack
    # when nesting had no bound.
    "nested_too_deep": "(f " * 1001 + ")" * 1001,
    "deep_parentheses": "(" * 65536,
}

# The twelve rule texts of the reduction's e-graph engine, then shapes they do not use (shared and
# ground sub-patterns, repeated variables, wide nodes) and texts the reader refuses.
PATTERN_SEEDS = {
    **{f"commute_{op}": f"(op|{op} ?a ?b)" for op in ("add", "mul", "and", "or", "eq", "ne", "maximum", "minimum")},
    "commute_applier": "(op|add ?b ?a)",
    "identity_add_right": "(op|add|scalar=f0000000000000000;side=sr ?x)",
    "identity_add_left": "(op|add|scalar=f0000000000000000;side=sl ?x)",
    "identity_mul_right": "(op|mul|scalar=f3ff0000000000000;side=sr ?x)",
    "identity_mul_left": "(op|mul|scalar=f3ff0000000000000;side=sl ?x)",
    "variable": "?x",
    "shared_subterms": "(f (g ?x) (g ?x) ?y)",
    "ground_subterm": "(f (g a b) ?x (h ?x c d))",
    "repeated_variable": "(f ?x ?x (g ?x))",
    "unicode_space_around": "\u00a0\u3000 (f ?x)\u2028\n",
    "quoted_atom": '(f "a b" ?x)',
    "variable_with_children": "(?x a)",
    "list_head": "((f) a)",
    "empty_list": "(f ())",
    "lone_question_mark": "(? ?x)",
    "unclosed": "(f (g ?x)",
    # The empty operator, interned a second time, was compared with memcmp on a null pointer.
    "empty_operator_twice": '("" "")',
    "deepest_allowed": "(f " * 1000 + "?x" + ")" * 1000,
    "deep_parentheses": "(" * 65536,
}

# Tokens that the encoder wrote for the stage members of a reduced graph, then Reduction tokens
# and the forms that only a hand-made blob carries (signs, upper-case hex, empty params).
MEMBER_TOKEN_SEEDS = {
    "add_scalar": "op|add|scalar=f3ff8000000000000;side=sr",
    "neg": "op|neg",
    "escapes_and_extremes": "op|we%25ird%3B%3D%7Cname|b=bfalse;f=f8000000000000000;i=i-9223372036854775808;"
    "inf=f7ff0000000000000;k%3B%3D=sv%253B%7C;n=f7ff8000000000000",
    "empty_name_and_key": "op||=s",
    "cast": "op|cast|big=i9223372036854775807;dtype=sf\u00e9\u20ac32;t=btrue;tiny=f0000000000000001",
    "escaped_key": "op|where|%3D=s%2525;cond=sx>0",
    "reduction": "red|sum|axis=i0",
    "reduction_negative_axis": "red|max|axis=i-1;keepdims=btrue",
    "signs_and_upper_hex": "op|f|a=i+7;b=f+7FF8000000000001",
    "bar_in_value": "op|f|b=s1;a=sx|y",
    "empty_params": "op|f|",
    "repeated_key": "op|f|k=i2;k=i1",
    "source": "src|x",
}

CORPORA = {
    "ir_reader": ({name: data for name, data in BLOB_SEEDS.items()}, ".bin"),
    "sexpr_reader": ({name: text.encode() for name, text in SEXPR_SEEDS.items()}, ".txt"),
    "pattern_reader": ({name: text.encode() for name, text in PATTERN_SEEDS.items()}, ".txt"),
    "member_token": ({name: text.encode() for name, text in MEMBER_TOKEN_SEEDS.items()}, ".txt"),
}

for harness, (seeds, suffix) in CORPORA.items():
    corpus = HERE / "corpus" / harness
    corpus.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (corpus / f"{name}{suffix}").write_bytes(data)
    print(f"wrote {len(seeds)} seeds to {corpus}")
