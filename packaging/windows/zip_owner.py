#!/usr/bin/python3
"""Makes every member of the zips root's. CPack before CMake 4.3 records the
user and group ids of whoever packages (in each member's "ux" extra field),
so two builders' zips would differ by those bytes alone.

    zip_owner.py ZIP...

Each member's user and group ids become 0, in its local header and in the
central directory; no other byte changes.
"""
import struct
import sys

UNIX_OWNER = 0x7875  # "ux": version, then the uid's size and value, the gid's


def zero_owner(data, start, length):
    """Zeroes the ids of the "ux" field among the extra fields at start."""
    position = start
    while position + 4 <= start + length:
        tag, size = struct.unpack_from("<HH", data, position)
        if tag == UNIX_OWNER:
            field = position + 5
            for _ in ("uid", "gid"):
                id_size = data[field]
                data[field + 1:field + 1 + id_size] = bytes(id_size)
                field += 1 + id_size
        position += 4 + size


def make_roots(path):
    with open(path, "rb") as archive:
        data = bytearray(archive.read())
    end = data.rindex(b"PK\x05\x06")
    count, _, entry = struct.unpack_from("<HII", data, end + 10)
    for _ in range(count):
        if data[entry:entry + 4] != b"PK\x01\x02":
            sys.exit("%s: a central directory entry is not where the directory says" % path)
        name, extra, comment = struct.unpack_from("<HHH", data, entry + 28)
        (local,) = struct.unpack_from("<I", data, entry + 42)
        zero_owner(data, entry + 46 + name, extra)
        local_name, local_extra = struct.unpack_from("<HH", data, local + 26)
        zero_owner(data, local + 30 + local_name, local_extra)
        entry += 46 + name + extra + comment
    with open(path, "wb") as archive:
        archive.write(data)


if __name__ == "__main__":
    for zip_path in sys.argv[1:]:
        make_roots(zip_path)
