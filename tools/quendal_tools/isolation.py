"""Runs in a mount namespace of their own, in which only the chosen USB
device is in sight.

    isolation.py MODE [ARGUMENT] -- COMMAND [ARG...]
    isolation.py --check MODE [ARGUMENT]

The first form runs COMMAND in the mode (put in front of a command as an
emulator is); the second says whether the mode can be had here. Statuses:
0 it can (or COMMAND's own status), UNAVAILABLE (1) it cannot here, with
the reason, and USAGE (64) a command line that names no mode or no
command. The namespace is entered in this process, which has one thread,
before its exec: no Python runs between a fork and an exec in the caller.
As root it is a mount namespace of its own; otherwise a user namespace of
its own too, under the same user. Its mounts never reach the machine's. The
environment is passed on as it is.

Modes (`MODES`):
- usb-device PORT: the USB device at sysfs PORT (e.g. 1-1.4) is the only
  one in sight: /sys/bus/usb/devices holds only it and its interfaces,
  /dev/bus/usb only its node, /proc/bus/usb nothing. Driver libraries stay.
  Under umockdev's preload library (UMOCKDEV_DIR set), that is done to the
  test bed's sysfs and /dev, which are the ones the run sees.

The same command line serves other sets of modes (`main`, `prefix` and
`unavailable` take the script and its modes): a mode is a function that
enters it and one that checks it.

The caller's environment may bring a library or a device back: a caller
that wants none drops the `inherited` variables first.
"""
import ctypes
import errno
import os
import signal
import subprocess
import sys

SYSFS_DEVICES = "/sys/bus/usb/devices"

# Exit statuses of the command line: sysexits.h's EX_USAGE for a misuse, so
# that a caller never takes its usage text for the reason a mode is missing.
UNAVAILABLE = 1
USAGE = 64

_CLONE_NEWNS = 0x00020000
_CLONE_NEWUSER = 0x10000000
_MS_RDONLY, _MS_NOSUID, _MS_NODEV, _MS_NOEXEC = 0x1, 0x2, 0x4, 0x8
_MS_REMOUNT, _MS_BIND, _MS_REC, _MS_PRIVATE = 0x20, 0x1000, 0x4000, 0x40000
_MNT_DETACH = 0x2

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong,
                        ctypes.c_char_p]
_libc.unshare.argtypes = [ctypes.c_int]
_libc.umount2.argtypes = [ctypes.c_char_p, ctypes.c_int]


def inherited(name):
    """Whether a variable of the caller's may change which library or which
    USB devices a run finds: the loader's (LD_LIBRARY_PATH, LD_PRELOAD,
    LD_AUDIT..., GLIBC_TUNABLES), qemu-user's (QEMU_LD_PREFIX,
    QEMU_SET_ENV...) and umockdev's (UMOCKDEV_DIR)."""
    return name.startswith(("LD_", "QEMU_", "UMOCKDEV_")) or name == "GLIBC_TUNABLES"


def check(result, what):
    """Raises OSError with errno's reason unless a libc call gave 0."""
    if result != 0:
        number = ctypes.get_errno()
        raise OSError(number, "%s: %s" % (what, os.strerror(number)))


def private_namespace(as_root=False):
    """Moves this process into a mount namespace of its own, whose mounts
    never reach the machine's. Where it may not (not root), or `as_root`,
    into a user namespace of its own too, keeping its user and group, or
    with `as_root` as that namespace's root; only a process with one thread
    can."""
    uid, gid = os.geteuid(), os.getegid()
    if as_root or _libc.unshare(_CLONE_NEWNS) != 0:
        check(_libc.unshare(_CLONE_NEWNS | _CLONE_NEWUSER), "unshare")
        inside_uid, inside_gid = (0, 0) if as_root else (uid, gid)
        for name, text in [("setgroups", "deny"), ("uid_map", "%d %d 1" % (inside_uid, uid)),
                           ("gid_map", "%d %d 1" % (inside_gid, gid))]:
            with open("/proc/self/" + name, "w") as file:
                file.write(text)
    check(_libc.mount(b"none", b"/", None, _MS_REC | _MS_PRIVATE, None),
          "making the mounts private")


def mount(source, target, kind, options=None, flags=0):
    """mount(2) of a file system of `kind` (a str) from `source` on `target`."""
    check(_libc.mount(os.fsencode(source), os.fsencode(target), os.fsencode(kind), flags,
                      None if options is None else os.fsencode(options)),
          "mount -t %s %s%s %s" % (kind, "-o %s " % options if options else "", source, target))


def bind(source, target, read_only=False):
    check(_libc.mount(os.fsencode(source), os.fsencode(target), None, _MS_BIND, None),
          "mount --bind %s %s" % (source, target))
    if read_only:
        check(_libc.mount(None, os.fsencode(target), None,
                          _MS_BIND | _MS_REMOUNT | _MS_RDONLY, None),
              "mount -o remount,bind,ro %s" % target)


def unmount(target):
    check(_libc.umount2(os.fsencode(target), _MNT_DETACH), "umount --lazy %s" % target)


def empty_folder_over(path, writable=False):
    flags = _MS_NOSUID | _MS_NODEV | (0 if writable else _MS_RDONLY | _MS_NOEXEC)
    check(_libc.mount(b"none", os.fsencode(path), b"tmpfs", flags, b"mode=0755"),
          "mount -t tmpfs none %s" % path)


def empty_folder_if_any(path):
    """`empty_folder_over(path)` where this machine has that folder."""
    try:
        empty_folder_over(path)
    except OSError as error:
        if error.errno not in (errno.ENOENT, errno.ENOTDIR):
            raise


def _device_tree_root():
    """Where the USB devices that a run sees are: "" for the machine's, or
    umockdev's test bed."""
    return os.environ.get("UMOCKDEV_DIR", "")


def _only_entries(folder, keep, make):
    """Mounts an empty folder over `folder` and makes each of `keep` in it
    with `make(path, name)`; read-only after."""
    empty_folder_over(folder, writable=True)
    for name in keep:
        make(os.path.join(folder, name), name)
    check(_libc.mount(None, os.fsencode(folder), None,
                      _MS_REMOUNT | _MS_RDONLY | _MS_NOSUID | _MS_NODEV | _MS_NOEXEC, None),
          "mount -o remount,ro %s" % folder)


def device_node(port, root=""):
    """The /dev/bus/usb node of the USB device at sysfs `port` (without
    `root`), or None."""
    numbers = []
    for name in ("busnum", "devnum"):
        try:
            with open(os.path.join(root + SYSFS_DEVICES, port, name)) as file:
                numbers.append(int(file.read().strip()))
        except (OSError, ValueError):
            return None
    return "/dev/bus/usb/%03d/%03d" % tuple(numbers)


def enter_usb_device(port):
    root = _device_tree_root()
    node = device_node(port, root)
    if node is None:
        raise OSError(errno.ENODEV, "no USB device at port %s" % port)
    private_namespace()
    devices = root + SYSFS_DEVICES
    links = {name: os.readlink(os.path.join(devices, name)) for name in os.listdir(devices)
             if name == port or name.startswith(port + ":")}
    # The links keep their targets: relative ones resolve as before.
    _only_entries(devices, links, lambda path, name: os.symlink(links[name], path))
    # Held open: the empty folder over /dev/bus/usb hides its path.
    source = os.open(root + node, os.O_PATH)
    bus, number = node.split("/")[-2:]

    def make_node(path, name):
        os.mkdir(path)
        with open(os.path.join(path, number), "w"):
            pass
        bind("/proc/self/fd/%d" % source, os.path.join(path, number))

    try:
        _only_entries(root + "/dev/bus/usb", [bus], make_node)
    finally:
        os.close(source)
    empty_folder_if_any("/proc/bus/usb")


def check_usb_device(port):
    root = _device_tree_root()
    devices = os.listdir(root + SYSFS_DEVICES)
    if sorted(n for n in devices if ":" not in n) != [port]:
        raise OSError(errno.EEXIST, "%s holds %s" % (SYSFS_DEVICES, ", ".join(sorted(devices))))
    nodes = [os.path.join(folder, name) for folder, _, names in os.walk(root + "/dev/bus/usb")
             for name in names]
    if nodes != [root + device_node(port, root)]:
        raise OSError(errno.EEXIST, "/dev/bus/usb holds %s" % ", ".join(nodes))


# Each mode: (count of its arguments, how to enter it, how to check it).
MODES = {
    "usb-device": (1, enter_usb_device, check_usb_device),
}


def prefix(mode, *arguments, script=__file__):
    """What goes in front of a command to run it in `mode` of `script`."""
    return [sys.executable, os.path.abspath(script), mode, *arguments, "--"]


_reasons = {}


def unavailable(mode, *arguments, script=__file__):
    """Why `mode` of `script` cannot be had here, or None; found once for
    each mode, by entering it in a process of its own. A misuse (no such
    mode, a wrong count of arguments) raises ValueError: it is the caller's
    fault, not the machine's."""
    key = (os.path.abspath(script), mode) + arguments
    if key not in _reasons:
        checked = subprocess.run([sys.executable, key[0], "--check", *key[1:]],
                                 stdin=subprocess.DEVNULL, capture_output=True, text=True)
        reason = (checked.stdout + checked.stderr).strip() or "failed"
        if checked.returncode == USAGE:
            raise ValueError("%s --check %s: %s" % (script, " ".join(key[1:]), reason))
        _reasons[key] = (None if checked.returncode == 0 else
                         "the isolation mode %s cannot be had here (%s)" % (mode, reason))
    return _reasons[key]


def main(arguments, modes=None, usage=__doc__):
    """The command line of a script whose modes are `modes` (these by
    default) and whose docstring is `usage`."""
    modes = MODES if modes is None else modes
    checking = arguments[:1] == ["--check"]
    if checking:
        arguments = arguments[1:]
    mode = modes.get(arguments[0]) if arguments else None
    if mode is not None:
        count, enter_mode, check_mode = mode
        mode_arguments = arguments[1:1 + count]
        command = arguments[2 + count:]
    if mode is None or len(mode_arguments) != count or (
            not checking and (arguments[1 + count:2 + count] != ["--"] or not command)):
        print(usage, file=sys.stderr)
        sys.exit(USAGE)
    try:
        enter_mode(*mode_arguments)
        if checking:
            check_mode(*mode_arguments)
    except OSError as error:
        print(error, file=sys.stderr)
        sys.exit(UNAVAILABLE)
    if not checking:
        # Python ignores these for itself; the command gets them as a shell
        # gives them.
        for number in (signal.SIGPIPE, signal.SIGXFSZ):
            signal.signal(number, signal.SIG_DFL)
        os.execvp(command[0], command)


if __name__ == "__main__":
    main(sys.argv[1:])
