#!/usr/bin/python3
"""Runs a command on a stand-in for a bench engineer's machine with the
vendor's library installed as the README says: in /usr/local/lib, the
versioned file libftd2xx.so.1.4.24 (here a copy of STAND_IN) and its link
libftd2xx.so, known to the loader's cache. The machine outside never sees
them: the command runs in a mount namespace of its own, where
/usr/local/lib is a private folder that holds the machine's own entries
(but a libftd2xx.so* of its own) beside the stand-ins, and /etc/ld.so.cache
a cache made there.

Usage: tests/bench-machine/vendor-library.py STAND_IN -- COMMAND [ARG...]
Status 1 with the reason where no namespace can be had.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import isolation, isolation_modes  # noqa: E402
from harness.isolation_modes import LIBRARY, LOCAL_LIBRARIES  # noqa: E402

VERSIONED = LIBRARY + ".1.4.24"


def enter(stand_in):
    with open(stand_in, "rb") as file:
        content = file.read()
    isolation.private_namespace()
    machine = os.open(LOCAL_LIBRARIES, os.O_PATH | os.O_DIRECTORY)
    # The machine's own libftd2xx.so*, if any, give way to the stand-ins.
    names = [n for n in os.listdir(LOCAL_LIBRARIES) if not n.startswith(LIBRARY)]
    isolation.empty_folder_over(LOCAL_LIBRARIES, writable=True)
    for name in names:
        path = os.path.join(LOCAL_LIBRARIES, name)
        source = "/proc/self/fd/%d/%s" % (machine, name)
        if os.path.islink(source):
            os.symlink(os.readlink(source), path)
            continue
        os.mkdir(path) if os.path.isdir(source) else open(path, "x").close()
        isolation.bind(source, path)
    os.close(machine)
    with open(os.path.join(LOCAL_LIBRARIES, VERSIONED), "xb") as file:
        file.write(content)
    os.chmod(os.path.join(LOCAL_LIBRARIES, VERSIONED), 0o755)
    os.symlink(VERSIONED, os.path.join(LOCAL_LIBRARIES, LIBRARY))
    # The cache outside /usr/local/lib, which then lists the stand-ins only.
    isolation.empty_folder_over("/var/cache/ldconfig", writable=True)
    cache = "/var/cache/ldconfig/ld.so.cache"
    isolation_modes.ldconfig(cache, "-X")
    isolation.bind(cache, isolation_modes.LOADER_CACHE)


def main(arguments):
    if len(arguments) < 3 or arguments[1] != "--":
        print(__doc__, file=sys.stderr)
        sys.exit(isolation.USAGE)
    try:
        enter(arguments[0])
    except OSError as error:
        sys.exit("vendor library: %s" % error)
    os.execvp(arguments[2], arguments[2:])


if __name__ == "__main__":
    main(sys.argv[1:])
