"""The bench program on the libftdi1 adapter with no board: it finds the
adapter by its bare name, opens nothing, and halts with the driver's "device
not found" status. The run is isolated, so that a device attached to this
machine stays out of its sight."""
import unittest

import harness
from harness import runner, texts
from harness.texts import as_bytes


class RunWithoutBoardTest(unittest.TestCase):
    def test_no_board_is_device_not_found(self):
        # The end of input is the key that ends the halt.
        run = runner.start(library_dir=runner.adapter(), keyboard="pipe", isolated=True)
        self.addCleanup(run.close)
        self.assertEqual(run.finish(), 0)
        self.assertEqual(run.output, as_bytes(texts.halt(texts.failure("FT_Open", 2))))
        self.assertEqual(run.errors, b"")


if __name__ == "__main__":
    harness.main()
