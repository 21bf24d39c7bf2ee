"""halvorn end to end: the real binary, its stdout, stderr and exit status compared exactly."""

import os
import pty
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import memcheck
from halvorn_cases import HALVORN, hex_dump, parse_hex_dump, run, usage_text

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from tables import make_rsdp, make_table  # noqa: E402

USAGE = usage_text()
BANNER = re.compile(rb"\nNorwent Tessaline\n[^\n]* version 20211217\n[^\n]*\n\n")
SYSFS = "/sys/firmware/acpi/tables"


class Scratch(unittest.TestCase):
    """Each test runs in a fresh directory of its own."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="halvorn-it-")
        self.addCleanup(shutil.rmtree, self.dir)

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()

    def run_in_dir(self, args, stdin=b"", timeout=60):
        return run(args, cwd=self.dir, stdin=stdin, timeout=timeout)

    def assertRun(self, args, out, err, status, stdin=b"", timeout=60):
        self.assertEqual(self.run_in_dir(args, stdin, timeout), (out, err, status))


class CommandLine(Scratch):
    def test_help_and_scanner_errors_print_usage(self):
        cases = [
            (["-h"], b"", 0),
            (["-?"], b"", 0),
            (["-q"], b"Illegal option: -q\n", 0),
            (["-o"], b"Option requires an argument: -o\n", 0),
            (["-bq"], b"Illegal option: -q\n", 0),
            (["-a", "0x1000", "-h"], b"", 0),  # no table is read
            (["-^"], b"", 255),
        ]
        for args, err, status in cases:
            with self.subTest(args=args):
                self.assertRun(args, USAGE, err, status)

    def test_version_options(self):
        out, err, status = self.run_in_dir(["-v"])
        self.assertEqual((out, status), (b"", 0))
        self.assertRegex(err, b"^" + BANNER.pattern + b"$")

        out, err, status = self.run_in_dir(["-vd"])
        self.assertEqual(status, 0)
        self.assertRegex(err, b"^" + BANNER.pattern + b"$")
        self.assertRegex(out, rb"^Build date/time: [A-Z][a-z]{2} [ 0-9]\d \d{4} \d\d:\d\d:\d\d\n$")

        # "-v d": the d is not read.
        out, err, status = self.run_in_dir(["-v", "d"])
        self.assertEqual((out, status), (b"", 0))
        self.assertRegex(err, b"^" + BANNER.pattern + b"$")

        self.assertRun(["-vx"], b"Unknown option: -vx\n", b"", 255)

    def test_bad_settings_end_the_run(self):
        cases = [
            (["-c", "ON"], b"ON: Cannot handle this switch, please use on|off\n"),
            (["-c", "maybe", "-f", "x"], b"maybe: Cannot handle this switch, please use on|off\n"),
            (["-r", "18446744073709551616"],
             b"18446744073709551616: Could not convert to a physical address\n"),
            (["-r", "0x10000000000000000"],
             b"0x10000000000000000: Could not convert to a physical address\n"),
            (["-n", "FACPX"], b"Invalid table signature [FACPX]: must be exactly 4 characters\n"),
            (["-n", "DSD"], b"Invalid table signature [DSD]: must be exactly 4 characters\n"),
            (["-a", "02000000000000000000000"],
             b"02000000000000000000000: Could not convert to a physical address\n"),
        ]
        for args, err in cases:
            with self.subTest(args=args):
                self.assertRun(args, b"", err, 255)

    def test_thirty_two_table_options_at_most(self):
        table = self.write("t.dat", make_table(b"SSDT"))
        out, err, status = self.run_in_dir(["-s"] + ["-f", table] * 32)
        self.assertEqual((err, status), (b"", 0))
        self.assertEqual(out.count(b"\n"), 32)
        # A 33rd ends the run before any action.
        self.assertRun(["-s"] + ["-f", table] * 33, b"", b"Too many table options (max 32)\n", 255)

    def test_options_end_at_double_dash_lone_dash_and_non_options(self):
        table = self.write("t.dat", make_table(b"SSDT"))
        summary = (b"ACPI: SSDT 0x0000000000000000 000024 "
                   b"(v02 OEMID  TABLEID  00000001 CRTR 20211217)\n")
        for tail in (["--", "-q"], ["-", "-q"], ["file", "-q"]):
            with self.subTest(tail=tail):
                self.assertRun(["-s", "-f", table] + tail, summary, b"", 0)


class FileDumps(Scratch):
    def test_hex_dump_of_a_file_table(self):
        table = make_table(b"SSDT", payload=bytes(range(0x1E, 0x90)), trailing=b"TRAILING")
        path = self.write("ssdt.dat", table)
        body = table[:-len(b"TRAILING")]
        self.assertRun(["-f", path], b"SSDT @ 0x0000000000000000\n" + hex_dump(body) + b"\n", b"",
                       0)

    def test_file_refusals(self):
        long = self.write("long.dat", make_table(b"SSDT", length=0x40))
        tiny = self.write("tiny.dat", b"SSDT\x08\0")
        cases = [
            (["-f", long], b"Table length (0x40) is too large for input file (0x24) %s\n" %
             long.encode()),
            (["-f", tiny], b"Input file %s is too short for a table header (0x6 bytes)\n" %
             tiny.encode()),
            (["-f", "/nonexistent/x.dat"], b"Could not open input file: /nonexistent/x.dat\n"),
        ]
        for args, err in cases:
            with self.subTest(args=args):
                self.assertRun(args, b"", err, 255)

    def test_implausible_tables_are_still_output(self):
        short = self.write("short.dat", make_table(b"DSDT", length=35, payload=b"\0" * 4))
        lower = self.write("lower.dat", make_table(b"facp"))
        self.assertRun(["-f", short], b"DSDT @ 0x0000000000000000\n\n",
                       b"Table length (0x00000023) is invalid\n", 0)
        self.assertRun(["-f", lower], b"facp @ 0x0000000000000000\n\n",
                       b"No valid ACPI signature was found in input file %s\n"
                       b"Table signature (0x70636166) is invalid\n" % lower.encode(), 0)

    def test_binary_files(self):
        ssdt = make_table(b"SSDT", payload=b"abc", trailing=b"xyz")
        path = self.write("in.bin", ssdt)
        self.assertRun(["-b", "-f", path], b"", b"", 0)
        self.assertEqual(self.read("ssdt.dat"), ssdt[:-3])

        # Verbose mode names the table and its length.
        out, err, status = self.run_in_dir(["-z", "-b", "-f", path])
        self.assertEqual((out, status), (b"", 0))
        self.assertRegex(err, b"^" + BANNER.pattern +
                         b"Input file:  %s contains table \\[SSDT\\], 0x2A \\(42\\) bytes\n"
                         b"Writing \\[SSDT\\] to binary file: ssdt.dat 0x27 \\(39\\) bytes\n$" %
                         re.escape(path.encode()))

        # An existing file of that name is overwritten without a question.
        self.write("ssdt.dat", b"old")
        self.assertRun(["-b", "-f", path], b"", b"", 0)
        self.assertEqual(self.read("ssdt.dat"), ssdt[:-3])

    def test_rsdp_files_read_back(self):
        for revision, length in ((0, 20), (1, 20), (2, 36)):
            with self.subTest(revision=revision):
                rsdp = make_rsdp(revision, rsdt=0x7FFE1234, xsdt=0x7FFE1300 if revision else 0)
                path = self.write("in.dat", rsdp[:length])
                self.assertRun(["-f", path], b"RSD  @ 0x0000000000000000\n" +
                               hex_dump(rsdp[:length]) + b"\n", b"", 0)
                self.assertRun(["-s", "-f", path], b"ACPI: RSDP 0x0000000000000000 %06X "
                               b"(v%02d OEMID )\n" % (length, revision), b"", 0)
                # What -b writes reads back as it was.
                self.assertRun(["-b", "-f", path], b"", b"", 0)
                self.assertEqual(self.read("rsdp.dat"), rsdp[:length])
                self.assertRun(["-f", os.path.join(self.dir, "rsdp.dat")],
                               *self.run_in_dir(["-f", path]))

        # A file shorter than its RSDP is refused.
        path = self.write("short.dat", make_rsdp(2)[:30])
        self.assertRun(["-f", path], b"",
                       b"Table length (0x24) is too large for input file (0x1E) %s\n" %
                       path.encode(), 255)

    def test_binary_file_names_are_plain_visible_names(self):
        cases = [(b"..\0\0", "__.dat"), (b"../x", "___x.dat"), (b"a\nb ", "a_b_.dat"),
                 (b"\x80\xff\x7f\x01", "____.dat"), (b"KIT!", "kit_.dat"),
                 (b"SSDT", "ssdt.dat"), (b"A_9Z", "a_9z.dat")]
        for signature, name in cases:
            with self.subTest(signature=signature):
                path = self.write("in.bin", make_table(signature))
                before = set(os.listdir(self.dir))
                _, _, status = self.run_in_dir(["-b", "-f", path])
                self.assertEqual(status, 0)
                self.assertEqual(set(os.listdir(self.dir)) - before, {name})
                os.remove(os.path.join(self.dir, name))

    def test_created_files_are_readable_by_their_owner_only(self):
        path = self.write("in.bin", make_table(b"SSDT"))
        # (umask, the mode of a file already there or None, the mode afterwards)
        cases = [(0o022, None, 0o600), (0o000, None, 0o600), (0o277, None, 0o400),
                 (0o022, 0o644, 0o644)]
        for option, name in (("-b", "ssdt.dat"), ("-o", "out.txt")):
            for mask, existing, mode in cases:
                with self.subTest(option=option, umask=oct(mask), existing=existing):
                    target = os.path.join(self.dir, name)
                    if os.path.exists(target):
                        os.remove(target)
                    if existing is not None:
                        self.write(name, b"old")
                        os.chmod(target, existing)
                    args = ["-b", "-f", path] if option == "-b" else ["-o", name, "-f", path]
                    saved = os.umask(mask)
                    try:
                        result = self.run_in_dir(args, stdin=b"y")
                    finally:
                        os.umask(saved)
                    self.assertEqual(result[2], 0, result)
                    self.assertEqual(os.stat(target).st_mode & 0o7777, mode)

    def test_input_that_is_no_table_file_is_refused_at_once(self):
        os.mkdir(os.path.join(self.dir, "dir"))
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        huge = os.path.join(self.dir, "huge")
        with open(huge, "wb") as f:
            f.truncate(1 << 32)  # sparse
        cases = [
            ("dir", b"Input file dir is a directory\n"),
            ("fifo", b"Input file fifo is not a regular file\n"),  # no writer: must not block
            ("/dev/null", b"Input file /dev/null is not a regular file\n"),
            ("/dev/stdin", b"Input file /dev/stdin is not a regular file\n"),  # a pipe
            ("huge", b"Input file huge is too large for a table file (4 GiB or more)\n"),
        ]
        for path, err in cases:
            with self.subTest(path=path):
                self.assertRun(["-f", path], b"", err, 255, stdin=make_table(b"SSDT"),
                               timeout=30)

    def test_binary_file_that_cannot_be_written(self):
        path = self.write("in.bin", make_table(b"SSDT"))
        os.mkdir(os.path.join(self.dir, "ssdt.dat"))
        self.assertRun(["-b", "-f", path], b"", b"Could not open output file: ssdt.dat\n", 255)

    def test_actions_run_in_order_and_settings_apply_to_all(self):
        a = self.write("a.dat", make_table(b"APIC"))
        b = self.write("b.dat", make_table(b"HPET", oem=b"AB\0\0\0\0", oem_table=b"T\tBL\x80\0\0\0"))
        out, err, status = self.run_in_dir(["-f", b, "-f", a, "-s"])
        self.assertEqual((err, status), (b"", 0))
        self.assertEqual(out, b"ACPI: HPET 0x0000000000000000 000024 "
                              b"(v02 AB     T?BL?    00000001 CRTR 20211217)\n"
                              b"ACPI: APIC 0x0000000000000000 000024 "
                              b"(v02 OEMID  TABLEID  00000001 CRTR 20211217)\n")

    def test_first_failing_action_ends_the_run(self):
        good = self.write("good.dat", make_table(b"APIC"))
        self.assertRun(["-s", "-f", "missing.dat", "-f", good], b"",
                       b"Could not open input file: missing.dat\n", 255)

    def test_summary_forms(self):
        facs = bytearray(64)
        facs[0:4] = b"FACS"
        facs[4] = 64
        cases = [
            (bytes(facs), b"ACPI: FACS 0x0000000000000000 000040\n"),
            (make_table(b"DSDT", payload=b"\0" * 0x1000000),
             b"ACPI: DSDT 0x0000000000000000 1000024 "
             b"(v02 OEMID  TABLEID  00000001 CRTR 20211217)\n"),
            (make_table(b"SSDT", revision=255),
             b"ACPI: SSDT 0x0000000000000000 000024 "
             b"(v255 OEMID  TABLEID  00000001 CRTR 20211217)\n"),
        ]
        for table, line in cases:
            with self.subTest(line=line):
                path = self.write("t.dat", table)
                self.assertRun(["-s", "-f", path], line, b"", 0)


class OutputFile(Scratch):
    def setUp(self):
        super().setUp()
        self.table = self.write("t.dat", make_table(b"APIC"))
        self.dump = b"APIC @ 0x0000000000000000\n" + hex_dump(make_table(b"APIC")) + b"\n"

    def test_new_output_file(self):
        self.assertRun(["-o", "out.txt", "-f", self.table], b"", b"", 0)
        self.assertEqual(self.read("out.txt"), self.dump)

    def test_overwrite_question(self):
        question = b"Target path already exists, overwrite? [y|n] "
        for answer, accepted in [(b"y\n", True), (b"Y", True), (b"\ny", True), (b"yes\n", True),
                                 (b"n\n", False), (b"x", False), (b"\n\ny", False), (b"", False)]:
            with self.subTest(answer=answer):
                self.write("out.txt", b"old")
                self.assertRun(["-o", "out.txt", "-f", self.table], b"", question,
                               0 if accepted else 255, stdin=answer)
                self.assertEqual(self.read("out.txt"), self.dump if accepted else b"old")

    def test_summaries_stay_on_standard_output(self):
        out, err, status = self.run_in_dir(["-s", "-o", "out.txt", "-f", self.table])
        self.assertEqual((err, status), (b"", 0))
        self.assertTrue(out.startswith(b"ACPI: APIC "))
        self.assertEqual(self.read("out.txt"), b"")

    def test_verbose_reports_the_output_size(self):
        out, err, status = self.run_in_dir(["-z", "-o", "out.txt", "-f", self.table])
        self.assertEqual((out, status), (b"", 0))
        size = len(self.dump)
        self.assertRegex(err, b"Output file out.txt contains 0x%X \\(%d\\) bytes\n\n$" %
                         (size, size))

    def test_second_output_file_replaces_the_first(self):
        self.assertRun(["-o", "one.txt", "-o", "two.txt", "-f", self.table], b"", b"", 0)
        self.assertEqual(self.read("one.txt"), b"")
        self.assertEqual(self.read("two.txt"), self.dump)

    def test_output_to_a_terminal_has_no_size(self):
        leader, follower = pty.openpty()
        self.addCleanup(os.close, leader)
        self.addCleanup(os.close, follower)
        terminal = os.ttyname(follower)
        out, err, status = self.run_in_dir(["-z", "-o", terminal, "-f", self.table], stdin=b"y\n")
        self.assertEqual((out, status), (b"", 0))
        self.assertRegex(err, b"^" + BANNER.pattern +
                         b"Target path already exists, overwrite\\? \\[y\\|n\\] "
                         b"Input file:  [^\n]* contains table \\[APIC\\], 0x24 \\(36\\) bytes\n"
                         b"Could not get file offset\n"
                         b"Output file %s contains 0xFFFFFFFF \\(4294967295\\) bytes\n\n$" %
                         re.escape(terminal.encode()))

    def test_standard_output_that_cannot_be_written_fails(self):
        with open("/dev/full", "wb") as full:
            result = subprocess.run(memcheck.command([HALVORN, "-f", self.table]), stdout=full,
                                    capture_output=False, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual((result.stderr, result.returncode),
                         (b"Could not write standard output\n", 255))

    def test_output_file_on_a_full_device_fails(self):
        os.symlink("/dev/full", os.path.join(self.dir, "full"))
        self.assertRun(["-o", "full", "-f", self.table], b"",
                       b"Target path already exists, overwrite? [y|n] "
                       b"Could not write output file: full\n", 255, stdin=b"y")


def sysfs_tables():
    """(signature, instance, bytes) of every table file, in the directory's own order."""
    tables = []
    for directory in (SYSFS, os.path.join(SYSFS, "dynamic")):
        for name in os.listdir(directory):
            path = os.path.join(directory, name)
            if name.startswith(".") or os.path.isdir(path) or len(name) < 4:
                continue
            if len(name) > 4 and not name[4].isdigit():
                continue
            instance = int(re.match(r"\d*", name[4:]).group() or 0)
            with open(path, "rb") as f:
                tables.append((name[:4], instance, f.read()))
    return tables


@unittest.skipUnless(os.access(SYSFS, os.R_OK) and os.geteuid() == 0,
                     "needs the kernel's table files and root")
class SysfsTables(Scratch):
    def test_dump_of_every_table_reads_back_as_the_files(self):
        out, err, status = self.run_in_dir([])
        self.assertEqual((err, status), (b"", 0))
        expected = [("%s @ 0x0000000000000000" % sig, data) for sig, _, data in sysfs_tables()]
        self.assertEqual(parse_hex_dump(out), expected)

    def test_binary_files_equal_the_table_files(self):
        self.assertRun(["-b"], b"", b"", 0)
        for sig, instance, data in sysfs_tables():
            name = sig.lower() + (str(instance) if instance else "") + ".dat"
            self.assertEqual(self.read(name), data, name)

    def test_one_summary_per_table(self):
        out, err, status = self.run_in_dir(["-s"])
        self.assertEqual((err, status), (b"", 0))
        lines = out.decode().splitlines()
        self.assertEqual([line[6:10] for line in lines], [sig for sig, _, _ in sysfs_tables()])
        for line, (_, _, data) in zip(lines, sysfs_tables()):
            self.assertIn(" 0x0000000000000000 %06X " % len(data), line + " ")

    def test_by_signature(self):
        sig, _, data = sysfs_tables()[0]
        out, err, status = self.run_in_dir(["-n", sig.lower()])
        self.assertEqual((err, status), (b"", 0))
        self.assertEqual(parse_hex_dump(out)[0], ("%s @ 0x0000000000000000" % sig, data))
        # A signature the machine does not have dumps nothing and succeeds.
        self.assertRun(["-n", "ZZZZ"], b"", b"", 0)

    def test_address_zero(self):
        self.assertRun(["-a", "0"], b"",
                       b"Could not get table at 0x0000000000000000, AE_BAD_ADDRESS\n", 255)


@unittest.skipIf(os.path.exists("/dev/mem"), "this machine has a memory device")
class NoMemoryDevice(Scratch):
    def test_memory_mode_fails_cleanly(self):
        self.assertRun(["-c", "off"], b"",
                       b"Cannot open /dev/mem\nCould not get ACPI tables, AE_NOT_FOUND\n", 255)

    @unittest.skipUnless(os.access(SYSFS, os.R_OK), "needs the kernel's table files")
    def test_table_at_an_address(self):
        self.assertRun(["-a", "0xE0000"], b"",
                       b"Cannot open /dev/mem\nCould not map table header at 0x00000000000E0000\n"
                       b"Could not get table at 0x00000000000E0000, AE_NOT_FOUND\n", 255)


if __name__ == "__main__":
    unittest.main()
