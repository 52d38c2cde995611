#!/usr/bin/python3
"""Runs a command on a stand-in for a machine that gives no namespaces, as a
default Docker container does: for the command and every process it starts,
a seccomp filter makes unshare(2), setns(2), the mount calls and a clone(2)
into new namespaces fail with EPERM, and clone3(2) with ENOSYS (so that the
C library falls back to clone, whose flags the filter can see). Root stays
root, without the right to mount.

Usage: tests/bench-machine/without-namespaces.py COMMAND [ARG...]

Only the standard library is used; the filter is built for x86-64, and
covers its 32-bit and x32 calls too.
"""
import ctypes
import errno
import os
import platform
import struct
import sys

# Classic BPF over struct seccomp_data: int nr, u32 arch, u64 ip, u64 args[6].
_LOAD_WORD = 0x20  # BPF_LD | BPF_W | BPF_ABS
_AND = 0x54  # BPF_ALU | BPF_AND | BPF_K
_JUMP_EQUAL = 0x15  # BPF_JMP | BPF_JEQ | BPF_K
_JUMP_ANY_BIT = 0x45  # BPF_JMP | BPF_JSET | BPF_K
_RETURN = 0x06  # BPF_RET | BPF_K
_NR, _ARCH, _FIRST_ARGUMENT_LOW = 0, 4, 16

_ALLOW = 0x7FFF0000
_ERRNO = 0x00050000
_X32_BIT = 0x40000000

_NAMESPACE_FLAGS = (0x00020000 | 0x02000000 | 0x04000000 | 0x08000000 | 0x10000000
                    | 0x20000000 | 0x40000000 | 0x00000080)  # CLONE_NEW*

# (audit architecture, {call: number}) of the ABIs that an x86-64 kernel runs.
_ABIS = [
    (0xC000003E, {"unshare": 272, "setns": 308, "mount": 165, "umount2": 166,
                  "pivot_root": 155, "open_tree": 428, "move_mount": 429, "fsopen": 430,
                  "fsconfig": 431, "fsmount": 432, "mount_setattr": 442, "clone": 56,
                  "clone3": 435}),
    (0x40000003, {"unshare": 310, "setns": 346, "mount": 21, "umount": 22, "umount2": 52,
                  "pivot_root": 217, "open_tree": 428, "move_mount": 429, "fsopen": 430,
                  "fsconfig": 431, "fsmount": 432, "mount_setattr": 442, "clone": 120,
                  "clone3": 435}),
]

_PR_SET_NO_NEW_PRIVS = 38
_PR_SET_SECCOMP = 22
_SECCOMP_MODE_FILTER = 2


def _statement(code, k, jump_true=0, jump_false=0):
    return struct.pack("=HBBI", code, jump_true, jump_false, k)


def filter_program():
    """The filter as BPF statements (bytes, 8 each)."""
    program = []
    for arch, calls in _ABIS:
        # One block per ABI: the others' calls are skipped over whole.
        denied = sorted(number for call, number in calls.items()
                        if call not in ("clone", "clone3"))
        block = [_statement(_LOAD_WORD, _NR)]
        if arch == _ABIS[0][0]:
            block.append(_statement(_AND, 0xFFFFFFFF & ~_X32_BIT))
        # A jump counts the statements it skips. After the tests of the
        # number: load clone's flags, test them, then the three returns.
        for at, number in enumerate(denied):
            block.append(_statement(_JUMP_EQUAL, number, len(denied) - at + 4, 0))
        block.append(_statement(_JUMP_EQUAL, calls["clone3"], 5, 0))
        block.append(_statement(_JUMP_EQUAL, calls["clone"], 0, 2))
        block.append(_statement(_LOAD_WORD, _FIRST_ARGUMENT_LOW))
        block.append(_statement(_JUMP_ANY_BIT, _NAMESPACE_FLAGS, 1, 0))
        block.append(_statement(_RETURN, _ALLOW))
        block.append(_statement(_RETURN, _ERRNO | errno.EPERM))
        block.append(_statement(_RETURN, _ERRNO | errno.ENOSYS))
        program.append(_statement(_LOAD_WORD, _ARCH))
        program.append(_statement(_JUMP_EQUAL, arch, 0, len(block)))
        program.extend(block)
    program.append(_statement(_RETURN, _ALLOW))
    return program


def deny_namespaces():
    """Installs the filter on this process; its children inherit it."""
    statements = filter_program()
    code = ctypes.create_string_buffer(b"".join(statements))

    class SockFprog(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]

    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_void_p, ctypes.c_ulong,
                           ctypes.c_ulong]
    fprog = SockFprog(len(statements), ctypes.cast(code, ctypes.c_void_p))
    for option, argument, pointer in [(_PR_SET_NO_NEW_PRIVS, 1, None),
                                      (_PR_SET_SECCOMP, _SECCOMP_MODE_FILTER,
                                       ctypes.addressof(fprog))]:
        if libc.prctl(option, argument, pointer, 0, 0) != 0:
            number = ctypes.get_errno()
            raise OSError(number, "prctl(%d): %s" % (option, os.strerror(number)))


def main(command):
    if platform.machine() != "x86_64":
        sys.exit("without-namespaces.py: the filter is for x86-64, not %s" % platform.machine())
    deny_namespaces()
    os.execvp(command[0], command)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1:])
