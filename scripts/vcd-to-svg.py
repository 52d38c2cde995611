#!/usr/bin/python3
"""Draws the pins of a bench run's VCD as an SVG picture.

Usage: vcd-to-svg.py RUN.vcd PICTURE.svg [--pins 0,1]

Two panels: the slow phase's count, from the start to the first fast burst,
and that first burst stretched out so that each byte of the pattern shows.
A run that never reached the fast phase gets the first panel only. A last
line without its line end, the cut-off of a killed run, is left out. Only
the Python standard library is used.
"""
import argparse
import os
import sys
from xml.sax.saxutils import escape

# The waveform reader that the tests use too, so that there is one.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tools"))
from quendal_tools.records import read_vcd_levels  # noqa: E402

BURST_GAP_NS = 50000  # Changes closer than this belong to one burst.
BURST_MIN_CHANGES = 4

WIDTH = 960
PANEL_HEIGHT_PER_PIN = 46
LEFT = 70
RIGHT = 30
COLOURS = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22"]


def read_vcd(path):
    """Returns {pin number: [(time in ns, 0 or 1), ...]} and the last time."""
    samples = read_vcd_levels(path)
    if samples[0][0] is None:
        return {}, 0
    changes = {}
    previous = None
    for time, levels in samples:
        for pin in range(8):
            level = (levels >> pin) & 1
            if previous is None or level != (previous >> pin) & 1:
                changes.setdefault(pin, []).append((time, level))
        previous = levels
    return changes, samples[-1][0]


def first_burst(changes):
    """(start, end) of the first cluster of closely spaced changes, or None."""
    times = sorted({t for pin_changes in changes.values() for t, _ in pin_changes if t > 0})
    start = 0
    for i in range(1, len(times) + 1):
        if i == len(times) or times[i] - times[i - 1] > BURST_GAP_NS:
            if i - start >= BURST_MIN_CHANGES:
                return times[start], times[i - 1]
            start = i
    return None


def level_at(pin_changes, t):
    level = 0
    for when, value in pin_changes:
        if when > t:
            break
        level = value
    return level


def tick_step(span_ns):
    """A round step (1, 2 or 5 times a power of ten) that gives 4 to 10 ticks."""
    step = 1.0
    while span_ns / step > 10:
        for factor in (2, 2.5, 2):
            step *= factor
            if span_ns / step <= 10:
                break
    return step


def time_label(t_ns, span_ns):
    if span_ns >= 2e9:
        return "%g s" % round(t_ns / 1e9, 3)
    if span_ns >= 2e6:
        return "%g ms" % round(t_ns / 1e6, 3)
    return "%g µs" % round(t_ns / 1e3, 3)


def draw_panel(out, top, title, changes, pins, t0, t1):
    height = PANEL_HEIGHT_PER_PIN * len(pins)
    plot_width = WIDTH - LEFT - RIGHT
    span = max(t1 - t0, 1.0)

    def x_of(t):
        return LEFT + (min(max(t, t0), t1) - t0) / span * plot_width

    out.append('<text x="%d" y="%d" class="title">%s</text>' % (LEFT, top - 12, escape(title)))
    step = tick_step(span)
    for i in range(int(span // step) + 1):
        t = t0 + i * step
        x = x_of(t)
        out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" class="grid"/>'
                   % (x, top, x, top + height))
        out.append('<text x="%.1f" y="%d" class="tick">%s</text>'
                   % (x, top + height + 16, time_label(t - t0, span)))
    for row, pin in enumerate(pins):
        base = top + row * PANEL_HEIGHT_PER_PIN + PANEL_HEIGHT_PER_PIN - 10
        high = base - PANEL_HEIGHT_PER_PIN + 22
        pin_changes = changes.get(pin, [])
        level = level_at(pin_changes, t0)
        points = [(x_of(t0), high if level else base)]
        for when, value in pin_changes:
            if when <= t0 or when > t1 or value == level:
                continue
            x = x_of(when)
            points.append((x, high if level else base))
            points.append((x, high if value else base))
            level = value
        points.append((x_of(t1), high if level else base))
        out.append('<text x="%d" y="%d" class="pin">D%d</text>' % (LEFT - 14, base - 6, pin))
        out.append('<polyline points="%s" stroke="%s" class="trace"/>'
                   % (" ".join("%.1f,%.1f" % p for p in points), COLOURS[pin % 8]))
    return top + height + 60


def draw(changes, end, pins):
    burst = first_burst(changes)
    panels = []
    if burst is None:
        panels.append(("Slow count", 0.0, end))
    else:
        start, stop = burst
        panels.append(("Slow count: one step a second, then the fast phase starts", 0.0,
                       start + (start * 0.02)))
        margin = max((stop - start) * 0.1, 500.0)
        panels.append(("One fast burst: the 16-byte pattern at the byte clock",
                       start - margin, stop + margin))
    out = []
    top = 40
    for title, t0, t1 in panels:
        top = draw_panel(out, top, title, changes, pins, t0, t1)
    header = ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
              'viewBox="0 0 %d %d" font-family="sans-serif">\n'
              '<style>.title{font-size:14px;font-weight:bold}.tick{font-size:11px;'
              'text-anchor:middle;fill:#555}.pin{font-size:12px;text-anchor:end}'
              '.grid{stroke:#ddd;stroke-width:1}.trace{fill:none;stroke-width:1.6}</style>\n'
              '<rect width="100%%" height="100%%" fill="white"/>\n'
              % (WIDTH, top - 20, WIDTH, top - 20))
    return header + "\n".join(out) + "\n</svg>\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("vcd")
    parser.add_argument("svg")
    parser.add_argument("--pins", default="0,1", help="pin numbers to draw (default 0,1)")
    options = parser.parse_args()
    pins = [int(p) for p in options.pins.split(",")]
    changes, end = read_vcd(options.vcd)
    if not changes:
        sys.exit("%s: no pin changes found" % options.vcd)
    with open(options.svg, "w", encoding="utf-8") as svg:
        svg.write(draw(changes, end, pins))


if __name__ == "__main__":
    main()
