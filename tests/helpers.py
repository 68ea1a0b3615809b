"""Shared test helpers."""

import struct


def bits(value):
    """A comparable image of a result: floats by their bit patterns, dicts
    as ordered item lists (so key order counts), lists and tuples kept apart."""
    if isinstance(value, float):
        return ("float", struct.unpack("<Q", struct.pack("<d", value))[0])
    if isinstance(value, dict):
        return ("dict", [(bits(k), bits(v)) for k, v in value.items()])
    if isinstance(value, list):
        return ("list", [bits(v) for v in value])
    if isinstance(value, tuple):
        return ("tuple", [bits(v) for v in value])
    return (type(value).__name__, value)


def same(a, b):
    """Equal bit for bit, including types, key order and NaN payloads."""
    return bits(a) == bits(b)
