"""The virtual board's records of a run: its trace and its waveform.

Every record ends with a line end. A run killed while the board wrote a
record can leave that record, the last in the file, cut short; the readers
drop a last line without its line end."""
import json

_TIMESCALE_NS = {"fs": 1e-6, "ps": 1e-3, "ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}


class Trace:
    """The trace (VBOARD_TRACE): one JSON object a line, a driver call or a
    typed key, each with its monotonic time in "t_ns"."""

    def __init__(self, path):
        self.lines = [json.loads(line) for line in whole_lines(path).splitlines()]

    @property
    def calls(self):
        return [line for line in self.lines if "call" in line]

    @property
    def names(self):
        return [line["call"] for line in self.calls]

    @property
    def written(self):
        """The data of each FT_Write, as hexadecimal text."""
        return [line["data"] for line in self.calls if line["call"] == "FT_Write"]

    @property
    def keys(self):
        return [line["key"] for line in self.lines if "key" in line]

    def of(self, name):
        return [line for line in self.calls if line["call"] == name]

    def times(self, name):
        return [line["t_ns"] for line in self.of(name)]


def whole_lines(path):
    """The file's text up to and with its last line end."""
    with open(path, encoding="ascii") as records:
        text = records.read()
    return text[:text.rfind("\n") + 1]


def vcd_timescale_ns(path):
    """The waveform's time unit in ns (the board's "$timescale 100 ns $end" gives 100)."""
    return _timescale_ns(whole_lines(path))


def _timescale_ns(text):
    number = "".join(text.split("$timescale", 1)[1].split("$end", 1)[0].split())
    digits = number.rstrip("fpnums")
    return int(digits) * _TIMESCALE_NS[number[len(digits):]]


def read_vcd_levels(path):
    """A waveform as (time in ns, levels of D0..D7 as a byte) at each of its
    time stamps: the board's own (VBOARD_VCD), or one that another reader
    wrote, with a change on the same line as its time stamp."""
    text = whole_lines(path)
    unit_ns = _timescale_ns(text)
    definitions, _, changes = text.partition("$enddefinitions")
    codes = {}
    words = definitions.split()
    for i, word in enumerate(words[:-4]):
        if word == "$var" and words[i + 4].startswith("D"):
            codes[words[i + 3]] = int(words[i + 4][1:])
    levels = 0
    time = None
    samples = []
    for word in changes.split():
        if word.startswith("#"):
            if time is not None:
                samples.append((time, levels))
            time = round(int(word[1:]) * unit_ns)
        elif word[:1] in ("0", "1") and word[1:] in codes:
            pin = codes[word[1:]]
            levels = levels | (1 << pin) if word[0] == "1" else levels & ~(1 << pin)
    samples.append((time, levels))
    return samples
