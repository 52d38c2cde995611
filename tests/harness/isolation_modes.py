#!/usr/bin/python3
"""The tests' own modes of the isolation (quendal_tools/isolation.py, whose
command line and namespace this shares): stand-ins for parts of other
machines, which the operator's tools never need.

    isolation_modes.py MODE [ARGUMENT] -- COMMAND [ARG...]
    isolation_modes.py --check MODE [ARGUMENT]

Statuses as isolation.py's: 0, UNAVAILABLE (1) with the reason, USAGE (64).

Modes (`MODES`):
- hide-drivers: no driver library but the run's own, and no USB device. The
  loader's cache (/etc/ld.so.cache) and /etc/ld.so.preload are empty; each
  libftd2xx.so* in the loader's system folders (/usr/lib, its multiarch and
  hardware subfolders...) is an empty file; the USB device nodes
  (/dev/bus/usb, /proc/bus/usb) and the USB devices in sysfs
  (/sys/bus/usb/devices) are empty folders. The library folder in the run's
  LD_LIBRARY_PATH stays. umockdev's devices, which its preload library
  shows past any mount, are dropped (UMOCKDEV_DIR).
- bench-machine LIBRARY: a bench engineer's machine, with LIBRARY installed
  as /usr/local/lib/libftd2xx.so and known to the loader's cache
  (/etc/ld.so.cache, made afresh). Every libftd2xx.so* of the machine's
  gives way: in /usr/local/lib it is left out of a private folder that
  holds the machine's other entries, in the system folders and in any
  other folder of the loader's configuration it is an empty file, so the
  only one a program can load is LIBRARY. The machine's USB devices are
  hidden as in hide-drivers; umockdev's devices stay in sight.
- overlay-root: /usr, /etc and /var are overlays whose writes go to memory
  and end with the run, so that a run as root may install and remove
  packages there.
- i386-binfmt: 32-bit x86 programs run under qemu-i386 (QEMU_I386),
  registered in the binfmt_misc of a user namespace of its own (Linux 6.7
  and later), in which the run is root; the machine's binfmt_misc is never
  written.
"""
import errno
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_ROOT, "tools"))
from quendal_tools import isolation  # noqa: E402
from quendal_tools.isolation import (SYSFS_DEVICES, bind, empty_folder_if_any,  # noqa: E402
                                     empty_folder_over, inherited, private_namespace)

LIBRARY = "libftd2xx.so"
LOADER_CACHE = "/etc/ld.so.cache"
LOADER_FILES = [LOADER_CACHE, "/etc/ld.so.preload"]
# Where the loaders look after their cache (`ld.so --help` lists them): these
# folders, their multiarch folders (x86_64-linux-gnu...), and in each its
# hardware subfolders: glibc-hwcaps/x86-64-v3, or nested legacy ones
# (tls/haswell/x86_64). A package's private folder is not searched.
SYSTEM_FOLDERS = ["/lib", "/usr/lib", "/lib32", "/usr/lib32", "/lib64", "/usr/lib64",
                  "/libx32", "/usr/libx32"]
MULTIARCH = "*-linux-gnu*"
LEGACY_SUBFOLDERS = {"tls", "haswell", "xeon_phi", "avx512_1", "x86_64", "i686", "sse2",
                     "v6l", "v7l", "v8l", "vfp", "neon", "aarch64"}
USB_FOLDERS = ["/dev/bus/usb", "/proc/bus/usb", SYSFS_DEVICES]
LOCAL_LIBRARIES = "/usr/local/lib"
# Where ldconfig keeps its auxiliary cache, which it writes on every run.
LDCONFIG_FOLDER = "/var/cache/ldconfig"
OVERLAID = ["/usr", "/etc", "/var"]
BINFMT_MISC = "/proc/sys/fs/binfmt_misc"
# The qemu-i386 that install-deps.sh puts in the build tree where the
# release's own is too slow for 32-bit Wine (Debian 12's), else the release's.
FETCHED_QEMU_I386 = os.path.join(SOURCE_ROOT, "build", "tools", "qemu-i386")
QEMU_I386 = FETCHED_QEMU_I386 if os.access(FETCHED_QEMU_I386, os.X_OK) else "/usr/bin/qemu-i386"
# binfmt_misc's register line for 32-bit x86 ELF executables; F: the
# interpreter is opened now, so it need not be in sight of the run.
QEMU_I386_BINFMT = (
    r":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
    r":\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
    r":" + QEMU_I386 + ":F")


def _libraries_in(folder, legacy_depth=3):
    found = glob.glob(os.path.join(folder, LIBRARY + "*"))
    found += glob.glob(os.path.join(folder, "glibc-hwcaps", "*", LIBRARY + "*"))
    if legacy_depth:
        for name in LEGACY_SUBFOLDERS:
            if os.path.isdir(os.path.join(folder, name)):
                found += _libraries_in(os.path.join(folder, name), legacy_depth - 1)
    return found


def system_drivers():
    """Each libftd2xx.so* in the loader's system folders, as this machine has
    them now (a dangling link left out: nothing loads it)."""
    folders = [f for f in SYSTEM_FOLDERS if os.path.isdir(f)]
    folders += [m for f in folders for m in glob.glob(os.path.join(f, MULTIARCH))]
    files = []
    for folder in sorted({os.path.realpath(f) for f in folders}):
        files += [f for f in _libraries_in(folder) if os.path.exists(f)]
    return list(dict.fromkeys(files))


def hidden():
    """The files that a run behind hide-drivers finds empty, as they are on
    this machine now."""
    return [f for f in LOADER_FILES if os.path.exists(f)] + system_drivers()


def hide_usb_devices():
    """Makes each of USB_FOLDERS that this machine has an empty folder. This
    process's own view stops going through umockdev's preload library (a
    caller of the tests may have it), which shows the emulated devices
    wherever the real ones are."""
    os.environ.pop("UMOCKDEV_DIR", None)
    for path in USB_FOLDERS:
        empty_folder_if_any(path)


def enter_hide_drivers():
    files = hidden()
    private_namespace()
    for path in files:
        bind("/dev/null", path)
    hide_usb_devices()


def _check_no_usb_devices():
    for path in USB_FOLDERS:
        if os.path.isdir(path) and os.listdir(path):
            raise OSError(errno.EEXIST, "%s still has entries" % path)


def check_hide_drivers():
    for path in hidden():
        if os.stat(path).st_size:
            raise OSError(errno.EEXIST, "%s is still there" % path)
    _check_no_usb_devices()


def ldconfig(cache, *options):
    """ldconfig on `cache`, in an environment that changes nothing it finds;
    its standard output."""
    ran = subprocess.run([shutil.which("ldconfig") or "/sbin/ldconfig", "-C", cache, *options],
                         env={k: v for k, v in os.environ.items() if not inherited(k)},
                         stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if ran.returncode != 0:
        raise OSError(errno.EIO, "ldconfig -C %s %s: %s" % (cache, " ".join(options),
                                                           ran.stderr.strip()))
    return ran.stdout


def _cached_drivers(cache):
    """The paths of the libftd2xx.so* entries in the loader's `cache`."""
    found = []
    for line in ldconfig(cache, "-p").splitlines():
        name, _, path = line.strip().partition(" => ")
        if name.startswith(LIBRARY) and path:
            found.append(path)
    return found


def _install_local_driver(library):
    """`library` as LOCAL_LIBRARIES/libftd2xx.so, a file of its own in a
    private folder that also holds the machine's other entries there (each a
    bind of the machine's own, or the same link); a loader's cache that
    knows it and no other libftd2xx.so*."""
    machine = os.open(LOCAL_LIBRARIES, os.O_PATH | os.O_DIRECTORY)
    names = [n for n in os.listdir(LOCAL_LIBRARIES) if not n.startswith(LIBRARY)]
    empty_folder_over(LOCAL_LIBRARIES, writable=True)
    for name in names:
        source = "/proc/self/fd/%d/%s" % (machine, name)
        path = os.path.join(LOCAL_LIBRARIES, name)
        if os.path.islink(source):
            os.symlink(os.readlink(source), path)
            continue
        if os.path.isdir(source):
            os.mkdir(path)
        else:
            open(path, "x").close()
        bind(source, path)
    os.close(machine)
    installed = os.path.join(LOCAL_LIBRARIES, LIBRARY)
    # "x": a new file in the new folder, never through a link.
    with open(library, "rb") as source, open(installed, "xb") as target:
        shutil.copyfileobj(source, target)
    os.chmod(installed, 0o755)
    # The cache stays a file there: an unlinked one could not be hidden again
    # (hide-drivers) in a namespace within this one.
    cache_folder = LOCAL_LIBRARIES
    if os.path.isdir(LDCONFIG_FOLDER):
        empty_folder_over(LDCONFIG_FOLDER, writable=True)
        cache_folder = LDCONFIG_FOLDER
    cache = os.path.join(cache_folder, "ld.so.cache")
    # -X: no links made in the machine's library folders. A driver in a
    # folder of the loader's configuration beyond the system ones shows in
    # the cache: emptied, it is left out of the next one.
    for _ in range(2):
        ldconfig(cache, "-X")
        others = [p for p in _cached_drivers(cache) if os.path.realpath(p) != installed]
        if not others:
            break
        for path in others:
            bind("/dev/null", path)
    else:
        raise OSError(errno.EEXIST, "the loader's cache still knows %s" % ", ".join(others))
    bind(cache, LOADER_CACHE)


def enter_bench_machine(library):
    devices = os.environ.get("UMOCKDEV_DIR")
    drivers = system_drivers()
    private_namespace()
    hide_usb_devices()
    if devices is not None:
        os.environ["UMOCKDEV_DIR"] = devices
    for path in drivers:
        bind("/dev/null", path)
    _install_local_driver(os.path.abspath(library))


def check_bench_machine(library):
    with open(os.path.join(LOCAL_LIBRARIES, LIBRARY), "rb") as installed, \
            open(library, "rb") as wanted:
        if installed.read() != wanted.read():
            raise OSError(errno.EEXIST, "%s/%s is not %s" % (LOCAL_LIBRARIES, LIBRARY, library))
    os.environ.pop("UMOCKDEV_DIR", None)
    _check_no_usb_devices()


def _mount_point_types():
    """{mount point: file system type} of this process's mounts, the last
    one on each point."""
    found = {}
    with open("/proc/self/mountinfo") as mounts:
        for line in mounts:
            fields, _, rest = line.partition(" - ")
            found[fields.split()[4]] = rest.split()[0]
    return found


def enter_overlay_root():
    private_namespace()
    scratch = tempfile.mkdtemp(prefix="quendal-overlay-")
    try:
        empty_folder_over(scratch, writable=True)
        try:
            for folder in OVERLAID:
                upper, work = (os.path.join(scratch, kind + folder.replace("/", "-"))
                               for kind in ("upper", "work"))
                os.mkdir(upper)
                os.mkdir(work)
                try:
                    isolation.mount("overlay", folder, "overlay",
                                    "lowerdir=%s,upperdir=%s,workdir=%s" % (folder, upper, work))
                except OSError as error:
                    raise _why_no_overlay(error, folder)
        finally:
            # The overlays keep their upper folders; the name in /tmp goes.
            isolation.unmount(scratch)
    finally:
        os.rmdir(scratch)


def _why_no_overlay(error, folder):
    # Mounts that a user namespace inherits from a more privileged one are
    # locked together, and overlayfs takes no lower folder with locked mounts
    # beneath it: a normal user's overlay-root inside another mode (whose
    # mounts are under /usr or /etc) meets this.
    beneath = [point for point in _mount_point_types() if point.startswith(folder + "/")]
    if error.errno != errno.EINVAL or not beneath or _in_initial_user_namespace():
        return error
    shown = ", ".join(sorted(beneath)[:3]) + (", ..." if len(beneath) > 3 else "")
    return OSError(error.errno, "overlayfs takes no %s as its lower folder here: the mounts "
                   "under it (%s) come from a more privileged user namespace, which locks them "
                   "to it (%s)" % (folder, shown, error.strerror))


def _in_initial_user_namespace():
    with open("/proc/self/uid_map") as mapping:
        return mapping.read().split() == ["0", "0", "4294967295"]


def check_overlay_root():
    types = _mount_point_types()
    for folder in OVERLAID:
        if types.get(folder) != "overlay":
            raise OSError(errno.ENOENT, "%s is no overlay" % folder)


def enter_i386_binfmt():
    # binfmt_misc is one for each user namespace, so this one's own is
    # written, and only its root may mount it.
    private_namespace(as_root=True)
    isolation.mount("binfmt_misc", BINFMT_MISC, "binfmt_misc")
    register = os.open(os.path.join(BINFMT_MISC, "register"), os.O_WRONLY)
    try:
        # One write: binfmt_misc takes a registration whole.
        os.write(register, QEMU_I386_BINFMT.encode())
    finally:
        os.close(register)


def check_i386_binfmt():
    with open(os.path.join(BINFMT_MISC, "qemu-i386")) as entry:
        if entry.readline().strip() != "enabled":
            raise OSError(errno.ENOENT, "qemu-i386 is registered but not enabled")


# Each mode: (count of its arguments, how to enter it, how to check it).
MODES = {
    "hide-drivers": (0, enter_hide_drivers, check_hide_drivers),
    "bench-machine": (1, enter_bench_machine, check_bench_machine),
    "overlay-root": (0, enter_overlay_root, check_overlay_root),
    "i386-binfmt": (0, enter_i386_binfmt, check_i386_binfmt),
}


def prefix(mode, *arguments):
    """What goes in front of a command to run it in `mode`."""
    return isolation.prefix(mode, *arguments, script=__file__)


def unavailable(mode, *arguments):
    """Why `mode` cannot be had here, or None (`isolation.unavailable`)."""
    return isolation.unavailable(mode, *arguments, script=__file__)


# Set to 1 where namespaces must be had (CI, as root): a test that needs one
# then fails where it would skip.
REQUIRED_VARIABLE = "QUENDAL_REQUIRE_ISOLATION"


def required():
    return os.environ.get(REQUIRED_VARIABLE) == "1"


def require(mode, *arguments):
    """Returns where `mode` can be had here; else raises unittest.SkipTest
    with the reason, or with REQUIRED_VARIABLE=1 fails the test."""
    reason = unavailable(mode, *arguments)
    if reason and required():
        raise AssertionError("%s=1, and %s" % (REQUIRED_VARIABLE, reason))
    if reason:
        raise unittest.SkipTest(reason)


if __name__ == "__main__":
    isolation.main(sys.argv[1:], MODES, __doc__)
