#!/usr/bin/python3
"""Puts the packages that CPack made into a form that depends on what they
hold alone, not on who packed them or on what file system.

    canonical_package.py PACKAGE...

CPack leaves three things that differ between two builders of the same
commit:
- a zip's members come in the order the build folder lists them, which
  differs between file systems (tmpfs, ext4...);
- a zip member's "ux" extra field holds the user and group ids of whoever
  packed it (CMake before 4.3);
- a .deb's Installed-Size adds up the sizes of the folders as the file
  system reports them (4096 on ext4, a few bytes on tmpfs).
So each zip is written again with its members in name order, the same times,
modes and contents, and every "ux" id 0; each .deb's control file gets the
Installed-Size that dpkg-gencontrol would give its files: each file and link
its size in KiB rounded up, anything else 1. Every other member of a .deb
keeps its bytes.
"""
import gzip
import io
import re
import struct
import sys
import tarfile
import zipfile

UNIX_OWNER = 0x7875  # "ux": version, then the uid's size and value, the gid's
AR_MAGIC = b"!<arch>\n"
AR_HEADER = 60


def root_owned(extra):
    """`extra` (a zip member's extra fields) with the ids of "ux" made 0."""
    data = bytearray(extra)
    position = 0
    while position + 4 <= len(data):
        tag, size = struct.unpack_from("<HH", data, position)
        if tag == UNIX_OWNER:
            field = position + 5
            for _ in ("uid", "gid"):
                id_size = data[field]
                data[field + 1:field + 1 + id_size] = bytes(id_size)
                field += 1 + id_size
        position += 4 + size
    return bytes(data)


def canonical_zip(path):
    with zipfile.ZipFile(path) as archive:
        members = [(info, archive.read(info))
                   for info in sorted(archive.infolist(), key=lambda i: i.filename)]
    with zipfile.ZipFile(path, "w") as archive:
        for info, data in members:
            member = zipfile.ZipInfo(info.filename, info.date_time)
            member.create_system = info.create_system
            member.external_attr = info.external_attr
            member.extra = root_owned(info.extra)
            member.compress_type = zipfile.ZIP_STORED if info.is_dir() else zipfile.ZIP_DEFLATED
            archive.writestr(member, data, compresslevel=9)


def read_ar(data):
    """[(header, content)] of each member of an ar archive."""
    if not data.startswith(AR_MAGIC):
        raise ValueError("not an ar archive")
    members, position = [], len(AR_MAGIC)
    while position < len(data):
        header = data[position:position + AR_HEADER]
        size = int(header[48:58])
        start = position + AR_HEADER
        members.append((header, data[start:start + size]))
        position = start + size + (size % 2)
    return members


def write_ar(members):
    out = bytearray(AR_MAGIC)
    for header, content in members:
        out += header[:48] + b"%-10d" % len(content) + header[58:]
        out += content + (b"\n" if len(content) % 2 else b"")
    return bytes(out)


def installed_size(data_tar):
    """The Installed-Size, in KiB, that dpkg-gencontrol gives these files."""
    total = 0
    with tarfile.open(fileobj=io.BytesIO(data_tar)) as files:
        for member in files:
            if member.isfile():
                total += -(-member.size // 1024)
            elif member.issym():
                total += -(-len(member.linkname) // 1024)
            else:
                total += 1
    return total


def with_installed_size(control_tar_gz, size):
    """control.tar.gz with its control file's Installed-Size set to `size`."""
    source = tarfile.open(fileobj=io.BytesIO(gzip.decompress(control_tar_gz)))
    out = io.BytesIO()
    with source, tarfile.open(fileobj=out, mode="w", format=tarfile.GNU_FORMAT) as target:
        for member in source.getmembers():
            content = source.extractfile(member).read() if member.isfile() else None
            if member.name in ("./control", "control"):
                content, count = re.subn(rb"^Installed-Size: \d+$", b"Installed-Size: %d" % size,
                                         content, flags=re.M)
                if count != 1:
                    raise ValueError("the control file has no Installed-Size")
                member.size = len(content)
            target.addfile(member, io.BytesIO(content) if content is not None else None)
    return gzip.compress(out.getvalue(), compresslevel=9, mtime=0)


def canonical_deb(path):
    with open(path, "rb") as package:
        members = read_ar(package.read())
    names = [header[:16].rstrip().rstrip(b"/") for header, _ in members]
    if b"control.tar.gz" not in names or not any(n.startswith(b"data.tar") for n in names):
        raise ValueError("no control.tar.gz and data.tar")
    data_tar = next(content for (header, content), name in zip(members, names)
                    if name.startswith(b"data.tar"))
    size = installed_size(data_tar)
    members = [(header, with_installed_size(content, size) if name == b"control.tar.gz"
                else content) for (header, content), name in zip(members, names)]
    with open(path, "wb") as package:
        package.write(write_ar(members))


def main(paths):
    for path in paths:
        try:
            if path.endswith(".zip"):
                canonical_zip(path)
            elif path.endswith(".deb"):
                canonical_deb(path)
            else:
                raise ValueError("neither a zip nor a .deb")
        except (OSError, ValueError, tarfile.TarError, zipfile.BadZipFile) as error:
            sys.exit("canonical_package.py: %s: %s" % (path, error))


if __name__ == "__main__":
    main(sys.argv[1:])
