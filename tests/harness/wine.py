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

# Debian's `wine` starts the 32-bit loader whenever wine32 is installed, and
# that loader hands 64-bit programs to the 64-bit one. A kernel without IA-32
# emulation can start neither through it; the 64-bit loader is then called
# directly, and 32-bit programs cannot run at all.
WINE32_LOADER = "/usr/lib/wine/wine"
WINE64_LOADER = "/usr/lib/wine/wine64"


@functools.lru_cache(maxsize=None)
def runs_32_bit_programs():
    try:
        subprocess.run([WINE32_LOADER, "--version"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
    except OSError:
        return False
    return True


def runs(architecture):
    """Whether this machine can run the build of `architecture` ("x64", "x86")."""
    return architecture == "x64" or runs_32_bit_programs()


def wine_command():
    return ["wine"] if runs_32_bit_programs() else [WINE64_LOADER]


def wine_environment(prefix, settings=None):
    """The caller's environment without any VBOARD_* of its own, with Wine
    quiet and `settings` added."""
    env = environment(None, settings, {
        "WINEPREFIX": prefix,
        "WINEDEBUG": "-all",
        # No offer to install Mono or Gecko: no test needs them.
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
    })
    if not runs_32_bit_programs():
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
            created = subprocess.run(wine_command() + ["wineboot", "--init"],
                                     env=wine_environment(self.path), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
            if created.returncode == 0:
                return
            self.close()
        raise RuntimeError("wineboot failed: %s" % created.stdout.decode(errors="replace"))

    def close(self):
        # Only this prefix's server, and every Windows process left in it.
        subprocess.run(["wineserver", "-k"], env=wine_environment(self.path),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=wine_environment(self.path),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(self.folder, ignore_errors=True)


def start(prefix, folder, program, driver, settings=None, in_start_dir=None):
    """Runs `program` with `driver` (a DLL file, or None) beside it, from
    folder/app, started in folder/start, which holds `in_start_dir` (a DLL
    file, or None) as Ftd2xx.dll."""
    app_dir = os.path.join(folder, "app")
    start_dir = os.path.join(folder, "start")
    os.makedirs(app_dir)
    os.makedirs(start_dir)
    shutil.copy(program, app_dir)
    if driver is not None:
        shutil.copy(driver, os.path.join(app_dir, "Ftd2xx.dll"))
    if in_start_dir is not None:
        shutil.copy(in_start_dir, os.path.join(start_dir, "Ftd2xx.dll"))
    return Run(wine_command() + [os.path.join(app_dir, os.path.basename(program))],
               wine_environment(prefix.path, settings), cwd=start_dir, controlling=False,
               board_key_fd=False, output_path=os.path.join(folder, "stdout"),
               errors_path=os.path.join(folder, "stderr"))


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
    shown = subprocess.run(wine_command() + ["cmd", "/c", "echo", "%" + name + "%"],
                           env=wine_environment(prefix.path, settings),
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
