"""The shipped utilities: libc is their only shared library."""

import os
import subprocess
import unittest

BUILD_DIR = os.environ.get("KIT_BUILD_DIR") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build")


class SharedLibraries(unittest.TestCase):
    def test_only_libc_is_needed(self):
        for name in ("halvorn", "brantel"):
            with self.subTest(utility=name):
                dynamic = subprocess.run(["readelf", "-d", os.path.join(BUILD_DIR, name)],
                                         capture_output=True, text=True, check=True).stdout
                needed = [line.split("[")[1].rstrip("]") for line in dynamic.splitlines()
                          if "(NEEDED)" in line]
                self.assertEqual(needed, ["libc.so.6"])


if __name__ == "__main__":
    unittest.main()
