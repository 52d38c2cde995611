"""Runs the Windows builds of the bench program under Wine, on the virtual board.

Each run gets a folder of its own that holds the executable and, when the
run has a driver, the virtual board's Ftd2xx.dll (or a variant) beside it;
the program starts in another, empty folder, so that the driver it loads can
only be the one in the application's folder. Standard input is a
pseudo-terminal, because a console program needs a console; standard output
goes to a file, which keeps the exact bytes the program wrote without the
console's escape sequences.

Wine's console reads nothing typed on its terminal before the program's
first console read, and a loop of _kbhit never makes one: every key comes
from the virtual board (VBOARD_KEYS), which writes it into the console input
itself during the driver call that the test names. Timeouts here are only a
safety net against a hung program.
"""
import os
import select
import shutil
import subprocess
import tempfile
import time

SAFETY_TIMEOUT = 60.0


def wine_environment(prefix, settings=None):
    """The caller's environment without any VBOARD_* of its own (the board
    rejects names it does not know), with Wine quiet and `settings` added."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("VBOARD_")}
    # No window may open, on a desktop either.
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env.update({
        "WINEPREFIX": prefix,
        "WINEDEBUG": "-all",
        # No offer to install Mono or Gecko: no test needs them.
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
    })
    env.update(settings or {})
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

    def environment(self, settings=None):
        return wine_environment(self.path, settings)

    def close(self):
        # Only this prefix's server, and every Windows process left in it.
        subprocess.run(["wineserver", "-k"], env=wine_environment(self.path),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=wine_environment(self.path),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(self.folder, ignore_errors=True)


class WineRun:
    """One run of `program` with `driver` (a DLL file, or None) beside it."""

    def __init__(self, prefix, folder, program, driver, settings=None):
        app_dir = os.path.join(folder, "app")
        start_dir = os.path.join(folder, "start")
        os.makedirs(app_dir)
        os.makedirs(start_dir)
        shutil.copy(program, app_dir)
        if driver is not None:
            shutil.copy(driver, os.path.join(app_dir, "Ftd2xx.dll"))
        self.output_path = os.path.join(folder, "stdout")
        self.errors_path = os.path.join(folder, "stderr")
        self.master, slave = os.openpty()
        with open(self.output_path, "wb") as output, open(self.errors_path, "wb") as errors:
            self.process = subprocess.Popen(
                ["wine", os.path.join(app_dir, os.path.basename(program))],
                stdin=slave, stdout=output, stderr=errors, cwd=start_dir,
                env=prefix.environment(settings), start_new_session=True)
        os.close(slave)

    def _drain_terminal(self, timeout):
        # Wine's console may write to its terminal; a full terminal would
        # stop the program.
        if select.select([self.master], [], [], timeout)[0]:
            try:
                os.read(self.master, 65536)
            except OSError:
                pass

    def output(self):
        with open(self.output_path, "rb") as output:
            return output.read()

    def errors(self):
        with open(self.errors_path, "rb") as errors:
            return errors.read()

    def wait_for_output(self, expected):
        deadline = time.monotonic() + SAFETY_TIMEOUT
        while expected not in self.output():
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise AssertionError("no %r in %r" % (expected, self.output()))
            self._drain_terminal(0.05)

    def finish(self):
        """Waits for the end of the program; returns its exit status."""
        deadline = time.monotonic() + SAFETY_TIMEOUT
        while self.process.poll() is None:
            if time.monotonic() > deadline:
                raise AssertionError("the program did not end: %r" % self.output())
            self._drain_terminal(0.05)
        return self.process.returncode

    def running(self):
        return self.process.poll() is None

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        os.close(self.master)


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
