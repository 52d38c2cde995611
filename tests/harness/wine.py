"""The Windows builds under Wine, on the runner that the Linux runs use.

Each run gets a folder of its own that holds the executable and, when the
run has a driver, the virtual board's Ftd2xx.dll (or a variant) beside it;
the program starts in another, empty folder, so that the driver it loads can
only be the one in the application's folder. Standard input is a
pseudo-terminal, because a console program needs a console; standard output
goes to a file, which keeps the exact bytes the program wrote without the
console's escape sequences (texts.windows gives them).

Wine's console reads nothing typed on its terminal before the program's
first console read, and a loop of _kbhit never makes one: every key comes
from the virtual board (VBOARD_KEYS), which writes it into the console input
itself during the driver call that the test names.
"""
import functools
import os
import shutil
import subprocess
import tempfile

from .runner import Run, environment

# Debian's `wine` starts the 32-bit loader first whenever wine32 is
# installed, and under qemu-user that alone costs a 32-bit start: 64-bit
# programs go to the 64-bit loader directly.
WINE32_LOADER = "/usr/lib/wine/wine"
WINE64_LOADER = "/usr/lib/wine/wine64"

# On a kernel without IA-32 emulation, 32-bit programs run under qemu-i386,
# registered for 32-bit x86 ELF files in the binfmt_misc of a user namespace
# of their own (Linux 6.7 and later): the machine's own registrations are
# never touched. Each 32-bit Wine start then costs about a minute of CPU.
QEMU_I386 = "/usr/bin/qemu-i386"
QEMU_I386_BINFMT = (
    r":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
    r":\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
    r":" + QEMU_I386 + ":F")
_PRIVATE_BINFMT = [
    "unshare", "--user", "--map-root-user", "--mount", "sh", "-c",
    'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc'
    ' && printf %s "$0" >/proc/sys/fs/binfmt_misc/register && exec "$@"',
    QEMU_I386_BINFMT]
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
def x86_route():
    """("native" or "qemu", None), or (None, why 32-bit programs cannot run)."""
    if os.environ.get(X86_ROUTE_VARIABLE) == "qemu":
        why = "%s=qemu" % X86_ROUTE_VARIABLE
    elif _starts([WINE32_LOADER, "--version"]) is None:
        return "native", None
    else:
        why = "this machine runs no 32-bit programs (no IA-32 emulation)"
    if not os.access(QEMU_I386, os.X_OK):
        return None, "%s, and there is no %s (scripts/install-deps.sh --windows)" % (why, QEMU_I386)
    failed = _starts(_PRIVATE_BINFMT + [WINE32_LOADER, "--version"])
    if failed is not None:
        return None, ("%s, and qemu-i386 cannot be registered in a binfmt_misc of a user "
                      "namespace's own (Linux 6.7 or later): %s" % (why, failed))
    return "qemu", None


def unavailable(architecture):
    """None when this machine runs the build of `architecture` ("x64",
    "x86"), else why not."""
    return None if architecture == "x64" else x86_route()[1]


def emulated(architecture):
    """Whether runs of `architecture` go through qemu-user, about a minute
    of CPU each."""
    return architecture == "x86" and x86_route()[0] == "qemu"


def _command(architecture, words):
    loader = WINE64_LOADER if architecture == "x64" else WINE32_LOADER
    return _in_namespace([loader] + words)


def _in_namespace(command):
    # Once 32-bit programs run in the namespace, every Wine process of the
    # session does, so that all of them see the same user and so share one
    # wineserver.
    return _PRIVATE_BINFMT + command if x86_route()[0] == "qemu" else command


def pe_architecture(path):
    """"x64" or "x86", from the machine field of a Windows executable's header."""
    with open(path, "rb") as exe:
        header = exe.read(4096)
    offset = int.from_bytes(header[0x3C:0x40], "little")
    machine = int.from_bytes(header[offset + 4:offset + 6], "little")
    return {0x8664: "x64", 0x14C: "x86"}[machine]


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
        env["WINELOADER"] = WINE64_LOADER
    # No window may open, on a desktop either.
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


class WinePrefix:
    """One Wine prefix for a whole test session, in a folder of its own."""

    def __init__(self):
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
        subprocess.run(_in_namespace(["wineserver", "-k"]), env=wine_environment(self.path),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(_in_namespace(["wineserver", "-w"]), env=wine_environment(self.path),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(self.folder, ignore_errors=True)


def start(prefix, folder, program, driver, settings=None, in_start_dir=None):
    """Runs `program` with `driver` (a DLL file, or None) beside it, from
    folder/app, started in folder/start, which holds `in_start_dir` (a DLL
    file, or None) as Ftd2xx.dll. The Wine loader is the program's own,
    32- or 64-bit."""
    architecture = pe_architecture(program)
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


def objdump(architecture):
    return {"x64": "x86_64-w64-mingw32-objdump", "x86": "i686-w64-mingw32-objdump"}[architecture]


def _private_headers(architecture, path):
    return subprocess.run([objdump(architecture), "-p", path], check=True,
                          stdout=subprocess.PIPE, universal_newlines=True).stdout


def imports(architecture, path):
    """{DLL name as written in the file: [imported names]}."""
    table = {}
    names = None
    for line in _private_headers(architecture, path).splitlines():
        if line.startswith("\tDLL Name: "):
            names = table.setdefault(line.split(": ", 1)[1], [])
        elif names is not None and not line.startswith("\tvma:"):
            # "\t<rva>\t  <hint>  <name>" after the column titles; anything
            # else ends a DLL's list.
            words = line.split()
            if len(words) == 3 and words[1].isdigit():
                names.append(words[2])
            else:
                names = None
    return table


def exports(architecture, path):
    """The exported names, from the export name table."""
    names = []
    in_table = False
    for line in _private_headers(architecture, path).splitlines():
        if line.startswith("[Ordinal/Name Pointer] Table"):
            in_table = True
        elif in_table and line.startswith("\t["):
            names.append(line.split("] ", 1)[1])
        elif in_table:
            in_table = False
    return names
