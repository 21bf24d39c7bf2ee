"""Builders shared by the halvorn integration tests: the usage text, hex dumps, runs."""

import os
import subprocess

import memcheck

BUILD_DIR = os.environ.get("KIT_BUILD_DIR") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build")
HALVORN = os.path.join(BUILD_DIR, "halvorn")


def usage_text():
    general = [("-b", "Dump tables to binary files"), ("-h -?", "This help message"),
               ("-o <File>", "Redirect output to file"),
               ("-r <Address>", "Dump tables from specified RSDP"),
               ("-s", "Print table summaries only"), ("-v", "Display version information"),
               ("-vd", "Display build date and time"), ("-z", "Verbose mode")]
    table = [("-a <Address>", "Get table via a physical address"),
             ("-c <on|off>", "Turning on/off customized table dumping"),
             ("-f <BinaryFile>", "Get table via a binary file"),
             ("-n <Signature>", "Get table via a name/signature"),
             ("-x", "Use RSDT instead of XSDT")]
    text = "Usage: halvorn [options]\nOptions:\n"
    text += "".join("  %-20s%s\n" % line for line in general)
    text += "\nTable Options:\n"
    text += "".join("  %-20s%s\n" % line for line in table)
    text += ("\nInvocation without parameters dumps all available tables\n"
             "Multiple mixed instances of -a, -f, and -n are supported\n\n")
    return text.encode()


def hex_dump(data):
    """The dump of `data` as the utility writes it (single bytes, base 0)."""
    out = []
    for row in range(0, len(data), 16):
        chunk = data[row:row + 16]
        hexes = "".join("%02X " % b for b in chunk).ljust(48)
        text = "".join(chr(b) if 0x20 <= b <= 0x7E else "." for b in chunk)
        out.append("%8.4X: %s %s\n" % (row, hexes, text))
    return "".join(out).encode()


def parse_hex_dump(text):
    """The bytes of every table in a dump, as (heading, bytes) pairs."""
    tables = []
    for block in text.decode().split("\n\n"):
        lines = [line for line in block.split("\n") if line]
        if not lines:
            continue
        data = bytearray()
        for line in lines[1:]:
            data += bytes(int(h, 16) for h in line[10:58].split())
        tables.append((lines[0], bytes(data)))
    return tables


def run(args, cwd=None, stdin=b"", timeout=60):
    """Runs halvorn (under memcheck with KIT_VALGRIND=1); returns (stdout, stderr, exit status)."""
    result = subprocess.run(memcheck.command([HALVORN] + list(args)), cwd=cwd, input=stdin,
                            capture_output=True, timeout=timeout)
    return result.stdout, result.stderr, result.returncode
