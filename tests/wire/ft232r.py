"""FT232R chips emulated at the USB device-file level, for the wire tests.

umockdev puts each chip into a sysfs and a /dev of its own, which a program
sees when it runs with umockdev's preload library (`EmulatedBus.environment`).
Every usbdevfs ioctl that libusb makes on a chip's device node comes here,
and the chip answers it: the program, the adapter, libftdi1 and libusb all
run for real on top.

    chip = EmulatedFt232r(stall=(SET_BIT_MODE, 1))
    with EmulatedBus(chip) as bus:
        ... run the program with bus.environment() added to its own ...
    chip.transfers   # what reached the chip, in order

A chip records every control request and bulk transfer that reaches it,
answers the modem-status, latency and pin-read requests, keeps the bit mode
and mask, latches the last byte written, and reads the output pins from the
latch and the inputs as pulled high. Requests it does not know are stalled.
Transfers complete at once, so they are never cancelled.

Faults, each given to the chip's constructor. A transfer is named by
(request, n): the n-th (from 1) control request with that request number, or
with BULK_OUT the n-th bulk write.
    stall=(request, n)         that transfer stalls;
    unplug=(request, n)        that transfer and every later call fail with
                               ENODEV, as when the board is pulled out;
    short_write=(n, count)     the n-th bulk write moves only `count` bytes;
    empty_pin_read=True        pin reads answer no data;
    pin_read=0xFE              pin reads answer that byte whatever was written,
                               as from a board whose pins are shorted;
    claim_busy=True            claiming the interface fails with EBUSY, as
                               when another program holds the board;
    kernel_driver="ftdi_sio"   that driver is bound to the interface until
                               the program detaches it (sysfs shows it bound
                               all along).

Events on the bus, as a program runs: `EmulatedBus.after(chip, (request, n),
action)` runs `action` once that transfer has reached `chip`, e.g.
`bus.plug_in(cable)` (a chip plugged in at the next port) or
`bus.pull_out(chip)` (the board pulled out: every later call fails with
ENODEV, and its sysfs entries and node go).

What the bus shows of a chip, also given to its constructor:
    serial="BOARD001"          its serial number (default: none);
    product=0x8C81             its product id (default: 0x6001);
    node_mode=0o600            its device node's mode (default: 0o644, as
                               umockdev makes it; nodes are root's).

Needs Debian's /usr/bin/python3 (gi and the UMockdev typelib) and the
usbdevfs structures of a 64-bit or 32-bit Linux of this machine's kind.
"""
import errno
import os
import struct
import threading
from collections import namedtuple

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import GLib, UMockdev  # noqa: E402  (after require_version)

PRELOAD = "libumockdev-preload.so.0"

# FTDI vendor requests.
RESET = 0x00  # wValue 0: reset, 1: purge RX, 2: purge TX
MODEM_CTRL = 0x01
SET_FLOW_CTRL = 0x02
SET_BAUD_RATE = 0x03
SET_DATA = 0x04
GET_MODEM_STATUS = 0x05
SET_EVENT_CHAR = 0x06
SET_ERROR_CHAR = 0x07
SET_LATENCY_TIMER = 0x09
GET_LATENCY_TIMER = 0x0A
SET_BIT_MODE = 0x0B
READ_PINS = 0x0C
BULK_OUT = "bulk-out"

PURGE_RX, PURGE_TX = 1, 2

_OUT_REQUESTS = {RESET, MODEM_CTRL, SET_FLOW_CTRL, SET_BAUD_RATE, SET_DATA, SET_EVENT_CHAR,
                 SET_ERROR_CHAR, SET_LATENCY_TIMER, SET_BIT_MODE}
_MODEM_STATUS = b"\x01\x60"  # CTS and DSR clear, transmitter empty
_LATENCY_MS = b"\x10"

# Device and configuration descriptors: one interface, bulk IN 0x81 and bulk
# OUT 0x02 with 64-byte packets, as the FT232R reports them.
DESCRIPTORS = bytes.fromhex(
    "12010002000000080304016000060102030109022000010100a02d"
    "0904000002ffffff02" "07058102400000" "07050202400000")
_ID_PRODUCT = struct.Struct("<H")
_ID_PRODUCT_OFFSET = 10
_BULK_OUT_ENDPOINT = 0x02

# usbdevfs (linux/usbdevice_fs.h), laid out as this machine's C compiler does.
# struct usbdevfs_urb: type, endpoint, status, flags, buffer, buffer_length,
# actual_length, start_frame, number_of_packets, error_count, signr,
# usercontext.
_URB = struct.Struct("@BBiIPiiiiiIP")
_POINTER = struct.Struct("@P")
_URB_STATUS = struct.calcsize("@BBi") - 4
_URB_BUFFER = struct.calcsize("@BBiIP") - _POINTER.size
_URB_ACTUAL_LENGTH = struct.calcsize("@BBiIPi")
_URB_TYPE_CONTROL, _URB_TYPE_BULK = 2, 3
_USBDEVFS_IOCTL = struct.Struct("@iiP")  # ifno ioctl_code data
_GETDRIVER_SIZE = 4 + 256  # interface, driver name
_SETUP = struct.Struct("<BBHHH")  # bmRequestType bRequest wValue wIndex wLength
_CAPABILITIES = 0x07  # zero packet, bulk continuation, no packet size limit


def _ioc(direction, number, size):
    return (direction << 30) | (size << 16) | (ord("U") << 8) | number


_NONE, _WRITE, _READ = 0, 1, 2
SUBMITURB = _ioc(_READ, 10, _URB.size)
DISCARDURB = _ioc(_NONE, 11, 0)
REAPURB = _ioc(_WRITE, 12, _POINTER.size)
REAPURBNDELAY = _ioc(_WRITE, 13, _POINTER.size)
CLAIMINTERFACE = _ioc(_READ, 15, 4)
RELEASEINTERFACE = _ioc(_READ, 16, 4)
GETDRIVER = _ioc(_WRITE, 8, _GETDRIVER_SIZE)
USBDEVFS_IOCTL = _ioc(_READ | _WRITE, 18, _USBDEVFS_IOCTL.size)
GET_CAPABILITIES = _ioc(_READ, 26, 4)
DISCONNECT = _ioc(_NONE, 22, 0)

# One transfer that reached the chip. kind: "control" or "bulk"; request,
# value and index: the setup packet's (None for bulk); data: what was sent
# (OUT) or answered (IN); outcome: "ok", "short" or "stall".
Transfer = namedtuple("Transfer", "kind request value index data outcome")


class EmulatedFt232r(UMockdev.IoctlBase):
    """One FT232R (vendor 0403, product 6001 unless told another, bcdDevice
    0600) with the faults it is told; see the module's comment."""

    def __init__(self, stall=None, unplug=None, short_write=None, empty_pin_read=False,
                 pin_read=None, claim_busy=False, kernel_driver=None, serial=None,
                 product=0x6001, node_mode=None):
        super().__init__()
        self.serial, self.product, self.node_mode = serial, product, node_mode
        self.stall, self.unplug, self.short_write = stall, unplug, short_write
        self.empty_pin_read, self.pin_read = empty_pin_read, pin_read
        self.claim_busy = claim_busy
        self.kernel_driver = kernel_driver
        self._after = {}  # (request or BULK_OUT, n) -> what to do once it is done
        self.forget()

    def forget(self):
        """Starts a new record, with the chip as at power-on; the faults stay
        (a detached driver stays detached)."""
        self.transfers = []
        self.refused = 0  # Transfers failed because the chip was unplugged.
        self.detached = []  # The kernel drivers that the program detached.
        self.unplugged = False
        self.bit_mode = 0
        self.mask = 0
        self.latch = 0
        self._seen = {}  # (request or BULK_OUT) -> transfers of it so far
        self._done = []  # Client addresses of completed URBs, to be reaped.

    # What a test reads ---------------------------------------------------

    def requests(self, request=None):
        """The control transfers, or those with `request`."""
        return [t for t in self.transfers
                if t.kind == "control" and (request is None or t.request == request)]

    def bulk_writes(self):
        return [t.data.hex() for t in self.transfers if t.kind == "bulk"]

    def pins(self):
        if self.pin_read is not None:
            return self.pin_read
        if self.bit_mode == 0:
            return 0xFF  # Every pin an input, pulled high.
        return (self.latch & self.mask) | (~self.mask & 0xFF)

    # usbdevfs --------------------------------------------------------------

    def do_handle_ioctl(self, client):
        request = client.get_request()
        handlers = {
            SUBMITURB: self._submit, REAPURB: self._reap, REAPURBNDELAY: self._reap,
            DISCARDURB: lambda arg: -errno.EINVAL,  # Already complete.
            GET_CAPABILITIES: self._capabilities, CLAIMINTERFACE: self._claim,
            RELEASEINTERFACE: lambda arg: 0, GETDRIVER: self._get_driver,
            USBDEVFS_IOCTL: self._driver_ioctl,
        }
        handler = handlers.get(request)
        if handler is None:
            result = -errno.ENOTTY
        elif self.unplugged and request not in (REAPURB, REAPURBNDELAY, DISCARDURB):
            result = -errno.ENODEV
        else:
            result = handler(client.get_arg())
        client.complete(-1 if result < 0 else result, -result if result < 0 else 0)
        return True

    def _capabilities(self, arg):
        arg.resolve(0, 4).update(0, struct.pack("@I", _CAPABILITIES))
        return 0

    def _claim(self, arg):
        return -errno.EBUSY if self.claim_busy or self.kernel_driver else 0

    def _get_driver(self, arg):
        if not self.kernel_driver:
            return -errno.ENODATA
        name = self.kernel_driver.encode("ascii") + b"\0"
        arg.resolve(0, _GETDRIVER_SIZE).update(4, name)
        return 0

    def _driver_ioctl(self, arg):
        command = arg.resolve(0, _USBDEVFS_IOCTL.size)
        ifno, code, _ = _USBDEVFS_IOCTL.unpack(bytes(command.retrieve()))
        if code != DISCONNECT or ifno != 0 or not self.kernel_driver:
            return -errno.ENODATA
        self.detached.append(self.kernel_driver)
        self.kernel_driver = None
        return 0

    def _reap(self, arg):
        if not self._done:
            return -errno.EAGAIN
        arg.resolve(0, _POINTER.size).update(0, _POINTER.pack(self._done.pop(0)))
        return 0

    def _submit(self, arg):
        urb = arg.resolve(0, _URB.size)
        fields = _URB.unpack(bytes(urb.retrieve()))
        urb_type, endpoint, length = fields[0], fields[1], fields[5]
        buffer = urb.resolve(_URB_BUFFER, length)
        data = bytes(buffer.retrieve()) if buffer is not None else b""
        if urb_type == _URB_TYPE_CONTROL and endpoint == 0 and length >= _SETUP.size:
            key = _SETUP.unpack_from(data)[1]
        elif urb_type == _URB_TYPE_BULK and endpoint == _BULK_OUT_ENDPOINT:
            key = BULK_OUT
        else:
            return -errno.EINVAL  # Nothing else is used: no bulk reads.
        self._seen[key] = self._seen.get(key, 0) + 1
        this = (key, self._seen[key])
        try:
            return self._transfer(key, this, urb, buffer, data)
        finally:
            action = self._after.pop(this, None)
            if action:
                action()

    def _transfer(self, key, this, urb, buffer, data):
        if self.unplug == this:
            self.unplugged = True
        if self.unplugged:
            self.refused += 1
            return -errno.ENODEV
        if key == BULK_OUT:
            status, actual = self._bulk_write(data, this)
        else:
            status, answer = self._control(data, this)
            if answer:
                buffer.update(_SETUP.size, answer)
            actual = len(answer)
        urb.update(_URB_STATUS, struct.pack("@i", status))
        urb.update(_URB_ACTUAL_LENGTH, struct.pack("@i", actual))
        self._done.append(urb.client_addr)
        return 0

    def _bulk_write(self, data, this):
        """Returns the URB's status and the count of bytes moved."""
        if self.stall == this:
            self.transfers.append(Transfer("bulk", None, None, None, data, "stall"))
            return -errno.EPIPE, 0
        moved = len(data)
        outcome = "ok"
        if self.short_write is not None and self.short_write[0] == this[1]:
            moved, outcome = min(self.short_write[1], len(data)), "short"
        if moved and self.bit_mode != 0:
            self.latch = data[moved - 1]
        self.transfers.append(Transfer("bulk", None, None, None, data[:moved], outcome))
        return 0, moved

    def _control(self, data, this):
        """Returns the URB's status and the answer (IN data, may be empty)."""
        request_type, request, value, index, length = _SETUP.unpack_from(data)
        sent = data[_SETUP.size:_SETUP.size + length] if not request_type & 0x80 else b""
        answer = b""
        known = request_type & 0x60 == 0x40 and (
            (not request_type & 0x80 and request in _OUT_REQUESTS)
            or (request_type & 0x80 and request in (GET_MODEM_STATUS, GET_LATENCY_TIMER, READ_PINS)))
        if not known or self.stall == this:
            self.transfers.append(Transfer("control", request, value, index, sent, "stall"))
            return -errno.EPIPE, b""
        if request == SET_BIT_MODE:
            self.bit_mode, self.mask = value >> 8, value & 0xFF
        elif request == GET_MODEM_STATUS:
            answer = _MODEM_STATUS
        elif request == GET_LATENCY_TIMER:
            answer = _LATENCY_MS
        elif request == READ_PINS and not self.empty_pin_read:
            answer = bytes([self.pins()])
        answer = answer[:length]
        self.transfers.append(Transfer("control", request, value, index, answer or sent, "ok"))
        return 0, answer


class EmulatedBus:
    """A umockdev test bed with the given chips on bus 1, as devices 2, 3,
    ... at ports 1-1, 1-2, ..., in that order, each with its interface in
    sysfs when a kernel driver is bound to it; answered on a thread of its
    own until `close`."""

    def __init__(self, *chips):
        self._testbed = UMockdev.Testbed.new()
        self._nodes = []
        self._devices = {}  # chip -> (its sysfs path, its node)
        self._context = GLib.MainContext.new()
        # The chips' sockets are served on the context that is the thread's
        # default while they are attached.
        self._next = 2  # The device number of the next chip; its port is one less.
        self._context.push_thread_default()
        try:
            for chip in chips:
                self._add(chip)
        finally:
            self._context.pop_thread_default()
        self._serving = True
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _add(self, chip):
        number = self._next
        self._next += 1
        node = "/dev/bus/usb/001/%03d" % number
        port = "1-%d" % (number - 1)
        device = "/devices/pci0000:00/0000:00:14.0/usb1/" + port
        descriptors = bytearray(DESCRIPTORS)
        _ID_PRODUCT.pack_into(descriptors, _ID_PRODUCT_OFFSET, chip.product)
        serial = "A: serial=%s\n" % chip.serial if chip.serial else ""
        self._testbed.add_from_string(
            "P: %s\n"
            "N: %s\n"
            "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=%s\n"
            "E: BUSNUM=001\nE: DEVNUM=%03d\n"
            "A: busnum=1\nA: devnum=%d\nA: dev=189:%d\n"
            "A: idVendor=0403\nA: idProduct=%04x\nA: bcdDevice=0600\n%s"
            "A: speed=12\nA: bConfigurationValue=1\n"
            "H: descriptors=%s\n"
            % (device, node[len("/dev/"):], node, number, number, number - 1, chip.product,
               serial, bytes(descriptors).hex().upper()))
        if chip.kernel_driver:
            self._testbed.add_from_string(
                "P: %s/%s:1.0\n"
                "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=%s\n"
                "A: bInterfaceNumber=00\n"
                "L: driver=../../../../../../bus/usb/drivers/%s\n"
                % (device, port, chip.kernel_driver, chip.kernel_driver))
        if not self._testbed.attach_ioctl(node, chip):
            raise RuntimeError("umockdev could not attach the chip to " + node)
        if chip.node_mode is not None:
            os.chmod(self._testbed.get_root_dir() + node, chip.node_mode)
        self._devices[chip] = ("/sys" + device, node)
        self._nodes.append(node)

    def remove(self, chip):
        """Takes `chip` off the bus, as when it is unplugged: its sysfs
        entries and its node go."""
        sysfs, node = self._devices.pop(chip)
        self._testbed.detach_ioctl(node)
        self._nodes.remove(node)
        self._testbed.remove_device(sysfs)

    def after(self, chip, transfer, action):
        """Runs `action()` once `transfer` ((request, n), as the faults name
        it) has reached `chip`, on the bus's thread."""
        chip._after[transfer] = action

    def plug_in(self, chip):
        """Adds `chip` at the next port, as when it is plugged in."""
        def add():
            self._context.push_thread_default()
            try:
                self._add(chip)
            finally:
                self._context.pop_thread_default()
        self._soon(add)

    def pull_out(self, chip):
        """Takes `chip` off the bus while a program may have it open: every
        later call fails with ENODEV at once, and its sysfs entries and node
        go. Its socket stays until `close`, as an open descriptor of a pulled
        device stays valid."""
        chip.unplugged = True
        sysfs, _ = self._devices.pop(chip)
        self._soon(lambda: self._testbed.remove_device(sysfs))

    def _soon(self, change):
        """Makes `change` on the bus's thread, after the transfer it is
        answering (umockdev's test bed is not changed from within one)."""
        def once(*_):
            change()
            return False
        source = GLib.idle_source_new()
        source.set_callback(once)
        source.attach(self._context)
        self._context.wakeup()

    def open_to_all(self):
        """Lets every user see the bus (umockdev makes its root private to
        its owner) and reach the socket through which umockdev 0.19
        (Debian 13) answers the ioctls of every other device node, /dev/tty
        too; each node keeps its own mode."""
        root = self._testbed.get_root_dir()
        os.chmod(root, 0o755)
        default_ioctls = os.path.join(root, "ioctl", "_default")
        if os.path.exists(default_ioctls):
            os.chmod(default_ioctls, 0o777)

    def _serve(self):
        while self._serving:
            self._context.iteration(True)

    def environment(self):
        """What the program's environment needs to see this bus. The root is
        passed explicitly: the test bed sets UMOCKDEV_DIR with C's setenv,
        which Python's os.environ does not see."""
        return {"LD_PRELOAD": PRELOAD, "UMOCKDEV_DIR": self._testbed.get_root_dir()}

    def close(self):
        if self._thread is None:
            return
        self._serving = False
        self._context.wakeup()
        self._thread.join()
        self._thread = None
        for node in self._nodes:
            self._testbed.detach_ioctl(node)
        self._testbed = None  # Its folder goes with it.

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
