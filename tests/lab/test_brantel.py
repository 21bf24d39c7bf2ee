"""brantel against ostelsim.ko, a simulated controller device, in one guest of the lab.

The guest loads the module once per scenario (what the controller answers, which node it
registers) and records `brantel` and `brantel -v` with lab-case, then a few runs with
standard output on /dev/full or shared with standard error; the host then compares standard
output, standard error and the exit status byte for byte. The two silent controllers cost 5 s
per run.
"""

import shutil
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import lab  # noqa: E402

HERE = Path(__file__).resolve().parent

ENTRY_LINES = 'Firmware:\t5.1.2\nRecovery:\t1.0.7\nSecurity:\t3.14\n'
ERROR = 'An error has occurred\n'
UNABLE = 'Unable to get provisioning state\n'
TIMEOUT = 'Error: write failed on timeout with status\n'
REFUSED = "Error: Varnhold refused connection. This probably means you don't have Dravik\n"
NO_INTERFACE = ('Unable to find a Varnhold interface - run sudo modprobe ostelcore and retry.\n'
                'If you receive the same error, this system does not have Dravik\n')
ABSENT = 'Dravik present: false\n'
LOST = 'Could not write standard output\n'
FULL_VERSION_LINE = 'Firmware:\tABCDEFGHIJKLMNOPQRST\n'


def opened(max_length=4096):
    return f'max_message_length {max_length}\nprotocol_version 1\n'


def exchange(received, max_length=4096):
    return (f'call write length = 12\nwrite success\ncall read length = {max_length}\n'
            f'read succeeded with result {received}\n')


SILENT_EXCHANGE = 'call write length = 12\n' + TIMEOUT


def present(state, lines=ENTRY_LINES):
    return f'Dravik present: true\nDravik provisioning state: {state}\n{lines}'


# Response sizes that ostelsim sends: three entries, none, three plus 43 spare bytes, 51
# entries, one entry, the status-only header, the 14-byte stub, the provisioning state.
THREE, NONE, SPARE, MANY, ONE, STATUS_ONLY, STUB, STATE = 217, 85, 260, 2329, 129, 16, 14, 17

# name: (insmod parameters, stdout, stderr, exit status, standard error with -v)
SCENARIOS = {
    'provisioned': ('', present('provisioned'), '', 0,
                    opened() + exchange(THREE) + exchange(STATE)),
    'state0': ('state=0', present('unprovisioned'), '', 0,
               opened() + exchange(THREE) + exchange(STATE)),
    'state1': ('state=1', present('being provisioned'), '', 0,
               opened() + exchange(THREE) + exchange(STATE)),
    'state3': ('state=3', present('unknown'), '', 0,
               opened() + exchange(THREE) + exchange(STATE)),
    'count0': ('scenario=count0', present('provisioned', ''), '', 0,
               opened() + exchange(NONE) + exchange(STATE)),
    'trailing': ('scenario=trailing', present('provisioned'), '', 0,
                 opened() + exchange(SPARE) + exchange(STATE)),
    'minor2': ('scenario=minor2', present('provisioned'), '', 0,
               opened() + exchange(THREE) + exchange(STATE)),
    'empty': ('scenario=empty', ABSENT, '', 0, opened() + exchange(0)),
    'status4000': ('scenario=status4000', ABSENT, '', 0, opened() + exchange(STATUS_ONLY)),
    'status': ('scenario=status', '', ERROR, 1, opened() + exchange(STATUS_ONLY) + ERROR),
    'short': ('scenario=short', '', ERROR, 1, opened() + exchange(STUB) + ERROR),
    **{bad: (f'scenario={bad}', '', ERROR, 1, opened() + exchange(THREE) + ERROR)
       for bad in ('badlength', 'badcommand', 'badreserved', 'badmajor', 'badminor',
                   'label21', 'versionmismatch')},
    'many': ('scenario=many', '', ERROR, 1, opened() + exchange(MANY) + ERROR),
    # The version's NUL is the first byte past the response: in the 4096-byte buffer it is the
    # zero fill, in a buffer of exactly the response there is no such byte.
    'fullversion': ('scenario=fullversion', present('provisioned', FULL_VERSION_LINE), '', 0,
                    opened() + exchange(ONE) + exchange(STATE)),
    'fullversiontight': ('scenario=fullversiontight', '', ERROR, 1,
                         opened(ONE) + exchange(ONE, ONE) + ERROR),
    'provstatus': ('scenario=provstatus', present('unknown'), UNABLE, 0,
                   opened() + exchange(THREE) + exchange(STATE) + UNABLE),
    'provsilent': ('scenario=provsilent', present('unknown'), TIMEOUT + UNABLE, 0,
                   opened() + exchange(THREE) + SILENT_EXCHANGE + UNABLE),
    'silent': ('scenario=silent', '', TIMEOUT + ERROR, 1, opened() + SILENT_EXCHANGE + ERROR),
    'refuse': ('scenario=refuse', '', REFUSED, 1, REFUSED),
    'smallmax': ('scenario=smallmax', '', ERROR, 1, opened(8) + exchange(8, 8) + ERROR),
    'fallback': ('node=ostel', present('provisioned'), '', 0,
                 opened() + exchange(THREE) + exchange(STATE)),
}

SCRIPT = r'''
INSMOD=/usr/sbin/insmod RMMOD=/usr/sbin/rmmod
KO=/lib/modules/$(uname -r)/extra
BRANTEL=/usr/local/bin/brantel
scenario() {
  name=$1; shift
  $INSMOD $KO/ostelsim.ko "$@" || echo "insmod $* failed" >&2
  lab-case $name $BRANTEL
  lab-case $name-v $BRANTEL -v
  $RMMOD ostelsim || echo "rmmod after $name failed" >&2
}
'''


def _script():
    text = SCRIPT
    for name, (params, *_rest) in SCENARIOS.items():
        text += f'scenario {name} {params}\n'
    # /dev/ostel0 only for root; an open /dev/ostel beside it, on the same device, would answer
    # if it were tried.
    text += r'''
$INSMOD $KO/ostelsim.ko || echo "insmod failed" >&2
mknod -m 666 /dev/ostel c $(cut -d: -f1 /sys/class/misc/ostel0/dev) \
  $(cut -d: -f2 /sys/class/misc/ostel0/dev)
lab-case denied lab-user $BRANTEL
lab-case denied-v lab-user $BRANTEL -v
rm /dev/ostel0
lab-case user-via-ostel lab-user $BRANTEL
rm /dev/ostel
$RMMOD ostelsim || echo "rmmod failed" >&2
lab-case neither $BRANTEL
lab-case neither-v $BRANTEL -v
'''
    # Standard output on a full device; then both streams on one file, where each verdict line
    # must keep its place among the -v trace and the diagnostics.
    text += r'''
unwritable() {
  name=$1; shift
  $INSMOD $KO/ostelsim.ko "$@" || echo "insmod $* failed" >&2
  lab-case $name sh -c 'exec "$0" >/dev/full' $BRANTEL
  $RMMOD ostelsim || echo "rmmod after $name failed" >&2
}
unwritable full-present
unwritable full-absent scenario=empty
$INSMOD $KO/ostelsim.ko scenario=provstatus || echo "insmod failed" >&2
lab-case one-file sh -c '"$0" -v >/tmp/one-file 2>&1; s=$?; cat /tmp/one-file; exit $s' $BRANTEL
$RMMOD ostelsim || echo "rmmod failed" >&2
'''
    return text


class Brantel(lab.CaseAssertions, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        brantel = lab.build_path('brantel')
        if not brantel.is_file():
            raise RuntimeError(f'{brantel} is missing: run make first')
        tmp = Path(tempfile.mkdtemp(prefix='brantel-lab-'))
        cls.addClassCleanup(shutil.rmtree, tmp, ignore_errors=True)
        ostel = lab.build_module(HERE / 'ostel', tmp)
        cls.result = lab.run(_script(), name='brantel', binaries=[brantel],
                             modules=[ostel / 'ostelsim.ko'], timeout=400)

    def test_scenarios(self):
        for name, (_params, out, err, status, verbose_err) in SCENARIOS.items():
            with self.subTest(name):
                self.assertCase(name, out, err, status)
            with self.subTest(name + ' -v'):
                self.assertCase(name + '-v', out, verbose_err, status)

    def test_primary_node_not_accessible(self):
        denied = 'Cannot open /dev/ostel0: Permission denied\n'
        self.assertCase('denied', '', denied, 1)
        self.assertCase('denied-v', '', denied, 1)
        # Without /dev/ostel0 the user gets through /dev/ostel: the denied runs never tried it.
        self.assertCase('user-via-ostel', present('provisioned'), '', 0)

    def test_neither_node(self):
        self.assertCase('neither', '', NO_INTERFACE, 1)
        self.assertCase('neither-v', '', NO_INTERFACE, 1)

    def test_unwritable_output_fails(self):
        self.assertCase('full-present', '', LOST, 1)
        self.assertCase('full-absent', '', LOST, 1)

    def test_verdicts_keep_order_on_one_file(self):
        self.assertCase('one-file', opened() + exchange(THREE) + 'Dravik present: true\n' +
                        exchange(STATE) + UNABLE + 'Dravik provisioning state: unknown\n' +
                        ENTRY_LINES, '', 0)

    def test_guest_clean(self):
        self.assertGuestClean()


if __name__ == '__main__':
    unittest.main()
