"""Hypothesis strategies shared by the targets."""

import struct

from hypothesis import strategies as st

# Values at the edges of the integer types the native code uses.
INTERESTING_U32 = [
    0,
    1,
    2,
    7,
    0x7F,
    0x80,
    0xFF,
    0x100,
    0x7FFF,
    0x8000,
    0xFFFF,
    0x10000,
    2**24,
    2**31 - 1,
    2**31,
    2**31 + 1,
    2**32 - 2,
    2**32 - 1,
]
BOUNDARY_INTS = [
    0,
    1,
    -1,
    2,
    255,
    256,
    2**31 - 1,
    2**31,
    -(2**31),
    -(2**31) - 1,
    2**32 - 1,
    2**32,
    2**63 - 1,
    2**63,
    -(2**63),
    2**64,
]
BOUNDARY_FLOATS = [0.0, -0.0, 1.0, -1.0, 1e-300, 1e300, float("inf"), float("-inf"), float("nan"), 2.0**31, 2.0**63]

_mutation = st.one_of(
    st.tuples(st.just("flip"), st.integers(0, 1 << 16), st.integers(0, 7)),
    st.tuples(st.just("byte"), st.integers(0, 1 << 16), st.integers(0, 255)),
    st.tuples(st.just("u32"), st.integers(0, 1 << 16), st.sampled_from(INTERESTING_U32)),
    st.tuples(st.just("cut"), st.integers(0, 1 << 16)),
    st.tuples(st.just("insert"), st.integers(0, 1 << 16), st.binary(max_size=16)),
    st.tuples(
        st.just("digits"),
        st.integers(0, 1 << 16),
        st.sampled_from([b"0", b"9" * 12, b"4294967295", b"-1", b"99999999999999999999", b" ", b"\n"]),
    ),
)


def _apply(data, m):
    data = bytearray(data)
    if not data and m[0] != "insert":
        return bytes(data)
    kind, at = m[0], m[1] % (len(data) + 1)
    if kind == "flip" and at < len(data):
        data[at] ^= 1 << m[2]
    elif kind == "byte" and at < len(data):
        data[at] = m[2]
    elif kind == "u32":
        data[at : at + 4] = struct.pack("<I", m[2])
    elif kind == "cut":
        del data[at:]
    elif kind in ("insert", "digits"):
        data[at:at] = m[2]
    return bytes(data)


def mutated_bytes(seeds, max_size=512):
    """Valid images (seeds) with a few mutations, or plain random bytes."""

    @st.composite
    def mutate(draw):
        data = draw(st.sampled_from(seeds))
        for m in draw(st.lists(_mutation, max_size=4)):
            data = _apply(data, m)
        return data

    return st.one_of(mutate(), st.binary(max_size=max_size))


# Plain values of every kind the entry points may be handed.
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.sampled_from(BOUNDARY_INTS),
    st.integers(-3, 40),
    st.sampled_from(BOUNDARY_FLOATS),
    st.floats(),
    st.text(max_size=8),
    st.binary(max_size=8),
)
plain_values = st.recursive(
    scalars, lambda inner: st.one_of(st.lists(inner, max_size=4), st.tuples(inner, inner)), max_leaves=12
)
