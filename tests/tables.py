"""Firmware table bytes for the tests: headers, checksums and the root pointer.

Shared by tests/integration and tests/lab (each puts this directory on sys.path). Builders
that need more than a header around a payload (AML, for one) build on these.
"""

import struct


def checksum_fix(table, at=9, length=None):
    """Sets the byte at `at` so that the first `length` bytes sum to 0."""
    table = bytearray(table)
    length = len(table) if length is None else length
    table[at] = 0
    table[at] = (-sum(table[:length])) & 0xFF
    return bytes(table)


def make_table(signature, length=None, payload=b"", revision=2, oem=b"OEMID ",
               oem_table=b"TABLEID ", oem_revision=1, creator=b"CRTR", creator_revision=0x20211217,
               trailing=b"", fix=True):
    """A table: 36-byte header, payload, correct checksum unless fix is False."""
    body_length = 36 + len(payload)
    length = body_length if length is None else length
    header = struct.pack("<4sIBB6s8sI4sI", signature, length, revision, 0, oem, oem_table,
                         oem_revision, creator, creator_revision)
    table = header + payload
    if fix:
        table = checksum_fix(table, 9, min(length, len(table)))
    return table + trailing


def make_rsdp(revision=2, rsdt=0, xsdt=0, length=36, oem=b"OEMID "):
    rsdp = bytearray(struct.pack("<8sB6sBIIQB3s", b"RSD PTR ", 0, oem, revision, rsdt, length,
                                 xsdt, 0, b"\0\0\0"))
    rsdp = checksum_fix(rsdp, 8, 20)
    return checksum_fix(rsdp, 32, 36)
