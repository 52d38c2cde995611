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
import os
import shutil
import subprocess
import tempfile

from .runner import Run, environment


def wine_environment(prefix, settings=None):
    """The caller's environment without any VBOARD_* of its own, with Wine
    quiet and `settings` added."""
    env = environment(None, settings, {
        "WINEPREFIX": prefix,
        "WINEDEBUG": "-all",
        # No offer to install Mono or Gecko: no test needs them.
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
    })
    # No window may open, on a desktop either.
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


class WinePrefix:
    """One Wine prefix for a whole test session, in a folder of its own."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="quendal-wine-")
        self.path = os.path.join(self.folder, "prefix")
        created = subprocess.run(["wine", "wineboot", "--init"], env=wine_environment(self.path),
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, timeout=300)
        if created.returncode != 0:
            self.close()
            raise RuntimeError("wineboot failed: %s" % created.stdout.decode(errors="replace"))

    def close(self):
        # Only this prefix's server, and every Windows process left in it.
        subprocess.run(["wineserver", "-k"], env=wine_environment(self.path),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=wine_environment(self.path),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(self.folder, ignore_errors=True)


def start(prefix, folder, program, driver, settings=None):
    """Runs `program` with `driver` (a DLL file, or None) beside it, from
    folder/app, started in folder/start."""
    app_dir = os.path.join(folder, "app")
    start_dir = os.path.join(folder, "start")
    os.makedirs(app_dir)
    os.makedirs(start_dir)
    shutil.copy(program, app_dir)
    if driver is not None:
        shutil.copy(driver, os.path.join(app_dir, "Ftd2xx.dll"))
    return Run(["wine", os.path.join(app_dir, os.path.basename(program))],
               wine_environment(prefix.path, settings), cwd=start_dir, controlling=False,
               board_key_fd=False, output_path=os.path.join(folder, "stdout"),
               errors_path=os.path.join(folder, "stderr"))


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
