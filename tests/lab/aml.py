"""AML, the byte code of definition blocks (DSDT, SSDT), assembled in Python for test tables.

Only the few constructs that test tables need are here; each is a function that returns the
encoded bytes, and terms nest by passing those bytes on:

    import aml
    table = aml.ssdt(
        aml.scope('\\_SB',
                  aml.device('KDEV',
                             aml.name('_HID', aml.string('PNP0C0B')),
                             aml.name('FLAG', 0),
                             aml.method('_PS0', aml.store(1, 'FLAG')))),
        oem_table=b'EXAMPLE ')

In every operand position an int is an integer constant, a str is a name (a reference to a named
object such as 'FLAG' or '\\_SB.KDEV'), and bytes are an encoded term (aml.string(...),
aml.buffer(...), aml.local(0), the result of another function here). A string literal is always
aml.string(...), so the two never mix.

The table functions (definition_block, ssdt) wrap a term list in a table header with a correct
checksum through tables.make_table.
"""

import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from tables import make_table  # noqa: E402

ROOT_PREFIX = b'\\'
PARENT_PREFIX = b'^'
DUAL_NAME_PREFIX = b'\x2e'
MULTI_NAME_PREFIX = b'\x2f'
NULL_NAME = b'\x00'

ZERO_OP, ONE_OP = b'\x00', b'\x01'
BYTE_PREFIX, WORD_PREFIX, DWORD_PREFIX, STRING_PREFIX, QWORD_PREFIX = (
    b'\x0a', b'\x0b', b'\x0c', b'\x0d', b'\x0e')
NAME_OP = b'\x08'
SCOPE_OP = b'\x10'
BUFFER_OP = b'\x11'
PACKAGE_OP = b'\x12'
METHOD_OP = b'\x14'
LOCAL0_OP = 0x60
ARG0_OP = 0x68
STORE_OP = b'\x70'
LNOT_OP = b'\x92'
LEQUAL_OP = b'\x93'
IF_OP = b'\xa0'
ELSE_OP = b'\xa1'
RETURN_OP = b'\xa4'
EXT_OP = b'\x5b'
LOAD_OP = EXT_OP + b'\x20'
DEVICE_OP = EXT_OP + b'\x82'

_SEGMENT = re.compile(r'[A-Z_][A-Z0-9_]{0,3}')
_MAX_PKG_LENGTH = (1 << 28) - 1


# ---------------------------------------------------------------------------------------------
# Encodings


def pkg_length(length):
    """The PkgLength of a body of LENGTH bytes: the count covers the encoding itself, which
    takes 1 byte up to 63 in all, else a lead byte (its top bits the number of bytes that
    follow, its low nibble the count's lowest 4 bits) and 1 to 3 further bytes."""
    if length + 1 <= 0x3F:
        return bytes([length + 1])
    for follow in (1, 2, 3):
        total = length + 1 + follow
        if total < 1 << (4 + 8 * follow):
            return bytes([follow << 6 | total & 0x0F]) + (total >> 4).to_bytes(follow, 'little')
    raise ValueError(f'a package of {length} bytes is too long for AML (at most '
                     f'{_MAX_PKG_LENGTH} with its length)')


def _package(opcode, body):
    return opcode + pkg_length(len(body)) + body


def name_seg(segment):
    """One 4-character name segment; shorter names are padded with '_' as the language does."""
    if not _SEGMENT.fullmatch(segment):
        raise ValueError(f'not a name segment: {segment!r}')
    return segment.ljust(4, '_').encode('ascii')


def name_string(path):
    """A name or path: 'FLAG', '\\_SB.KDEV', '^^PARN.CHLD'; '' is the null name."""
    prefix = b''
    if path.startswith('\\'):
        prefix, path = ROOT_PREFIX, path[1:]
    else:
        while path.startswith('^'):
            prefix, path = prefix + PARENT_PREFIX, path[1:]
    segments = [name_seg(s) for s in path.split('.')] if path else []
    if len(segments) == 0:
        body = NULL_NAME
    elif len(segments) == 1:
        body = segments[0]
    elif len(segments) == 2:
        body = DUAL_NAME_PREFIX + b''.join(segments)
    elif len(segments) <= 255:
        body = MULTI_NAME_PREFIX + bytes([len(segments)]) + b''.join(segments)
    else:
        raise ValueError(f'a path of {len(segments)} segments is too long')
    return prefix + body


def integer(value):
    """An integer constant in its shortest form (Zero, One or a prefixed 1, 2, 4, 8 bytes)."""
    if not 0 <= value < 1 << 64:
        raise ValueError(f'not a 64-bit unsigned integer: {value}')
    if value in (0, 1):
        return ZERO_OP if value == 0 else ONE_OP
    for prefix, size in ((BYTE_PREFIX, 1), (WORD_PREFIX, 2), (DWORD_PREFIX, 4), (QWORD_PREFIX, 8)):
        if value < 1 << (8 * size):
            return prefix + value.to_bytes(size, 'little')
    raise AssertionError('unreachable')


def string(text):
    """A string constant: ASCII without NUL, NUL-terminated."""
    data = text.encode('ascii')
    if b'\0' in data:
        raise ValueError('a string constant cannot hold NUL')
    return STRING_PREFIX + data + b'\0'


def operand(value):
    """An operand: int -> integer constant, str -> name, bytes -> already encoded."""
    if isinstance(value, bool):
        raise TypeError('give 0 or 1, not a bool')
    if isinstance(value, int):
        return integer(value)
    if isinstance(value, str):
        return name_string(value)
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    raise TypeError(f'not an AML operand: {value!r}')


def local(n):
    """Local0 to Local7."""
    if not 0 <= n <= 7:
        raise ValueError(f'no Local{n}')
    return bytes([LOCAL0_OP + n])


def arg(n):
    """Arg0 to Arg6."""
    if not 0 <= n <= 6:
        raise ValueError(f'no Arg{n}')
    return bytes([ARG0_OP + n])


# ---------------------------------------------------------------------------------------------
# Data objects


def buffer(data):
    """Buffer () {data}: its size, then the bytes."""
    data = bytes(data)
    return _package(BUFFER_OP, integer(len(data)) + data)


def package(*elements):
    """Package () {elements}: at most 255 elements (ints, names, encoded objects)."""
    if len(elements) > 255:
        raise ValueError('a Package holds at most 255 elements')
    return _package(PACKAGE_OP, bytes([len(elements)]) + b''.join(map(operand, elements)))


# ---------------------------------------------------------------------------------------------
# Named objects and namespace


def name(path, value):
    """Name (path, value)."""
    return NAME_OP + name_string(path) + operand(value)


def scope(path, *terms):
    """Scope (path) {terms}."""
    return _package(SCOPE_OP, name_string(path) + b''.join(terms))


def device(path, *terms):
    """Device (path) {terms}."""
    return _package(DEVICE_OP, name_string(path) + b''.join(terms))


def method(path, *terms, args=0, serialized=False, sync_level=0):
    """Method (path, args, serialized or not, sync level) {terms}."""
    if not 0 <= args <= 7 or not 0 <= sync_level <= 15:
        raise ValueError(f'bad method flags: {args} arguments, sync level {sync_level}')
    flags = args | (0x08 if serialized else 0) | sync_level << 4
    return _package(METHOD_OP, name_string(path) + bytes([flags]) + b''.join(terms))


# ---------------------------------------------------------------------------------------------
# Statements and expressions


def if_(predicate, *terms):
    """If (predicate) {terms}."""
    return _package(IF_OP, operand(predicate) + b''.join(terms))


def else_(*terms):
    """Else {terms}: directly after an if_()."""
    return _package(ELSE_OP, b''.join(terms))


def store(value, target):
    """Store (value, target)."""
    return STORE_OP + operand(value) + operand(target)


def load(path, handle):
    """Load (path, handle): loads the definition block held by the named object (a Buffer, an
    OperationRegion or a Field) and stores the new table's handle in HANDLE."""
    return LOAD_OP + name_string(path) + operand(handle)


def return_(value):
    """Return (value)."""
    return RETURN_OP + operand(value)


def lequal(left, right):
    """LEqual (left, right)."""
    return LEQUAL_OP + operand(left) + operand(right)


def lnot(value):
    """LNot (value)."""
    return LNOT_OP + operand(value)


# ---------------------------------------------------------------------------------------------
# Tables


def definition_block(signature, *terms, revision=2, **header):
    """A table of SIGNATURE whose body is TERMS; HEADER as tables.make_table takes it (oem,
    oem_table, oem_revision, creator, creator_revision).

    The width of every integer on a machine follows its DSDT's revision (1: 32 bits, 2 and
    later: 64 bits), whatever the revision of the table that holds it. QEMU's DSDT has
    revision 1, so in the lab's guests the kernel truncates larger constants with a warning."""
    header.setdefault('creator', b'KLAB')
    header.setdefault('creator_revision', 1)
    return make_table(signature, payload=b''.join(terms), revision=revision, **header)


def ssdt(*terms, **header):
    """An SSDT holding TERMS."""
    return definition_block(b'SSDT', *terms, **header)


def run_time_tables(tables, prefix='TB'):
    """Definitions and statements that load TABLES at run time, each at most once.

    Returns (definitions, statements). The definitions go into a scope: for table n (from 1)
    the Buffer PREFIX + 'B' + n holding its bytes and the flag PREFIX + 'F' + n. The statements
    go into the method that is to load them: for each table, when its flag is still 0, set the
    flag and load the buffer, so that later calls (and a failed load) never load it again."""
    if not re.fullmatch(r'[A-Z_][A-Z0-9_]', prefix) or not 1 <= len(tables) <= 9:
        raise ValueError('a 2-character name prefix and 1 to 9 tables')
    definitions, statements = [], []
    for n, table in enumerate(tables, 1):
        data, flag = f'{prefix}B{n}', f'{prefix}F{n}'
        definitions += [name(data, buffer(table)), name(flag, 0)]
        statements.append(if_(lequal(flag, 0), store(1, flag), load(data, local(0))))
    return definitions, statements
