"""The bench program on the libftdi1 adapter, on a machine with no board
attached: it finds the adapter by its bare name, opens nothing, and halts
with the driver's "device not found" status."""
import glob
import os
import unittest

import harness
from harness import runner, texts
from harness.texts import as_bytes

FTDI_VENDOR = "0403"
FTDI_DEFAULT_PRODUCTS = {"6001", "6010", "6011", "6014", "6015"}


def ftdi_device_attached():
    """True when sysfs shows a device that the adapter would open."""
    for device in glob.glob("/sys/bus/usb/devices/*"):
        try:
            with open(os.path.join(device, "idVendor")) as f:
                vendor = f.read().strip()
            with open(os.path.join(device, "idProduct")) as f:
                product = f.read().strip()
        except OSError:
            continue
        if vendor == FTDI_VENDOR and product in FTDI_DEFAULT_PRODUCTS:
            return True
    return False


class RunWithoutBoardTest(unittest.TestCase):
    # The run would open an attached device and drive its pins.
    @unittest.skipIf(ftdi_device_attached(), "an FTDI device is attached to this machine")
    def test_no_board_is_device_not_found(self):
        # The end of input is the key that ends the halt.
        run = runner.start(library_dir=runner.adapter(), keyboard="pipe")
        self.addCleanup(run.close)
        self.assertEqual(run.finish(), 0)
        self.assertEqual(run.output, as_bytes(texts.halt(texts.failure("FT_Open", 2))))
        self.assertEqual(run.errors, b"")


if __name__ == "__main__":
    harness.main()
