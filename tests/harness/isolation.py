"""Isolated runs: no driver library but the run's own, and no USB device,
whatever the machine has.

A bench engineer's machine has the vendor's libftd2xx.so installed (known to
ldconfig, in /usr/local/lib or elsewhere) and FTDI devices on its bus. A run
that expects no driver must not load that library, and a run of the adapter
must not drive those devices. So such a run goes into a mount namespace of
its own (as root; otherwise in a user namespace of its own too), entered in
the child between its fork and its exec, where:
- the loader's cache (/etc/ld.so.cache) and /etc/ld.so.preload are empty;
- each libftd2xx.so in the loader's system folders (/usr/lib, its
  multiarch and hardware subfolders...) is an empty file;
- the USB device nodes (/dev/bus/usb, /proc/bus/usb) and the USB devices in
  sysfs (/sys/bus/usb/devices) are empty folders.
The library folder in the run's LD_LIBRARY_PATH stays. Nothing else that the
caller's environment holds may bring a library or a device back: the runner
drops `inherited` variables from every run (umockdev's preload library shows
its own devices past any mount).

`unavailable()` says why this machine cannot make such a run, or None; it is
found once, by entering the namespace in a child. `hook()` raises
unittest.SkipTest with that reason, so a case skips before its run.

As a command, `isolation.py COMMAND [ARG...]` runs COMMAND isolated, with
the `inherited` variables dropped.
"""
import ctypes
import errno
import glob
import os
import sys
import unittest

LIBRARY = "libftd2xx.so"
LOADER_FILES = ["/etc/ld.so.cache", "/etc/ld.so.preload"]
# Where the loaders look after their cache (`ld.so --help` lists them): these
# folders, their multiarch folders (x86_64-linux-gnu...), and in each its
# hardware subfolders: glibc-hwcaps/x86-64-v3, or nested legacy ones
# (tls/haswell/x86_64). A package's private folder is not searched.
SYSTEM_FOLDERS = ["/lib", "/usr/lib", "/lib32", "/usr/lib32", "/lib64", "/usr/lib64",
                  "/libx32", "/usr/libx32"]
MULTIARCH = "*-linux-gnu*"
LEGACY_SUBFOLDERS = {"tls", "haswell", "xeon_phi", "avx512_1", "x86_64", "i686", "sse2",
                     "v6l", "v7l", "v8l", "vfp", "neon", "aarch64"}
USB_FOLDERS = ["/dev/bus/usb", "/proc/bus/usb", "/sys/bus/usb/devices"]

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


def _check(result, what):
    if result != 0:
        number = ctypes.get_errno()
        raise OSError(number, "%s: %s" % (what, os.strerror(number)))


def private_namespace():
    """Moves this process into a mount namespace of its own, whose mounts
    never reach the machine's. Where it may not (not root), into a user
    namespace of its own too, keeping its user and group; only a process
    with one thread can."""
    uid, gid = os.geteuid(), os.getegid()
    if _libc.unshare(_CLONE_NEWNS) != 0:
        _check(_libc.unshare(_CLONE_NEWNS | _CLONE_NEWUSER), "unshare")
        for name, text in [("setgroups", "deny"), ("uid_map", "%d %d 1" % (uid, uid)),
                           ("gid_map", "%d %d 1" % (gid, gid))]:
            with open("/proc/self/" + name, "w") as file:
                file.write(text)
    _check(_libc.mount(b"none", b"/", None, _MS_REC | _MS_PRIVATE, None),
           "making the mounts private")


def bind(source, target, read_only=False):
    _check(_libc.mount(os.fsencode(source), os.fsencode(target), None, _MS_BIND, None),
           "mount --bind %s %s" % (source, target))
    if read_only:
        _check(_libc.mount(None, os.fsencode(target), None,
                           _MS_BIND | _MS_REMOUNT | _MS_RDONLY, None),
               "mount -o remount,bind,ro %s" % target)


def unmount(target):
    _check(_libc.umount2(os.fsencode(target), _MNT_DETACH), "umount --lazy %s" % target)


def empty_folder_over(path, writable=False):
    flags = _MS_NOSUID | _MS_NODEV | (0 if writable else _MS_RDONLY | _MS_NOEXEC)
    _check(_libc.mount(b"none", os.fsencode(path), b"tmpfs", flags, b"mode=0755"),
           "mount -t tmpfs none %s" % path)


def _libraries_in(folder, legacy_depth=3):
    found = glob.glob(os.path.join(folder, LIBRARY))
    found += glob.glob(os.path.join(folder, "glibc-hwcaps", "*", LIBRARY))
    if legacy_depth:
        for name in LEGACY_SUBFOLDERS:
            if os.path.isdir(os.path.join(folder, name)):
                found += _libraries_in(os.path.join(folder, name), legacy_depth - 1)
    return found


def hidden():
    """The files that an isolated run finds empty, as they are on this
    machine now."""
    folders = [f for f in SYSTEM_FOLDERS if os.path.isdir(f)]
    folders += [m for f in folders for m in glob.glob(os.path.join(f, MULTIARCH))]
    files = [f for f in LOADER_FILES if os.path.exists(f)]
    for folder in sorted({os.path.realpath(f) for f in folders}):
        files += [f for f in _libraries_in(folder) if os.path.exists(f)]
    return list(dict.fromkeys(files))


def hide_usb_devices():
    """Makes each of USB_FOLDERS that this machine has an empty folder. This
    process's own view stops going through umockdev's preload library (a
    caller of the tests may have it), which shows the emulated devices
    wherever the real ones are."""
    os.environ.pop("UMOCKDEV_DIR", None)
    for path in USB_FOLDERS:
        try:
            empty_folder_over(path)
        except OSError as error:
            if error.errno not in (errno.ENOENT, errno.ENOTDIR):
                raise


def enter(files):
    """Moves this process into a namespace where `files` (from `hidden()`)
    and the USB devices are empty."""
    private_namespace()
    for path in files:
        bind("/dev/null", path)
    hide_usb_devices()


_reason = None


def unavailable():
    """Why an isolated run cannot be had here, or None."""
    global _reason
    if _reason is None:
        files = hidden()
        read, write = os.pipe()
        child = os.fork()
        if child == 0:
            try:
                os.close(read)
                enter(files)
                for path in files:
                    if os.stat(path).st_size:
                        raise OSError(errno.EEXIST, "%s is still there" % path)
                for path in USB_FOLDERS:
                    if os.path.isdir(path) and os.listdir(path):
                        raise OSError(errno.EEXIST, "%s still has entries" % path)
            except BaseException as error:
                os.write(write, str(error).encode() or b"failed")
            finally:
                os._exit(0)
        os.close(write)
        with os.fdopen(read, "rb") as errors:
            error = errors.read().decode(errors="replace")
        os.waitpid(child, 0)
        _reason = "no private mount namespace for an isolated run (%s)" % error if error else ""
    return _reason or None


def hook(before_exec=None):
    """What the child of an isolated run calls before its exec: `enter`,
    then `before_exec`. Raises unittest.SkipTest where no isolated run can
    be had."""
    reason = unavailable()
    if reason:
        raise unittest.SkipTest(reason)
    files = hidden()

    def isolate():
        enter(files)
        if before_exec:
            before_exec()

    return isolate


def main(command):
    reason = unavailable()
    if reason:
        sys.exit("isolation.py: " + reason)
    enter(hidden())
    env = {k: v for k, v in os.environ.items() if not inherited(k)}
    os.execvpe(command[0], command, env)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1:])
