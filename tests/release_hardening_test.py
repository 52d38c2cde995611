"""The release executable is hardened as a distribution builds its packages:
PIE, full RELRO, stack protector, fortified string and format calls, and no
run-time library search path; on 64-bit ARM, segments that also load on
kernels with 16 KiB pages (Raspberry Pi 5)."""
import os
import subprocess
import unittest

import harness


def readelf(*options):
    return subprocess.run(["readelf", "-W", *options, harness.runner.program()], check=True,
                          capture_output=True, text=True).stdout


@unittest.skipUnless(os.environ.get("QUENDAL_BUILD_TYPE") == "Release", "a release build only")
class ReleaseHardeningTest(unittest.TestCase):
    def test_position_independent_with_full_relro(self):
        self.assertIn("DYN (Position-Independent Executable file)", readelf("-h"))
        self.assertIn("GNU_RELRO", readelf("-l"))
        dynamic = readelf("-d")
        self.assertIn("BIND_NOW", dynamic)
        self.assertIn("PIE", dynamic)

    def test_no_library_search_path_of_its_own(self):
        dynamic = readelf("-d")
        self.assertNotIn("RPATH", dynamic)
        self.assertNotIn("RUNPATH", dynamic)

    def test_stack_protector_and_fortified_calls(self):
        symbols = readelf("--dyn-syms")
        self.assertIn("__stack_chk_fail", symbols)
        # Which calls stay fortified depends on the compiler (clang folds
        # some that GCC leaves to the C library), so any checked one will do.
        self.assertRegex(symbols, r"\b__\w+_chk\b")

    def test_arm64_segments_load_with_16k_pages(self):
        if "AArch64" not in readelf("-h"):
            self.skipTest("not a 64-bit ARM executable")
        alignments = [int(line.split()[-1], 16) for line in readelf("-l").splitlines()
                      if line.split()[:1] == ["LOAD"]]
        self.assertTrue(alignments)
        self.assertTrue(all(a >= 0x4000 for a in alignments), alignments)


if __name__ == "__main__":
    harness.main()
