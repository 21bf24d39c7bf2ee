#!/usr/bin/env python3
"""halvorn -c off on damaged firmware: real SeaBIOS and OVMF tables, patched through /dev/mem.

Each class is one fresh guest that plays one kind of damage, so no other test sees patched
memory. The guest runs halvorn -c off (hex dump, summaries, binary files, -a of the DSDT) on the
firmware as it booted, patches its tables with table_patch, and runs the same again. The host
derives what the damaged firmware must give from the runs before the patch:

- a root-table entry that points at memory holding no table, or at memory that cannot be
  mapped: every other table comes out byte for byte, the entry is reported once per run, and
  the exit status is 0;
- a revision 2 root pointer whose XSDT address is 0: the RSDT is walked, exactly as -x -x walks
  it on the undamaged firmware.

Run alone: python3 tests/lab/test_halvorn_damaged.py -v   (KIT_LAB_KEEP=DIR keeps the guests)
"""

import io
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / 'integration'))
import lab  # noqa: E402
from halvorn_cases import hex_dump, parse_hex_dump  # noqa: E402

HALVORN = lab.build_path('halvorn')
UNMAPPABLE = 0x1000000  # ordinary RAM at 16 MiB: /dev/mem refuses to map it

SCRIPT = r'''
H=/usr/local/bin/halvorn
kernel_address() { dmesg | sed -n "s/.*ACPI: $1 \(0x[0-9A-F]\{16\}\) .*/\1/p" | head -n 1; }
# Where the undamaged firmware's root table of that signature is (the kernel logs only the one
# it uses).
root_address() { $H -c off -s | sed -n "s/^ACPI: $1 \(0x[0-9A-F]\{16\}\) .*/\1/p"; }
# NAME ARGS...: every form of a memory-mode run, with its binary files sent back as NAME-b.tar.
runs() {
  name=$1; shift
  lab-case $name $H -c off "$@"
  lab-case $name-s $H -c off -s "$@"
  mkdir /tmp/$name && cd /tmp/$name && lab-case $name-b $H -c off -b "$@"
  tar -cf - . | lab-send - $name-b.tar
  cd /tmp
  lab-case $name-a $H -c off "$@" -a $(kernel_address DSDT)
}
'''


def _build_patcher(tmp):
    binary = tmp / 'table_patch'
    p = subprocess.run(['gcc', '-static', '-O2', '-Wall', '-Wextra', '-o', str(binary),
                        str(HERE / 'table_patch.c')], capture_output=True, text=True,
                       stdin=subprocess.DEVNULL)
    if p.returncode != 0:
        raise RuntimeError(f'table_patch failed to build:\n{p.stdout}{p.stderr}')
    return binary


def fix_sum(data, length, at):
    data = bytearray(data)
    data[at] = 0
    data[at] = -sum(data[:length]) % 256
    return bytes(data)


def tar_files(data):
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        return {m.name[2:]: tar.extractfile(m).read() for m in tar.getmembers() if m.isfile()}


def dumps(tables):
    return b''.join(h.encode() + b'\n' + hex_dump(t) + b'\n' for h, t in tables)


def address_of(heading):
    return int(heading.split('@ 0x')[1], 16)


class Damaged:
    """One guest: the runs before the patch, the patch, the runs after it."""

    firmware = lab.SEABIOS
    append = ()
    before_args = ''
    after_args = ''
    patch = ''  # guest shell text that runs table_patch as the case "patch"

    @classmethod
    def setUpClass(cls):
        if not HALVORN.is_file():
            raise RuntimeError(f'{HALVORN} is missing: run make first')
        tmp = Path(tempfile.mkdtemp(prefix='halvorn-damaged-'))
        try:
            script = (SCRIPT + f'runs before {cls.before_args}\n' + cls.patch + '\n' +
                      f'runs after {cls.after_args}\n')
            cls.r = lab.run(script, firmware=cls.firmware, append=list(cls.append),
                            binaries=[HALVORN, _build_patcher(tmp)], timeout=300,
                            name=f'halvorn-{cls.__name__}')
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        print(f'\n{cls.__name__}: guest ran {cls.r.seconds:.1f} s', flush=True)

    def case(self, name):
        c = self.r.case(name)
        return (c.stdout.encode('utf-8', 'surrogateescape'),
                c.stderr.encode('utf-8', 'surrogateescape'), c.status)

    def tables(self, name):
        """(heading, bytes) of each table of a hex dump run, which must have succeeded."""
        out, _, status = self.case(name)
        self.assertEqual(0, status, name)
        tables = parse_hex_dump(out)
        self.assertEqual(out, dumps(tables), 'the dump parses back')
        return tables

    def old_value(self):
        out, err, status = self.case('patch')
        self.assertEqual((b'', 0), (err, status), out)
        return int(out.split()[1], 16)

    def test_guest_is_clean(self):
        self.assertEqual('', self.r.stderr)
        self.assertEqual([], self.r.kernel_faults())

    def test_undamaged_runs_are_clean(self):
        for name in ('before', 'before-s', 'before-b', 'before-a'):
            with self.subTest(name):
                _, err, status = self.case(name)
                self.assertEqual((b'', 0), (err, status))


class BadEntry(Damaged):
    """Entry 1 of the root table points at TARGET (guest shell text)."""

    root = 'XSDT'
    target = ''

    @classmethod
    def setUpClass(cls):
        cls.patch = (f'target={cls.target}\n'
                     f'echo "$target" | lab-send - target\n'
                     f'root=$(root_address {cls.root})\n'
                     f'echo $root | lab-send - root\n'
                     f'lab-case patch table_patch entry $root 1 $target')
        super().setUpClass()

    def target_address(self):
        return int(self.r.files['target'].decode().strip(), 0)

    def warning(self):
        """What every run after the patch prints on standard error, once."""
        return self.entry_messages() + b'Skipping %s entry 1 at 0x%016X, %s\n' % (
            self.root.encode(), self.target_address(), self.status)

    def patched_root(self, before):
        """The root table as the patch left it."""
        root = int(self.r.files['root'].decode(), 16)
        table = next(t for h, t in before if address_of(h) == root)
        width = 8 if self.root == 'XSDT' else 4
        table = bytearray(table)
        table[36 + width:36 + 2 * width] = self.target_address().to_bytes(width, 'little')
        return root, fix_sum(table, len(table), 9)

    def test_every_other_table_comes_out_byte_for_byte(self):
        before = self.tables('before')
        lost = self.old_value()
        lost_tables = [(h, t) for h, t in before if address_of(h) == lost]
        self.assertEqual(1, len(lost_tables), 'the entry led to one table of the dump')
        signature = lost_tables[0][0][:4]
        self.assertNotEqual('FACP', signature)
        self.assertEqual(1, sum(h[:4] == signature for h, _ in before), 'a signature of its own')
        root, root_bytes = self.patched_root(before)

        expected = [(h, root_bytes if address_of(h) == root else t) for h, t in before
                    if address_of(h) != lost]
        self.assertEqual((dumps(expected), self.warning(), 0), self.case('after'))

        lines = self.case('before-s')[0].splitlines(keepends=True)
        summaries = b''.join(l for l in lines if b' 0x%016X ' % lost not in l)
        self.assertEqual(len(lines) - 1, summaries.count(b'\n'))
        self.assertEqual((summaries, self.warning(), 0), self.case('after-s'))

        self.assertEqual((b'', self.warning(), 0), self.case('after-b'))
        files = tar_files(self.r.files['before-b.tar'])
        del files[signature.lower() + '.dat']
        files[self.root.lower() + '.dat'] = root_bytes
        self.assertEqual(files, tar_files(self.r.files['after-b.tar']))

    def test_table_at_a_good_address(self):
        out, _, status = self.case('before-a')
        self.assertEqual((out, self.warning(), status), self.case('after-a'))


class NoTableThere:
    """The entry points into the FACS's reserved bytes: zeros, no table header."""

    target = '$(($(kernel_address FACS) + 40))'
    status = b'AE_BAD_HEADER'

    def entry_messages(self):
        return b'Table signature (0x00000000) is invalid\n'


class CannotBeMapped:
    """The entry points at ordinary RAM, which /dev/mem refuses to map."""

    target = str(UNMAPPABLE)
    status = b'AE_ACCESS'

    def entry_messages(self):
        return (b'Cannot map /dev/mem\nCould not map table header at 0x%016X\n' %
                self.target_address())


class SeaBiosRsdtEntry(NoTableThere, BadEntry, unittest.TestCase):
    root = 'RSDT'  # a revision 0 root pointer: the RSDT is the one walked


class OvmfXsdtEntry(CannotBeMapped, BadEntry, unittest.TestCase):
    firmware = lab.OVMF
    append = ('iomem=relaxed',)


class OvmfRsdtEntry(NoTableThere, BadEntry, unittest.TestCase):
    firmware = lab.OVMF
    append = ('iomem=relaxed',)
    root = 'RSDT'
    before_args = after_args = '-x'  # so that the walk goes through the RSDT


class OvmfWithoutXsdtAddress(Damaged, unittest.TestCase):
    """A revision 2 root pointer whose XSDT address is 0: the RSDT's tables come out."""

    firmware = lab.OVMF
    append = ('iomem=relaxed',)
    before_args = '-x -x'  # the undamaged firmware walked through the RSDT alone
    patch = ('rsdp=$(kernel_address RSDP)\n'
             'echo $rsdp | lab-send - rsdp\n'
             'lab-case patch table_patch xsdt-address $rsdp 0\n'
             'lab-case after-xsdt $H -c off -n XSDT')

    def test_the_rsdt_is_walked(self):
        self.assertNotEqual(0, self.old_value())
        rsdp = int(self.r.files['rsdp'].decode(), 16)
        before = self.tables('before')
        self.assertEqual(['RSD ', 'RSDT'], [h[:4] for h, _ in before[:2]])
        self.assertNotIn('XSDT', [h[:4] for h, _ in before])
        expected = []
        for heading, table in before:
            if address_of(heading) == rsdp:
                table = fix_sum(table[:24] + bytes(8) + table[32:], 36, 32)
            expected.append((heading, table))
        self.assertEqual((dumps(expected), b'', 0), self.case('after'))
        self.assertEqual(self.case('before-s'), self.case('after-s'))
        self.assertEqual((b'', b'', 0), self.case('after-b'))
        files = tar_files(self.r.files['before-b.tar'])
        files['rsdp.dat'] = expected[0][1]
        self.assertEqual(files, tar_files(self.r.files['after-b.tar']))
        self.assertEqual(self.case('before-a'), self.case('after-a'))
        # The XSDT is not in use, so it is not there to fetch.
        self.assertEqual((b'', b'Could not get ACPI table with signature [XSDT], '
                               b'AE_BAD_SIGNATURE\n', 255), self.case('after-xsdt'))


if __name__ == '__main__':
    unittest.main()
