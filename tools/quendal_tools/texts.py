"""The program's own texts, as str with "\\n" line ends.

`as_bytes` gives what the program writes on Linux, `windows` what a Windows
build writes to a file (its C runtime turns each "\\n" into "\\r\\n").
"""

BANNER = "QUENDAL Test programm\n"
HIT_ANY_KEY = "Hit any key "
SLOW_PROMPT = "Blinking running (slow) ; " + HIT_ANY_KEY
FAST_PROMPT = "\nBlinking running (fast) ; " + HIT_ANY_KEY
CLOSING_PROMPT = "\n" + HIT_ANY_KEY
READBACK = "Bits lus sur les pins du QUENDAL : "

# What the fast phase writes, as the trace shows it.
FAST_PATTERN = "02010001000100010001000100010001"
# The level of all eight pins after the fast phase on the default board.
READBACK_VALUE = 0xFD

# In the order in which the program looks them up.
ENTRY_POINTS = ["FT_Open", "FT_SetBitMode", "FT_Write", "FT_SetBaudRate", "FT_GetBitMode"]
# The calls of the set-up, in the order in which the program makes them.
SETUP_CALLS = ["FT_Open", "FT_SetBaudRate", "FT_SetBitMode"]

LIBRARY_LINUX = "libftd2xx.so"
LIBRARY_WINDOWS = "Ftd2xx.dll"

# The failure table: each driver call's message when it fails.
FAILURES = {
    "FT_Open": "Error : Impossible to open device (%d returned)\n",
    "FT_SetBaudRate": "Error : SetBaudRate error (%d returned)\n",
    "FT_SetBitMode": "Error : SetBitMode error (%d returned)\n",
    "FT_Write": "Error : Write error (%d returned)\n",
    "FT_GetBitMode": "Error : GetBitMode error (%d returned)\n",
}

# The binding table: the message when the library or an entry point is missing.
CANT_LOAD = "Error : Can't load %s\n"
CANT_FIND = "Error : Can't find %s\n"


def readback_line(value=READBACK_VALUE):
    return READBACK + "%x\n" % value


def failure(entry, status):
    """The message of `entry` failing with `status`, which the program shows
    as a signed 32-bit number."""
    status &= 0xFFFFFFFF
    return FAILURES[entry] % (status - (1 << 32) if status >= 1 << 31 else status)


def cant_load(library=LIBRARY_LINUX):
    return CANT_LOAD % library


def cant_find(entry):
    return CANT_FIND % entry


def halt(message, before=""):
    """The whole screen of a run that halts with `message` after `before`."""
    return BANNER + before + message + HIT_ANY_KEY


def whole_run(readings, value=READBACK_VALUE):
    """The whole screen of a run that ends normally after `readings` lines."""
    return BANNER + SLOW_PROMPT + FAST_PROMPT + readback_line(value) * readings + CLOSING_PROMPT


def as_bytes(text):
    return text.encode("ascii")


def windows(text):
    return text.replace("\n", "\r\n").encode("ascii")
