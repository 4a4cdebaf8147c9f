#!/usr/bin/env python3
"""Independent reference for the FST checksum vectors used by tests/cpp/fst_*_test.cpp.

Bitwise CRC-32C (reflected polynomial 0x82F63B78, initial value all ones,
final complement) and the footer mask (rotate right by 15, add 0xA282EAD8).
Prints the vectors; written from the definitions, sharing no code with the
library.
"""

def crc32c(data: bytes) -> int:
    c = 0xFFFFFFFF
    for byte in data:
        c ^= byte
        for _ in range(8):
            c = (c >> 1) ^ 0x82F63B78 if c & 1 else c >> 1
    return c ^ 0xFFFFFFFF

def mask(c: int) -> int:
    return (((c >> 15) | (c << 17)) + 0xA282EAD8) & 0xFFFFFFFF

def fst(nodes: bytes, count: int, root: int) -> bytes:
    body = (3).to_bytes(8, "little") + (0).to_bytes(8, "little") + nodes
    body += count.to_bytes(8, "little") + root.to_bytes(8, "little")
    return body + mask(crc32c(body)).to_bytes(4, "little")

if __name__ == "__main__":
    for name, data in [("123456789", b"123456789"), ("empty", b""), ("32 zeros", bytes(32)),
                       ("0..255", bytes(range(256)))]:
        c = crc32c(data)
        print(f"{name}: crc 0x{c:08X} masked 0x{mask(c):08X}")
    cases = {
        "no keys": fst(bytes.fromhex("000000"), 0, 18),
        "empty key": fst(b"", 1, 0),
        "ab ac b": fst(bytes.fromhex("0100000063621102" "0200000162611102"), 3, 31),
        "xa ya za": fst(bytes.fromhex("00108502010001010" "17a79781103"), 3, 29),
    }
    for name, data in cases.items():
        print(f"{name}: {len(data)} bytes, checksum {data[-4:].hex()}")
