"""umockdev's Python bindings, which wire.ft232r needs, come with Debian's
own Python; another python3 earlier on PATH may not see them."""
import os
import sys

SYSTEM_PYTHON = "/usr/bin/python3"


def run_under_system_python():
    """Starts this script again under Debian's Python, unless it runs there
    already. Call it before anything imports wire.ft232r."""
    if os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON):
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
