#!/usr/bin/python3
"""Fills a text template for the man page or the Windows README.txt, or
makes the README that a package installs.

    render_text.py --format scdoc|text [--readme README.md] [--settings PAGE]
                   [-D NAME=VALUE ...] TEMPLATE OUTPUT
    render_text.py --format markdown PAGE OUTPUT

@NAME@ takes the value given with -D. A line that holds only @STATUS_TABLE@
becomes the README's table of driver statuses, so the three copies of that
table always agree; the text format (Windows) leaves out each sentence of a
status row that starts with "On Linux" or "With the virtual board". In the
scdoc format, a line that holds only @BOARD_SETTINGS@ becomes the Settings
section of the virtual board's page (--settings), its table a list. The
text format is written with Windows line ends.

The markdown format copies a page for a place without the files it links
to: each link to a relative path becomes its text.
"""
import argparse
import re
import sys
import textwrap


def status_rows(readme_path):
    """The rows of the README's first table with "status" in its first
    heading whose first cell is a status number (e.g. "2" or "11-15"), as
    Markdown cells."""
    table = []
    with open(readme_path, encoding="utf-8") as readme:
        for line in readme:
            if line.startswith("|"):
                table.append([c.strip() for c in line.strip().strip("|").split("|")])
            elif table and "status" in table[0][0].lower():
                break
            else:
                table = []
    rows = [cells for cells in table[2:] if cells[0][:1].isdigit()]
    if not rows:
        sys.exit("%s: no table of driver statuses (first heading with \"status\", "
                 "rows that start with a number)" % readme_path)
    return rows


def unmarked(cell):
    """Markdown's links as their text, without bold marks and en dashes."""
    cell = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", cell)
    return cell.replace("**", "").replace("\u2013", "-")


def plain(cell):
    return unmarked(cell).replace("`", "")


def scdoc(cell):
    """Escaped for scdoc, with code in bold."""
    parts = unmarked(cell).split("`")
    return "".join("*%s*" % scdoc_escaped(p) if i % 2 else scdoc_escaped(p)
                   for i, p in enumerate(parts))


def unlinked(text):
    """Each link to a relative path as its text; links within the page and
    to another site stay."""
    return re.sub(r"\[([^\]]+)\]\((?!#|[a-z]+:)[^)]*\)", r"\1", text)


# The status table's sentences that do not apply on Windows.
NOT_ON_WINDOWS = ("On Linux", "With the virtual board")


def on_windows(cell):
    sentences = re.split(r"(?<=\.)\s+(?=[A-Z])", cell)
    return " ".join(s for s in sentences if not s.startswith(NOT_ON_WINDOWS))


def board_settings(page_path):
    """The blocks of the page's Settings section in order: its table as rows
    of Markdown cells, each paragraph as one line."""
    with open(page_path, encoding="utf-8") as page:
        found = re.search(r"^## Settings\n(.*?)(?=^#|\Z)", page.read(), re.M | re.S)
    if not found:
        sys.exit("%s: no section \"## Settings\"" % page_path)
    blocks = []
    for block in found.group(1).strip().split("\n\n"):
        if block.startswith("|"):
            blocks.append([[c.strip() for c in line.strip().strip("|").split("|")]
                           for line in block.splitlines()[2:]])
        else:
            blocks.append(" ".join(block.split()))
    return blocks


def scdoc_escaped(text):
    return re.sub(r"([\\*_])", r"\\\1", text)


def render_scdoc(rows):
    lines = []
    for status, *rest in rows:
        name, explanation = (rest[0], " ".join(rest[1:])) if len(rest) > 1 else ("", rest[0])
        heading = "*%s*" % scdoc_escaped(plain(status))
        if name:
            heading += " " + scdoc(name)
        lines += [heading, "\t" + scdoc(explanation), ""]
    return lines[:-1]


def render_scdoc_settings(blocks):
    lines = []
    for block in blocks:
        if isinstance(block, str):
            lines += [scdoc(block), ""]
            continue
        for name, form, default, effect in block:
            heading = "%s %s" % (scdoc(name), scdoc(form))
            if default != "none":
                heading += " (default %s)" % scdoc(default)
            lines += [heading, "\t" + scdoc(effect), ""]
    return lines[:-1]


def render_text(rows):
    lines = []
    for status, *rest in rows:
        name, explanation = (rest[0], " ".join(rest[1:])) if len(rest) > 1 else ("", rest[0])
        status, name, explanation = plain(status), plain(name), plain(on_windows(explanation))
        lines.append(("%-6s %s" % (status, name)).rstrip())
        lines += textwrap.wrap(explanation, 72, initial_indent=" " * 7,
                               subsequent_indent=" " * 7)
        lines.append("")
    return lines[:-1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--format", choices=["scdoc", "text", "markdown"], required=True)
    parser.add_argument("--readme")
    parser.add_argument("--settings")
    parser.add_argument("-D", dest="defines", action="append", default=[])
    parser.add_argument("template")
    parser.add_argument("output")
    args = parser.parse_args()

    with open(args.template, encoding="utf-8") as template:
        text = template.read()
    if args.format == "markdown":
        with open(args.output, "w", encoding="utf-8") as output:
            output.write(unlinked(text))
        return

    values = dict(d.split("=", 1) for d in args.defines)
    blocks = {"@STATUS_TABLE@": lambda: (render_scdoc if args.format == "scdoc" else render_text)(
        status_rows(args.readme))}
    if args.format == "scdoc":
        blocks["@BOARD_SETTINGS@"] = lambda: render_scdoc_settings(board_settings(args.settings))
    out = []
    for line in text.splitlines():
        if line.strip() in blocks:
            out += blocks[line.strip()]()
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
