"""Throw-away QEMU guests for tests that need a real kernel.

A guest is a Debian kernel (the image that matches the installed linux-headers-amd64, so
modules built on this machine load in it) booted under software emulation from a
busybox-static initramfs built for that one boot. The initramfs holds one guest script, the
binaries, kernel modules, tools and files a suite asks for, and a few helper commands
(lab-send, lab-case, lab-user). /init runs the script as root, then hands its stdout, stderr,
exit status, the files it sent and the kernel log back to the host over a second serial
port, and powers the guest off.

    import lab
    r = lab.run('echo hello; lab-send /proc/cpuinfo', firmware=lab.OVMF)
    r.status, r.stdout, r.files['cpuinfo'], r.dmesg, r.kernel_faults()

Whatever goes wrong (no boot, time limit, lost or damaged results) raises LabError; a
suite never passes or skips because a guest did not run. See README.md beside this file.
"""

import base64
import fcntl
import gzip
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

SEABIOS = 'seabios'
OVMF = 'ovmf'

CACHE_DIR = Path('/var/cache/kit-lab')
OVMF_CODE = Path('/usr/share/OVMF/OVMF_CODE_4M.fd')
OVMF_VARS = Path('/usr/share/OVMF/OVMF_VARS_4M.fd')
BUSYBOX = Path('/usr/bin/busybox')
REPO = Path(__file__).resolve().parents[2]

USER = 'user'
USER_ID = 1000

# Distribution modules of the kinds this project provides itself; a guest never gets these.
PROJECT_MODULES = frozenset({'dummy'})

# The host tools that a guest can ask for by name: each lands at /sbin/NAME (/sbin is a link to
# /usr/sbin), the listed extra names linked to it. kmod is always there.
TOOLS = {
    'kmod': ('/usr/bin/kmod', ('insmod', 'rmmod', 'modprobe', 'lsmod', 'depmod', 'modinfo')),
    'ip': ('/usr/bin/ip', ()),
    'ethtool': ('/usr/sbin/ethtool', ()),
}

DEFAULT_TIMEOUT = 180

_KERNEL_FAULT = re.compile(
    r'BUG:|WARNING:|Oops|general protection fault|Kernel panic|Call Trace:|UBSAN:|KASAN:'
    r'|kernel BUG|soft lockup|hard LOCKUP|blocked for more than|detected stall')


class LabError(Exception):
    """A guest could not be built, booted or heard from; the suite must fail."""


class LabTimeout(LabError):
    """A guest did not finish within its time limit."""


def build_path(*parts):
    """A path in the CMake build tree: $KIT_BUILD_DIR (set by CTest) or REPO/build."""
    return Path(os.environ.get('KIT_BUILD_DIR', REPO / 'build'), *parts)


# ---------------------------------------------------------------------------------------------
# The kernel package


def _cmd(args, **kwargs):
    p = subprocess.run(args, capture_output=True, stdin=subprocess.DEVNULL, **kwargs)
    if p.returncode != 0:
        raise LabError(f'{" ".join(map(str, args))} failed ({p.returncode}):\n'
                       f'{p.stderr.decode(errors="replace")}')
    return p.stdout


class Kernel:
    """The Debian kernel image matching linux-headers-amd64, fetched once into CACHE_DIR.

    Only boot/vmlinuz and modules asked for by name are ever taken out of the package; the
    package itself is never installed.
    """

    def __init__(self, version=None, cache_dir=CACHE_DIR):
        self.version = version or headers_version()
        self.cache = Path(cache_dir) / self.version
        self.cache.mkdir(parents=True, exist_ok=True)
        with self._locked():
            self.vmlinuz = self.cache / 'vmlinuz'
            if not self.vmlinuz.exists():
                self._extract({f'boot/vmlinuz-{self.version}': self.vmlinuz})

    def _locked(self):
        return _FileLock(self.cache / '.lock')

    def _deb(self):
        debs = sorted(self.cache.glob('linux-image-*.deb'))
        if debs:
            return debs[-1]
        pinned = _headers_package_version(self.version)
        names = [f'linux-image-{self.version}', f'linux-image-{self.version}-unsigned']
        attempts = [f'{n}={pinned}' for n in names if pinned] + names
        errors = []
        for refreshed in (False, True):
            if refreshed:  # a fresh machine may have no package lists yet
                subprocess.run(['apt-get', 'update', '-qq'], stdin=subprocess.DEVNULL,
                               capture_output=True)
            for what in attempts:
                with tempfile.TemporaryDirectory(dir=self.cache) as tmp:
                    p = subprocess.run(['apt-get', 'download', '-q', what], cwd=tmp,
                                       capture_output=True, stdin=subprocess.DEVNULL)
                    got = list(Path(tmp).glob('*.deb'))
                    if p.returncode == 0 and len(got) == 1:
                        target = self.cache / got[0].name
                        os.replace(got[0], target)
                        return target
                    errors.append(f'{what}: {p.stderr.decode(errors="replace").strip()}')
        raise LabError('cannot download the kernel image:\n' + '\n'.join(errors))

    def _extract(self, members):
        """Extracts {path in package: cache file}; nothing else leaves the package."""
        deb = self._deb()
        with tempfile.TemporaryDirectory(dir=self.cache) as tmp:
            tar = subprocess.Popen(['dpkg-deb', '--fsys-tarfile', str(deb)],
                                   stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
            out = subprocess.run(['tar', '-x', '-C', tmp] + [f'./{m}' for m in members],
                                 stdin=tar.stdout, capture_output=True)
            tar.stdout.close()
            if tar.wait() != 0 or out.returncode != 0:
                raise LabError(f'cannot extract {", ".join(members)} from {deb.name}:\n'
                               f'{out.stderr.decode(errors="replace")}')
            for member, target in members.items():
                target.parent.mkdir(parents=True, exist_ok=True)
                os.replace(Path(tmp, member), target)

    def _module_index(self):
        """{module name: path under lib/modules/VERSION/} for every module in the package."""
        index = self.cache / 'modules.list'
        if not index.exists():
            listing = _cmd(['dpkg-deb', '--contents', str(self._deb())]).decode()
            names = [line.split()[-1] for line in listing.splitlines() if line.strip()]
            prefix = f'./lib/modules/{self.version}/'
            paths = [n[len(prefix):] for n in names if n.startswith(prefix) and n.endswith('.ko')]
            tmp = index.with_suffix('.tmp')
            tmp.write_text(''.join(p + '\n' for p in paths))
            os.replace(tmp, index)
        return {_module_name(p): p for p in index.read_text().split()}

    def module(self, name):
        """Fetches a module of the package and the modules it depends on.

        NAME is a module name ('pktgen') or its path below kernel/ ('net/core/pktgen.ko').
        Returns [(path under lib/modules/VERSION/, cached host file)].
        """
        with self._locked():
            index = self._module_index()
            wanted, order = [_module_name(name)], []
            while wanted:
                mod = wanted.pop()
                if mod in PROJECT_MODULES:
                    raise LabError(f'the project provides {mod}; a guest never gets the '
                                   'distribution\'s module of that name')
                if mod not in index:
                    raise LabError(f'no module {mod} in linux-image-{self.version}')
                if index[mod] in order:
                    continue
                order.append(index[mod])
                cached = self.cache / index[mod]
                if not cached.exists():
                    self._extract({f'lib/modules/{self.version}/{index[mod]}': cached})
                deps = _cmd(['modinfo', '-F', 'depends', str(cached)]).decode().strip()
                wanted += [d for d in deps.split(',') if d]
            return [(p, self.cache / p) for p in order]


def _module_name(path):
    return Path(path).name.removesuffix('.ko').replace('-', '_')


def headers_version():
    """The kernel version linux-headers-amd64 depends on, e.g. '6.1.0-57-amd64'."""
    depends = _cmd(['dpkg-query', '-W', '-f=${Depends}', 'linux-headers-amd64']).decode()
    m = re.search(r'linux-headers-(\S+)', depends)
    if not m:
        raise LabError(f'linux-headers-amd64 depends on no headers package: {depends!r}')
    return m.group(1)


# What a build leaves in a module's source directory; a copy never takes it along, so every
# build compiles (and can warn) afresh.
_BUILD_OUTPUT = shutil.ignore_patterns('*.o', '*.ko', '*.mod', '*.mod.c', '.*.cmd', '*.i',
                                       'modules.order', 'Module.symvers', '.tmp_versions')


def build_module(source_dir, workdir):
    """Builds the module whose Kbuild file is in source_dir against the guest kernel's headers
    with W=1, from a copy of its sources under workdir; returns the directory that holds the
    .ko file. A build that fails or warns raises LabError."""
    source_dir = Path(source_dir)
    build = Path(workdir) / source_dir.name
    shutil.copytree(source_dir, build, ignore=_BUILD_OUTPUT)
    version = headers_version()
    kdir = next((d for d in (Path(f'/lib/modules/{version}/build'),
                             Path(f'/usr/src/linux-headers-{version}')) if d.is_dir()), None)
    if kdir is None:
        raise LabError(f'no kernel headers for {version}')
    p = subprocess.run(['make', '-C', str(kdir), f'M={build}', 'W=1', 'modules'],
                       capture_output=True, text=True, stdin=subprocess.DEVNULL)
    out = p.stdout + p.stderr
    if p.returncode != 0:
        raise LabError(f'building {source_dir.name} failed ({p.returncode}):\n{out}')
    warnings = [l for l in out.splitlines() if 'warning' in l.lower()]
    if warnings:
        raise LabError(f'building {source_dir.name} warns:\n' + '\n'.join(warnings))
    return build


def _headers_package_version(version):
    p = subprocess.run(['dpkg-query', '-W', '-f=${Version}', f'linux-headers-{version}'],
                       capture_output=True, stdin=subprocess.DEVNULL)
    return p.stdout.decode().strip() if p.returncode == 0 else ''


class _FileLock:
    def __init__(self, path):
        self.path = path

    def __enter__(self):
        self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
        fcntl.flock(self.fd, fcntl.LOCK_EX)

    def __exit__(self, *exc):
        os.close(self.fd)


_kernel = None


def kernel():
    """The shared Kernel instance of this process."""
    global _kernel
    if _kernel is None:
        _kernel = Kernel()
    return _kernel


# ---------------------------------------------------------------------------------------------
# The initramfs

_MERGED = {'bin': 'usr/bin', 'sbin': 'usr/sbin', 'lib': 'usr/lib', 'lib64': 'usr/lib64'}


def _canonical(path):
    """A guest path with the merged-/usr links resolved: /lib/x -> /usr/lib/x."""
    parts = Path(path).relative_to('/').parts
    if parts and parts[0] in _MERGED:
        parts = (*_MERGED[parts[0]].split('/'), *parts[1:])
    return '/' + '/'.join(parts)


class Image:
    """The file tree of one initramfs, written out as a gzip-compressed cpio (newc)."""

    def __init__(self):
        self.entries = {}  # guest path -> (mode, bytes or host Path or link target, uid)

    def _parents(self, path):
        parent = os.path.dirname(path)
        while parent != '/' and parent not in self.entries:
            self.entries[parent] = (0o040755, None, 0)
            parent = os.path.dirname(parent)

    def dir(self, path, mode=0o755, uid=0):
        self._parents(path)
        self.entries[path] = (0o040000 | mode, None, uid)

    def file(self, path, data, mode=0o644):
        """DATA is bytes or a host file (its content is read when the image is written)."""
        path = _canonical(path)
        self._parents(path)
        self.entries[path] = (0o100000 | mode, data, 0)

    def symlink(self, path, target):
        path = path if path.lstrip('/') in _MERGED else _canonical(path)
        self._parents(path)
        self.entries[path] = (0o120000 | 0o777, target.encode(), 0)

    def executable(self, path, host):
        """A host executable and, through ldd, the shared libraries it needs."""
        host = Path(host)
        if not host.is_file():
            raise LabError(f'no such executable: {host}')
        self.file(path, host.resolve(), 0o755)
        for lib in _shared_libraries(host):
            self.file(lib, Path(lib).resolve(), 0o755)

    def write(self, out):
        with gzip.open(out, 'wb', compresslevel=6) as z:
            for ino, path in enumerate(sorted(self.entries), 1):
                mode, data, uid = self.entries[path]
                if isinstance(data, Path):
                    data = data.read_bytes()
                _cpio_entry(z, ino, path.lstrip('/'), mode, data or b'', uid)
            _cpio_entry(z, 0, 'TRAILER!!!', 0, b'', 0)


def _cpio_entry(out, ino, name, mode, data, uid):
    name = name.encode() + b'\0'
    fields = (ino, mode, uid, uid, 1, 0, len(data), 0, 0, 0, 0, len(name), 0)
    header = b'070701' + b''.join(b'%08X' % f for f in fields)
    out.write(header + name + b'\0' * (-(len(header) + len(name)) % 4))
    out.write(data + b'\0' * (-len(data) % 4))


def _shared_libraries(path):
    p = subprocess.run(['ldd', str(path)], capture_output=True, stdin=subprocess.DEVNULL)
    text = p.stdout.decode()
    if p.returncode != 0:
        if 'not a dynamic executable' in text + p.stderr.decode():
            return []
        raise LabError(f'ldd {path} failed: {p.stderr.decode()}')
    libs = []
    for line in text.splitlines():
        if 'not found' in line:
            raise LabError(f'{path} needs a library this machine lacks: {line.strip()}')
        m = re.search(r'(?:=>\s*)?(/\S+)\s+\(0x', line)
        if m:
            libs.append(m.group(1))
    return libs


# The guest's PID 1. The script's own output goes to files; the console (ttyS0) carries only
# the kernel's messages and a few progress lines; results leave on ttyS1 once the script ends.
_INIT = r'''#!/bin/sh
export PATH=/usr/local/bin:/usr/sbin:/usr/bin HOME=/root
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs -o mode=755 tmpfs /run
echo /sbin/modprobe >/proc/sys/kernel/modprobe
mkdir -p /run/lab/spool/meta
echo "lab: script starts"
cd /tmp
/bin/sh /lab/script.sh </dev/null >/run/lab/spool/meta/stdout 2>/run/lab/spool/meta/stderr
status=$?
cd /
echo "lab: script exited with $status"
dmesg >/run/lab/spool/meta/dmesg
stty -F /dev/ttyS1 raw -echo
{
  echo
  echo "@@lab start"
  cd /run/lab/spool
  find . -type f | sort | while read -r f; do
    f=${f#./}
    sum=$(sha256sum <"$f")
    echo "@@lab begin $(wc -c <"$f") ${sum%% *} $f"
    base64 "$f"
    echo "@@lab end"
  done
  echo "@@lab exit $status"
  echo "@@lab done"
} >/dev/ttyS1
echo "lab: results sent"
poweroff -f
'''

# Checks a name that lab-send or lab-case files results under: relative, no '.' or '..' parts.
_NAME_CHECK = r'''check_name() {
  case "/$1/" in
    //|*//*|*/./*|*/../*|*[!A-Za-z0-9._/+-]*) echo "$0: bad result name: '$1'" >&2; exit 2;;
  esac
}
'''

_LAB_SEND = r'''#!/bin/sh
# lab-send FILE [NAME]: hands FILE to the host as NAME (default: its base name) when the
# script ends. FILE '-' is standard input (NAME is then required).
[ $# -eq 1 ] || [ $# -eq 2 ] || { echo "usage: lab-send FILE [NAME]" >&2; exit 2; }
''' + _NAME_CHECK + r'''
name=${2:-${1##*/}}
[ "$1" != - ] || [ $# -eq 2 ] || { echo "lab-send: reading stdin needs a NAME" >&2; exit 2; }
check_name "$name"
dst=/run/lab/spool/files/$name
[ ! -e "$dst" ] || { echo "lab-send: $name was already sent" >&2; exit 2; }
mkdir -p "${dst%/*}" || exit 2
if [ "$1" = - ]; then cat >"$dst"; else cat -- "$1" >"$dst"; fi || { rm -f "$dst"; exit 1; }
'''

_LAB_CASE = r'''#!/bin/sh
# lab-case NAME CMD [ARG]...: runs CMD with stdin from /dev/null and hands its stdout, stderr
# and exit status to the host as case NAME. Exits 0 unless the case could not be recorded.
[ $# -ge 2 ] || { echo "usage: lab-case NAME CMD [ARG]..." >&2; exit 2; }
''' + _NAME_CHECK + r'''
check_name "$1"
dir=/run/lab/spool/case/$1
[ ! -e "$dir" ] || { echo "lab-case: case $1 ran already" >&2; exit 2; }
mkdir -p "$dir" || exit 2
shift
"$@" </dev/null >"$dir/stdout" 2>"$dir/stderr"
echo $? >"$dir/status"
'''

_LAB_USER = r'''#!/bin/sh
# lab-user CMD [ARG]...: runs CMD as the unprivileged user (uid 1000, gid 1000, no other
# groups) in the current directory, with HOME, USER and LOGNAME of that user.
[ $# -ge 1 ] || { echo "usage: lab-user CMD [ARG]..." >&2; exit 2; }
exec su -s /bin/sh -c 'exec "$0" "$@"' -- user "$@"
'''


def _busybox_applets():
    out = _cmd([str(BUSYBOX), '--list-full']).decode().split()
    return [_canonical('/' + a) for a in out]


# ---------------------------------------------------------------------------------------------
# Booting


@dataclass
class Case:
    """What one lab-case command recorded."""
    stdout: str
    stderr: str
    status: int


@dataclass
class Result:
    """What a guest handed back. Text is UTF-8 decoded with surrogateescape."""
    status: int                 # the guest script's exit status
    stdout: str                 # the guest script's standard output
    stderr: str                 # the guest script's standard error
    dmesg: str                  # the guest kernel log, read after the script ended
    console: str                # everything on the serial console (firmware, kernel, /init)
    files: dict                 # NAME -> bytes, from lab-send
    cases: dict                 # NAME -> Case, from lab-case
    seconds: float              # wall time from starting QEMU to its exit

    def case(self, name):
        if name not in self.cases:
            raise KeyError(f'the guest recorded no case {name!r}; it has {sorted(self.cases)}')
        return self.cases[name]

    def kernel_faults(self):
        """Lines of the kernel log that tell of a kernel bug, warning, oops or stall."""
        return [l for l in self.dmesg.splitlines() if _KERNEL_FAULT.search(l)]


def _text(data):
    return data.decode('utf-8', errors='surrogateescape')


def parse_results(data):
    """Parses the result stream of ttyS1 into (exit status, {spool path: bytes}).

    Anything before the start line is ignored (firmware may write there); from it on every
    line must belong to the protocol, every file must arrive whole with its size and SHA-256
    matching, and the stream must end with the exit and done lines. Otherwise LabError.
    """
    lines = data.replace(b'\r', b'').split(b'\n')
    starts = [n for n, l in enumerate(lines) if l.endswith(b'@@lab start')]
    if not starts:
        raise LabError('the guest sent no results')
    i = starts[0] + 1
    files, status = {}, None
    while i < len(lines):
        line = lines[i].decode(errors='replace')
        i += 1
        if line == '@@lab done':
            if status is None:
                raise LabError('the guest sent no exit status')
            return status, files
        if status is not None:
            raise LabError(f'unexpected result line after the exit status: {line!r}')
        m = re.fullmatch(r'@@lab exit (\d+)', line)
        if m:
            status = int(m.group(1))
            continue
        m = re.fullmatch(r'@@lab begin (\d+) ([0-9a-f]{64}) (\S+)', line)
        if not m:
            raise LabError(f'unexpected result line: {line!r}')
        size, digest, name = int(m.group(1)), m.group(2), m.group(3)
        try:
            end = lines.index(b'@@lab end', i)
        except ValueError:
            raise LabError(f'result {name} is cut off') from None
        try:
            body = base64.b64decode(b''.join(lines[i:end]), validate=True)
        except ValueError as e:
            raise LabError(f'result {name} is damaged: {e}') from None
        if len(body) != size or hashlib.sha256(body).hexdigest() != digest:
            raise LabError(f'result {name} is damaged: {len(body)} bytes instead of {size} '
                           'or a wrong checksum')
        if name in files:
            raise LabError(f'result {name} arrived twice')
        files[name] = body
        i = end + 1
    raise LabError('the guest results are cut off (no done line)')


def _results(status, spool, seconds, console):
    meta = {k: _text(spool.get(f'meta/{k}', b'')) for k in ('stdout', 'stderr', 'dmesg')}
    files, cases = {}, {}
    for name, body in spool.items():
        kind, _, rest = name.partition('/')
        if kind == 'files':
            files[rest] = body
        elif kind == 'case':
            case, _, part = rest.rpartition('/')
            cases.setdefault(case, {})[part] = _text(body)
    return Result(
        status=status, files=files, console=console, seconds=seconds,
        cases={n: Case(c.get('stdout', ''), c.get('stderr', ''), int(c.get('status', '-1')))
               for n, c in cases.items()},
        **meta)


def _image(kern, script, binaries, modules, kernel_modules, tools, files):
    img = Image()
    for d, mode in (('/proc', 0o555), ('/sys', 0o555), ('/dev', 0o755), ('/tmp', 0o1777),
                    ('/run', 0o755), ('/root', 0o700), ('/etc', 0o755), ('/usr/bin', 0o755),
                    ('/usr/sbin', 0o755), ('/usr/lib64', 0o755), ('/usr/local/bin', 0o755)):
        img.dir(_canonical(d), mode)
    img.dir('/home/user', 0o755, uid=USER_ID)
    for link, target in _MERGED.items():
        img.symlink('/' + link, target)

    real, links = {}, {}  # guest path -> host executable; guest path -> link target
    for name in ('kmod', *tools):
        if name in TOOLS:
            host, aliases = TOOLS[name]
            real[f'/usr/sbin/{name}'] = host
            links.update((f'/usr/sbin/{a}', name) for a in aliases)
        elif name.startswith('/'):
            real[_canonical(name)] = name
        else:
            raise LabError(f'unknown tool {name!r}: give one of {sorted(TOOLS)} or a host path')
    # A real tool replaces the busybox applet of its name everywhere, so that programs which
    # look a name up in PATH find the tool (busybox sh itself still runs its applets first).
    taken = {os.path.basename(p) for p in (*real, *links)}
    img.file('/usr/bin/busybox', BUSYBOX, 0o755)
    for applet in _busybox_applets():
        if os.path.basename(applet) not in taken and applet not in ('/usr/bin/busybox', '/linuxrc'):
            img.symlink(applet, '/usr/bin/busybox')
    for path, host in real.items():
        img.executable(path, host)
    for path, target in links.items():
        img.symlink(path, target)
    for b in binaries:
        img.executable(f'/usr/local/bin/{Path(b).name}', b)

    img.file('/etc/passwd', b'root:x:0:0:root:/root:/bin/sh\n'
             b'user:x:1000:1000:user:/home/user:/bin/sh\n')
    img.file('/etc/group', b'root:x:0:\nuser:x:1000:\n')
    img.file('/init', _INIT.encode(), 0o755)
    img.file('/lab/script.sh', script.encode() if isinstance(script, str) else script, 0o755)
    for name, text in (('lab-send', _LAB_SEND), ('lab-case', _LAB_CASE), ('lab-user', _LAB_USER)):
        img.file(f'/usr/bin/{name}', text.encode(), 0o755)
    for path, data in (files or {}).items():
        if not path.startswith('/'):
            raise LabError(f'guest file paths are absolute: {path}')
        if isinstance(data, (bytes, bytearray)):
            img.file(path, bytes(data))
        elif Path(data).is_file():
            img.file(path, Path(data), Path(data).stat().st_mode & 0o7777)
        else:
            raise LabError(f'no such file: {data}')

    with tempfile.TemporaryDirectory() as tmp:
        mods = Path(tmp, 'lib/modules', kern.version)
        mods.mkdir(parents=True)
        for m in modules:
            if not Path(m).is_file():
                raise LabError(f'no such module: {m}')
            (mods / 'extra').mkdir(exist_ok=True)
            shutil.copy(m, mods / 'extra' / Path(m).name)
        for name in kernel_modules:
            for rel, host in kern.module(name):
                (mods / rel).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy(host, mods / rel)
        _cmd(['depmod', '-b', tmp, kern.version])
        for f in sorted(mods.rglob('*')):
            if f.is_file():
                img.file(f'/lib/modules/{kern.version}/{f.relative_to(mods)}', f.read_bytes())
    return img


_keep_count = 0


def _keep(work, name):
    """Copies a boot's work directory to $KIT_LAB_KEEP/NAME-N when that variable is set."""
    global _keep_count
    keep = os.environ.get('KIT_LAB_KEEP')
    if not keep:
        return None
    _keep_count += 1
    target = Path(keep) / f'{name}-{os.getpid()}-{_keep_count}'
    shutil.copytree(work, target, dirs_exist_ok=True)
    return target


def run(script, *, firmware=SEABIOS, binaries=(), modules=(), kernel_modules=(), tools=(),
        files=None, qemu_args=(), append=(), smp=2, memory='512M', timeout=DEFAULT_TIMEOUT,
        name='guest'):
    """Boots one guest, runs SCRIPT in it as root and returns its Result.

    script          shell text for busybox sh; it runs in /tmp with stdin from /dev/null
    firmware        SEABIOS (-machine pc) or OVMF (-machine q35, UEFI)
    binaries        host executables, installed as /usr/local/bin/BASENAME with their libraries
    modules         host .ko files, installed in /lib/modules/VERSION/extra (depmod is run)
    kernel_modules  modules of the Debian kernel package by name or path below kernel/,
                    installed with what they depend on ('pktgen', 'net/core/pktgen.ko')
    tools           names from TOOLS ('ip', 'ethtool'), installed as /sbin/NAME, or absolute
                    host paths, installed at that path; kmod is always there
    files           {absolute guest path: bytes or host file}
    qemu_args       extra QEMU arguments, e.g. ['-acpitable', 'file=t.dat']
    append          extra kernel command-line words, e.g. ['iomem=relaxed']
    timeout         seconds for the whole boot; past it the guest is killed and LabTimeout
                    raised
    name            names the kept work directory (see KIT_LAB_KEEP in README.md)
    """
    kern = kernel()
    if firmware not in (SEABIOS, OVMF):
        raise LabError(f'unknown firmware {firmware!r}')
    with tempfile.TemporaryDirectory(prefix='kit-lab-') as tmp:
        work = Path(tmp)
        try:
            return _boot(work, kern, script, firmware, binaries, modules, kernel_modules, tools,
                         files, qemu_args, append, smp, memory, timeout)
        finally:
            _keep(work, name)


def _boot(work, kern, script, firmware, binaries, modules, kernel_modules, tools, files,
          qemu_args, append, smp, memory, timeout):
    _image(kern, script, binaries, modules, kernel_modules, tools, files).write(
        work / 'initramfs.cpio.gz')
    # Warnings and worse still reach the console; the full log comes back as Result.dmesg.
    cmdline = ['console=ttyS0', 'loglevel=4', 'panic=-1', *append]
    args = ['qemu-system-x86_64', '-accel', 'tcg', '-nodefaults', '-no-user-config',
            '-display', 'none', '-no-reboot', '-nic', 'none', '-m', memory, '-smp', str(smp),
            '-serial', f'file:{work / "console.log"}', '-serial', f'file:{work / "results.log"}',
            '-kernel', str(kern.vmlinuz), '-initrd', str(work / 'initramfs.cpio.gz'),
            '-append', ' '.join(cmdline)]
    if firmware == OVMF:
        for f in (OVMF_CODE, OVMF_VARS):
            if not f.is_file():
                raise LabError(f'{f} is missing (package ovmf)')
        shutil.copy(OVMF_VARS, work / 'OVMF_VARS.fd')
        args += ['-machine', 'q35',
                 '-drive', f'if=pflash,format=raw,readonly=on,file={OVMF_CODE}',
                 '-drive', f'if=pflash,format=raw,file={work / "OVMF_VARS.fd"}']
    else:
        args += ['-machine', 'pc']
    args += list(qemu_args)
    (work / 'qemu.args').write_text('\n'.join(args) + '\n')

    start = time.monotonic()
    with open(work / 'qemu.stderr', 'wb') as err:
        try:
            qemu = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        except FileNotFoundError:
            raise LabError('qemu-system-x86_64 is missing (package qemu-system-x86)') from None
        try:
            code = qemu.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()
            raise LabTimeout(f'the guest did not finish within {timeout} s' +
                             _tail(work)) from None
    seconds = time.monotonic() - start
    console = _text(_read(work / 'console.log'))
    if code != 0:
        raise LabError(f'qemu exited with {code}: '
                       f'{_read(work / "qemu.stderr").decode(errors="replace")}' + _tail(work))
    try:
        status, spool = parse_results(_read(work / 'results.log'))
    except LabError as e:
        raise LabError(f'{e}' + _tail(work)) from None
    for rel, body in spool.items():  # for a look at a kept work directory
        (work / 'out' / rel).parent.mkdir(parents=True, exist_ok=True)
        (work / 'out' / rel).write_bytes(body)
    return _results(status, spool, seconds, console)


def _read(path):
    try:
        return path.read_bytes()
    except FileNotFoundError:
        return b''


def _tail(work, lines=40):
    text = _text(_read(work / 'console.log')).replace('\r', '').splitlines()
    return '\n--- last lines of the guest console ---\n' + '\n'.join(text[-lines:])


# ---------------------------------------------------------------------------------------------
# Checking results


class _Any:
    """Matches whatever a case field holds."""

    def __eq__(self, other):
        return True

    def __repr__(self):
        return 'ANY'


class _Failed:
    """Matches any exit status but 0."""

    def __eq__(self, other):
        return isinstance(other, int) and other != 0

    def __repr__(self):
        return 'FAILED'


ANY = _Any()
FAILED = _Failed()


class Containing:
    """Matches text (str, or bytes when PART is bytes) that holds PART somewhere."""

    def __init__(self, part):
        self.part = part

    def __eq__(self, other):
        return isinstance(other, type(self.part)) and self.part in other

    def __repr__(self):
        return f'Containing({self.part!r})'


def _raw(text):
    return text.encode('utf-8', 'surrogateescape')


class CaseAssertions:
    """Checks on what a guest handed back, for a unittest.TestCase that keeps the guest's
    Result in `result`."""

    result = None

    def case_bytes(self, name):
        """Case NAME as (stdout, stderr, status), its output as the exact bytes written."""
        c = self.result.case(name)
        return _raw(c.stdout), _raw(c.stderr), c.status

    def assertCase(self, name, stdout='', stderr='', status=0):
        """Checks case NAME and returns it. STDOUT and STDERR are the exact text (str) or bytes
        (bytes) the case wrote, ANY or Containing(part); STATUS is its exit status, ANY or
        FAILED (not 0). Unless told otherwise: nothing on either stream, exit status 0."""
        c = self.result.case(name)
        got = []
        for want, text in ((stdout, c.stdout), (stderr, c.stderr)):
            part = want.part if isinstance(want, Containing) else want
            got.append(_raw(text) if isinstance(part, bytes) else text)
        self.assertEqual((stdout, stderr, status), (*got, c.status), name)
        return c

    def assertStatus(self, name, status=0):
        """Checks case NAME's exit status alone (a number, or FAILED) and returns the case."""
        return self.assertCase(name, ANY, ANY, status)

    def assertGuestClean(self):
        """The guest script wrote nothing on standard error and the kernel logged no fault."""
        self.assertEqual('', self.result.stderr)
        self.assertEqual([], self.result.kernel_faults())
