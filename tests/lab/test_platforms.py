#!/usr/bin/env python3
"""halvorn on the platforms users have: tables loaded at run time, and a large server.

Two boots. Both carry an injected SSDT (assembled here with aml.py) that defines a WMI device
whose power-on method loads two further SSDTs, each once, when a driver binds the device after
boot: the guest loads the distribution's wmi module, the platform bus powers the device up
(its _PSC says D3 until then), and the kernel lists the new tables in the dynamic directory.
The SeaBIOS guest is a small pc machine; the OVMF guest is shaped like a server: q35, 16 CPUs in
4 sockets, 5 NUMA nodes with distances and memory attributes, an IOMMU, an NVDIMM and a dozen
injected SSDTs. Each guest runs halvorn in both modes and sends back its own reading of the two
table directories; the host derives every expected output from those files, the kernel's log
of the tables it found and the raw root pointer.

Run alone: python3 tests/lab/test_platforms.py -v   (KIT_LAB_KEEP=DIR keeps each guest's files)
"""

import re
import sys
import tempfile
import unittest
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import aml  # noqa: E402
import lab  # noqa: E402
from halvorn_lab import (HALVORN, SHELL, acpitable_args, address_of, binary_name,  # noqa: E402
                         dump, file_instance, kernel_tables, le32, le64, parse_hex_dump,
                         require_halvorn, root_entries, summary, tar_files)

DEVICE = '\\_SB.KLDR'

# The tables the device loads at run time: a named string, and a method with a package.
RUN_TIME = [
    aml.ssdt(aml.scope(DEVICE, aml.name('DYN1', aml.string('loaded at run time'))),
             oem=b'KITLAB', oem_table=b'RUNTIME1'),
    aml.ssdt(aml.scope(DEVICE, aml.method('DYN2', aml.return_(aml.package(2, 'DYN1', 0x1234)))),
             oem=b'KITLAB', oem_table=b'RUNTIME2'),
]


def loader_table(tables):
    """An SSDT defining DEVICE, a WMI device (no blocks) that is off until powered up; its
    _PS0 loads TABLES, each at most once. _PS3 turns it off again."""
    definitions, loads = aml.run_time_tables(tables)
    return aml.ssdt(
        aml.scope('\\_SB', aml.device(
            DEVICE.rsplit('.', 1)[1],
            aml.name('_HID', aml.string('PNP0C14')),
            aml.name('_UID', aml.string('KLAB')),
            aml.name('PSCV', 3),
            *definitions,
            aml.method('_WDG', aml.return_(aml.buffer(b''))),
            aml.method('_PSC', aml.return_('PSCV')),
            aml.method('_PS0', *loads, aml.store(0, 'PSCV'), serialized=True),
            aml.method('_PS3', aml.store(3, 'PSCV'), serialized=True))),
        oem=b'KITLAB', oem_table=b'LOADER  ')


def server_tables():
    """Eleven SSDTs of many shapes for the server, besides the loader: integers of 1, 2 and 4
    bytes (QEMU's DSDT has revision 1, which makes every integer of the machine 32 bits wide),
    strings, buffers, packages, methods, devices, a revision-1 table and tables whose packages
    need 2- and 3-byte lengths."""
    tables = []
    for n in range(1, 12):
        node = f'\\_SB.KN{n:02d}'
        terms = [aml.name(f'KI{n:02d}', (1 << min(3 * n, 32)) - 1),
                 aml.name(f'KS{n:02d}', aml.string(f'server table {n}')),
                 aml.method(f'KM{n:02d}', aml.if_(aml.lequal(aml.arg(0), n), aml.return_(1)),
                            aml.return_(0), args=1)]
        if n % 3 == 0:
            terms.append(aml.name(f'KP{n:02d}', aml.package(*range(n), aml.string('end'))))
        if n == 5:
            terms.append(aml.name('KB05', aml.buffer(bytes(range(256)) * 20)))  # 3-byte length
        if n == 7:
            terms.append(aml.name('KB07', aml.buffer(b'\xa5' * 100)))  # 2-byte length
        body = aml.device(node, aml.name('_ADR', n), *terms) if n % 2 else \
            aml.scope('\\_SB', aml.device(f'KN{n:02d}', aml.name('_ADR', n)),
                      aml.scope(f'KN{n:02d}', *terms))
        tables.append(aml.ssdt(body, oem=b'KITLAB', oem_table=b'SERVER%02d' % n,
                               oem_revision=n, revision=1 if n == 4 else 2))
    return tables


# QEMU options of the server guest: 4 sockets of 2 cores of 2 threads, a NUMA node per socket
# and a memory-only node 4 that also holds the NVDIMM; distances, latencies, bandwidths and a
# memory-side cache for the memory attribute table; the IOMMU without interrupt remapping
# (remapped interrupts need a split irqchip, which software emulation lacks).
SERVER_SMP = '16,sockets=4,cores=2,threads=2'
SERVER_MEMORY = '512M,slots=2,maxmem=1G'


def server_qemu_args():
    args = ['-machine', 'hmat=on,nvdimm=on']
    for node, size in enumerate(['96M'] * 4 + ['128M']):
        args += ['-object', f'memory-backend-ram,id=mem{node},size={size}',
                 '-numa', f'node,nodeid={node},memdev=mem{node},initiator={node % 4}']
    for socket in range(4):
        args += ['-numa', f'cpu,node-id={socket},socket-id={socket}']
    for a in range(5):
        for b in range(a + 1, 5):
            distance = 30 if b == 4 else 16 if b == a ^ 1 else 22
            args += ['-numa', f'dist,src={a},dst={b},val={distance}']
    for initiator in range(4):
        for target in range(5):
            near = initiator == target
            latency = 10 if near else 40 if target == 4 else 20
            args += ['-numa', f'hmat-lb,initiator={initiator},target={target},hierarchy=memory,'
                              f'data-type=access-latency,latency={latency}',
                     '-numa', f'hmat-lb,initiator={initiator},target={target},hierarchy=memory,'
                              f'data-type=access-bandwidth,bandwidth={"10G" if near else "5G"}']
    args += ['-numa', 'hmat-cache,node-id=4,size=8M,level=1,associativity=direct,'
                      'policy=write-back,line=64',
             '-device', 'intel-iommu,intremap=off',
             '-object', 'memory-backend-ram,id=nvmem0,size=64M',
             '-device', 'nvdimm,id=nvdimm0,memdev=nvmem0,node=4']
    return args


SCRIPT = SHELL + r'''
A=/sys/bus/acpi/devices/PNP0C14:00
lab-case before ls $T/dynamic
lab-case power-before cat $A/power_state
lab-case bind /sbin/modprobe wmi
# The kernel lists a loaded table from a work item, a moment after the load.
i=0; while [ "$(ls $T/dynamic | wc -l)" -lt 2 ] && [ $i -lt 50 ]; do sleep 0.2; i=$((i + 1)); done
lab-case after ls $T/dynamic
lab-case power-after cat $A/power_state
lab-case driver readlink $A/physical_node/driver
lab-case unbind /sbin/rmmod wmi
lab-case power-unbound cat $A/power_state
lab-case rebind /sbin/modprobe wmi
sleep 1
lab-case again ls $T/dynamic
lab-case nproc nproc
lab-case nodes sh -c 'ls -d /sys/devices/system/node/node* | wc -l'
tar -cf - -C $T . | lab-send - main.tar
tar -cf - -C $T/dynamic . | lab-send - dynamic.tar
rsdp=$(kernel_address RSDP)
dd if=/dev/mem bs=4096 skip=$((rsdp / 4096)) count=1 2>/dev/null | lab-send - rsdp-page
lab-case sysfs $H
lab-case sysfs-s $H -s
binary_files sysfs-b
lab-case sysfs-n $H -n SSDT
lab-case mem $H -c off
lab-case mem-s $H -c off -s
binary_files mem-b -c off
lab-case mem-n $H -c off -n SSDT
'''

_ACPI_TROUBLE = re.compile(r'ACPI (BIOS )?(Error|Warning|Exception)|\bAE_[A-Z_]+')
KERNEL_SPACE = 0xFFFF800000000000  # the kernel logs a table loaded at run time at its mapping
ROOT_AND_FADT = ('RSDP', 'RSDT', 'XSDT', 'DSDT', 'FACS')


def without_address(line):
    """A summary line without its address field."""
    return re.sub(rb'^(ACPI: .... )0x[0-9A-F]{16} ', rb'\1', line)


def registered(entries):
    """The (signature, instance) pairs as halvorn's registry numbers them: a pair already
    taken moves to the instance above the highest one of its signature."""
    out = []
    for signature, instance in entries:
        taken = [i for s, i in out if s == signature]
        out.append((signature, max(taken) + 1 if instance in taken else instance))
    return out


@dataclass
class Table:
    """One table as a mode must deliver it: its registry entry, address and bytes."""
    signature: str
    instance: int
    address: int
    data: bytes


class Guest(lab.CaseAssertions):
    """One boot; subclasses name the firmware and the machine."""

    firmware = lab.SEABIOS
    append = ()
    smp = 2
    memory = '512M'
    extra_tables = ()

    @classmethod
    def qemu_args(cls):
        return []

    @classmethod
    def setUpClass(cls):
        require_halvorn()
        cls.injected = [*cls.extra_tables, loader_table(RUN_TIME)]
        with tempfile.TemporaryDirectory() as tmp:
            args = cls.qemu_args() + acpitable_args(tmp, cls.injected)
            cls.result = lab.run(SCRIPT, firmware=cls.firmware, binaries=[HALVORN],
                                 kernel_modules=['wmi'], qemu_args=args, append=list(cls.append),
                                 smp=cls.smp, memory=cls.memory, name=f'platforms-{cls.__name__}')
        print(f'\n{cls.__name__}: guest ran {cls.result.seconds:.1f} s', flush=True)
        cls.main = tar_files(cls.result.files['main.tar'])
        cls.dynamic = tar_files(cls.result.files['dynamic.tar'])
        # (signature, address, line) of the kernel's table log, in its order
        cls.logged = kernel_tables(cls.result.dmesg)

    # What each mode must deliver --------------------------------------------------------------

    def static_log(self):
        """The kernel's log of the firmware's tables: the first line of each address."""
        seen, out = set(), []
        for signature, address, line in self.logged:
            if address < KERNEL_SPACE and address not in seen:
                seen.add(address)
                out.append((signature, address, line))
        return out

    def rsdp(self):
        address = next(a for s, a, _ in self.static_log() if s == 'RSDP')
        raw = self.result.files['rsdp-page'][address % 4096:address % 4096 + 36]
        return address, raw[:20] if raw[15] < 2 else raw[:le32(raw, 20)]

    def memory_table(self, address):
        """The bytes halvorn -c off dumped at ADDRESS (for the root tables, which the kernel
        has no file of; test_root_tables_list_what_the_kernel_found checks them)."""
        for head, data in parse_hex_dump(self.case_bytes('mem')[0]):
            if address_of(head) == address:
                return data
        self.fail(f'halvorn -c off dumped no table at {address:#x}')

    def run_time_tables(self, entries):
        """The dynamic directory's files registered after ENTRIES, as Tables."""
        files = [(file_instance(n), t) for n, t in self.dynamic]
        pairs = registered(entries + [key for key, _ in files])[len(entries):]
        return [Table(s, i, 0, t) for (s, i), (_, t) in zip(pairs, files)]

    def sysfs_expected(self):
        main = [(file_instance(n), t) for n, t in self.main]
        pairs = registered([key for key, _ in main])
        tables = [Table(s, i, 0, t) for (s, i), (_, t) in zip(pairs, main)]
        return tables + self.run_time_tables(pairs)

    def memory_expected(self):
        """RSDP, RSDT, XSDT in use, DSDT, FACS, then the root table's entries in the order the
        kernel logged them; each table's bytes are the kernel's file of that signature with
        the same rank (the kernel numbers its files in root-table order), the root tables'
        halvorn's own; then the dynamic directory's files."""
        address, rsdp = self.rsdp()
        log = self.static_log()
        order = [('RSDP', address)]
        if le32(rsdp, 16):
            order.append(('RSDT', le32(rsdp, 16)))
        if rsdp[15] != 0:
            order.append(('XSDT', le64(rsdp, 24)))
        for signature in ('DSDT', 'FACS'):
            order.append((signature, next(a for s, a, _ in log if s == signature)))
        order += [(s, a) for s, a, _ in log if s not in ROOT_AND_FADT]
        files = {}
        for name, data in sorted(self.main, key=lambda f: file_instance(f[0])):
            files.setdefault(name[:4], []).append(data)
        pairs = registered([(s, 0) for s, _ in order])
        tables = []
        for (signature, instance), (_, address) in zip(pairs, order):
            if signature == 'RSDP':
                data = rsdp
            elif signature in ('RSDT', 'XSDT'):
                data = self.memory_table(address)
            else:
                data = files[signature][sum(1 for t in tables if t.signature == signature)]
            tables.append(Table(signature, instance, address, data))
        return tables + self.run_time_tables(pairs)

    def check_mode(self, name, tables):
        """Dump-all, -s, -b and -n SSDT of one mode against TABLES."""
        with self.subTest(name):
            self.assertCase(name, b''.join(dump(t.data, t.address) for t in tables))
        with self.subTest(f'{name}-s'):
            self.assertCase(f'{name}-s', b''.join(summary(t.address, t.data) for t in tables))
        with self.subTest(f'{name}-b'):
            self.assertCase(f'{name}-b', b'')
            self.assertEqual({binary_name(t.signature, t.instance): t.data for t in tables},
                             dict(tar_files(self.result.files[f'{name}-b.tar'])))
        with self.subTest(f'{name}-n'):
            ssdts = sorted((t for t in tables if t.signature == 'SSDT'), key=lambda t: t.instance)
            self.assertCase(f'{name}-n', b''.join(dump(t.data, t.address) for t in ssdts))

    # The checks -------------------------------------------------------------------------------

    def test_guest_is_clean(self):
        self.assertGuestClean()
        self.assertEqual([], [l for l in self.result.dmesg.splitlines() if _ACPI_TROUBLE.search(l)])

    def test_injected_tables_are_in_the_firmware(self):
        files = [t for _, t in self.main]
        for n, table in enumerate(self.injected):
            with self.subTest(table=n):
                self.assertEqual(1, files.count(table))

    def test_tables_load_once_when_the_driver_binds(self):
        self.assertCase('before')
        self.assertCase('power-before', 'D3hot\n')
        self.assertCase('bind')
        self.assertCase('power-after', 'D0\n')
        driver = self.result.case('driver')
        self.assertTrue(driver.stdout.endswith('/acpi-wmi\n'), driver)
        # The kernel numbers the new files on from the firmware's SSDTs, skipping 1 when the
        # firmware has one (its file is SSDT, not SSDT1).
        ssdts = sum(1 for n, _ in self.main if n.startswith('SSDT'))
        first = max(ssdts, 1) + 1
        names = [f'SSDT{first}', f'SSDT{first + 1}']
        self.assertEqual(list(zip(names, RUN_TIME)), self.dynamic)
        self.assertCase('after', ''.join(n + '\n' for n in names))
        self.assertCase('unbind')
        self.assertCase('power-unbound', 'D3hot\n')
        self.assertCase('rebind')
        self.assertCase('again', ''.join(n + '\n' for n in names))
        # The kernel logs each load once, with the same header line as the firmware's tables.
        loaded = [line for s, a, line in self.logged if a >= KERNEL_SPACE]
        self.assertEqual([without_address(summary(0, t)) for t in RUN_TIME],
                         [without_address(line) for line in loaded])
        self.assertEqual(2, self.result.dmesg.count('Dynamic OEM Table Load'))

    def test_sysfs_mode(self):
        self.check_mode('sysfs', self.sysfs_expected())

    def test_memory_mode(self):
        tables = self.memory_expected()
        # The kernel logged each firmware table with the line halvorn prints for it.
        lines = {a: line for _, a, line in self.static_log()}
        for t in tables:
            if t.address in lines:
                self.assertEqual(lines[t.address], summary(t.address, t.data))
        self.check_mode('mem', tables)

    def test_root_tables_list_what_the_kernel_found(self):
        log = self.static_log()
        entries = [a for s, a, _ in log if s not in ROOT_AND_FADT]
        for t in self.memory_expected():
            if t.signature in ('RSDT', 'XSDT'):
                with self.subTest(t.signature):
                    self.assertEqual(0, sum(t.data) % 256)
                    self.assertEqual(entries, root_entries(t.data))


class AmlEncoding(unittest.TestCase):
    """The assembler against encodings worked out by hand from the language's grammar."""

    def test_encodings(self):
        cases = [
            (aml.pkg_length(0), '01'),
            (aml.pkg_length(62), '3f'),  # 63 with itself: the largest 1-byte length
            (aml.pkg_length(63), '4104'),
            (aml.pkg_length(4093), '4fff'),
            (aml.pkg_length(4094), '810001'),
            (aml.pkg_length((1 << 20) - 4), '8fffff'),
            (aml.pkg_length((1 << 20) - 3), 'c1000001'),
            (aml.name_string('FOO'), b'FOO_'.hex()),
            (aml.name_string('\\_SB.PCI0'), '5c2e' + b'_SB_PCI0'.hex()),
            (aml.name_string('^^AB'), '5e5e' + b'AB__'.hex()),
            (aml.name_string('A.B.C'), '2f03' + b'A___B___C___'.hex()),
            (aml.name_string(''), '00'),
            (aml.name_string('\\'), '5c00'),
            (aml.integer(0), '00'),
            (aml.integer(1), '01'),
            (aml.integer(2), '0a02'),
            (aml.integer(0x100), '0b0001'),
            (aml.integer(0x10000), '0c00000100'),
            (aml.integer(1 << 32), '0e0000000001000000'),
            (aml.name('_HID', aml.string('PNP0C14')), '08' + b'_HID\x0dPNP0C14\0'.hex()),
            (aml.method('M', args=2, serialized=True, sync_level=1), '1406' + b'M___'.hex() + '1a'),
            (aml.if_(aml.lequal(aml.local(0), 1), aml.store(aml.arg(0), 'X')),
             'a00a' + '936001' + '7068' + b'X___'.hex()),
            (aml.else_(aml.return_(aml.lnot('X'))), 'a107' + 'a492' + b'X___'.hex()),
            (aml.buffer(b'\x01\x02'), '11050a020102'),
            (aml.package(1, 'X', aml.string('a')), '120a03' + '01' + b'X___'.hex() + '0d6100'),
            (aml.load('TB', aml.local(1)), '5b20' + b'TB__'.hex() + '61'),
            (aml.scope('\\', aml.device('D')), '100a' + '5c00' + '5b8205' + b'D___'.hex()),
        ]
        for encoded, expected in cases:
            with self.subTest(expected):
                self.assertEqual(expected, encoded.hex())

    def test_bad_input_is_refused(self):
        cases = [
            (aml.pkg_length, (1 << 28) - 4),
            (aml.name_string, 'foo'),
            (aml.name_string, 'TOOLONG'),
            (aml.name_string, '1ABC'),
            (aml.name_string, 'A..B'),
            (aml.integer, -1),
            (aml.integer, 1 << 64),
            (aml.string, 'a\0b'),
            (aml.local, 8),
            (aml.arg, 7),
        ]
        for function, value in cases:
            with self.subTest(function=function.__name__, value=value), \
                    self.assertRaises(ValueError):
                function(value)
        with self.assertRaises(TypeError):
            aml.operand(True)

    def test_table_has_its_length_and_checksum(self):
        table = aml.ssdt(aml.name('X', 1), oem_table=b'CHECKSUM')
        self.assertEqual((b'SSDT', 36 + 6, 0), (table[:4], le32(table, 4), sum(table) % 256))
        self.assertEqual(b'\x08X___\x01', table[36:])


class RunTimeSeaBios(Guest, unittest.TestCase):
    pass


class Server(Guest, unittest.TestCase):
    firmware = lab.OVMF
    append = ('iomem=relaxed',)
    smp = SERVER_SMP
    memory = SERVER_MEMORY
    extra_tables = server_tables()

    @classmethod
    def qemu_args(cls):
        return server_qemu_args()

    def test_machine_is_shaped_like_a_server(self):
        signatures = [n[:4] for n, _ in self.main]
        for signature in ('SRAT', 'SLIT', 'HMAT', 'DMAR', 'NFIT', 'MCFG', 'APIC'):
            self.assertIn(signature, signatures)
        self.assertGreaterEqual(signatures.count('SSDT'), 13)  # ours and the NVDIMM's
        madt = dict(self.main)['APIC']
        cpus, pos = 0, 44
        while pos < len(madt):
            cpus += madt[pos] in (0, 9)  # local APIC and local x2APIC entries
            pos += madt[pos + 1]
        self.assertEqual(16, cpus)
        self.assertCase('nproc', '16\n')
        self.assertCase('nodes', '5\n')

    def test_both_modes_give_the_same_tables(self):
        # Table by table from the -b files: the kernel numbers its files from 1 (or not at all
        # for a single table) in root-table order, memory mode from 0 in the same order.
        def by_signature(name):
            out = {}
            for file, data in tar_files(self.result.files[name]):
                stem = file[:-len('.dat')]
                out.setdefault(stem[:4].upper(), []).append((int(stem[4:] or 0), data))
            return {s: [d for _, d in sorted(v)] for s, v in out.items()}

        sysfs, memory = by_signature('sysfs-b.tar'), by_signature('mem-b.tar')
        self.assertEqual({'RSDP', 'RSDT', 'XSDT'} & set(memory), set(memory) - set(sysfs))
        self.assertEqual(set(), set(sysfs) - set(memory))
        for signature in sorted(sysfs):
            with self.subTest(signature):
                self.assertEqual(sysfs[signature], memory[signature])


if __name__ == '__main__':
    unittest.main()
