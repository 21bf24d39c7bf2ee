#!/usr/bin/env python3
"""halvorn on real firmware: SeaBIOS and OVMF guests, the kernel's table files and /dev/mem.

Four boots. Each guest runs halvorn many times as root (and as the unprivileged user) with
lab-case and sends back the raw sysfs table files, the binary files of -b and a raw copy of the
memory that holds the root pointer. The host then derives what every run must print from
sources other than halvorn's own memory reads: the kernel's table files, the kernel's log of
each table it found (signature, physical address and the same summary line format), the FADT's
pointers, a scan of the BIOS area done here, and the EFI systab file.

Run alone: python3 tests/lab/test_halvorn.py -v   (KIT_LAB_KEEP=DIR keeps each guest's files)
"""

import re
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import lab  # noqa: E402
from halvorn_lab import (HALVORN, SHELL, TABLES, acpitable_args, address_of,  # noqa: E402
                         binary_name, dump, file_instance, heading, kernel_tables, le32, le64,
                         parse_hex_dump, require_halvorn, root_entries, summary, tar_files)
from tables import make_table  # noqa: E402

BIOS_AREA = 0xE0000  # 128 KiB, sent back by every guest that can read /dev/mem


def acpi_table(signature, payload, oem=b'KITLAB', oem_table=b'HALVORN ', revision=2):
    return make_table(signature, payload=payload, revision=revision, oem=oem,
                      oem_table=oem_table, creator=b'KLAB', creator_revision=1)


# Injected with -acpitable in this order: three SSDTs (a named integer, a named string, an empty
# definition block) around a table of a signature no kernel knows, which ends in '!', carries
# every byte value, a NUL-padded OEM ID, control bytes in its OEM table ID and revision 255.
INJECTED = [
    acpi_table(b'SSDT', b'\x08KIT1\x0a\x01', oem_table=b'SSDT-A  '),
    acpi_table(b'KIT!', bytes(range(256)), oem=b'KI\0\0\0\0', oem_table=b'x\ty\x80z  ',
               revision=255),
    acpi_table(b'SSDT', b'\x08KIT2\x0dhalvorn lab\x00', oem_table=b'SSDT-B  '),
    acpi_table(b'SSDT', b'', oem_table=b'SSDT-C  '),
]

# Shell functions for the guest; each boot calls the parts its class names.
SCRIPT = SHELL + r'''
sysfs() {
  tar -cf - -C $T . | lab-send - sysfs.tar
  lab-case sysfs $H
  lab-case sysfs-s $H -s
  binary_files sysfs-b
  lab-case sysfs-ssdt $H -n ssdt -s
  lab-case sysfs-kit $H -n 'KIT!' -s
}
memory() {
  rsdp=$(kernel_address RSDP)
  dd if=/dev/mem bs=4096 skip=$((rsdp / 4096)) count=1 2>/dev/null | lab-send - rsdp-page
  dd if=/dev/mem bs=4096 skip=$((0xE0000 / 4096)) count=32 2>/dev/null | lab-send - bios-area
  if [ -e /sys/firmware/efi/systab ]; then lab-send /sys/firmware/efi/systab systab; fi
  lab-case mem $H -c off
  lab-case mem-s $H -c off -s
  binary_files mem-b -c off
  lab-case mem-r $H -c off -r $rsdp
  lab-case mem-r-s $H -c off -r $rsdp -s
  lab-case mem-r-bad $H -c off -r $(printf '0x%X' $((rsdp + 16)))
  lab-case mem-x-s $H -c off -x -s
  lab-case mem-xx-s $H -c off -x -x -s
  lab-case mem-xsdt $H -c off -n XSDT -s
  lab-case mem-x-xsdt $H -c off -x -n XSDT -s
  lab-case mem-xx-xsdt $H -c off -xx -n XSDT -s
  lab-case mem-dsdt $H -c off -n dsdt -s
  lab-case mem-facs $H -c off -n FACS -s
  lab-case mem-fadt $H -c off -n FADT -s
  lab-case mem-ssdt $H -c off -n SSDT -s
  lab-case mem-kit $H -c off -n 'KIT!' -s
  # Every table address any of these listings names, dumped through -a in both modes.
  for args in '' -x '-n DSDT' '-n FACS'; do $H -c off -s $args; done |
    sed -n 's/^ACPI: .... \(0x[0-9A-F]\{16\}\) .*/\1/p' | sort -u >/tmp/addresses
  while read -r address; do
    lab-case a-on/$address $H -a $address
    lab-case a-off/$address $H -c off -a $address
  done </tmp/addresses
}
user() {
  mkdir /tmp/user && chown user:user /tmp/user && cd /tmp/user
  dsdt=$(kernel_address DSDT)
  lab-case user lab-user $H
  lab-case user-sb lab-user $H -s -b
  lab-case user-n lab-user $H -n DSDT
  lab-case user-a lab-user $H -a $dsdt
  lab-case user-mem lab-user $H -c off
  lab-case user-mem-sb lab-user $H -c off -s -b
  lab-case user-mem-n lab-user $H -c off -n DSDT
  lab-case user-mem-a lab-user $H -c off -a $dsdt
  lab-case user-files ls -A
  cd /tmp
}
strict() {
  lab-send /sys/firmware/efi/systab systab
  acpi20=$(sed -n 's/^ACPI20=//p' /sys/firmware/efi/systab)
  dsdt=$(kernel_address DSDT)
  lab-case strict-mem $H -c off
  lab-case strict-mem-r $H -c off -s -r $acpi20
  lab-case strict-mem-a $H -c off -a $dsdt
  lab-case strict-a $H -a $acpi20
}
'''

# ---------------------------------------------------------------------------------------------
# What halvorn must print, built from bytes


def fadt_candidates(fadt, wide, narrow):
    """Where the FADT points for DSDT or FACS: the 64-bit pointer first, a different 32-bit
    one second; fields the FADT is too short for do not count."""
    length = le32(fadt, 4)

    def field(offset, width):
        return int.from_bytes(fadt[offset:offset + width], 'little') if \
            length >= offset + width else 0

    first = field(*wide) or field(*narrow)
    second = field(*narrow)
    return [a for a in (first, second if second != first else 0) if a]


FADT_POINTERS = {'DSDT': ((140, 8), (40, 4)), 'FACS': ((132, 8), (36, 4))}


def scan_for_rsdp(area, base):
    for pos in range(0, len(area) - 35, 16):
        c = area[pos:pos + 36]
        if c[:8] == b'RSD PTR ' and sum(c[:20]) % 256 == 0 and (c[15] < 2 or sum(c) % 256 == 0):
            return base + pos
    return None


_SUMMARY = re.compile(rb'^ACPI: (\S{4}) 0x([0-9A-F]{16}) ', re.M)


def listed(summary_lines):
    """(signature, address) of each summary line."""
    return [(s.decode('latin-1'), int(a, 16)) for s, a in _SUMMARY.findall(summary_lines)]


# ---------------------------------------------------------------------------------------------
# The guests


class Boot(lab.CaseAssertions):
    """One guest per class: the script runs the shell functions of PARTS."""

    firmware = lab.SEABIOS
    append = ()
    inject = False
    parts = ()

    @classmethod
    def setUpClass(cls):
        require_halvorn()
        with tempfile.TemporaryDirectory() as tmp:
            qemu_args = acpitable_args(tmp, INJECTED if cls.inject else [])
            cls.result = lab.run(SCRIPT + '\n'.join(cls.parts) + '\n', firmware=cls.firmware,
                                 binaries=[HALVORN], qemu_args=qemu_args,
                                 append=list(cls.append), timeout=300,
                                 name=f'halvorn-{cls.__name__}')
        print(f'\n{cls.__name__}: guest ran {cls.result.seconds:.1f} s', flush=True)
        cls.kernel = {}  # address -> (signature, summary line) as the kernel logged them
        for signature, address, line in kernel_tables(cls.result.dmesg):
            cls.kernel.setdefault(address, (signature, line))

    def kernel_address(self, signature):
        """The address of the first table of that signature in the kernel's log."""
        return next(a for a, (s, _) in self.kernel.items() if s == signature)

    def test_guest_is_clean(self):
        self.assertGuestClean()


class Sysfs:
    """halvorn's default mode against the kernel's table files, sent back raw."""

    def sysfs_files(self):
        """[(file name, bytes)] in the directory's own order (tar reads it in that order)."""
        return tar_files(self.result.files['sysfs.tar'])

    def sysfs_by_signature(self, signature):
        """The files of one signature, in instance order."""
        files = [(file_instance(n)[1], t) for n, t in self.sysfs_files() if n[:4] == signature]
        return [t for _, t in sorted(files)]

    def test_sysfs_mode_dumps_every_table_file_in_directory_order(self):
        files = self.sysfs_files()
        self.assertLessEqual({'DSDT', 'FACP', 'FACS', 'APIC'}, {n[:4] for n, _ in files})
        self.assertCase('sysfs', b''.join(dump(t, 0) for _, t in files))
        self.assertCase('sysfs-s', b''.join(summary(0, t) for _, t in files))
        # The hex dump parses back to the very bytes of each file.
        self.assertEqual([(heading(t, 0).decode().rstrip('\n'), t) for _, t in files],
                         parse_hex_dump(self.case_bytes('sysfs')[0]))

    def test_sysfs_binary_files_are_the_table_files(self):
        self.assertCase('sysfs-b', b'')
        expected = {binary_name(*file_instance(n)): t for n, t in self.sysfs_files()}
        self.assertEqual(expected, dict(tar_files(self.result.files['sysfs-b.tar'])))

    def test_sysfs_mode_dumps_every_instance_of_a_signature(self):
        for name, signature in (('sysfs-ssdt', 'SSDT'), ('sysfs-kit', 'KIT!')):
            with self.subTest(signature):
                tables = self.sysfs_by_signature(signature)
                self.assertCase(name, b''.join(summary(0, t) for t in tables))


class Memory:
    """halvorn -c off against the kernel's files, the kernel's log and the raw root pointer."""

    def rsdp_address(self):
        return self.kernel_address('RSDP')

    def rsdp(self):
        """The root pointer's bytes, read raw from its page."""
        address = self.rsdp_address()
        page = self.result.files['rsdp-page']
        raw = page[address % 4096:address % 4096 + 36]
        return raw[:20] if raw[15] < 2 else raw[:le32(raw, 20)]

    def tables_at(self):
        """address -> bytes of every table halvorn -c off dumped: the full dump first, then
        the -a runs for addresses outside it (a second DSDT or FACS, the RSDT's own copies)."""
        tables = {}
        for case in [c for c in self.result.cases if c.startswith('a-off/')] + ['mem']:
            for head, data in parse_hex_dump(self.case_bytes(case)[0]):
                tables[address_of(head)] = data
        return tables

    def memory_order(self, use_rsdt=False, skip_xsdt=False):
        """(signature, address) in the index order: RSDP, RSDT, XSDT when in use, DSDT, FACS,
        then the entries of the root table walked. Root tables come from the root pointer's
        raw bytes, DSDT and FACS from the kernel's FADT file, each entry's signature from the
        kernel's log of that address."""
        rsdp = self.rsdp()
        order = [('RSDP', self.rsdp_address())]
        rsdt = le32(rsdp, 16)
        xsdt = le64(rsdp, 24) if rsdp[15] != 0 and not skip_xsdt else 0
        if rsdt:
            order.append(('RSDT', rsdt))
        if xsdt:
            order.append(('XSDT', xsdt))
        fadt = self.sysfs_by_signature('FACP')[0]
        for signature, (wide, narrow) in FADT_POINTERS.items():
            order += [(signature, a) for a in fadt_candidates(fadt, wide, narrow)[:1]]
        root = self.tables_at()[rsdt if use_rsdt or not xsdt else xsdt]
        for entry in root_entries(root):
            self.assertIn(entry, self.kernel, f'the kernel logged no table at {entry:#x}')
            order.append((self.kernel[entry][0], entry))
        return order

    def summaries(self, order):
        tables = self.tables_at()
        return b''.join(summary(a, tables[a]) for _, a in order)

    def test_root_pointer_is_found_where_the_firmware_puts_it(self):
        address = self.rsdp_address()
        self.assertEqual(('RSDP', address), listed(self.case_bytes('mem-s')[0])[0])
        scanned = scan_for_rsdp(self.result.files['bios-area'], BIOS_AREA)
        if self.firmware == lab.OVMF:
            systab = dict(line.split('=', 1) for line in
                          self.result.files['systab'].decode().splitlines() if '=' in line)
            self.assertEqual(int(systab['ACPI20'], 16), address)
            self.assertNotEqual(scanned, address)
        else:
            self.assertEqual(scanned, address)
        self.assertEqual(self.rsdp(), self.tables_at()[address])

    def test_index_order_and_summary_lines(self):
        order = self.memory_order()
        lines = self.case_bytes('mem-s')[0]
        self.assertEqual(order, listed(lines))
        self.assertCase('mem-s', self.summaries(order))
        # The kernel logs the tables it found with the same line.
        for line in lines.splitlines(keepends=True):
            address = listed(line)[0][1]
            if address in self.kernel:
                self.assertEqual(self.kernel[address][1], line)

    def test_memory_dump_parses_back_and_matches_the_binary_files(self):
        order = self.memory_order()
        tables = self.tables_at()
        stdout = self.case_bytes('mem')[0]
        self.assertEqual([(heading(tables[a], a).decode().rstrip('\n'), tables[a])
                          for _, a in order], parse_hex_dump(stdout))
        self.assertCase('mem', b''.join(dump(tables[a], a) for _, a in order))

        self.assertCase('mem-b', b'')
        expected, seen = {}, {}
        for signature, address in order:
            instance = seen[signature] = seen.get(signature, -1) + 1
            expected[binary_name(signature, instance)] = tables[address]
        self.assertEqual(expected, dict(tar_files(self.result.files['mem-b.tar'])))

    def test_tables_from_memory_and_from_the_kernel_files_are_identical(self):
        # Match by content: the kernel names duplicates SSDT1, SSDT2, ... while memory mode
        # counts instances from 0, so names say nothing about which is which.
        tables = self.tables_at()
        memory = {}
        for signature, address in self.memory_order():
            memory.setdefault(signature, []).append(tables[address])
        files = {}
        for name, data in self.sysfs_files():
            files.setdefault(name[:4], []).append(data)
        both = set(memory) & set(files)
        self.assertLessEqual({'DSDT', 'FACP', 'FACS', 'APIC'}, both)
        for signature in sorted(both):
            with self.subTest(signature):
                self.assertEqual(sorted(files[signature]), sorted(memory[signature]))

    def test_rsdp_option_gives_the_same_tables(self):
        self.assertEqual(self.case_bytes('mem'), self.case_bytes('mem-r'))
        self.assertEqual(self.case_bytes('mem-s'), self.case_bytes('mem-r-s'))
        self.assertCase('mem-r-bad', b'', b'Could not get ACPI tables, AE_NOT_FOUND\n', 255)

    def test_root_table_options(self):
        self.assertCase('mem-x-s', self.summaries(self.memory_order(use_rsdt=True)))
        self.assertCase('mem-xx-s',
                        self.summaries(self.memory_order(use_rsdt=True, skip_xsdt=True)))
        refused = (b'', b'Could not get ACPI table with signature [XSDT], AE_BAD_SIGNATURE\n', 255)
        xsdt = [(s, a) for s, a in self.memory_order() if s == 'XSDT']
        if self.firmware == lab.OVMF:
            self.assertEqual(1, len(xsdt))
            self.assertCase('mem-xsdt', self.summaries(xsdt))
            self.assertCase('mem-x-xsdt', self.summaries(xsdt))
        else:
            self.assertEqual([], xsdt)
            self.assertCase('mem-xsdt', *refused)
            self.assertCase('mem-x-xsdt', *refused)
        self.assertCase('mem-xx-xsdt', *refused)

    def test_tables_by_signature(self):
        fadt = self.sysfs_by_signature('FACP')[0]
        order = self.memory_order()
        cases = {
            'mem-dsdt': [('DSDT', a) for a in fadt_candidates(fadt, *FADT_POINTERS['DSDT'])],
            'mem-facs': [('FACS', a) for a in fadt_candidates(fadt, *FADT_POINTERS['FACS'])],
            'mem-fadt': [(s, a) for s, a in order if s == 'FACP'],
            'mem-ssdt': [(s, a) for s, a in order if s == 'SSDT'],
            'mem-kit': [(s, a) for s, a in order if s == 'KIT!'],
        }
        for name, tables in cases.items():
            with self.subTest(name):
                self.assertCase(name, self.summaries(tables))

    def test_dump_at_each_address_in_both_modes(self):
        tables = self.tables_at()
        fadt = self.sysfs_by_signature('FACP')[0]
        addresses = {a for _, a in self.memory_order() + self.memory_order(use_rsdt=True)}
        for wide, narrow in FADT_POINTERS.values():
            addresses.update(fadt_candidates(fadt, wide, narrow))
        self.assertEqual({f'a-off/0x{a:016X}' for a in addresses},
                         {c for c in self.result.cases if c.startswith('a-off/')})
        for address in sorted(addresses):
            for mode in ('a-on', 'a-off'):
                with self.subTest(mode=mode, address=f'{address:#x}'):
                    self.assertCase(f'{mode}/0x{address:016X}', dump(tables[address], address))


class User:
    """The unprivileged user may list the table directory but read neither a table file nor
    /dev/mem: every run fails with AE_ACCESS and prints nothing but its messages."""

    def test_unprivileged_user_gets_access_errors_only(self):
        first = self.sysfs_files()[0][0]
        dsdt = '0x%016X' % self.kernel_address('DSDT')
        cannot = 'Could not open table file: ' + TABLES + '/%s\n'
        no_mem = 'Cannot open /dev/mem\n'
        cases = {
            'user': cannot % first + 'Could not get ACPI tables, AE_ACCESS\n',
            'user-sb': cannot % first + 'Could not get ACPI tables, AE_ACCESS\n',
            'user-n': cannot % 'DSDT' +
                      'Could not get ACPI table with signature [DSDT], AE_ACCESS\n',
            'user-a': no_mem + f'Could not map table header at {dsdt}\n' +
                      f'Could not get table at {dsdt}, AE_ACCESS\n',
            'user-mem': no_mem + 'Could not get ACPI tables, AE_ACCESS\n',
            'user-mem-sb': no_mem + 'Could not get ACPI tables, AE_ACCESS\n',
            'user-mem-n': no_mem + 'Could not get ACPI table with signature [DSDT], AE_ACCESS\n',
            'user-mem-a': no_mem + f'Could not get table at {dsdt}, AE_ACCESS\n',
        }
        for name, stderr in cases.items():
            with self.subTest(name):
                self.assertCase(name, b'', stderr.encode(), 255)
        self.assertCase('user-files', b'')  # -b wrote nothing


class Strict:
    """OVMF without iomem=relaxed: the kernel refuses to map its ACPI ranges."""

    def test_memory_mode_fails_with_access_errors(self):
        systab = self.result.files['systab'].decode()
        rsdp = '0x%016X' % int(re.search(r'^ACPI20=(\S+)$', systab, re.M).group(1), 16)
        dsdt = '0x%016X' % self.kernel_address('DSDT')
        cannot = 'Cannot map /dev/mem\n'
        cases = {
            'strict-mem': cannot + 'Could not get ACPI tables, AE_ACCESS\n',
            'strict-mem-r': cannot + 'Could not get ACPI tables, AE_ACCESS\n',
            'strict-mem-a': cannot + f'Could not get table at {dsdt}, AE_ACCESS\n',
            'strict-a': cannot + f'Could not map table header at {rsdp}\n' +
                        f'Could not get table at {rsdp}, AE_ACCESS\n',
        }
        for name, stderr in cases.items():
            with self.subTest(name):
                self.assertCase(name, b'', stderr.encode(), 255)


class Injected:
    """Tables injected with -acpitable reach both sources whole."""

    def test_injected_tables_reach_both_sources(self):
        files = [t for _, t in self.sysfs_files()]
        tables = self.tables_at()
        memory = [tables[a] for _, a in self.memory_order()]
        for n, table in enumerate(INJECTED):
            with self.subTest(table=n):
                self.assertEqual(1, files.count(table))
                self.assertEqual(1, memory.count(table))


class SeaBios(Boot, Sysfs, Memory, User, unittest.TestCase):
    parts = ('sysfs', 'memory', 'user')


class SeaBiosInjected(Boot, Sysfs, Memory, Injected, unittest.TestCase):
    inject = True
    parts = ('sysfs', 'memory')


class OvmfInjected(Boot, Sysfs, Memory, Injected, User, unittest.TestCase):
    firmware = lab.OVMF
    append = ('iomem=relaxed',)
    inject = True
    parts = ('sysfs', 'memory', 'user')


class OvmfStrict(Boot, Sysfs, Strict, unittest.TestCase):
    firmware = lab.OVMF
    parts = ('sysfs', 'strict')


if __name__ == '__main__':
    unittest.main()
