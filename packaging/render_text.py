#!/usr/bin/env python3
"""Fills a text template for the man page or the Windows README.txt.

    render_text.py --readme README.md --format scdoc|text [-D NAME=VALUE ...] TEMPLATE OUTPUT

@NAME@ takes the value given with -D. A line that holds only @STATUS_TABLE@
becomes the README's table of driver statuses, so the three copies of that
table always agree. The text format is written with Windows line ends.
"""
import argparse
import re
import sys
import textwrap


def status_rows(readme_path):
    """The rows of the README's first table with "status" in its first
    heading whose first cell is a status number (e.g. "2" or "11-15"), as
    plain text cells."""
    table = []
    with open(readme_path, encoding="utf-8") as readme:
        for line in readme:
            if line.startswith("|"):
                table.append([c.strip() for c in line.strip().strip("|").split("|")])
            elif table and "status" in table[0][0].lower():
                break
            else:
                table = []
    rows = [[plain(c) for c in cells] for cells in table[2:] if cells[0][:1].isdigit()]
    if not rows:
        sys.exit("%s: no table of driver statuses (first heading with \"status\", "
                 "rows that start with a number)" % readme_path)
    return rows


def plain(cell):
    """Markdown's code and emphasis marks taken off."""
    return re.sub(r"`|\*\*", "", cell).replace("\u2013", "-")


def scdoc_escaped(text):
    return re.sub(r"([\\*_])", r"\\\1", text)


def render_scdoc(rows):
    lines = []
    for status, *rest in rows:
        name, explanation = (rest[0], " ".join(rest[1:])) if len(rest) > 1 else ("", rest[0])
        heading = "*%s*" % scdoc_escaped(status)
        if name:
            heading += " " + scdoc_escaped(name)
        lines += [heading, "\t" + scdoc_escaped(explanation), ""]
    return lines[:-1]


def render_text(rows):
    lines = []
    for status, *rest in rows:
        name, explanation = (rest[0], " ".join(rest[1:])) if len(rest) > 1 else ("", rest[0])
        lines.append(("%-6s %s" % (status, name)).rstrip())
        lines += textwrap.wrap(explanation, 72, initial_indent=" " * 7,
                               subsequent_indent=" " * 7)
        lines.append("")
    return lines[:-1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--readme", required=True)
    parser.add_argument("--format", choices=["scdoc", "text"], required=True)
    parser.add_argument("-D", dest="defines", action="append", default=[])
    parser.add_argument("template")
    parser.add_argument("output")
    args = parser.parse_args()

    values = dict(d.split("=", 1) for d in args.defines)
    table = (render_scdoc if args.format == "scdoc" else render_text)(status_rows(args.readme))
    out = []
    with open(args.template, encoding="utf-8") as template:
        for line in template.read().splitlines():
            if line.strip() == "@STATUS_TABLE@":
                out += table
                continue
            for name in re.findall(r"@(\w+)@", line):
                if name not in values:
                    sys.exit("%s: no value for @%s@" % (args.template, name))
                line = line.replace("@%s@" % name, values[name])
            out.append(line)
    newline = "\r\n" if args.format == "text" else "\n"
    with open(args.output, "w", encoding="utf-8", newline="") as output:
        output.write(newline.join(out) + newline)


if __name__ == "__main__":
    main()
