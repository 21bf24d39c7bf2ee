#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

Each seed is a small valid input laid out as its target reads it (see the comment at the top of
each *_fuzzer.cc). Run it again after changing a layout; the output is the same on every run.
"""

import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def checksum(data, at, length):
    data = bytearray(data)
    data[at] = 0
    data[at] = -sum(data[:length]) & 0xFF
    return bytes(data)


def table(signature, payload=b"", length=None):
    length = 36 + len(payload) if length is None else length
    header = struct.pack("<4sIBB6s8sI4sI", signature, length, 2, 0, b"HALVRN", b"FUZZSEED", 1,
                         b"SEED", 0x20211217)
    return checksum(header + payload, 9, min(length, 36 + len(payload)))


def rsdp(revision, rsdt, xsdt):
    data = struct.pack("<8sB6sBIIQB3x", b"RSD PTR ", 0, b"HALVRN", revision, rsdt, 36, xsdt, 0)
    return checksum(checksum(data, 8, 20), 32, 36)


def rsdt(entries):
    return table(b"RSDT", b"".join(struct.pack("<I", e) for e in entries))


def xsdt(entries):
    return table(b"XSDT", b"".join(struct.pack("<Q", e) for e in entries))


def fadt(length, facs=0, dsdt=0, x_facs=0, x_dsdt=0):
    body = bytearray(max(length, 148) - 36)
    struct.pack_into("<II", body, 0, facs, dsdt)
    struct.pack_into("<QQ", body, 96, x_facs, x_dsdt)
    return table(b"FACP", bytes(body[:length - 36]), length)


def facs():
    return b"FACS" + struct.pack("<I", 64) + bytes(56)


def aml(signature, size):
    return table(signature, bytes((i * 7) & 0xFF for i in range(size)))


# --- halvorn -f files -------------------------------------------------------------------------

def dump_file_seeds():
    return {
        "apic": table(b"APIC", bytes(range(44))),
        "dsdt_with_trailing_bytes": aml(b"DSDT", 200) + b"trailing",
        "facs": facs(),
        "rsdp_v2": rsdp(2, 0x7FFE0000, 0x7FFE0100),
        "bad_checksum": table(b"SSDT", b"\x01\x02\x03")[:-1] + b"\xFF",
        "short_length": struct.pack("<4sI", b"SSDT", 35) + bytes(28),
        "header_only": struct.pack("<4sI", b"MCFG", 8),
    }


# --- number and name parsing ------------------------------------------------------------------

def parse_unsigned_seeds():
    texts = ["0x1234abcd", "  \t0777", "18446744073709551615", "18446744073709551616",
             "0xFFFFFFFFFFFFFFFFF", "01777777777777777777777", "0", "0x", "12z"]
    return {"text%d" % i: t.encode() for i, t in enumerate(texts)}


def table_file_name_seeds():
    names = ["SSDT", "SSDT1", "SSDT01", "SSDT1A", "DSD", "FACPX", "SSDT4294967295",
             "SSDT4294967296"]
    return {"name%d" % i: n.encode() for i, n in enumerate(names)}


# --- DumpBuffer: u32 count, u32 display, u32 base offset, data ---------------------------------

def dump_buffer_seeds():
    data = bytes((i * 37 + 5) & 0xFF for i in range(80))
    cases = {"bytes_17": (17, 1, 0), "halves_32": (32, 2, 0), "words_64": (64, 4, 0x1000),
             "quads_80": (80, 8, 0xFFFFFFF0), "odd_count": (7, 4, 0), "partial_unit": (70, 8, 16),
             "tiled_300000": (300000, 0x80000001, 0x10)}
    return {name: struct.pack("<III", *c) + data for name, c in cases.items()}


# --- firmware in simulated physical memory ----------------------------------------------------
# settings u8, u64 OptRsdpAddress, u8 n + systab text, then regions: u64 address, u16 n, bytes.

FIX = 0x10


def memory(settings, regions, rsdp_address=0, systab=b""):
    out = struct.pack("<BQB", settings, rsdp_address, len(systab)) + systab
    for address, data in regions:
        out += struct.pack("<QH", address, len(data)) + data
    return out


def firmware_seeds():
    seeds = {}
    base = 0x7FFE0000
    ssdts = [base + 0x5000, base + 0x5200, base + 0x5400]
    tables = [
        (base + 0x1000, fadt(244, facs=base + 0x4000, dsdt=base + 0x3000,
                             x_facs=base + 0x4000, x_dsdt=base + 0x2000)),
        (base + 0x2000, aml(b"DSDT", 300)),
        (base + 0x3000, aml(b"DSDT", 100)),
        (base + 0x4000, facs()),
        (base + 0x6FF0, table(b"APIC", bytes(60))),  # crosses a page boundary
    ] + [(a, aml(b"SSDT", 40 + 20 * i)) for i, a in enumerate(ssdts)]
    entries = [base + 0x1000] + ssdts + [base + 0x6FF0]
    roots = [(base + 0x100, xsdt(entries)), (base + 0x800, rsdt(entries))]

    seeds["rsdp_address_v2"] = memory(
        FIX, [(0xF0010, rsdp(2, base + 0x800, base + 0x100))] + roots + tables,
        rsdp_address=0xF0010)
    seeds["bios_area_v0_rsdt"] = memory(
        FIX | 0x08, [(0xE0050, rsdp(0, base + 0x800, 0)), (base + 0x800, rsdt(entries)),
                     (base + 0x1000, fadt(116, facs=base + 0x4000, dsdt=base + 0x3000))]
        + tables[2:])
    seeds["systab_acpi20"] = memory(
        FIX | 0x04, [(base, rsdp(2, base + 0x800, base + 0x100))] + roots + tables,
        systab=b"MPS=0xfc000\nACPI20=0x%x\nACPI=0xf0010\nSMBIOS=0xf0000\n" % base)
    seeds["use_rsdt_small_pages"] = memory(
        FIX | 0x20 | 0x01, [(0xF0010, rsdp(2, base + 0x800, base + 0x100))] + roots + tables,
        rsdp_address=0xF0010)
    seeds["skip_xsdt"] = memory(
        FIX | 0x02, [(0xF0010, rsdp(2, base + 0x800, base + 0x100))] + roots + tables,
        rsdp_address=0xF0010)

    # An SSDT whose header lies in memory the device refuses to map, and one that reaches into
    # such memory only past its header.
    holes = (struct.pack("<QHB", ssdts[1], 0x8000 | 16, 1) +
             struct.pack("<QHB", ssdts[2] + 64, 0x8000 | 16, 4))
    seeds["refused_mappings"] = memory(
        FIX, [(0xF0010, rsdp(2, base + 0x800, base + 0x100))] + roots + tables,
        rsdp_address=0xF0010) + holes

    # 256 and 300 entries: zeros, one SSDT many times, the XSDT itself, the RSDP; the second
    # ends with a table whose Length is too large to map.
    for count, last in ((256, ssdts[0]), (300, base + 0x9000)):
        many = [[0, ssdts[0], base + 0x100, 0xF0010][i % 4] for i in range(count)]
        many[0] = base + 0x1000
        many[-1] = last
        seeds["xsdt_%d_entries_with_loops" % count] = memory(
            FIX, [(0xF0010, rsdp(2, 0, base + 0x100)), (base + 0x100, xsdt(many)),
                  (base + 0x9000, table(b"HUGE", b"", 0xFFFFFFF0)),
                  (base + 0x1000, fadt(244, x_dsdt=base + 0x1000, x_facs=base + 0x100)),
                  (ssdts[0], aml(b"SSDT", 40))], rsdp_address=0xF0010)
    return seeds


# --- brantel: settings u8, u32 maximum length, two exchanges (u8 calls, u16 n, bytes) ----------

def response(command, payload, status=0):
    return struct.pack("<BBHII", 1, 1, 0, command, 4 + len(payload)) + \
        struct.pack("<I", status) + payload


def counted(text):
    return struct.pack("<H", len(text)) + text.ljust(20, b"\0")


def code_versions(entries):
    payload = b"leading text".ljust(65, b"\0") + struct.pack("<I", len(entries))
    for label, version in entries:
        payload += counted(label) + counted(version)
    return response(0x0480001A, payload)


def brantel(settings, max_length, exchanges):
    out = struct.pack("<BI", settings, max_length)
    for calls, data in exchanges:
        out += struct.pack("<BH", calls, len(data)) + data
    return out


def brantel_seeds():
    versions = code_versions([(b"BIOS", b"1.2.3"), (b"ME", b"16.1.25.2124"),
                              (b"Firmware", b"2024.10-rc1")])
    state = response(0x04800011, b"\x02")
    return {
        "present_provisioned": brantel(0, 4096, [(0, versions), (0, state)]),
        "verbose_no_entries": brantel(1, 4096, [(0, code_versions([])), (0, response(0x04800011, b"\x05"))]),
        "not_present": brantel(0, 4096, [(0, b""), (0, b"")]),
        "buffer_just_fits": brantel(0, len(versions), [(0, versions), (0, state)]),
        "tiny_buffer": brantel(0, 12, [(0, versions), (0, state)]),
        "status_nonzero": brantel(0, 4096, [(0, response(0x0480001A, b"", status=0x1234)), (0, b"")]),
        "no_state": brantel(0, 4096, [(0, versions), (0x04, b"")]),
        "fifty_entries": brantel(0, 4096, [(0, code_versions([(b"L%d" % i, b"V%d" % i)
                                                               for i in range(50)])), (0, state)]),
        "unwritable_output": brantel(0x10, 4096, [(0, versions), (0, state)]),
        "read_claims_more": brantel(0, len(versions), [(0x40, versions), (0, state)]),
    }


TARGETS = {
    "dump_file_fuzzer": dump_file_seeds,
    "parse_unsigned_fuzzer": parse_unsigned_seeds,
    "table_file_name_fuzzer": table_file_name_seeds,
    "dump_buffer_fuzzer": dump_buffer_seeds,
    "firmware_memory_fuzzer": firmware_seeds,
    "brantel_report_fuzzer": brantel_seeds,
}


def main():
    for target, seeds in TARGETS.items():
        directory = os.path.join(HERE, "corpus", target)
        shutil.rmtree(directory, ignore_errors=True)
        os.makedirs(directory)
        for name, data in seeds().items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
