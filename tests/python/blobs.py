"""Hand-made blob headers for the inspector's tests."""

import struct


def made(magic, length, fields=()):
    """`length` zero bytes behind a magic, with (offset, struct format, value) fields."""
    b = bytearray(length)
    b[:4] = magic.encode()
    for at, fmt, value in fields:
        struct.pack_into("<" + fmt, b, at, value)
    return bytes(b)
