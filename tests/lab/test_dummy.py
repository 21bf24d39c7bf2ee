"""dummy.ko in guests of the lab, driven with real clients.

Three boots: one loads and unloads the module in every way (parameters, alias autoload,
namespaces, the unwind of a failed load), one exercises a device (addresses, flags, MTU,
ethtool, counters, time stamps, carrier), one drives devices from two CPUs with pktgen and
packet sockets, and removes them, and the module, under that traffic.
Each guest records its commands with lab-case and the host checks them afterwards.
"""

import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import lab  # noqa: E402
from lab import ANY, FAILED, Containing  # noqa: E402

HERE = Path(__file__).resolve().parent
DUMMY_DIR = lab.REPO / 'dummy'

# Shell prelude of every guest. busybox sh runs its own applets ahead of PATH, so the real
# iproute2 and kmod tools are named by path.
PRELUDE = r'''
IP=/usr/sbin/ip ET=/usr/sbin/ethtool INSMOD=/usr/sbin/insmod RMMOD=/usr/sbin/rmmod
KO=/lib/modules/$(uname -r)/extra
mkdir -p /tmp/bin
export PATH=/tmp/bin:$PATH
# names [NS]: every link name of the namespace, sorted, on one line.
cat >/tmp/bin/names <<'EOF'
#!/bin/sh
/usr/sbin/ip ${1:+-n $1} -o link show | sed 's/^[0-9]*: \([^:@]*\).*/\1/' | sort | xargs
EOF
# settle FILE VALUE: waits up to 5 s for FILE to read VALUE, then prints FILE.
cat >/tmp/bin/settle <<'EOF'
#!/bin/sh
i=0
while [ "$(cat "$1")" != "$2" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
cat "$1"
EOF
chmod +x /tmp/bin/*
# No IPv6 on new devices, so that the stack itself sends nothing through them.
echo 1 >/proc/sys/net/ipv6/conf/default/disable_ipv6
'''

_artefacts = {}


def setUpModule():
    """Builds dummy.ko and the veto helper module (W=1, warning-free) and the guest probe."""
    tmp = Path(tempfile.mkdtemp(prefix='dummy-lab-'))
    unittest.addModuleCleanup(shutil.rmtree, tmp, ignore_errors=True)
    dummy = lab.build_module(DUMMY_DIR, tmp)
    veto = lab.build_module(HERE / 'veto', tmp)
    _make(['gcc', '-static', '-O2', '-Wall', '-Wextra', '-o', str(tmp / 'dummy_probe'),
           str(HERE / 'dummy_probe.c')])
    _artefacts.update(dummy=dummy / 'dummy.ko', veto=veto / 'veto.ko',
                      probe=tmp / 'dummy_probe')


def _make(args):
    p = subprocess.run(args, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if p.returncode != 0:
        raise RuntimeError(f'{" ".join(args)} failed:\n{p.stdout}{p.stderr}')


def boot(script, name, **kwargs):
    modules = [_artefacts['dummy'], _artefacts['veto']]
    return lab.run(PRELUDE + script, name=name, modules=modules, tools=['ip', 'ethtool'],
                   binaries=[_artefacts['probe']], **kwargs)


class GuestChecks(lab.CaseAssertions):
    """Checks on the Result of one guest, which setUpClass stores in result."""

    # Kernel log lines that the guest's own doing makes expected, though they look like faults.
    EXPECTED_LOG = ()

    def out(self, name):
        """The words case NAME wrote, which must have succeeded."""
        return self.assertStatus(name).stdout.split()

    def test_kernel_log_clean(self):
        faults = [line for line in self.result.kernel_faults()
                  if not any(line.endswith(e) for e in self.EXPECTED_LOG)]
        self.assertEqual(faults, [])
        # A device reference left behind shows only as a wait in its unregistration.
        stuck = r'.*(?:unregister_netdevice: waiting for|pktgen.*timed out).*'
        self.assertEqual(re.findall(stuck, self.result.dmesg), [])


class LoadAndUnload(GuestChecks, unittest.TestCase):
    """Module parameters, alias autoload, unload across namespaces, unwind of a failed load."""

    COUNTS = (('3', 'dummy0 dummy1 dummy2'), ('0', ''), ('-1', ''))

    @classmethod
    def setUpClass(cls):
        counts = ''.join(f'''
lab-case n{n}.load $INSMOD $KO/dummy.ko numdummies={n}
lab-case n{n}.names names
lab-case n{n}.kind $IP link add k type dummy
lab-case n{n}.unload $RMMOD dummy
''' for n, _ in cls.COUNTS)
        cls.result = boot(r'''
lab-case plain.load $INSMOD $KO/dummy.ko
lab-case plain.names names
lab-case plain.module ls /sys/module/dummy
lab-case plain.params ls /sys/module/dummy/parameters
lab-case plain.user $IP link add u0 type dummy
$IP netns add ns1
lab-case plain.ns_create $IP -n ns1 link add nsd type dummy
lab-case plain.ns_move sh -c "$IP link add mv type dummy && $IP link set mv netns ns1"
lab-case plain.names_loaded names
lab-case plain.ns_names_loaded names ns1
lab-case plain.unload $RMMOD dummy
lab-case plain.names_unloaded names
lab-case plain.ns_names_unloaded names ns1
lab-case plain.gone test -e /sys/module/dummy
''' + counts + r'''
lab-case auto.before test -e /sys/module/dummy
lab-case auto.add $IP link add auto0 type dummy
lab-case auto.names names
lab-case auto.state cat /sys/module/dummy/initstate
lab-case auto.unload $RMMOD dummy

lab-case unwind.veto $INSMOD $KO/veto.ko nth=3
lab-case unwind.load $INSMOD $KO/dummy.ko numdummies=5
lab-case unwind.seen cat /sys/module/veto/parameters/seen
lab-case unwind.names names
lab-case unwind.gone test -e /sys/module/dummy
echo /bin/false >/proc/sys/kernel/modprobe
lab-case unwind.kind $IP link add z type dummy
echo /sbin/modprobe >/proc/sys/kernel/modprobe
$RMMOD veto
lab-case unwind.reload $INSMOD $KO/dummy.ko numdummies=5
lab-case unwind.reload_names names
lab-case unwind.reload_unload $RMMOD dummy
''', 'dummy-load')

    def test_load_without_parameters(self):
        self.assertStatus('plain.load')
        self.assertEqual(self.out('plain.names'), ['dummy0', 'lo'])
        self.assertNotIn('parameters', self.out('plain.module'))
        self.assertStatus('plain.params', FAILED)

    def test_numdummies(self):
        for n, devices in self.COUNTS:
            with self.subTest(numdummies=n):
                self.assertStatus(f'n{n}.load')
                self.assertEqual(self.out(f'n{n}.names'), sorted(devices.split() + ['lo']))
                self.assertStatus(f'n{n}.kind')
                self.assertStatus(f'n{n}.unload')

    def test_alias_autoloads_module(self):
        self.assertStatus('auto.before', 1)
        self.assertStatus('auto.add')
        self.assertEqual(self.out('auto.names'), ['auto0', 'dummy0', 'lo'])
        self.assertEqual(self.out('auto.state'), ['live'])
        self.assertStatus('auto.unload')

    def test_unload_removes_every_link_in_every_namespace(self):
        for name in ('plain.user', 'plain.ns_create', 'plain.ns_move'):
            self.assertStatus(name)
        self.assertEqual(self.out('plain.names_loaded'), ['dummy0', 'lo', 'u0'])
        self.assertEqual(self.out('plain.ns_names_loaded'), ['lo', 'mv', 'nsd'])
        self.assertStatus('plain.unload')
        self.assertEqual(self.out('plain.names_unloaded'), ['lo'])
        self.assertEqual(self.out('plain.ns_names_unloaded'), ['lo'])
        self.assertStatus('plain.gone', 1)

    def test_failed_load_leaves_nothing_behind(self):
        self.assertStatus('unwind.veto')
        # The veto refuses with -EDOM.
        self.assertCase('unwind.load', ANY, Containing('Numerical argument out of domain'), 1)
        self.assertIn('veto: refusing registration of dummy2', self.result.dmesg)
        # The load stops at the refused third device: no registration is tried after it.
        self.assertEqual(self.out('unwind.seen'), ['3'])
        self.assertEqual(self.out('unwind.names'), ['lo'])
        self.assertStatus('unwind.gone', 1)
        # With autoloading off, the kind is unknown: the failed load unregistered it.
        self.assertCase('unwind.kind', ANY, Containing('Unknown device type'), FAILED)
        # A stale registration would make the next load fail.
        self.assertStatus('unwind.reload')
        self.assertEqual(self.out('unwind.reload_names'),
                         ['dummy0', 'dummy1', 'dummy2', 'dummy3', 'dummy4', 'lo'])
        self.assertStatus('unwind.reload_unload')


# Every offload the device offers, by its ethtool name; each must be switchable.
OFFLOADS = (
    'tx-scatter-gather', 'tx-checksum-ip-generic', 'highdma', 'tx-scatter-gather-fraglist',
    'tx-tcp-segmentation', 'tx-tcp-ecn-segmentation', 'tx-tcp-mangleid-segmentation',
    'tx-tcp6-segmentation', 'tx-gre-segmentation', 'tx-gre-csum-segmentation',
    'tx-ipxip4-segmentation', 'tx-ipxip6-segmentation', 'tx-udp_tnl-segmentation',
    'tx-udp_tnl-csum-segmentation', 'tx-sctp-segmentation', 'tx-udp-segmentation',
    'tx-gso-list')

# (case, address given at creation, exit status of ip, error text)
ADDRESSES = (
    ('short', '02:00:00:00:01', 2, 'Invalid argument'),
    # The kernel core may refuse a short address itself; a long one only the module's check.
    ('long', '02:00:00:00:00:01:02', 2, 'Invalid argument'),
    ('group', '01:00:5e:00:00:01', 2, 'Cannot assign requested address'),
    ('zero', '00:00:00:00:00:00', 2, 'Cannot assign requested address'),
    ('unicast', '02:00:00:00:00:01', 0, ''),
)

IFF_UP, IFF_MULTICAST, IFF_NOARP = 0x1, 0x1000, 0x80
NET_ADDR_RANDOM, NET_ADDR_SET = 1, 3


def _features(text):
    """{feature: (on, fixed)} from `ethtool -k` output."""
    feats = {}
    for line in text.splitlines():
        m = re.match(r'\s*([\w-]+): (on|off)( \[fixed\])?', line)
        if m:
            feats[m.group(1)] = (m.group(2) == 'on', bool(m.group(3)))
    return feats


class Device(GuestChecks, unittest.TestCase):
    """One loaded module; addresses, flags, MTU, ethtool, counters, time stamps, carrier."""

    @classmethod
    def setUpClass(cls):
        addresses = ''.join(f'lab-case addr.{c} $IP link add a_{c} address {a} type dummy\n'
                            for c, a, _, _ in ADDRESSES)
        off = ' '.join(f'{f} off' for f in OFFLOADS)
        on = ' '.join(f'{f} on' for f in OFFLOADS)
        cls.result = boot(f'''
$INSMOD $KO/dummy.ko
D=/sys/class/net/dummy0
''' + addresses + r'''
lab-case addr.names names
lab-case addr.kept cat /sys/class/net/a_unicast/address /sys/class/net/a_unicast/addr_assign_type
lab-case random sh -c "$IP link add r1 type dummy && $IP link add r2 type dummy &&
  cd /sys/class/net && for d in dummy0 r1 r2; do cat \$d/address \$d/addr_assign_type; done"

lab-case down cat $D/flags $D/mtu
lab-case up sh -c "$IP link set dummy0 up && $IP link show dummy0"
lab-case live_addr sh -c "$IP link set dummy0 address 02:11:22:33:44:55 &&
  cat $D/address $D/addr_assign_type $D/flags"
lab-case mtu.high sh -c "$IP link set dummy0 mtu 1000000 && cat $D/mtu"
lab-case mtu.low sh -c "$IP link set dummy0 mtu 60 && cat $D/mtu"
$IP link set dummy0 mtu 1500

lab-case ethtool.i $ET -i dummy0
lab-case ethtool.T $ET -T dummy0
lab-case ethtool.k $ET -k dummy0
''' + f'''
lab-case ethtool.K_off $ET -K dummy0 {off}
lab-case ethtool.k_off $ET -k dummy0
lab-case ethtool.K_on $ET -K dummy0 {on}
lab-case ethtool.k_on $ET -k dummy0
''' + r'''
$IP link add st0 type dummy
$IP link set st0 up
lab-case frames dummy_probe frames st0 3 100 0 1
lab-case counters grep -r . /sys/class/net/st0/statistics

$IP link add ts0 type dummy
$IP addr add 192.0.2.1/24 dev ts0
$IP link set ts0 up
lab-case stamps.udp dummy_probe stamps udp 192.0.2.2 3
lab-case stamps.packet dummy_probe stamps packet ts0 3

lab-case carrier.off $IP link set dummy0 carrier off
lab-case carrier.off_state sh -c "settle $D/operstate down; cat $D/carrier"
lab-case carrier.on $IP link set dummy0 carrier on
lab-case carrier.on_state sh -c "settle $D/operstate up; cat $D/carrier"
''', 'dummy-device')

    def test_link_address_rules(self):
        for case, address, status, error in ADDRESSES:
            with self.subTest(address=address):
                self.assertCase(f'addr.{case}', ANY, Containing(error), status)
        names = self.out('addr.names')
        self.assertIn('a_unicast', names)
        self.assertFalse({'a_short', 'a_long', 'a_group', 'a_zero'} & set(names))
        self.assertEqual(self.out('addr.kept'), ['02:00:00:00:00:01', str(NET_ADDR_SET)])

    def test_random_address_per_device(self):
        out = self.out('random')
        addresses, kinds = out[0::2], out[1::2]
        self.assertEqual(len(set(addresses)), 3, addresses)
        for address in addresses:
            first = int(address.split(':')[0], 16)
            self.assertEqual(first & 1, 0, f'{address} is a group address')
            self.assertEqual(first & 2, 2, f'{address} is not locally administered')
        self.assertEqual(kinds, [str(NET_ADDR_RANDOM)] * 3)

    def test_flags_qdisc_and_mtu(self):
        flags, mtu = self.out('down')
        self.assertTrue(int(flags, 16) & IFF_NOARP)
        self.assertFalse(int(flags, 16) & IFF_MULTICAST)
        self.assertEqual(mtu, '1500')
        self.assertCase('up', Containing('qdisc noqueue'), ANY)
        self.assertEqual(self.out('mtu.high'), ['1000000'])
        self.assertEqual(self.out('mtu.low'), ['60'])

    def test_address_changes_while_up(self):
        address, kind, flags = self.out('live_addr')
        self.assertEqual(address, '02:11:22:33:44:55')
        self.assertEqual(kind, str(NET_ADDR_SET))
        self.assertTrue(int(flags, 16) & IFF_UP)

    def test_ethtool(self):
        self.assertCase('ethtool.i', Containing('driver: dummy\n'), ANY)
        self.assertCase('ethtool.T', Containing('software-transmit'), ANY)
        for stage, want in (('k', True), ('k_off', False), ('k_on', True)):
            if stage != 'k':
                self.assertStatus('ethtool.K' + stage[1:])
            feats = _features(self.assertStatus(f'ethtool.{stage}').stdout)
            for name in OFFLOADS:
                with self.subTest(stage=stage, feature=name):
                    self.assertEqual(feats.get(name), (want, False))
        feats = _features(self.assertStatus('ethtool.k').stdout)
        self.assertEqual(feats['tx-lockless'], (True, True))

    def test_frames_from_two_cpus_are_counted(self):
        self.assertEqual(self.out('frames'), ['cpu', '0', 'cpu', '1', 'cpu', '0'])
        counters = dict(line.rsplit('/', 1)[1].split(':')
                        for line in self.assertStatus('counters').stdout.split())
        self.assertEqual(counters.pop('tx_packets'), '3')
        self.assertEqual(counters.pop('tx_bytes'), '300')
        self.assertIn('rx_packets', counters)
        self.assertEqual({k: v for k, v in counters.items() if v != '0'}, {})

    def test_software_transmit_time_stamps(self):
        for kind in ('udp', 'packet'):
            with self.subTest(socket=kind):
                self.assertEqual(self.out(f'stamps.{kind}'), ['stamps', '3'])

    def test_carrier_off_and_on(self):
        self.assertStatus('carrier.off')
        self.assertEqual(self.out('carrier.off_state'), ['down', '0'])
        self.assertStatus('carrier.on')
        self.assertEqual(self.out('carrier.on_state'), ['up', '1'])


# traffic CMD DEV...: pktgen threads and packet-socket senders that bypass the queueing layer
# push frames into every DEV; once each is under way, CMD (which removes the devices) runs, and
# every sender must end within 10 s of it. Each DEV gets a packet socket on either CPU; the
# pktgen thread of either CPU sends into a lone DEV, else the Nth DEV gets the thread of CPU
# N % 2 (a thread serves only one of several devices that send without a pause). Prints, in
# this order, "started pktgen.DEV@T" and "started flood.DEV.T cpu N" for each sender seen
# sending, "action STATUS" for CMD, then "ended NAME STATUS" or "running NAME" for each sender
# (pktgen is the one start command of all threads, flood.DEV.T the probe pinned to CPU T).
TRAFFIC = r'''
cat >/tmp/bin/traffic <<'EOF'
#!/bin/sh
PG=/proc/net/pktgen W=/tmp/traffic
cmd=$1; shift
rm -rf $W; mkdir $W
entries= n=0
for d in "$@"; do
  if [ $# = 1 ]; then entries="$d@0 $d@1"; else entries="$entries $d@$((n % 2))"; fi
  n=$((n + 1))
done
for t in 0 1; do echo rem_device_all >$PG/kpktgend_$t; done
for e in $entries; do
  echo "add_device $e" >$PG/kpktgend_${e#*@}
  for c in "count 0" "pkt_size 60" "clone_skb 0" "delay 0"; do echo "$c" >$PG/$e; done
done
senders=pktgen
(echo start >$PG/pgctrl; echo $? >$W/pktgen.status) &
for d in "$@"; do
  for t in 0 1; do
    senders="$senders flood.$d.$t"
    (dummy_probe flood $d $t 30 >$W/flood.$d.$t 2>$W/flood.$d.$t.err
     echo $? >$W/flood.$d.$t.status) &
  done
done
sent() { sed -n 's/.*pkts-sofar: \([0-9]*\).*/\1/p' $PG/$1 2>/dev/null; }
i=0
while [ $i -lt 100 ]; do
  ready=1
  for e in $entries; do [ "$(sent $e)" -gt 0 ] 2>/dev/null || ready=0; done
  for d in "$@"; do
    for t in 0 1; do grep -q '^cpu' $W/flood.$d.$t || ready=0; done
  done
  [ $ready = 1 ] && break
  sleep 0.1; i=$((i + 1))
done
for e in $entries; do
  [ "$(sent $e)" -gt 0 ] 2>/dev/null && [ ! -e $W/pktgen.status ] && echo "started pktgen.$e"
done
for d in "$@"; do
  for t in 0 1; do
    [ ! -e $W/flood.$d.$t.status ] && grep '^cpu' $W/flood.$d.$t | sed "s/^/started flood.$d.$t /"
  done
done
sh -c "$cmd"
echo "action $?"
i=0
while [ $i -lt 100 ]; do
  left=0
  for s in $senders; do [ -e $W/$s.status ] || left=1; done
  [ $left = 0 ] && break
  sleep 0.1; i=$((i + 1))
done
for s in $senders; do
  if [ -e $W/$s.status ]; then echo "ended $s $(cat $W/$s.status)"; else echo "running $s"; fi
done
# Whatever still runs is stopped, so that the next round starts afresh.
echo stop >$PG/pgctrl
wait
cat $W/*.err >&2
EOF
chmod +x /tmp/bin/traffic
'''


class Traffic(GuestChecks, unittest.TestCase):
    """Two CPUs sending into dummy devices: every packet counted; links deleted, and the module
    unloaded, while pktgen threads and packet sockets push frames into them."""

    COUNT = 200000
    SIZE = 100
    ROUNDS = 4
    # pktgen's notice when a device goes away while one of its threads sends into it.
    EXPECTED_LOG = ('pktgen: WARNING: trying to remove a running interface, stopping it now',)

    @classmethod
    def setUpClass(cls):
        rounds = ''.join(f'''
$IP link add tr{r} type dummy
$IP link set tr{r} up
lab-case del{r} traffic "$IP link del tr{r}" tr{r}
lab-case del{r}.names names
''' for r in range(cls.ROUNDS))
        cls.result = boot(TRAFFIC + f'''
$INSMOD $KO/dummy.ko
$IP link set dummy0 up
PG=/proc/net/pktgen
lab-case load /usr/sbin/modprobe pktgen
for t in 0 1; do
  echo rem_device_all >$PG/kpktgend_$t
  echo add_device dummy0@$t >$PG/kpktgend_$t
  for c in "count {cls.COUNT}" "pkt_size {cls.SIZE}" "clone_skb 0" "delay 0"; do
    echo "$c" >$PG/dummy0@$t
  done
done
lab-case run sh -c "echo start >$PG/pgctrl"
lab-case report cat $PG/dummy0@0 $PG/dummy0@1
lab-case counters cat /sys/class/net/dummy0/statistics/tx_packets \\
  /sys/class/net/dummy0/statistics/tx_bytes

# A reference a device does not give back would hold its removal for a second, not ten.
echo 1 >/proc/sys/net/core/netdev_unregister_timeout_secs
''' + rounds + r'''
$RMMOD dummy
$INSMOD $KO/dummy.ko numdummies=2
$IP link set dummy0 up
$IP link set dummy1 up
lab-case unload traffic "$RMMOD dummy" dummy0 dummy1
lab-case unload.names names
lab-case unload.gone test -e /sys/module/dummy
lab-case reload $INSMOD $KO/dummy.ko
lab-case reload.names names
lab-case reload.unload $RMMOD dummy
''', 'dummy-traffic', kernel_modules=['pktgen'])

    def test_every_packet_counted(self):
        self.assertStatus('load')
        self.assertStatus('run')
        report = self.assertStatus('report').stdout
        sent = [int(n) for n in re.findall(r'pkts-sofar: (\d+)\s+errors: 0\b', report)]
        self.assertEqual(sent, [self.COUNT, self.COUNT], report)
        self.assertEqual(re.findall(r'Result: OK: .*, (\d+) \((\d+)byte', report),
                         [(str(self.COUNT), str(self.SIZE))] * 2, report)
        # Both threads must have been sending at the same time.
        spans = [tuple(map(int, s)) for s in re.findall(r'started: (\d+)us\s+stopped: (\d+)us',
                                                         report)]
        self.assertEqual(len(spans), 2, report)
        self.assertLess(max(s for s, _ in spans), min(e for _, e in spans), spans)
        packets, nbytes = map(int, self.out('counters'))
        self.assertEqual(packets, sum(sent))
        self.assertEqual(nbytes, sum(sent) * self.SIZE)

    def check_removal(self, name, devices):
        """Case NAME of traffic: every sender under way, the removal done, every sender ended."""
        c = self.assertStatus(name)
        floods = [f'flood.{d}.{t}' for d in devices for t in (0, 1)]
        pktgen = ([f'{devices[0]}@0', f'{devices[0]}@1'] if len(devices) == 1 else
                  [f'{d}@{n % 2}' for n, d in enumerate(devices)])
        want = [f'started pktgen.{e}' for e in pktgen]
        want += [f'started {f} cpu {f[-1]}' for f in floods]
        want += ['action 0'] + [f'ended {s} 0' for s in ['pktgen'] + floods]
        self.assertEqual(c.stdout.splitlines(), want, c.stderr)

    def test_link_deleted_under_traffic(self):
        for r in range(self.ROUNDS):
            with self.subTest(round=r):
                self.check_removal(f'del{r}', [f'tr{r}'])
                self.assertEqual(self.out(f'del{r}.names'), ['dummy0', 'lo'])

    def test_module_unloaded_under_traffic(self):
        self.check_removal('unload', ['dummy0', 'dummy1'])
        self.assertEqual(self.out('unload.names'), ['lo'])
        self.assertStatus('unload.gone', 1)
        self.assertStatus('reload')
        self.assertEqual(self.out('reload.names'), ['dummy0', 'lo'])
        self.assertStatus('reload.unload')


if __name__ == '__main__':
    unittest.main()
