"""What the Windows builds' files declare, read from their PE headers:
the machine, the link's timestamp, the imported and the exported names.
Read here rather than from a tool's listing, whose layout changes between
versions."""
import struct

_MACHINES = {0x8664: "x64", 0x14C: "x86"}
_PE32, _PE32_PLUS = 0x10B, 0x20B
_EXPORT_DIRECTORY, _IMPORT_DIRECTORY = 0, 1


class _Image:
    """A PE file's bytes, addressed as the loader maps them (by RVA).
    `name` says which file in an error."""

    def __init__(self, data, name):
        self.data = data
        if self.data[:2] != b"MZ":
            raise ValueError("%s: not an MZ executable" % name)
        header = self.u32(0x3C)
        if self.data[header:header + 4] != b"PE\0\0":
            raise ValueError("%s: no PE header" % name)
        self.machine, sections, self.timestamp, _, _, optional_size = struct.unpack_from(
            "<HHIIIH", self.data, header + 4)
        optional = header + 24
        magic = self.u16(optional)
        if magic not in (_PE32, _PE32_PLUS):
            raise ValueError("%s: unknown optional header 0x%x" % (name, magic))
        self.thunk_size = 8 if magic == _PE32_PLUS else 4
        # The data directories follow the fields whose count they end with.
        count_at = optional + (108 if magic == _PE32_PLUS else 92)
        self.directories = [struct.unpack_from("<II", self.data, count_at + 4 + 8 * i)
                            for i in range(self.u32(count_at))]
        table = optional + optional_size
        # (size in memory, virtual address, size in the file, file offset)
        self.sections = [struct.unpack_from("<8xIIII", self.data, table + 40 * i)
                         for i in range(sections)]

    def u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def offset(self, rva):
        """The file offset of the byte at `rva`."""
        for size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError("RVA 0x%x lies in no section" % rva)

    def u32_at(self, rva):
        return self.u32(self.offset(rva))

    def string_at(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def directory(self, index):
        """The RVA of data directory `index`, or None when the file has none."""
        if index >= len(self.directories) or self.directories[index] == (0, 0):
            return None
        return self.directories[index][0]


def _read(path):
    with open(path, "rb") as image:
        return _Image(image.read(), path)


def architecture(path):
    """"x64" or "x86", from the machine field of a Windows executable's header."""
    return _MACHINES[_read(path).machine]


def timestamp(data):
    """The TimeDateStamp of the header of a PE file given as its bytes (a
    member read from an archive)."""
    return _Image(data, "a PE file").timestamp


def imports(path):
    """{DLL name as written in the file: [imported names]}; an import by
    ordinal shows as "#N"."""
    image = _read(path)
    table = {}
    descriptor = image.directory(_IMPORT_DIRECTORY)
    if descriptor is None:
        return table
    ordinal_flag = 1 << (8 * image.thunk_size - 1)
    thunk_format = "<Q" if image.thunk_size == 8 else "<I"
    while True:
        lookup, _, _, name, bound = struct.unpack_from("<IIIII", image.data,
                                                       image.offset(descriptor))
        if name == 0:
            break
        names = table.setdefault(image.string_at(name), [])
        # The lookup table is the unbound copy; old linkers leave it out.
        thunk = lookup or bound
        while True:
            entry = struct.unpack_from(thunk_format, image.data, image.offset(thunk))[0]
            if entry == 0:
                break
            if entry & ordinal_flag:
                names.append("#%d" % (entry & 0xFFFF))
            else:
                names.append(image.string_at(entry + 2))  # After the 2-byte hint.
            thunk += image.thunk_size
        descriptor += 20
    return table


def exports(path):
    """The exported names, from the export name table."""
    image = _read(path)
    directory = image.directory(_EXPORT_DIRECTORY)
    if directory is None:
        return []
    count, names = image.u32_at(directory + 24), image.u32_at(directory + 32)
    return [image.string_at(image.u32_at(names + 4 * i)) for i in range(count)]
