"""Case tables that the Linux and the Windows runs share."""
from collections import namedtuple

from quendal_tools.texts import (ENTRY_POINTS, FAST_PROMPT, SETUP_CALLS, SLOW_PROMPT, cant_find,
                                 failure, readback_line)

# A driver call that fails: the board's settings (the key that ends the halt
# is typed during the failing call), the text shown before the message, the
# failing entry point and its status, and every call made.
FailureCase = namedtuple("FailureCase", "settings before entry status made")

FAILURE_CASES = [
    FailureCase({"VBOARD_DEVICES": "0", "VBOARD_KEYS": "FT_Open#1"}, "",
                "FT_Open", 2, ["FT_Open"]),
    FailureCase({"VBOARD_FAIL": "FT_Open=3", "VBOARD_KEYS": "FT_Open#1"}, "",
                "FT_Open", 3, ["FT_Open"]),
    FailureCase({"VBOARD_FAIL": "FT_SetBaudRate=7", "VBOARD_KEYS": "FT_SetBaudRate#1"}, "",
                "FT_SetBaudRate", 7, SETUP_CALLS[:2]),
    FailureCase({"VBOARD_FAIL": "FT_SetBitMode=0xFFFFFFFF", "VBOARD_KEYS": "FT_SetBitMode#1"}, "",
                "FT_SetBitMode", 0xFFFFFFFF, SETUP_CALLS),
    FailureCase({"VBOARD_FAIL": "FT_Write=4", "VBOARD_KEYS": "FT_Write#1"}, SLOW_PROMPT,
                "FT_Write", 4, SETUP_CALLS + ["FT_Write"]),
    FailureCase({"VBOARD_FAIL": "FT_Write#2=10", "VBOARD_KEYS": "FT_Write#1,FT_Write#2"},
                SLOW_PROMPT + FAST_PROMPT, "FT_Write", 10, SETUP_CALLS + ["FT_Write"] * 2),
    FailureCase({"VBOARD_FAIL": "FT_GetBitMode#2=17",
                 "VBOARD_KEYS": "FT_Write#1,FT_Write#2,FT_GetBitMode#2"},
                SLOW_PROMPT + FAST_PROMPT + readback_line(), "FT_GetBitMode", 17,
                SETUP_CALLS + ["FT_Write"] * 2 + ["FT_GetBitMode"] * 2),
]


def failure_message(case):
    return failure(case.entry, case.status)


# The binding table's cases: a variant of the virtual board (its folder's
# name in the build), the names it exports, and the message of the program
# that finds it lacking.
BindingCase = namedtuple("BindingCase", "variant exports message")

BINDING_CASES = [BindingCase("missing-" + entry, [e for e in ENTRY_POINTS if e != entry],
                             cant_find(entry)) for entry in ENTRY_POINTS] + [
    # Names that differ only in letter case do not bind.
    BindingCase("wrong-case", [entry.lower() for entry in ENTRY_POINTS], cant_find("FT_Open")),
]

# The set-up's calls with the arguments the program sends: the first device,
# 115200 baud, D0 and D1 as outputs in asynchronous bit-bang mode.
SETUP = list(zip(SETUP_CALLS, [{"index": 0, "status": 0},
                              {"baud": 115200, "status": 0},
                              {"mask": 0x03, "mode": 0x01, "status": 0}]))


def traced_setup(trace):
    """The trace's first calls in the form of SETUP, with the arguments that
    SETUP names: a calling convention that did not match would shift every
    argument after the first."""
    return [(call["call"], {name: call.get(name) for name in arguments})
            for call, (_, arguments) in zip(trace.calls, SETUP)]
