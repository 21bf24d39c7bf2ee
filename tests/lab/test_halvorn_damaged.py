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

import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
import lab  # noqa: E402
from halvorn_lab import (HALVORN, SHELL, address_of, dumps, parse_hex_dump,  # noqa: E402
                         require_halvorn, tar_files)
from tables import checksum_fix  # noqa: E402

UNMAPPABLE = 0x1000000  # ordinary RAM at 16 MiB: /dev/mem refuses to map it

SCRIPT = SHELL + r'''
# Where the undamaged firmware's root table of that signature is (the kernel logs only the one
# it uses).
root_address() { $H -c off -s | sed -n "s/^ACPI: $1 \(0x[0-9A-F]\{16\}\) .*/\1/p"; }
# NAME ARGS...: every form of a memory-mode run, with its binary files sent back as NAME-b.tar.
runs() {
  name=$1; shift
  lab-case $name $H -c off "$@"
  lab-case $name-s $H -c off -s "$@"
  binary_files $name-b -c off "$@"
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


class Damaged(lab.CaseAssertions):
    """One guest: the runs before the patch, the patch, the runs after it."""

    firmware = lab.SEABIOS
    append = ()
    before_args = ''
    after_args = ''
    patch = ''  # guest shell text that runs table_patch as the case "patch"

    @classmethod
    def setUpClass(cls):
        require_halvorn()
        tmp = Path(tempfile.mkdtemp(prefix='halvorn-damaged-'))
        try:
            script = (SCRIPT + f'runs before {cls.before_args}\n' + cls.patch + '\n' +
                      f'runs after {cls.after_args}\n')
            cls.result = lab.run(script, firmware=cls.firmware, append=list(cls.append),
                                 binaries=[HALVORN, _build_patcher(tmp)], timeout=300,
                                 name=f'halvorn-{cls.__name__}')
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        print(f'\n{cls.__name__}: guest ran {cls.result.seconds:.1f} s', flush=True)

    def tables(self, name):
        """(heading, bytes) of each table of a hex dump run, which must have succeeded."""
        self.assertStatus(name)
        out = self.case_bytes(name)[0]
        tables = parse_hex_dump(out)
        self.assertEqual(out, dumps(tables), 'the dump parses back')
        return tables

    def old_value(self):
        return int(self.assertCase('patch', lab.ANY).stdout.split()[1], 16)

    def test_guest_is_clean(self):
        self.assertGuestClean()

    def test_undamaged_runs_are_clean(self):
        for name in ('before', 'before-s', 'before-b', 'before-a'):
            with self.subTest(name):
                self.assertCase(name, lab.ANY)


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
        return int(self.result.files['target'].decode().strip(), 0)

    def warning(self):
        """What every run after the patch prints on standard error, once."""
        return self.entry_messages() + b'Skipping %s entry 1 at 0x%016X, %s\n' % (
            self.root.encode(), self.target_address(), self.status)

    def patched_root(self, before):
        """The root table as the patch left it."""
        root = int(self.result.files['root'].decode(), 16)
        table = next(t for h, t in before if address_of(h) == root)
        width = 8 if self.root == 'XSDT' else 4
        table = bytearray(table)
        table[36 + width:36 + 2 * width] = self.target_address().to_bytes(width, 'little')
        return root, checksum_fix(table)

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
        self.assertCase('after', dumps(expected), self.warning())

        lines = self.case_bytes('before-s')[0].splitlines(keepends=True)
        summaries = b''.join(l for l in lines if b' 0x%016X ' % lost not in l)
        self.assertEqual(len(lines) - 1, summaries.count(b'\n'))
        self.assertCase('after-s', summaries, self.warning())

        self.assertCase('after-b', b'', self.warning())
        files = dict(tar_files(self.result.files['before-b.tar']))
        del files[signature.lower() + '.dat']
        files[self.root.lower() + '.dat'] = root_bytes
        self.assertEqual(files, dict(tar_files(self.result.files['after-b.tar'])))

    def test_table_at_a_good_address(self):
        out, _, status = self.case_bytes('before-a')
        self.assertCase('after-a', out, self.warning(), status)


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
        rsdp = int(self.result.files['rsdp'].decode(), 16)
        before = self.tables('before')
        self.assertEqual(['RSD ', 'RSDT'], [h[:4] for h, _ in before[:2]])
        self.assertNotIn('XSDT', [h[:4] for h, _ in before])
        expected = []
        for heading, table in before:
            if address_of(heading) == rsdp:
                table = checksum_fix(table[:24] + bytes(8) + table[32:], 32, 36)
            expected.append((heading, table))
        self.assertCase('after', dumps(expected))
        self.assertEqual(self.case_bytes('before-s'), self.case_bytes('after-s'))
        self.assertCase('after-b', b'')
        files = dict(tar_files(self.result.files['before-b.tar']))
        files['rsdp.dat'] = expected[0][1]
        self.assertEqual(files, dict(tar_files(self.result.files['after-b.tar'])))
        self.assertEqual(self.case_bytes('before-a'), self.case_bytes('after-a'))
        # The XSDT is not in use, so it is not there to fetch.
        self.assertCase('after-xsdt', b'',
                        b'Could not get ACPI table with signature [XSDT], AE_BAD_SIGNATURE\n', 255)


if __name__ == '__main__':
    unittest.main()
