#!/usr/bin/python3
"""Makes the Debian changelog from NEWS: an entry for each release that NEWS
lists, in its order, newest first.

    changelog.py --package NAME --version VERSION --time SECONDS
                 --maintainer "NAME <ADDRESS>" NEWS OUTPUT

NEWS starts each release with a line "VERSION (YYYY-MM-DD)"; the lines up to
the next such line are its items, already in the changelog's form (each line
indented, items starting with "  * "), and are copied as they are. Lines
before the first release are NEWS's own heading. The newest release must be
VERSION, the project's, so that a new version never ships with the last
one's entry. It is dated SECONDS (SOURCE_DATE_EPOCH), the release's time;
each older one at noon UTC of its day in NEWS. Exits with a message, and
writes nothing, on a NEWS that breaks these rules.
"""
import argparse
import datetime
import email.utils
import re
import sys

RELEASE = re.compile(r"(\d+(?:\.\d+)*) \((\d{4}-\d{2}-\d{2})\)$")


def releases(news_path):
    """[(version, day, [item lines])], as NEWS lists them."""
    found = []
    with open(news_path, encoding="utf-8") as news:
        for number, line in enumerate(news.read().splitlines(), 1):
            heading = RELEASE.match(line)
            if heading:
                version, day = heading.groups()
                found.append((version, datetime.date.fromisoformat(day), []))
            elif found and (line.startswith("  ") or not line.strip()):
                found[-1][2].append(line.rstrip())
            elif found:
                sys.exit("%s:%d: an item's line is indented by two spaces at least" %
                         (news_path, number))
    if not found:
        sys.exit("%s: no release (a line \"VERSION (YYYY-MM-DD)\")" % news_path)
    for version, _, items in found:
        while items and not items[0]:
            items.pop(0)
        while items and not items[-1]:
            items.pop()
        if not items:
            sys.exit("%s: release %s lists nothing" % (news_path, version))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--package", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--time", type=int, required=True)
    parser.add_argument("--maintainer", required=True)
    parser.add_argument("news")
    parser.add_argument("output")
    args = parser.parse_args()

    found = releases(args.news)
    if found[0][0] != args.version:
        sys.exit("%s: the newest release is %s, the project's version %s: add its entry"
                 % (args.news, found[0][0], args.version))
    utc = datetime.timezone.utc
    times = [datetime.datetime.fromtimestamp(args.time, utc)]
    times += [datetime.datetime.combine(day, datetime.time(12), utc) for _, day, _ in found[1:]]
    for (version, _, _), time, older in zip(found, times, times[1:]):
        if time <= older:
            sys.exit("%s: release %s is dated %s, not after the release below it"
                     % (args.news, version, time.isoformat()))

    lines = []
    for (version, _, items), time in zip(found, times):
        lines += ["%s (%s) unstable; urgency=medium" % (args.package, version), ""]
        lines += items
        lines += ["", " -- %s  %s" % (args.maintainer, email.utils.format_datetime(time)), ""]
    with open(args.output, "w", encoding="utf-8") as output:
        output.write("\n".join(lines[:-1]) + "\n")


if __name__ == "__main__":
    main()
