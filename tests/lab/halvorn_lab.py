"""What the halvorn guests share: the guest's shell functions and, built from table bytes, what
halvorn must print for them. Pure functions; the suites boot the guests.
"""

import io
import re
import sys
import tarfile
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TESTS / 'integration'))
import lab  # noqa: E402
from halvorn_cases import hex_dump, parse_hex_dump  # noqa: E402,F401

HALVORN = lab.build_path('halvorn')
TABLES = '/sys/firmware/acpi/tables'

# Shell functions for the guest script, which starts with them.
SHELL = r'''
H=/usr/local/bin/halvorn
T=''' + TABLES + r'''
# Where the kernel's log says it found a table (its first note of that signature).
kernel_address() { dmesg | sed -n "s/.*ACPI: $1 \(0x[0-9A-F]\{16\}\) .*/\1/p" | head -n 1; }
# NAME ARGS...: halvorn -b ARGS in a directory of its own, whose files go back as NAME.tar.
binary_files() {
  local name=$1; shift
  mkdir /tmp/$name && cd /tmp/$name && lab-case $name $H -b "$@"
  tar -cf - . | lab-send - $name.tar
  cd /tmp
}
'''


def require_halvorn():
    if not HALVORN.is_file():
        raise RuntimeError(f'{HALVORN} is missing: run make first')


def acpitable_args(directory, tables):
    """QEMU arguments that inject TABLES (bytes each, in this order), written to DIRECTORY."""
    args = []
    for n, table in enumerate(tables):
        path = Path(directory, f'table{n}.dat')
        path.write_bytes(table)
        args += ['-acpitable', f'file={path}']
    return args


_KERNEL_TABLE = re.compile(r'^\[[ \d.]+\] ACPI: ((\S{4}) 0x([0-9A-F]{16}) .*)$', re.M)


def kernel_tables(dmesg):
    """(signature, address, summary line as bytes) of each table line of the kernel's log, in
    its order."""
    return [(signature, int(address, 16), f'ACPI: {line}\n'.encode())
            for line, signature, address in _KERNEL_TABLE.findall(dmesg)]


def le32(data, offset):
    return int.from_bytes(data[offset:offset + 4], 'little')


def le64(data, offset):
    return int.from_bytes(data[offset:offset + 8], 'little')


def _field(data):
    """A header text field as a summary line shows it: up to a NUL, unprintables as '?'."""
    return ''.join(chr(b) if 0x20 <= b <= 0x7E else '?' for b in data.split(b'\0', 1)[0])


def summary(address, t):
    where = '0x%016X' % address
    if t[:4] == b'FACS':
        line = 'FACS %s %06X' % (where, le32(t, 4))
    elif t[:8] == b'RSD PTR ':
        length = 20 if t[15] == 0 else le32(t, 20)
        line = 'RSDP %s %06X (v%.2d %-6.6s)' % (where, length, t[15], _field(t[9:15]))
    else:
        line = '%-4.4s %s %06X (v%.2d %-6.6s %-8.8s %08X %-4.4s %08X)' % (
            _field(t[0:4]), where, le32(t, 4), t[8], _field(t[10:16]), _field(t[16:24]),
            le32(t, 24), _field(t[28:32]), le32(t, 32))
    return ('ACPI: %s\n' % line).encode('latin-1')


def heading(t, address):
    return t[:4] + b' @ 0x%016X\n' % address


def dump(t, address):
    return heading(t, address) + hex_dump(t) + b'\n'


def dumps(tables):
    """The dump of [(heading, bytes)] as parse_hex_dump gives them back."""
    return b''.join(h.encode() + b'\n' + hex_dump(t) + b'\n' for h, t in tables)


def address_of(heading):
    """The address in a dump's heading line (str)."""
    return int(heading.split('@ 0x')[1], 16)


def binary_name(signature, instance):
    """The -b file of a table: every byte but a-z, 0-9 and '_' after lower-casing becomes '_'."""
    name = 'rsdp' if signature == 'RSDP' else re.sub('[^a-z0-9_]', '_', signature.lower())
    return f'{name}{instance or ""}.dat'


def file_instance(name):
    """A table file name as signature and instance: SSDT2 is instance 2, SSDT instance 0."""
    return name[:4], int(name[4:] or 0)


def root_entries(root):
    """The non-zero entries of an RSDT (4-byte) or XSDT (8-byte) in order."""
    size = 8 if root[:4] == b'XSDT' else 4
    count = (le32(root, 4) - 36) // size % 256
    entries = (int.from_bytes(root[36 + i * size:36 + (i + 1) * size], 'little')
               for i in range(count))
    return [e for e in entries if e]


def tar_files(data):
    """The regular files at the top of a tar archive as [(name, bytes)] in archive order."""
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        out = []
        for m in tar.getmembers():
            name = m.name[2:] if m.name.startswith('./') else m.name
            if m.isfile() and '/' not in name:
                out.append((name, tar.extractfile(m).read()))
        return out
