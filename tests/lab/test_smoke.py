#!/usr/bin/env python3
"""The guest lab itself: guests boot under both firmwares and hand back what their script did.

Run alone: python3 tests/lab/test_smoke.py -v   (KIT_LAB_KEEP=DIR keeps each guest's files)
"""

import base64
import hashlib
import sys
import tempfile
import unittest
from pathlib import Path

import lab
from lab import ANY, FAILED, Containing

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from tables import make_table  # noqa: E402

# Every byte value, line ends in every arrangement, and text that looks like result framing.
BLOB = (bytes(range(256)) + b'\r\n\n\r\r\r\n\x00\x00' + bytes(range(255, -1, -1)) +
        b'\n@@lab end\n@@lab done\n' + b'\xff' * 3)


# A table with a valid header and checksum, as QEMU's -acpitable file= expects it.
TABLE = make_table(b'KLAB', payload=b'injected by the smoke suite\0' + bytes(range(64)),
                   revision=1, oem=b'KITLAB', oem_table=b'SMOKE   ', creator=b'KLAB',
                   creator_revision=1)

# One boot per firmware runs all of these; each lab-case lands in Result.cases.
SCRIPT = r'''
lab-case uname uname -r
lab-case efi test -d /sys/firmware/efi
lab-case tables ls /sys/firmware/acpi/tables
lab-send /sys/firmware/acpi/tables/KLAB
lab-send /lab/blob
lab-send /lab/blob copies/blob
lab-case resend lab-send /lab/blob
lab-case bad-name lab-send /lab/blob ../blob
lab-case whoami lab-user id -u -n
lab-case ids lab-user sh -c 'id -u; id -g; id -G'
lab-case user-reads-table lab-user cat /sys/firmware/acpi/tables/DSDT
lab-case mem-root dd if=/dev/mem of=/dev/null bs=4096 skip=240 count=16
lab-case mem-user lab-user dd if=/dev/mem of=/dev/null bs=4096 skip=240 count=16
lab-case modprobe /sbin/modprobe pktgen
lab-case modinfo /sbin/modinfo -F filename pktgen
lab-case pktgen test -e /proc/net/pktgen/pgctrl
lab-case veth /sbin/ip link add va type veth peer name vb
lab-case ethtool /sbin/ethtool -i va
lab-case lsmod /sbin/lsmod
echo to stdout
echo to stderr >&2
exit "$(cat /lab/status)"
'''


class Firmware(lab.CaseAssertions):
    """A boot under one firmware; the subclasses below name it and the script's exit status."""

    firmware = None
    exit_status = None

    @classmethod
    def setUpClass(cls):
        with tempfile.TemporaryDirectory() as tmp:
            table = Path(tmp, 'klab.dat')
            table.write_bytes(TABLE)
            cls.result = lab.run(SCRIPT, firmware=cls.firmware, tools=['ip', 'ethtool'],
                                 kernel_modules=['pktgen', 'veth'],
                                 files={'/lab/blob': BLOB,
                                        '/lab/status': b'%d\n' % cls.exit_status},
                                 qemu_args=['-acpitable', f'file={table}'], name=cls.__name__)
        print(f'\n{cls.__name__}: guest ran {cls.result.seconds:.1f} s', flush=True)

    def test_script_output_and_exit_status_come_back(self):
        self.assertEqual(self.exit_status, self.result.status)
        self.assertEqual('to stdout\n', self.result.stdout)
        self.assertEqual('to stderr\n', self.result.stderr)

    def test_runs_the_kernel_that_matches_the_headers(self):
        self.assertCase('uname', lab.kernel().version + '\n')
        self.assertIn(f'Linux version {lab.kernel().version}', self.result.dmesg)
        self.assertEqual([], self.result.kernel_faults())

    def test_boots_under_the_firmware_asked_for(self):
        self.assertEqual(self.firmware == lab.OVMF, self.result.case('efi').status == 0)

    def test_files_come_back_byte_exact(self):
        self.assertEqual(BLOB, self.result.files['blob'])
        self.assertEqual(BLOB, self.result.files['copies/blob'])

    def test_send_refuses_a_taken_or_unsafe_name(self):
        self.assertCase('resend', ANY, Containing('already sent'), FAILED)
        self.assertCase('bad-name', ANY, Containing('bad result name'), FAILED)
        self.assertEqual({'KLAB', 'blob', 'copies/blob'}, set(self.result.files))

    def test_unprivileged_user_is_uid_1000_without_root_rights(self):
        self.assertCase('whoami', 'user\n')
        self.assertCase('ids', '1000\n1000\n1000\n')
        self.assertCase('user-reads-table', ANY, Containing('Permission denied'), FAILED)
        self.assertCase('mem-user', ANY, Containing('Permission denied'), FAILED)

    def test_firmware_tables_and_dev_mem_are_there(self):
        tables = self.result.case('tables').stdout.split()
        for signature in ('DSDT', 'FACP', 'APIC', 'KLAB'):
            self.assertIn(signature, tables)
        self.assertStatus('mem-root')

    def test_injected_table_appears_in_sysfs(self):
        self.assertEqual(TABLE, self.result.files['KLAB'])

    def test_package_modules_load_by_name_and_by_alias(self):
        self.assertCase('modprobe', ANY)
        self.assertCase('modinfo',
                        f'/lib/modules/{lab.kernel().version}/kernel/net/core/pktgen.ko\n')
        self.assertCase('pktgen', ANY)
        self.assertCase('veth', ANY)  # the kernel asks modprobe for rtnl-link-veth
        self.assertIn('driver: veth\n', self.result.case('ethtool').stdout)
        lsmod = self.result.case('lsmod').stdout
        modules = [line.split()[0] for line in lsmod.splitlines()[1:]]
        self.assertEqual(['pktgen', 'veth'], sorted(modules))


class SeaBios(Firmware, unittest.TestCase):
    firmware = lab.SEABIOS
    exit_status = 0


class Ovmf(Firmware, unittest.TestCase):
    firmware = lab.OVMF
    exit_status = 7


def stream(files, status=0):
    """A result stream as a guest's /init writes it, from [(name, bytes)]."""
    out = [b'\x1b[2J\x1b[01;01H', b'@@lab start']  # OVMF leaves screen control on the port
    for name, body in files:
        out.append(b'@@lab begin %d %s %s' % (len(body), hashlib.sha256(body).hexdigest().encode(),
                                              name.encode()))
        encoded = base64.b64encode(body)
        out += [encoded[i:i + 76] for i in range(0, len(encoded), 76)]
        out.append(b'@@lab end')
    out += [b'@@lab exit %d' % status, b'@@lab done', b'']
    return b'\r\n'.join(out)


class Results(unittest.TestCase):
    """Damaged or missing results are an error, never a result."""

    def test_a_whole_stream_parses(self):
        files = {'meta/stdout': b'x\n', 'files/blob': BLOB, 'files/empty': b''}
        self.assertEqual((3, files), lab.parse_results(stream(files.items(), 3)))

    def test_damage_is_an_error(self):
        good = stream([('files/blob', BLOB)], 0)
        cases = {
            'nothing': b'',
            'console noise only': b'\x1b[2J booting\r\n',
            'cut off in a file': good[:len(good) // 2],
            'cut off before done': good[:good.index(b'@@lab done')],
            'no exit status': good.replace(b'@@lab exit 0\r\n', b''),
            'a lost line': good.replace(base64.b64encode(BLOB)[76:152] + b'\r\n', b'', 1),
            'a changed byte': good.replace(b'AAEC', b'AAED', 1),
            'a wrong size': good.replace(b'begin %d' % len(BLOB), b'begin %d' % (len(BLOB) + 1)),
            'a stray line': good.replace(b'@@lab exit', b'kernel: hello\r\n@@lab exit'),
            'a file twice': stream([('files/a', b'1'), ('files/a', b'1')]),
        }
        for name, data in cases.items():
            with self.subTest(name), self.assertRaises(lab.LabError):
                lab.parse_results(data)


class CaseChecks(lab.CaseAssertions, unittest.TestCase):
    """The suites' case assertions pass on what a case recorded and on nothing else."""

    result = lab.Result(status=0, stdout='', stderr='', dmesg='', console='', files={},
                        seconds=0.0, cases={'ran': lab.Case('out\udcff\n', 'warning\n', 0),
                                            'failed': lab.Case('', 'no such file\n', 2)})

    def test_assertions(self):
        # (name, assertCase arguments, passes)
        cases = [
            ('ran', ('out\udcff\n', 'warning\n'), True),
            ('ran', (b'out\xff\n', b'warning\n', 0), True),
            ('ran', (ANY, Containing('warn')), True),
            ('ran', (Containing(b'\xff'), ANY, ANY), True),
            ('failed', ('', 'no such file\n', 2), True),
            ('failed', (ANY, ANY, FAILED), True),
            ('ran', ('out\udcff\n',), False),  # stderr is empty unless said otherwise
            ('ran', (b'out\xfe\n', ANY), False),
            ('ran', ('out\udcff', ANY), False),
            ('ran', ('out\udcff\n', b'warning'), False),
            ('ran', (ANY, Containing('error')), False),
            ('ran', (ANY, Containing(b'WARNING')), False),
            ('ran', (ANY, ANY, FAILED), False),
            ('failed', (ANY, ANY), False),  # status 0 unless said otherwise
            ('failed', (ANY, ANY, 1), False),
        ]
        for name, args, passes in cases:
            with self.subTest(name=name, args=args):
                if passes:
                    self.assertEqual(self.result.case(name), self.assertCase(name, *args))
                else:
                    with self.assertRaises(self.failureException):
                        self.assertCase(name, *args)

    def test_status_alone(self):
        self.assertStatus('ran')
        self.assertStatus('failed', 2)
        self.assertStatus('failed', FAILED)
        for name, status in (('ran', FAILED), ('failed', 0), ('failed', 1)):
            with self.subTest(name=name, status=status), \
                    self.assertRaises(self.failureException):
                self.assertStatus(name, status)

    def test_output_as_bytes(self):
        self.assertEqual((b'out\xff\n', b'warning\n', 0), self.case_bytes('ran'))


class Failures(unittest.TestCase):
    """A guest that does not finish, or finishes without results, fails the suite."""

    def test_time_limit(self):
        with self.assertRaises(lab.LabTimeout):
            lab.run('sleep 600', timeout=3, name='timeout')

    def test_guest_that_stops_before_sending_results(self):
        with self.assertRaisesRegex(lab.LabError, 'no results'):
            lab.run('poweroff -f; sleep 600', timeout=120, name='no-results')

    def test_qemu_that_cannot_start(self):
        with self.assertRaisesRegex(lab.LabError, 'qemu exited'):
            lab.run('true', qemu_args=['-no-such-option'], name='bad-qemu')

    def test_build_problems_name_the_culprit(self):
        cases = {
            'no such executable': dict(binaries=['/nonexistent/tool']),
            'unknown tool': dict(tools=['no-such-tool']),
            'no module': dict(kernel_modules=['no_such_module']),
            'the project provides dummy': dict(kernel_modules=['dummy']),
        }
        for message, kwargs in cases.items():
            with self.subTest(message), self.assertRaisesRegex(lab.LabError, message):
                lab.run('true', **kwargs)


if __name__ == '__main__':
    unittest.main()
