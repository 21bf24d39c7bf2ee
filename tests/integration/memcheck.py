"""Memcheck for the integration suites.

With KIT_VALGRIND=1 in the environment, every run of a utility goes through valgrind's memcheck.
Its output is unchanged, but an invalid read or write, a use of uninitialised memory or a
definitely lost block makes it exit with ERROR_EXIT instead of the utility's own status, so the
case fails; valgrind's report is then on standard error.
"""

import os

ERROR_EXIT = 97


def enabled():
    return os.environ.get("KIT_VALGRIND") == "1"


def command(argv):
    """The command line that runs argv, under memcheck when enabled."""
    if not enabled():
        return list(argv)
    return ["valgrind", "--quiet", "--error-exitcode=%d" % ERROR_EXIT, "--leak-check=full",
            "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite"] + list(argv)
