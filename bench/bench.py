#!/usr/bin/env python3
"""Times `halvorn -f` on a large synthetic table against the hex dumpers people use today.

One run, one data set: a valid table of --size MiB (36-byte header, Length = file size, correct
checksum, a pseudo-random payload holding every byte value) is dumped by `halvorn -f`, `xxd`,
`hexdump -C` and `od -A x -t x1z -v`, each writing to a file in the work directory, and an
output-sized file is copied there by `cat`, the limit for writing that many bytes. Page caches
cannot be dropped here, so every command runs once untimed to warm them; then each timed round
runs every command once, in a shuffled order, so that drift of the machine touches them alike.

Before that, `halvorn` without arguments dumps this machine's sysfs tables (as root) many times,
to guard small tables against regressions; valgrind, when present, adds the instruction count of
one run, which unlike the time does not depend on the machine's load. Peak memory is the maximum
resident set size that GNU time reports for one more run of each command.

--baseline BINARY adds another halvorn build to both parts and checks that it writes the same
bytes. The exit status is 1 when a target below is missed or a command fails.
"""

import argparse
import hashlib
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SYSFS_TABLES = "/sys/firmware/acpi/tables"
GNU_TIME = "/usr/bin/time"
MIB = 1 << 20

# The targets: halvorn at least this many times faster than xxd, at most this many times the
# time of cat, and a peak resident set of at most the file size plus this much.
MIN_SPEEDUP_OVER_XXD = 5.0
MAX_RATIO_TO_CAT = 4.0
MEMORY_ALLOWANCE = 8 * MIB


def make_table(path, size):
    """Writes a valid table of `size` bytes whose payload holds every byte value."""
    body = bytearray(random.Random(20211217).randbytes(size))
    body[0:36] = (b"BNCH" + struct.pack("<I", size) + bytes([1, 0]) + b"HALVRN" + b"BENCHTBL" +
                  struct.pack("<I", 1) + b"HLVN" + struct.pack("<I", 0x20211217))
    body[9] = -sum(body) & 0xFF
    with open(path, "wb") as f:
        f.write(body)


def expected_rows(path, size):
    """The heading, the first row and the last row that halvorn must write for the table."""
    with open(path, "rb") as f:
        first = f.read(16)
        f.seek(size - 16)
        last = f.read(16)

    def row(offset, data):
        hex_column = "".join("%02X " % b for b in data)
        text = "".join(chr(b) if 0x20 <= b <= 0x7E else "." for b in data)
        return "%8.4X: %s %s\n" % (offset, hex_column, text)

    return "BNCH @ 0x0000000000000000\n", row(0, first), row(size - 16, last)


def run_once(argv, out_path):
    """Runs argv with stdout into out_path; returns (wall seconds, CPU seconds)."""
    with open(out_path, "wb") as out, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        _, status, usage = os.wait4(child.pid, 0)
        elapsed = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode != 0:
            err.seek(0)
            sys.exit("%s failed with status %d: %s" %
                     (" ".join(argv), child.returncode, err.read().decode(errors="replace")))
    return elapsed, usage.ru_utime + usage.ru_stime


def peak_memory(argv, out_path):
    """The maximum resident set size of one run in bytes, or None without GNU time.

    A child started from this process would report this process's own peak as its floor (the
    counter survives exec), so the small GNU time starts the command instead.
    """
    if not os.access(GNU_TIME, os.X_OK):
        return None
    with tempfile.NamedTemporaryFile("r") as report:
        run_once([GNU_TIME, "-f", "%M", "-o", report.name] + argv, out_path)
        return int(report.read().split()[-1]) * 1024


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(MIB), b""):
            h.update(block)
    return h.hexdigest()


def time_commands(commands, runs):
    """commands: list of (name, argv, out_path). Returns {name: (wall times, CPU times, peak
    memory or None)}."""
    for _, argv, out_path in commands:
        run_once(argv, out_path)  # warm-up, untimed
    wall = {name: [] for name, _, _ in commands}
    cpu = {name: [] for name, _, _ in commands}
    order = list(commands)
    shuffler = random.Random(1)
    for _ in range(runs):
        shuffler.shuffle(order)  # no command always runs right after the same other one
        for name, argv, out_path in order:
            elapsed, used = run_once(argv, out_path)
            wall[name].append(elapsed)
            cpu[name].append(used)
    return {name: (wall[name], cpu[name], peak_memory(argv, out_path))
            for name, argv, out_path in commands}


def mib(size):
    return "-" if size is None else "%.1f" % (size / MIB)


def check(failures, ok, text):
    print("  %s  %s" % ("met   " if ok else "MISSED", text))
    if not ok:
        failures.append(text)


def large_table(args, work, failures):
    size = args.size * MIB
    table = os.path.join(work, "table.dat")
    make_table(table, size)
    print("table: %s, %d MiB, dumped to files in %s" % (table, args.size, work))

    halvorn_out = os.path.join(work, "halvorn.txt")
    run_once([args.halvorn, "-f", table], halvorn_out)
    heading, first, last = expected_rows(table, size)
    with open(halvorn_out, "rb") as f:
        head = f.read(len(heading) + len(first))
        f.seek(-len(last) - 1, os.SEEK_END)
        tail = f.read()
    if head != (heading + first).encode() or tail != (last + "\n").encode():
        failures.append("halvorn -f: output does not start or end with the expected rows")
    # The limit: an output-sized file copied by cat.
    limit_in = os.path.join(work, "limit-in.txt")
    shutil.copyfile(halvorn_out, limit_in)

    commands = [("halvorn -f", [args.halvorn, "-f", table], halvorn_out)]
    if args.baseline:
        commands.append(("baseline -f", [args.baseline, "-f", table], os.path.join(work, "baseline.txt")))
    tools = [
        ("xxd", ["xxd", table]),
        ("hexdump -C", ["hexdump", "-C", table]),
        ("od -A x -t x1z -v", ["od", "-A", "x", "-t", "x1z", "-v", table]),
        ("cat (limit)", ["cat", limit_in]),
    ]
    for name, argv in tools:
        if shutil.which(argv[0]) is None:
            print("%s: not installed, skipped" % argv[0])
            continue
        commands.append((name, argv, os.path.join(work, argv[0] + ".txt")))

    print("page caches cannot be dropped: each command ran once untimed first; %d timed runs each"
          % args.runs)
    results = time_commands(commands, args.runs)

    if args.baseline and digest(commands[0][2]) != digest(commands[1][2]):
        failures.append("halvorn -f and the baseline wrote different bytes")

    ours = statistics.median(results["halvorn -f"][0])
    print("\n%-20s %10s %10s %12s %12s" % ("command", "median s", "min s", "halvorn is", "peak MiB"))
    for name, (times, _, peak) in results.items():
        median = statistics.median(times)
        print("%-20s %10.3f %10.3f %11.2fx %12s" % (name, median, min(times), median / ours, mib(peak)))
    print("('halvorn is' N x: the command takes N times as long as halvorn -f)")

    print("\ntargets:")
    if "xxd" in results:
        speedup = statistics.median(results["xxd"][0]) / ours
        check(failures, speedup >= MIN_SPEEDUP_OVER_XXD,
              "halvorn -f %.1fx faster than xxd (at least %.0fx)" % (speedup, MIN_SPEEDUP_OVER_XXD))
    else:
        failures.append("xxd is not installed (apt-get install xxd); its target is unchecked")
    if "cat (limit)" in results:
        ratio = ours / statistics.median(results["cat (limit)"][0])
        check(failures, ratio <= MAX_RATIO_TO_CAT,
              "halvorn -f takes %.2fx the time of cat (at most %.0fx)" % (ratio, MAX_RATIO_TO_CAT))
    peak = results["halvorn -f"][2]
    if peak is not None:
        check(failures, peak <= size + MEMORY_ALLOWANCE,
              "halvorn -f peak memory %.1f MiB (at most %d + %d MiB)" %
              (peak / MIB, args.size, MEMORY_ALLOWANCE // MIB))
    else:
        failures.append("%s is missing (apt-get install time); the memory target is unchecked" % GNU_TIME)


def instructions(argv):
    """Instructions of one run under callgrind, or None without valgrind."""
    if shutil.which("valgrind") is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "log")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + os.path.join(tmp, "out"),
                        "--log-file=" + log] + argv, stdout=subprocess.DEVNULL, check=True)
        with open(log) as f:
            for line in f:
                if "Collected" in line:
                    return int(line.split()[-1])
    return None


def sysfs_tables(args, work, failures):
    if os.geteuid() != 0 or not os.path.isdir(SYSFS_TABLES):
        print("sysfs tables: skipped (needs root and %s)\n" % SYSFS_TABLES)
        return
    names = sorted(n for n in os.listdir(SYSFS_TABLES) if os.path.isfile(os.path.join(SYSFS_TABLES, n)))
    print("sysfs tables (%s): %d runs of halvorn without arguments" % (" ".join(names), args.sysfs_runs))
    commands = [("halvorn", [args.halvorn], os.path.join(work, "sysfs.txt"))]
    if args.baseline:
        commands.append(("baseline", [args.baseline], os.path.join(work, "sysfs-baseline.txt")))
    results = time_commands(commands, args.sysfs_runs)
    if args.baseline and digest(commands[0][2]) != digest(commands[1][2]):
        failures.append("halvorn and the baseline wrote different sysfs dumps")
    print("%-12s %14s %14s %10s %14s" % ("command", "median wall ms", "median CPU ms", "peak MiB",
                                          "instructions"))
    for name, argv, _ in commands:
        wall, cpu, peak = results[name]
        count = instructions(argv)
        print("%-12s %14.3f %14.3f %10s %14s" % (name, 1000 * statistics.median(wall),
                                                 1000 * statistics.median(cpu), mib(peak),
                                                 "-" if count is None else format(count, ",")))
    print("output: %d bytes\n" % os.path.getsize(commands[0][2]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--halvorn", default=os.path.join(ROOT, "build", "halvorn"))
    parser.add_argument("--baseline", help="another halvorn build to time and compare with")
    parser.add_argument("--size", type=int, default=64, help="table size in MiB (default 64)")
    parser.add_argument("--runs", type=int, default=5, help="timed runs per command (default 5)")
    parser.add_argument("--sysfs-runs", type=int, default=500, help="timed runs over sysfs (default 500)")
    parser.add_argument("--workdir", default=os.path.join(ROOT, "build", "bench"),
                        help="where the table and the outputs go (default build/bench)")
    args = parser.parse_args()
    args.halvorn = os.path.abspath(args.halvorn)
    if args.baseline:
        args.baseline = os.path.abspath(args.baseline)
    os.makedirs(args.workdir, exist_ok=True)

    failures = []
    # Small tables first: the large part leaves gigabytes of dirty pages for the kernel to write.
    sysfs_tables(args, args.workdir, failures)
    large_table(args, args.workdir, failures)
    # The outputs are large; only the table stays for a look at what was dumped.
    for name in os.listdir(args.workdir):
        if name.endswith(".txt"):
            os.remove(os.path.join(args.workdir, name))
    if failures:
        print("\nFAILED:\n  " + "\n  ".join(failures))
        return 1
    print("\nall targets met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
