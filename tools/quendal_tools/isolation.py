"""Runs in a mount namespace of their own, in one of a few modes, whatever
the machine has.

    isolation.py MODE [ARGUMENT] -- COMMAND [ARG...]
    isolation.py --check MODE [ARGUMENT]

The first form runs COMMAND in the mode (put in front of a command as an
emulator is); the second says whether the mode can be had here: status 0,
or 1 with the reason. The namespace is entered in this process, which has
one thread, before its exec: no Python runs between a fork and an exec in
the caller. As root it is a mount namespace of its own; otherwise a user
namespace of its own too, under the same user (i386-binfmt: always, as its
root). Its mounts never reach the machine's. The environment is passed on as
it is.

Modes (`MODES`):
- hide-drivers: no driver library but the run's own, and no USB device. The
  loader's cache (/etc/ld.so.cache) and /etc/ld.so.preload are empty; each
  libftd2xx.so in the loader's system folders (/usr/lib, its multiarch and
  hardware subfolders...) is an empty file; the USB device nodes
  (/dev/bus/usb, /proc/bus/usb) and the USB devices in sysfs
  (/sys/bus/usb/devices) are empty folders. The library folder in the run's
  LD_LIBRARY_PATH stays. umockdev's devices, which its preload library
  shows past any mount, are dropped (UMOCKDEV_DIR).
- usb-device PORT: the USB device at sysfs PORT (e.g. 1-1.4) is the only
  one in sight: /sys/bus/usb/devices holds only it and its interfaces,
  /dev/bus/usb only its node, /proc/bus/usb nothing. Driver libraries stay.
  Under umockdev's preload library (UMOCKDEV_DIR set), that is done to the
  test bed's sysfs and /dev, which are the ones the run sees.
- bench-machine LIBRARY: a bench engineer's machine, with LIBRARY installed
  as /usr/local/lib/libftd2xx.so beside what that folder holds (a
  libftd2xx.so* of the machine's there gives way) and known to the loader's
  cache (/etc/ld.so.cache, made afresh). The machine's USB devices are
  hidden as in hide-drivers; umockdev's devices stay in sight.
- overlay-root: /usr, /etc and /var are overlays whose writes go to memory
  and end with the run, so that a run as root may install and remove
  packages there.
- i386-binfmt: 32-bit x86 programs run under qemu-i386 (QEMU_I386),
  registered in the binfmt_misc of a user namespace of its own (Linux 6.7
  and later), in which the run is root; the machine's binfmt_misc is never
  written.
A new mode is a function that enters it and one that checks it, in `MODES`.

The caller's environment may bring a library or a device back: a caller
that wants none drops the `inherited` variables first.
"""
import ctypes
import errno
import glob
import os
import signal
import shutil
import subprocess
import sys
import tempfile

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
SYSFS_DEVICES = "/sys/bus/usb/devices"
USB_FOLDERS = ["/dev/bus/usb", "/proc/bus/usb", SYSFS_DEVICES]
LOCAL_LIBRARIES = "/usr/local/lib"
# Where ldconfig keeps its auxiliary cache, which it writes on every run.
LDCONFIG_FOLDER = "/var/cache/ldconfig"
OVERLAID = ["/usr", "/etc", "/var"]
BINFMT_MISC = "/proc/sys/fs/binfmt_misc"
QEMU_I386 = "/usr/bin/qemu-i386"
# binfmt_misc's register line for 32-bit x86 ELF executables; F: the
# interpreter is opened now, so it need not be in sight of the run.
QEMU_I386_BINFMT = (
    r":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
    r":\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
    r":" + QEMU_I386 + ":F")

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


def private_namespace(as_root=False):
    """Moves this process into a mount namespace of its own, whose mounts
    never reach the machine's. Where it may not (not root), or `as_root`,
    into a user namespace of its own too, keeping its user and group, or
    with `as_root` as that namespace's root; only a process with one thread
    can."""
    uid, gid = os.geteuid(), os.getegid()
    if as_root or _libc.unshare(_CLONE_NEWNS) != 0:
        _check(_libc.unshare(_CLONE_NEWNS | _CLONE_NEWUSER), "unshare")
        inside_uid, inside_gid = (0, 0) if as_root else (uid, gid)
        for name, text in [("setgroups", "deny"), ("uid_map", "%d %d 1" % (inside_uid, uid)),
                           ("gid_map", "%d %d 1" % (inside_gid, gid))]:
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


def empty_folder_if_any(path):
    """`empty_folder_over(path)` where this machine has that folder."""
    try:
        empty_folder_over(path)
    except OSError as error:
        if error.errno not in (errno.ENOENT, errno.ENOTDIR):
            raise


def hide_usb_devices():
    """Makes each of USB_FOLDERS that this machine has an empty folder. This
    process's own view stops going through umockdev's preload library (a
    caller of the tests may have it), which shows the emulated devices
    wherever the real ones are."""
    os.environ.pop("UMOCKDEV_DIR", None)
    for path in USB_FOLDERS:
        empty_folder_if_any(path)


def enter(files):
    """Moves this process into a namespace where `files` (from `hidden()`)
    and the USB devices are empty."""
    private_namespace()
    for path in files:
        bind("/dev/null", path)
    hide_usb_devices()


def enter_hide_drivers():
    enter(hidden())


def _check_no_usb_devices():
    for path in USB_FOLDERS:
        if os.path.isdir(path) and os.listdir(path):
            raise OSError(errno.EEXIST, "%s still has entries" % path)


def check_hide_drivers():
    for path in hidden():
        if os.stat(path).st_size:
            raise OSError(errno.EEXIST, "%s is still there" % path)
    _check_no_usb_devices()


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
    _check(_libc.mount(None, os.fsencode(folder), None,
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


def _install_local_driver(library):
    """`library` as LOCAL_LIBRARIES/libftd2xx.so, beside the folder's other
    entries (each a bind of the machine's own, or the same link), and a
    loader's cache that knows it."""
    machine = os.open(LOCAL_LIBRARIES, os.O_PATH | os.O_DIRECTORY)
    names = os.listdir(LOCAL_LIBRARIES)
    empty_folder_over(LOCAL_LIBRARIES, writable=True)
    for name in names:
        if name.startswith(LIBRARY + "."):
            continue
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
    shutil.copy(library, os.path.join(LOCAL_LIBRARIES, LIBRARY))
    # The cache stays a file there: an unlinked one could not be hidden again
    # (hide-drivers) in a namespace within this one.
    cache_folder = LOCAL_LIBRARIES
    if os.path.isdir(LDCONFIG_FOLDER):
        empty_folder_over(LDCONFIG_FOLDER, writable=True)
        cache_folder = LDCONFIG_FOLDER
    cache = os.path.join(cache_folder, "ld.so.cache")
    # -X: no links made in the machine's library folders.
    subprocess.run([shutil.which("ldconfig") or "/sbin/ldconfig", "-X", "-C", cache],
                   env={k: v for k, v in os.environ.items() if not inherited(k)},
                   stdin=subprocess.DEVNULL, check=True)
    bind(cache, LOADER_CACHE)


def enter_bench_machine(library):
    devices = os.environ.get("UMOCKDEV_DIR")
    private_namespace()
    hide_usb_devices()
    if devices is not None:
        os.environ["UMOCKDEV_DIR"] = devices
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
                options = "lowerdir=%s,upperdir=%s,workdir=%s" % (folder, upper, work)
                _check(_libc.mount(b"overlay", os.fsencode(folder), b"overlay", 0,
                                   os.fsencode(options)),
                       "mount -t overlay -o %s overlay %s" % (options, folder))
        finally:
            # The overlays keep their upper folders; the name in /tmp goes.
            unmount(scratch)
    finally:
        os.rmdir(scratch)


def check_overlay_root():
    types = _mount_point_types()
    for folder in OVERLAID:
        if types.get(folder) != "overlay":
            raise OSError(errno.ENOENT, "%s is no overlay" % folder)


def enter_i386_binfmt():
    # binfmt_misc is one for each user namespace, so this one's own is
    # written, and only its root may mount it.
    private_namespace(as_root=True)
    _check(_libc.mount(b"binfmt_misc", os.fsencode(BINFMT_MISC), b"binfmt_misc", 0, None),
           "mount -t binfmt_misc binfmt_misc %s" % BINFMT_MISC)
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
    "usb-device": (1, enter_usb_device, check_usb_device),
    "bench-machine": (1, enter_bench_machine, check_bench_machine),
    "overlay-root": (0, enter_overlay_root, check_overlay_root),
    "i386-binfmt": (0, enter_i386_binfmt, check_i386_binfmt),
}


def prefix(mode, *arguments):
    """What goes in front of a command to run it in `mode`."""
    return [sys.executable, os.path.abspath(__file__), mode, *arguments, "--"]


_reasons = {}


def unavailable(mode="hide-drivers", *arguments):
    """Why `mode` cannot be had here, or None; found once for each mode, by
    entering it in a process of its own."""
    key = (mode,) + arguments
    if key not in _reasons:
        checked = subprocess.run([sys.executable, os.path.abspath(__file__), "--check", *key],
                                 stdin=subprocess.DEVNULL, capture_output=True, text=True)
        reason = (checked.stdout + checked.stderr).strip() or "failed"
        _reasons[key] = (None if checked.returncode == 0 else
                         "no private mount namespace for an isolated run (%s)" % reason)
    return _reasons[key]


def main(arguments):
    checking = arguments[:1] == ["--check"]
    if checking:
        arguments = arguments[1:]
    mode = MODES.get(arguments[0]) if arguments else None
    if mode is None:
        sys.exit(__doc__)
    count, enter_mode, check_mode = mode
    mode_arguments = arguments[1:1 + count]
    command = arguments[2 + count:]
    if len(mode_arguments) != count or (
            not checking and (arguments[1 + count:2 + count] != ["--"] or not command)):
        sys.exit(__doc__)
    try:
        enter_mode(*mode_arguments)
        if checking:
            check_mode(*mode_arguments)
    except OSError as error:
        print(error, file=sys.stderr)
        sys.exit(1)
    if not checking:
        # Python ignores these for itself; the command gets them as a shell
        # gives them.
        for number in (signal.SIGPIPE, signal.SIGXFSZ):
            signal.signal(number, signal.SIG_DFL)
        os.execvp(command[0], command)


if __name__ == "__main__":
    main(sys.argv[1:])
