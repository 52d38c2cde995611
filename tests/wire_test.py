"""The adapter on the wire: quendal-bench, the libftdi1 adapter, libftdi1 and
libusb run for real on FT232R chips emulated at the USB device-file level
(wire/ft232r.py), and the tests check what reached the chips."""
import os
import unittest
from collections import namedtuple

import harness
from harness import texts
from harness.texts import FAST_PROMPT, SLOW_PROMPT, as_bytes
from wire.ft232r import (BULK_OUT, PURGE_RX, PURGE_TX, READ_PINS, RESET,
                         SET_BAUD_RATE, SET_BIT_MODE, EmulatedBus, EmulatedFt232r)

# 3 MHz / 26 for 115200 baud, as the vendor's driver sends it; wIndex 0.
DIVISOR_115200 = (0x001A, 0)
# Asynchronous bit-bang (mode 0x01), D0 and D1 outputs (mask 0x03).
BIT_MODE = 0x0103
# Piped keys: each ends one phase after its one pass, or a halt.
KEYS = b"abcd"


def setup(chip):
    """The control requests as (request, wValue, wIndex)."""
    return [(t.request, t.value, t.index) for t in chip.requests()]


@unittest.skipUnless(os.environ.get("QUENDAL_BUILD_TYPE") == "Release" and not harness.emulated,
                     "a native release build only: umockdev's preload library can go neither "
                     "into a sanitizer build nor into an emulated program")
class WireTestCase(unittest.TestCase):
    def start(self, bus, command=None, keyboard="pipe", piped_input=KEYS):
        """Runs `command` (the bench program) on the adapter and `bus`."""
        env = harness.runner.environment(harness.runner.adapter(), extra=bus.environment())
        env.pop("LIBUSB_DEBUG", None)
        run = harness.Run(command or [harness.runner.program()], env, keyboard=keyboard,
                          piped_input=piped_input)
        self.addCleanup(run.close)
        return run

    def run_piped(self, *chips):
        """A run with the keys piped in; returns it once it has ended."""
        with EmulatedBus(*chips) as bus:
            run = self.start(bus)
            self.assertEqual(run.finish(), 0, run.errors)
        self.assertEqual(run.errors, b"")
        return run

    def assert_in_order(self, sequence, wanted):
        """Each of `wanted` is in `sequence`, after the one before it."""
        position = 0
        for item in wanted:
            if item not in sequence[position:]:
                self.fail("%r not found in order in %r" % (item, sequence))
            position = sequence.index(item, position) + 1


class WireWholeRunTest(WireTestCase):
    def test_whole_run_transcript_and_wire(self):
        chip = EmulatedFt232r()
        with EmulatedBus(chip) as bus:
            run = self.start(bus, keyboard="terminal")
            run.wait_for_output(as_bytes(SLOW_PROMPT))
            run.type(b"ab")
            run.wait_for_output(as_bytes(texts.readback_line() * 3))
            run.type(b"cd")
            self.assertEqual(run.finish(), 0, run.errors)
        readings = run.screen().count(as_bytes(texts.READBACK))
        self.assertEqual(run.screen(), as_bytes(texts.whole_run(readings)))
        self.assertEqual(run.errors, b"")

        self.assertEqual([t for t in chip.transfers if t.outcome != "ok"], [])
        requests = setup(chip)
        # libftdi1's open resets and sends a 9600 divisor of its own; the
        # adapter then purges both buffers before the program's rate.
        self.assert_in_order(requests, [
            (RESET, 0, 1), (RESET, PURGE_RX, 1), (RESET, PURGE_TX, 1),
            (SET_BAUD_RATE, *DIVISOR_115200), (SET_BIT_MODE, BIT_MODE, 1)])
        purged = requests.index((RESET, PURGE_TX, 1))
        self.assertEqual([r[1:] for r in requests[purged:] if r[0] == SET_BAUD_RATE],
                         [DIVISOR_115200])
        self.assertEqual(chip.bulk_writes(), ["00", texts.FAST_PATTERN])
        self.assertEqual([t.data for t in chip.requests(READ_PINS)],
                         [bytes([texts.READBACK_VALUE])] * readings)
        first_reading = chip.transfers.index(chip.requests(READ_PINS)[0])
        self.assertNotIn("bulk", [t.kind for t in chip.transfers[first_reading:]],
                         "no bulk write after the fast phase")

    def test_bit_mode_before_the_baud_rate_sends_the_same_divisor(self):
        chip = EmulatedFt232r()
        with EmulatedBus(chip) as bus:
            run = self.start(bus, command=[os.environ["QUENDAL_BITMODE_BEFORE_BAUD"]])
            self.assertEqual(run.finish(), 0, run.output)
        requests = setup(chip)
        bit_mode = requests.index((SET_BIT_MODE, BIT_MODE, 1))
        self.assertEqual([r[1:] for r in requests[bit_mode:] if r[0] == SET_BAUD_RATE],
                         [DIVISOR_115200])


# A run that halts: the chip's faults, the text before the message, the entry
# point that fails and its status, and the last transfer that reaches the
# chip as (request, outcome), None when none does.
Fault = namedtuple("Fault", "what faults before entry status last")

FAULTS = [
    Fault("stalled bit mode", {"stall": (SET_BIT_MODE, 1)}, "",
          "FT_SetBitMode", 4, (SET_BIT_MODE, "stall")),
    Fault("stalled divisor", {"stall": (SET_BAUD_RATE, 2)}, "",
          "FT_SetBaudRate", 4, (SET_BAUD_RATE, "stall")),
    Fault("stalled reset on open", {"stall": (RESET, 1)}, "",
          "FT_Open", 4, (RESET, "stall")),
    Fault("stalled purge on open", {"stall": (RESET, 2)}, "",
          "FT_Open", 4, (RESET, "stall")),
    Fault("interface held by another program", {"claim_busy": True}, "",
          "FT_Open", 3, None),
    Fault("unplugged in the slow phase", {"unplug": (BULK_OUT, 1)}, SLOW_PROMPT,
          "FT_Write", 4, (SET_BIT_MODE, "ok")),
    Fault("unplugged in the fast phase", {"unplug": (BULK_OUT, 2)}, SLOW_PROMPT + FAST_PROMPT,
          "FT_Write", 4, (BULK_OUT, "ok")),
    Fault("stalled fast write", {"stall": (BULK_OUT, 2)}, SLOW_PROMPT + FAST_PROMPT,
          "FT_Write", 4, (BULK_OUT, "stall")),
    Fault("short fast write, then unplugged", {"short_write": (2, 5), "unplug": (BULK_OUT, 3)},
          SLOW_PROMPT + FAST_PROMPT, "FT_Write", 4, (BULK_OUT, "short")),
    Fault("unplugged at the first reading", {"unplug": (READ_PINS, 1)},
          SLOW_PROMPT + FAST_PROMPT, "FT_GetBitMode", 4, (BULK_OUT, "ok")),
    Fault("pin read without data", {"empty_pin_read": True}, SLOW_PROMPT + FAST_PROMPT,
          "FT_GetBitMode", 4, (READ_PINS, "ok")),
]


class WireFaultTest(WireTestCase):
    def test_each_fault_halts_with_the_documented_status_and_nothing_follows(self):
        for fault in FAULTS:
            with self.subTest(fault.what):
                chip = EmulatedFt232r(**fault.faults)
                run = self.run_piped(chip)
                self.assertEqual(run.screen(), as_bytes(
                    texts.halt(texts.failure(fault.entry, fault.status), fault.before)))
                if fault.last is None:
                    self.assertEqual(chip.transfers, [])
                else:
                    last = chip.transfers[-1]
                    request = BULK_OUT if last.kind == "bulk" else last.request
                    self.assertEqual((request, last.outcome), fault.last)
                # An unplugged chip sees one attempt, then nothing more.
                self.assertEqual(chip.refused, 1 if "unplug" in fault.faults else 0)

    def test_short_write_is_completed_by_sending_the_rest(self):
        chip = EmulatedFt232r(short_write=(2, 5))
        run = self.run_piped(chip)
        self.assertEqual(run.screen(), as_bytes(texts.whole_run(1)))
        pattern = texts.FAST_PATTERN
        self.assertEqual(chip.bulk_writes(), ["00", pattern[:10], pattern[10:]])
        self.assertEqual([t.outcome for t in chip.transfers if t.kind == "bulk"],
                         ["ok", "short", "ok"])


class WireBusTest(WireTestCase):
    def test_no_chip_is_device_not_found(self):
        run = self.run_piped()
        self.assertEqual(run.screen(), as_bytes(texts.halt(texts.failure("FT_Open", 2))))

    def test_bound_ftdi_sio_is_detached_and_the_run_completes(self):
        chip = EmulatedFt232r(kernel_driver="ftdi_sio")
        run = self.run_piped(chip)
        self.assertEqual(run.screen(), as_bytes(texts.whole_run(1)))
        self.assertEqual(chip.detached, ["ftdi_sio"])
        self.assertEqual(chip.bulk_writes(), ["00", texts.FAST_PATTERN])

    def test_of_two_chips_the_same_one_gets_all_traffic_on_every_run(self):
        chips = [EmulatedFt232r(), EmulatedFt232r()]
        used = []
        with EmulatedBus(*chips) as bus:
            for _ in range(3):
                for chip in chips:
                    chip.forget()
                run = self.start(bus)
                self.assertEqual(run.finish(), 0, run.errors)
                self.assertEqual(run.screen(), as_bytes(texts.whole_run(1)))
                used.append([i for i, chip in enumerate(chips) if chip.transfers])
        self.assertIn(used[0], ([0], [1]))
        self.assertEqual(used, [used[0]] * 3)


if __name__ == "__main__":
    harness.main()
