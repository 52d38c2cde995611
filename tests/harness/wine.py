"""The Windows builds under Wine, on the runner that the Linux runs use.

Each run gets a folder of its own that holds the executable and, when the
run has a driver, the virtual board's Ftd2xx.dll (or a variant) beside it;
the program starts in another, empty folder, so that the driver it loads can
only be the one in the application's folder. Standard input is a
pseudo-terminal, because a console program needs a console; standard output
goes to a file, which keeps the exact bytes the program wrote without the
console's escape sequences (texts.windows gives them).

Keys come from the virtual board (VBOARD_KEYS), which writes them into the
console input itself during the driver call that the test names. Keys typed
on the terminal depend on Wine's version. Under Wine 8 (Debian 12), the
console reads nothing from its terminal before the program's first console
read, and a loop of _kbhit never makes one. From Wine 10 (Debian 13) on,
_kbhit sees a letter typed there; an arrow key, which has no character,
alone ends no wait, but followed by a letter it ends three: _getch returns
the arrow's two codes one after the other, then the letter.
"""
import functools
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from . import isolation_modes, pe
from .runner import Run, environment

# Debian's loaders (wine64, wine32:i386). Its `wine` starts the 32-bit loader
# first whenever wine32 is installed, and under qemu-user that alone costs a
# 32-bit start: 64-bit programs go to the 64-bit loader directly.
DEBIAN_LOADERS = {"x64": "/usr/lib/wine/wine64", "x86": "/usr/lib/wine/wine"}
DEBIAN_PACKAGES = {"x64": "wine64", "x86": "wine32:i386"}

# On a kernel without IA-32 emulation, 32-bit programs run under qemu-i386,
# behind the isolation's i386-binfmt mode: the machine's own registrations
# are never touched (docs/developing.md, The Wine tests).
_I386_BINFMT = isolation_modes.prefix("i386-binfmt")
# Set to "qemu" to take that route on a kernel that runs 32-bit programs too.
X86_ROUTE_VARIABLE = "QUENDAL_WINE_X86"

# A safety net for a 32-bit run under qemu-user, never a measurement.
EMULATED_TIMEOUT = 600.0


def _starts(command):
    """None when `command` runs, else why not."""
    try:
        ran = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, timeout=EMULATED_TIMEOUT)
    except OSError as error:
        return str(error)
    if ran.returncode == 0:
        return None
    return ran.stderr.decode(errors="replace").strip() or "exit status %d" % ran.returncode


@functools.lru_cache(maxsize=None)
def loader(architecture):
    """(the Wine loader that runs builds of `architecture`, None), or (None,
    why there is none). Debian's where its packages are installed, else the
    one on PATH: `wine64` for 64-bit programs where there is one, else
    `wine` (a WoW64 build of Wine has only that one, for both widths)."""
    if any(os.path.exists(path) for path in DEBIAN_LOADERS.values()):
        path = DEBIAN_LOADERS[architecture]
        if os.path.exists(path):
            return path, None
        return None, "Wine has no loader %s (Debian's %s; scripts/install-deps.sh --windows)" % (
            path, DEBIAN_PACKAGES[architecture])
    for name in (["wine64", "wine"] if architecture == "x64" else ["wine"]):
        path = shutil.which(name)
        if path is not None:
            return path, None
    return None, "there is no Wine: neither %s nor wine on PATH (scripts/install-deps.sh " \
        "--windows)" % DEBIAN_LOADERS[architecture]


@functools.lru_cache(maxsize=None)
def x86_route():
    """("native" or "qemu", None), or (None, why 32-bit programs cannot run)."""
    wine32, missing = loader("x86")
    if missing is not None:
        return None, missing
    if os.environ.get(X86_ROUTE_VARIABLE) == "qemu":
        why = "%s=qemu" % X86_ROUTE_VARIABLE
    elif _starts([wine32, "--version"]) is None:
        return "native", None
    else:
        why = "this machine runs no 32-bit programs (no IA-32 emulation)"
    if not os.access(isolation_modes.QEMU_I386, os.X_OK):
        return None, "%s, and there is no %s (scripts/install-deps.sh --windows)" % (
            why, isolation_modes.QEMU_I386)
    failed = _starts(_I386_BINFMT + [wine32, "--version"])
    if failed is not None:
        return None, ("%s, and qemu-i386 cannot be registered in a binfmt_misc of a user "
                      "namespace's own (Linux 6.7 or later): %s" % (why, failed))
    return "qemu", None


def unavailable(architecture):
    """None when this machine runs the build of `architecture` ("x64",
    "x86"), else why not."""
    return loader("x64")[1] if architecture == "x64" else x86_route()[1]


def emulated(architecture):
    """Whether runs of `architecture` go through qemu-user."""
    return architecture == "x86" and x86_route()[0] == "qemu"


# The first qemu-user release whose 32-bit Wine starts take seconds, not most
# of a minute (docs/developing.md, The Wine tests).
FAST_QEMU = 10


@functools.lru_cache(maxsize=None)
def slow(architecture):
    """Whether each start of a build of `architecture` is slow: it goes
    through a qemu-user older than FAST_QEMU."""
    if not emulated(architecture):
        return False
    shown = subprocess.run([isolation_modes.QEMU_I386, "--version"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           universal_newlines=True).stdout
    found = re.search(r"version (\d+)\.", shown)
    return found is None or int(found.group(1)) < FAST_QEMU


def wineserver():
    """The server of the 64-bit loader's Wine: beside it (Debian's and
    Wine's own layout), else the one on PATH."""
    beside = os.path.join(os.path.dirname(loader("x64")[0]), "wineserver")
    return beside if os.access(beside, os.X_OK) else "wineserver"


def _command(architecture, words):
    return _in_namespace([loader(architecture)[0]] + words)


@functools.lru_cache(maxsize=None)
def version():
    """Wine's (major, minor) version, from its 64-bit loader."""
    shown = subprocess.run(_command("x64", ["--version"]),
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, universal_newlines=True,
                           timeout=EMULATED_TIMEOUT, check=True).stdout
    # "wine-10.0 (Debian 10.0~repack-6)", "wine-9.0-rc1"
    major, minor = re.match(r"wine-(\d+)\.(\d+)", shown).groups()
    return int(major), int(minor)


def _in_namespace(command):
    # Once 32-bit programs run in the namespace, every Wine process of the
    # session does, so that all of them see the same user and so share one
    # wineserver.
    return _I386_BINFMT + command if x86_route()[0] == "qemu" else command


def wine_environment(prefix, architecture="x64", settings=None):
    """The caller's environment without any VBOARD_* of its own, with Wine
    quiet and `settings` added."""
    env = environment(None, settings, {
        "WINEPREFIX": prefix,
        "WINEDEBUG": "-all",
        # No offer to install Mono or Gecko: no test needs them.
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
    })
    if architecture == "x64":
        # The loader that any process started from this one goes through.
        env["WINELOADER"] = loader("x64")[0]
    # No window may open, on a desktop either.
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


class WinePrefix:
    """One Wine prefix for a whole test session, in a folder of its own.
    Made by the 64-bit loader; where that cannot run, making one raises
    unittest.SkipTest with the reason."""

    def __init__(self):
        missing = unavailable("x64")
        if missing is not None:
            raise unittest.SkipTest(missing)
        # A new prefix's first boot fails now and then on a loaded machine
        # ("could not load kernel32.dll"); a second one, in a fresh folder,
        # has always come up.
        for attempt in (1, 2):
            self.folder = tempfile.mkdtemp(prefix="quendal-wine-")
            self.path = os.path.join(self.folder, "prefix")
            created = subprocess.run(_command("x64", ["wineboot", "--init"]),
                                     env=wine_environment(self.path), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     timeout=EMULATED_TIMEOUT)
            if created.returncode == 0:
                return
            self.close()
        raise RuntimeError("wineboot failed: %s" % created.stdout.decode(errors="replace"))

    def close(self):
        # Only this prefix's server, and every Windows process left in it.
        for option, timeout in (("-k", None), ("-w", 60)):
            subprocess.run(_in_namespace([wineserver(), option]), env=wine_environment(self.path),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)
        shutil.rmtree(self.folder, ignore_errors=True)


def start(prefix, folder, program, driver, settings=None, in_start_dir=None):
    """Runs `program` with `driver` (a DLL file, or None) beside it, from
    folder/app, started in folder/start, which holds `in_start_dir` (a DLL
    file, or None) as Ftd2xx.dll. The Wine loader is the program's own,
    32- or 64-bit."""
    architecture = pe.architecture(program)
    app_dir = os.path.join(folder, "app")
    start_dir = os.path.join(folder, "start")
    os.makedirs(app_dir)
    os.makedirs(start_dir)
    shutil.copy(program, app_dir)
    if driver is not None:
        shutil.copy(driver, os.path.join(app_dir, "Ftd2xx.dll"))
    if in_start_dir is not None:
        shutil.copy(in_start_dir, os.path.join(start_dir, "Ftd2xx.dll"))
    run = Run(_command(architecture, [os.path.join(app_dir, os.path.basename(program))]),
              wine_environment(prefix.path, architecture, settings), cwd=start_dir,
              controlling=False, board_key_fd=False, output_path=os.path.join(folder, "stdout"),
              errors_path=os.path.join(folder, "stderr"))
    if emulated(architecture):
        run.safety_timeout = EMULATED_TIMEOUT
    return run


def system_folder(prefix, architecture):
    """The prefix's folder that a program of `architecture` sees as
    System32: SysWOW64 for a 32-bit one on a 64-bit prefix."""
    windows = os.path.join(prefix.path, "drive_c", "windows")
    syswow64 = os.path.join(windows, "syswow64")
    if architecture == "x86" and os.path.isdir(syswow64):
        return syswow64
    return os.path.join(windows, "system32")


def windows_path(path):
    """The Windows name of a Linux path: Wine's Z: drive is the root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def windows_environment(prefix, name, settings=None):
    """The value of `name` in the environment of a Windows program under
    Wine, which builds some of it (PATH) from its registry."""
    shown = subprocess.run(_command("x64", ["cmd", "/c", "echo", "%" + name + "%"]),
                           env=wine_environment(prefix.path, "x64", settings),
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, timeout=60, check=True)
    return shown.stdout.decode(errors="replace").strip()
