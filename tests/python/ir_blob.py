"""A reference writer of veltrix IR blobs, written from the format's description and independent
of the native writer.

Tests use it to craft blobs that the recording methods cannot produce (stages, repeated or
out-of-order keys, odd flag bytes, NaN payloads) and to check the native writer byte for byte.
A node is a plain tuple-based record; float values are carried as their 64-bit patterns so
that NaN payloads and the sign of zero survive.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

SOURCE, OP, REDUCTION, EXTERNAL, STAGE, EXCHANGE = range(6)
KIND_NAMES = ["source", "op", "reduction", "external", "stage", "exchange"]
INT, FLOAT, BOOL, STR = range(4)
INPUT_REF, MEMBER_REF = 0, 1
CANONICAL_NAN = 0x7FF8000000000000


@dataclass(frozen=True)
class Node:
    kind: int
    name: str = ""
    params: tuple = ()  # ((key, tag, value), ...); FLOAT values are bit patterns
    inputs: tuple = ()
    descriptor: tuple | None = None  # (kind, content_hash, framework, version, io_schema, pre or None)
    members: tuple = ()  # ((token, ((ref kind, index), ...)), ...)

    def identity(self) -> tuple:
        """What structural identity compares: every NaN is one value."""
        params = tuple((k, t, canonical_bits(v) if t == FLOAT else v) for k, t, v in self.params)
        return (self.kind, self.name, params, self.inputs, self.descriptor, self.members)


def canonical_bits(bits: int) -> int:
    is_nan = (bits & 0x7FF0000000000000) == 0x7FF0000000000000 and bits & 0x000FFFFFFFFFFFFF
    return CANONICAL_NAN if is_nan else bits


def float_bits(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def bits_float(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def sorted_params(params) -> tuple:
    """Key order of a parameter map: by UTF-8 bytes, stable for repeated keys."""
    return tuple(sorted(params, key=lambda entry: entry[0].encode()))


def u8(n: int) -> bytes:
    return bytes([n])


def u32(n: int) -> bytes:
    return struct.pack("<I", n)


def u64(n: int) -> bytes:
    return struct.pack("<Q", n)


def string(text: str | bytes) -> bytes:
    data = text.encode() if isinstance(text, str) else text
    return u32(len(data)) + data


def id_list(ids) -> bytes:
    return u32(len(ids)) + b"".join(u64(i) for i in ids)


def params_bytes(params) -> bytes:
    out = [u32(len(params))]
    for key, tag, value in params:
        out.append(string(key) + u8(tag))
        if tag == INT:
            out.append(struct.pack("<q", value))
        elif tag == FLOAT:
            out.append(u64(value))
        elif tag == BOOL:
            out.append(u8(int(value)) if isinstance(value, bool) else u8(value))
        else:
            out.append(string(value))
    return b"".join(out)


def node_bytes(node: Node) -> bytes:
    out = [u8(node.kind)]
    if node.kind in (SOURCE, OP, REDUCTION):
        out.append(string(node.name))
    if node.kind == EXTERNAL:
        *fields, pre = node.descriptor
        out += [string(f) for f in fields]
        out.append(u8(0) if pre is None else u8(1) + string(pre))
    if node.kind == STAGE:
        out.append(id_list(node.inputs))
        out.append(u32(len(node.members)))
        for token, refs in node.members:
            out.append(string(token) + u32(len(refs)))
            out += [u8(kind) + u32(index) for kind, index in refs]
        return b"".join(out)
    out.append(params_bytes(node.params))
    if node.kind != SOURCE:
        out.append(id_list(node.inputs))
    return b"".join(out)


def blob(nodes, outputs=()) -> bytes:
    return b"VIR1" + u32(len(nodes)) + b"".join(node_bytes(n) for n in nodes) + id_list(outputs)


def first_occurrences(ids) -> list:
    """Output marks keep the first position of a repeated id."""
    seen = set()
    return [i for i in ids if not (i in seen or seen.add(i))]
