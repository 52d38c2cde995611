"""The release files in dist/, as an operator gets them: the Debian packages'
contents and metadata, lintian, an install, run and removal on this machine
that leaves it as it was, and the Windows zips unpacked and run under Wine;
every archive member and executable stamped with the release's one time, and
the cheapest files made again, elsewhere and later, byte for byte the same.

Usage: package_test.py DIST [unittest arguments]
DIST holds what scripts/package.sh made, from this tree and with the same
SOURCE_DATE_EPOCH, if any. The version is the project's, read from the top
CMakeLists.txt.
"""
import datetime
import functools
import gzip
import io
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile
from xml.etree import ElementTree

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.dirname(TESTS)
sys.path.insert(0, TESTS)
import harness  # noqa: E402
import station_report_test  # noqa: E402
from harness import isolation_modes, pe, texts, wine  # noqa: E402

DIST = None


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as cmake:
        return re.search(r"project\(quendal-bench VERSION ([0-9.]+)", cmake.read()).group(1)


VERSION = project_version()
MULTIARCH = {"amd64": "x86_64-linux-gnu", "arm64": "aarch64-linux-gnu",
             "armhf": "arm-linux-gnueabihf", "i386": "i386-linux-gnu"}
UDEV_RULE = "70-quendal-ftdi.rules"
METAINFO = "/usr/share/metainfo/invalid.quendal_bench.quendal_bench.metainfo.xml"
NEWS = os.path.join(SOURCE, "NEWS")
CHANGELOG_SCRIPT = os.path.join(SOURCE, "packaging", "debian", "changelog.py")


def release_time():
    """The release's one time as the build takes it
    (cmake/source-date-epoch.cmake): SOURCE_DATE_EPOCH, else the time of the
    commit checked out, else (no git, or not a clone) the time of NEWS."""
    if "SOURCE_DATE_EPOCH" in os.environ:
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        found = subprocess.run(["git", "-C", SOURCE, "log", "-1", "--format=%ct"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               universal_newlines=True)
        if found.returncode == 0 and found.stdout.strip().isdigit():
            return int(found.stdout)
    except FileNotFoundError:
        pass
    return int(os.stat(NEWS).st_mtime)


def news_releases():
    """(version, day) of each release in NEWS, newest first."""
    with open(NEWS, encoding="utf-8") as news:
        return re.findall(r"^(\d+(?:\.\d+)*) \((\d{4}-\d{2}-\d{2})\)$", news.read(), re.M)


def changelog_entries(text):
    """Each entry of a Debian changelog as dpkg-parsechangelog reads it: a
    dict of its fields (Version, Timestamp, Changes...), newest first."""
    with tempfile.NamedTemporaryFile("w", suffix="changelog") as changelog:
        changelog.write(text)
        changelog.flush()
        parsed = subprocess.run(["dpkg-parsechangelog", "-l", changelog.name, "--all",
                                 "--format", "rfc822"], check=True, stdout=subprocess.PIPE,
                                universal_newlines=True).stdout
    return [dict(re.findall(r"^(\S+): ?(.*(?:\n .*)*)", entry, re.M))
            for entry in parsed.strip().split("\n\n")]


def udev_rule_modaliases():
    """The modalias of each USB device that the udev rule matches."""
    aliases = []
    with open(os.path.join(SOURCE, "packaging", "udev", UDEV_RULE)) as rule:
        for line in rule:
            vendor = re.search(r'ATTR\{idVendor\}=="([0-9a-fA-F]{4})"', line)
            product = re.search(r'ATTR\{idProduct\}=="([0-9a-fA-F]{4})"', line)
            if vendor and not line.startswith("#"):
                aliases.append("usb:v%sp%sd*" % (vendor.group(1).upper(),
                                                 product.group(1).upper() if product else "*"))
    assert aliases, "the udev rule's devices"
    return aliases


def readme_statuses():
    """(status, name) of each row of the README's status table."""
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as readme:
        rows = re.findall(r"^\| (\d+(?:\u2013\d+)?) \| ([^|]+?) \|", readme.read(), re.M)
    assert len(rows) >= 19 - 4, "the README's status table"
    return [(status.replace("\u2013", "-"), name) for status, name in rows]


def board_settings():
    """The VBOARD_* names that the virtual board reads."""
    with open(os.path.join(SOURCE, "virtual-board", "board_config.cc")) as source:
        names = re.findall(r'\{"(VBOARD_\w+)",', source.read())
    assert names, "the board's table of settings in board_config.cc"
    return names


def debian_architectures():
    names = sorted(os.listdir(DIST))
    return [re.match(r"quendal-bench_%s_(\w+)\.deb$" % re.escape(VERSION), n).group(1)
            for n in names if re.match(r"quendal-bench_%s_\w+\.deb$" % re.escape(VERSION), n)]


def deb(package, architecture):
    return os.path.join(DIST, "%s_%s_%s.deb" % (package, VERSION, architecture))


def deb_members(path):
    """{path: TarInfo} of the files in a package, and a reader of a file's bytes."""
    archive = deb_tar(path, "fsys")
    members = {m.name[1:] if m.name.startswith("./") else m.name: m
               for m in archive.getmembers()}
    return members, lambda name: archive.extractfile(members[name]).read()


@functools.lru_cache(maxsize=None)
def man_page(architecture):
    """The man page as man shows it, and what man said on standard error."""
    _, read = deb_members(deb("quendal-bench", architecture))
    with tempfile.TemporaryDirectory() as folder:
        page = os.path.join(folder, "quendal-bench.1")
        with open(page, "wb") as out:
            out.write(gzip.decompress(read("/usr/share/man/man1/quendal-bench.1.gz")))
        shown = subprocess.run(["man", "--warnings", "-l", page],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=dict(os.environ, MANWIDTH="200", MAN_KEEP_FORMATTING=""),
                               universal_newlines=True)
    return shown.stdout, shown.stderr


def control(path):
    text = subprocess.run(["dpkg-deb", "-f", path], check=True, stdout=subprocess.PIPE,
                          universal_newlines=True).stdout
    return dict(re.findall(r"^(\S+): (.*(?:\n .*)*)", text, re.M))


def expected_files(architecture):
    """{package: {path: mode, or "-> target" for a symbolic link}}."""
    private = "/usr/lib/%s/quendal-bench" % MULTIARCH[architecture]
    return {
        "quendal-bench": {
            "/usr/bin/quendal-bench": 0o755,
            "/usr/bin/quendal-bench-adapter": 0o755,
            private + "/ftdi-adapter/libftd2xx.so": 0o644,
            "/usr/lib/udev/rules.d/" + UDEV_RULE: 0o644,
            METAINFO: 0o644,
            "/usr/share/man/man1/quendal-bench.1.gz": 0o644,
            "/usr/share/man/man1/quendal-bench-adapter.1.gz": "-> quendal-bench.1.gz",
            "/usr/share/doc/quendal-bench/README.md": 0o644,
            "/usr/share/doc/quendal-bench/board-report.schema.json": 0o644,
            "/usr/share/doc/quendal-bench/changelog.gz": 0o644,
            "/usr/share/doc/quendal-bench/copyright": 0o644,
        },
        "quendal-bench-virtual-board": {
            "/usr/bin/quendal-bench-virtual": 0o755,
            private + "/virtual-board/libftd2xx.so": 0o644,
            "/usr/share/man/man1/quendal-bench-virtual.1.gz": "-> quendal-bench.1.gz",
            "/usr/share/doc/quendal-bench-virtual-board/changelog.gz": 0o644,
            "/usr/share/doc/quendal-bench-virtual-board/copyright": 0o644,
        },
    }


def board_test_files():
    """The board test's files in the quendal-bench package."""
    tools = os.path.join(SOURCE, "tools", "quendal_tools")
    files = {"/usr/share/quendal-bench/python/quendal_tools/" + name: 0o644
             for name in os.listdir(tools) if name.endswith(".py")}
    files["/usr/bin/quendal-bench-board-test"] = 0o755
    files["/usr/share/man/man1/quendal-bench-board-test.1.gz"] = "-> quendal-bench.1.gz"
    return files


def wrapper_commands(architecture, folder):
    """The wrapper's lines other than comments."""
    return [
        "#!/bin/sh",
        'LD_LIBRARY_PATH="/usr/lib/%s/quendal-bench/%s${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"'
        % (MULTIARCH[architecture], folder),
        "export LD_LIBRARY_PATH",
        'exec /usr/bin/quendal-bench "$@"',
    ]


class DistTest(unittest.TestCase):
    def test_checksums_cover_every_release_file(self):
        files = sorted(set(os.listdir(DIST)) - {"SHA256SUMS"})
        with open(os.path.join(DIST, "SHA256SUMS")) as sums:
            self.assertEqual(sorted(line.split()[1] for line in sums), files)
        subprocess.run(["sha256sum", "--check", "--quiet", "SHA256SUMS"], cwd=DIST, check=True)
        for name in ["quendal-bench_%s_amd64.deb", "quendal-bench-virtual-board_%s_amd64.deb",
                     "quendal-bench-%s-win64.zip", "quendal-bench-%s-win32.zip"]:
            self.assertIn(name % VERSION, files)


class DebianPackageTest(unittest.TestCase):
    def test_contents_are_exactly_the_files_with_their_modes_and_links(self):
        for architecture in debian_architectures():
            for package, files in expected_files(architecture).items():
                with self.subTest(architecture=architecture, package=package):
                    members, _ = deb_members(deb(package, architecture))
                    found = {}
                    for name, member in members.items():
                        self.assertEqual((member.uname, member.gname), ("root", "root"), name)
                        if member.isdir():
                            self.assertEqual(member.mode, 0o755, name)
                        elif member.issym():
                            found[name] = "-> " + member.linkname
                        else:
                            self.assertTrue(member.isfile(), name)
                            found[name] = member.mode
                    if package == "quendal-bench":
                        files = dict(files, **board_test_files())
                    self.assertEqual(found, files)
                    # No folder that holds nothing of the package's.
                    for name, member in members.items():
                        if member.isdir() and name != "/":
                            self.assertTrue(any(f.startswith(name.rstrip("/") + "/")
                                                for f in files), name)

    def test_no_shipped_file_mounts_an_overlay_or_a_binfmt_misc(self):
        # The tests' stand-ins for other machines stay out of an operator's
        # package: only the board test's usb-device isolation ships.
        for architecture in debian_architectures():
            for package in expected_files(architecture):
                members, read = deb_members(deb(package, architecture))
                for name, member in members.items():
                    if member.isfile():
                        with self.subTest(architecture=architecture, file=name):
                            content = read(name)
                            self.assertNotIn(b"binfmt_misc", content)
                            self.assertIsNone(re.search(rb"[\"']overlay[\"']", content))

    def test_wrappers_put_their_library_first_and_exec_the_program(self):
        for architecture in debian_architectures():
            for package, wrapper, folder in [
                    ("quendal-bench", "quendal-bench-adapter", "ftdi-adapter"),
                    ("quendal-bench-virtual-board", "quendal-bench-virtual", "virtual-board")]:
                with self.subTest(architecture=architecture, wrapper=wrapper):
                    _, read = deb_members(deb(package, architecture))
                    lines = read("/usr/bin/" + wrapper).decode().splitlines()
                    self.assertEqual([line for line in lines if not line.startswith("# ")],
                                     wrapper_commands(architecture, folder))

    def test_binaries_are_stripped(self):
        for architecture in debian_architectures():
            private = "/usr/lib/%s/quendal-bench" % MULTIARCH[architecture]
            for package, path in [("quendal-bench", "/usr/bin/quendal-bench"),
                                  ("quendal-bench", private + "/ftdi-adapter/libftd2xx.so"),
                                  ("quendal-bench-virtual-board",
                                   private + "/virtual-board/libftd2xx.so")]:
                with self.subTest(architecture=architecture, path=path):
                    _, read = deb_members(deb(package, architecture))
                    with tempfile.NamedTemporaryFile() as binary:
                        binary.write(read(path))
                        binary.flush()
                        sections = subprocess.run(["readelf", "-S", "-W", binary.name], check=True,
                                                  stdout=subprocess.PIPE,
                                                  universal_newlines=True).stdout
                    self.assertNotIn(".symtab", sections)
                    self.assertNotIn(".debug_", sections)

    def test_control_fields(self):
        for architecture in debian_architectures():
            with self.subTest(architecture=architecture):
                program = control(deb("quendal-bench", architecture))
                board = control(deb("quendal-bench-virtual-board", architecture))
                for fields in (program, board):
                    self.assertEqual(fields["Version"], VERSION)
                    self.assertEqual(fields["Architecture"], architecture)
                    self.assertRegex(fields["Maintainer"], r"^quendal-bench authors <\S+\.invalid>$")
                # dpkg-shlibdeps: the adapter needs libftdi1, and both need the C library.
                self.assertRegex(program["Depends"], r"(^|, )libftdi1-2 \(>= [0-9.]+\)")
                self.assertRegex(program["Depends"], r"(^|, )libc6 \(>= [0-9.]+\)")
                self.assertIn("quendal-bench (= %s)" % VERSION, board["Depends"].split(", "))
                self.assertRegex(board["Depends"], r"(^|, )libc6 \(>= [0-9.]+\)")
                # Each description is the package's own, from its first line.
                self.assertNotEqual(program["Description"].splitlines()[0],
                                    board["Description"].splitlines()[0])
                self.assertIn("virtual", board["Description"].splitlines()[0])

    def test_man_page_has_no_warnings_and_the_readmes_statuses(self):
        for architecture in debian_architectures():
            with self.subTest(architecture=architecture):
                text, warnings = man_page(architecture)
                self.assertEqual(warnings, "")
                self.assertNotIn("@", text.replace("@quendal", ""))
                for status, name in readme_statuses():
                    self.assertIn("%s %s\n" % (status, name), text)
                for expected in [texts.BANNER, texts.SLOW_PROMPT.rstrip(), texts.readback_line(),
                                 texts.cant_load(texts.LIBRARY_LINUX).rstrip(),
                                 texts.cant_load(texts.LIBRARY_WINDOWS).rstrip()]:
                    self.assertIn(expected, text)
                for message in texts.FAILURES.values():
                    self.assertIn(message.replace("%d", "N").rstrip(), text)
                for command in ["quendal-bench-adapter", "quendal-bench-virtual",
                                "/usr/lib/%s/quendal-bench/ftdi-adapter/libftd2xx.so"
                                % MULTIARCH[architecture], UDEV_RULE, "System32", "SysWOW64"]:
                    self.assertIn(command, text)
                self.assertIn("quendal-bench %s" % VERSION, text.splitlines()[-1])

    def test_man_page_names_every_setting_of_the_virtual_board(self):
        for architecture in debian_architectures():
            with self.subTest(architecture=architecture):
                text, _ = man_page(architecture)
                for name in board_settings():
                    self.assertRegex(text, r"\n +%s " % name)

    def test_installed_readme_links_only_within_itself(self):
        for architecture in debian_architectures():
            with self.subTest(architecture=architecture):
                _, read = deb_members(deb("quendal-bench", architecture))
                readme = read("/usr/share/doc/quendal-bench/README.md").decode()
                self.assertIn("## Messages and statuses", readme)
                self.assertEqual(re.findall(r"\]\((?!#|https?:)[^)]*\)", readme), [])

    def test_copyright_and_changelog_name_the_licence_and_version(self):
        for architecture in debian_architectures():
            for package in expected_files(architecture):
                with self.subTest(architecture=architecture, package=package):
                    _, read = deb_members(deb(package, architecture))
                    doc = "/usr/share/doc/%s/" % package
                    copyright = read(doc + "copyright").decode()
                    self.assertTrue(copyright.startswith(
                        "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"))
                    self.assertIn("Copyright: 2026 The quendal-bench authors\n", copyright)
                    self.assertIn("License: Expat\n", copyright)
                    # An entry for each release in NEWS, the newest dated at the release's time.
                    changelog = gzip.decompress(read(doc + "changelog.gz")).decode()
                    entries = changelog_entries(changelog)
                    self.assertEqual([e["Version"] for e in entries],
                                     [version for version, _ in news_releases()])
                    self.assertEqual(entries[0]["Version"], VERSION)
                    self.assertEqual(int(entries[0]["Timestamp"]), release_time())
                    for entry, (_, day) in list(zip(entries, news_releases()))[1:]:
                        self.assertEqual(datetime.datetime.fromtimestamp(
                            int(entry["Timestamp"]), datetime.timezone.utc).date().isoformat(), day)

    def test_metainfo_offers_the_package_for_the_udev_rules_devices(self):
        for architecture in debian_architectures():
            with self.subTest(architecture=architecture), \
                    tempfile.TemporaryDirectory(prefix="quendal-metainfo-") as folder:
                members, read = deb_members(deb("quendal-bench", architecture))
                component = ElementTree.fromstring(read(METAINFO))
                self.assertEqual(component.findtext("id") + ".metainfo.xml",
                                 os.path.basename(METAINFO))
                self.assertEqual(sorted(m.text for m in component.findall("provides/modalias")),
                                 sorted(udev_rule_modaliases()))
                for binary in component.findall("provides/binary"):
                    self.assertIn("/usr/bin/" + binary.text, members)
                if not shutil.which("appstreamcli"):
                    continue  # the validator is optional: package "appstream"
                path = os.path.join(folder, os.path.basename(METAINFO))
                with open(path, "wb") as metainfo:
                    metainfo.write(read(METAINFO))
                validated = subprocess.run(["appstreamcli", "validate", "--no-net", path],
                                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                           universal_newlines=True)
                self.assertEqual(validated.returncode, 0, validated.stdout)


class ChangelogScriptTest(unittest.TestCase):
    """packaging/debian/changelog.py, which makes the packages' changelog
    from NEWS, on NEWS files of its own."""

    NEWS = ("quendal-bench NEWS\n\n"
            "1.1.0 (2027-01-05)\n\n  * Two\n    lines.\n  * Another.\n\n"
            "1.0.0 (2026-12-10)\n  * One.\n")
    TIME = 1799999999  # 2027-01-15

    def make(self, news, version, time):
        """The script's exit status, its standard error, and the changelog
        that it wrote, None if none."""
        with tempfile.TemporaryDirectory(prefix="quendal-changelog-") as folder:
            news_path, output = os.path.join(folder, "NEWS"), os.path.join(folder, "changelog")
            with open(news_path, "w") as file:
                file.write(news)
            made = subprocess.run(
                [sys.executable, CHANGELOG_SCRIPT, "--package", "quendal-bench",
                 "--version", version, "--time", str(time),
                 "--maintainer", "quendal-bench authors <packages@quendal-bench.invalid>",
                 news_path, output],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
            text = None
            if os.path.exists(output):
                with open(output) as file:
                    text = file.read()
        return made.returncode, made.stderr, text

    def test_each_release_is_an_entry_the_newest_at_the_release_time(self):
        status, error, text = self.make(self.NEWS, "1.1.0", self.TIME)
        self.assertEqual(status, 0, error)
        entries = changelog_entries(text)
        noon = datetime.datetime(2026, 12, 10, 12, tzinfo=datetime.timezone.utc).timestamp()
        self.assertEqual([(e["Version"], int(e["Timestamp"])) for e in entries],
                         [("1.1.0", self.TIME), ("1.0.0", int(noon))])
        self.assertIn("\n\n  * Two\n    lines.\n  * Another.\n\n -- quendal-bench authors", text)
        self.assertIn("\n\n  * One.\n\n -- ", text)

    def test_refuses_a_news_that_would_give_a_wrong_changelog(self):
        before_the_last_release = 1796860800  # 2026-12-10 00:00 UTC
        for case, news, version, time, message in [
                ("a version without its entry", self.NEWS, "1.2.0", self.TIME, "add its entry"),
                ("released before the release below", self.NEWS, "1.1.0",
                 before_the_last_release, "not after"),
                ("an item not indented", "1.0.0 (2026-12-10)\n* One.\n", "1.0.0", self.TIME,
                 "indented"),
                ("a release with no item", "1.0.0 (2026-12-10)\n\n", "1.0.0", self.TIME,
                 "lists nothing"),
                ("no release", "quendal-bench NEWS\n", "1.0.0", self.TIME, "no release")]:
            with self.subTest(case):
                status, error, text = self.make(news, version, time)
                self.assertNotEqual(status, 0)
                self.assertIn(message, error)
                self.assertIsNone(text)


class LintianTest(unittest.TestCase):
    def test_no_error_and_no_warning(self):
        for architecture in debian_architectures():
            with self.subTest(architecture=architecture), \
                    tempfile.TemporaryDirectory(prefix="quendal-lintian-") as scratch:
                # lintian leaves its caches (mldbm-elf-*) in TMPDIR.
                checked = subprocess.run(
                    ["lintian", "--fail-on", "error,warning",
                     deb("quendal-bench", architecture),
                     deb("quendal-bench-virtual-board", architecture)],
                    env=dict(os.environ, TMPDIR=scratch),
                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
                tags = [line for line in checked.stdout.splitlines() if line[:2] in ("E:", "W:")]
                self.assertEqual(tags, [])
                self.assertEqual(checked.returncode, 0, checked.stdout)


# Runs as root behind the isolation's overlay-root mode, so the machine
# outside never sees the install. $1 is a folder outside the overlays for the
# results, $2 and $3 the packages, $4 the isolation's script: the runs that
# expect no driver or no board find no other driver library and no USB
# device; $5 the root of an emulated bus for the board test, which finds a
# python3 that fails first on PATH: a station's fixture of two boards,
# BOARD001 and BOARD002, beside a console cable.
INSTALL_SCRIPT = r"""
set -eu
results=$1
dpkg -i "$2" "$3" >"$results/install.log" 2>&1
dpkg -L quendal-bench quendal-bench-virtual-board | sort >"$results/listed"
cd /
printf abcd | quendal-bench-virtual >"$results/virtual" 2>&1 || echo "status $?" >>"$results/virtual"
printf k | /usr/bin/python3 "$4" hide-drivers -- quendal-bench-adapter >"$results/adapter" 2>&1 \
  || echo "status $?" >>"$results/adapter"
printf k | /usr/bin/python3 "$4" hide-drivers -- quendal-bench >"$results/program" 2>&1 \
  || echo "status $?" >>"$results/program"
UMOCKDEV_DIR=$5 LD_PRELOAD=libumockdev-preload.so.0 PATH="$results/other-python:$PATH" \
  quendal-bench-board-test --yes --serial BOARD001 --serial BOARD002 --driver adapter \
  --report "$results/report.json" --junit "$results/junit.xml" </dev/null \
  >"$results/board-test" 2>&1 || echo "status $?" >>"$results/board-test"
dpkg --purge quendal-bench-virtual-board quendal-bench >"$results/remove.log" 2>&1
# Left: a file or link, or a folder that only the packages filled.
while read -r path; do
  if [ -L "$path" ] || [ -f "$path" ]; then echo "$path"
  elif [ -d "$path" ] && [ -z "$(ls -A "$path")" ]; then echo "$path"; fi
done <"$results/listed" >"$results/left"
dpkg-query -W quendal-bench >>"$results/left" 2>/dev/null || true
"""


def machine_state():
    """What an install would change on this machine: the package database,
    dpkg's log, and every path of the packages."""
    state = {"packages": subprocess.run(["dpkg-query", "-W"], stdout=subprocess.PIPE).stdout}
    for path in ["/var/lib/dpkg/status", "/var/log/dpkg.log"]:
        state[path] = os.stat(path).st_mtime_ns if os.path.exists(path) else None
    for files in expected_files(host_architecture()).values():
        for path in files:
            state[path] = os.path.lexists(path)
    return state


def as_root():
    """What runs a command as root: [] for root, `sudo -n` where this user
    may use it without a password; None where neither."""
    if os.geteuid() == 0:
        return []
    if shutil.which("sudo") and subprocess.run(
            ["sudo", "-n", "true"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL).returncode == 0:
        return ["sudo", "-n"]
    return None


def host_architecture():
    return subprocess.run(["dpkg", "--print-architecture"], check=True, stdout=subprocess.PIPE,
                          universal_newlines=True).stdout.strip()


class InstallTest(unittest.TestCase):
    def test_install_run_and_remove_leave_nothing_behind(self):
        architecture = host_architecture()
        root = as_root()
        if root is None:
            self.skipTest("needs root, or sudo without a password (sudo -n), for dpkg")
        if architecture not in debian_architectures():
            self.skipTest("no %s package in %s" % (architecture, DIST))
        for command in ["quendal-bench", "quendal-bench-adapter", "quendal-bench-virtual"]:
            if shutil.which(command):
                self.skipTest("%s is installed on this machine" % command)
        for mode in ["overlay-root", "hide-drivers"]:
            if not root:
                isolation_modes.require(mode)
                continue
            # Where the install runs: as root.
            checked = subprocess.run(root + [sys.executable, isolation_modes.__file__, "--check",
                                             mode], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     universal_newlines=True)
            if checked.returncode != 0:
                reason = "no private mount namespace as root (%s)" % checked.stdout.strip()
                if isolation_modes.required():
                    self.fail(reason)
                self.skipTest(reason)

        from wire.ft232r import EmulatedBus, EmulatedFt232r

        before = machine_state()
        # The second board's D0 reads back low.
        chip, faulty = EmulatedFt232r(serial="BOARD001"), EmulatedFt232r(serial="BOARD002",
                                                                         pin_read=0xFC)
        cable = EmulatedFt232r(serial="CONSOLE9")
        with tempfile.TemporaryDirectory(prefix="quendal-install-") as results, \
                EmulatedBus(chip, cable, faulty) as bus:
            harness.other_python(os.path.join(results, "other-python"))
            ran = subprocess.run(
                root + isolation_modes.prefix("overlay-root") + [
                    "sh", "-c", INSTALL_SCRIPT, "install", results,
                    deb("quendal-bench", architecture),
                    deb("quendal-bench-virtual-board", architecture), isolation_modes.__file__,
                    bus.environment()["UMOCKDEV_DIR"]],
                env=harness.runner.environment(None), stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)

            def result(name):
                with open(os.path.join(results, name), "rb") as file:
                    return file.read()

            self.assertEqual(ran.returncode, 0, ran.stdout.decode(errors="replace") +
                             (result("install.log") + result("remove.log")).decode(
                                 errors="replace") if ran.returncode else "")
            listed = result("listed").decode().split()
            for files in expected_files(architecture).values():
                for path in files:
                    self.assertIn(path, listed)

            self.assertEqual(result("virtual"), texts.as_bytes(texts.whole_run(1)))
            self.assertEqual(result("adapter"),
                             texts.as_bytes(texts.halt(texts.failure("FT_Open", 2))))
            self.assertEqual(result("program"), texts.as_bytes(texts.halt(texts.cant_load())))
            # The installed board test, on the installed program and adapter:
            # the sound board passes, the faulty one fails, the cable gets
            # nothing.
            adapter = "/usr/lib/%s/quendal-bench/ftdi-adapter/libftd2xx.so" % (
                MULTIARCH[architecture])
            self.assertIn("\nProgram: /usr/bin/quendal-bench\n", result("board-test").decode())
            self.assertRegex(result("board-test").decode(), (
                r"\nadapter: %s; device 0403:6001, serial BOARD001, .*; pass\n"
                r"adapter: %s; device 0403:6001, serial BOARD002, .*; fail: D0 must read 1 .*\n"
                r"Result: fail \(BOARD001: adapter pass; BOARD002: adapter fail\)\nstatus 1\n$")
                % (re.escape(adapter), re.escape(adapter)))
            self.assertIn(texts.FAST_PATTERN, chip.bulk_writes())
            self.assertIn(texts.FAST_PATTERN, faulty.bulk_writes())
            self.assertEqual((cable.transfers, cable.detached), ([], []))
            report = json.loads(result("report.json"))
            station_report_test.validate(self, report)
            self.assertEqual([(record["dut_id"], record["driver"]["library"], record["outcome"])
                              for record in report["records"]],
                             [("BOARD001", adapter, "PASS"), ("BOARD002", adapter, "FAIL")])
            self.assertEqual(report["program"], {"path": "/usr/bin/quendal-bench",
                                                 "version": VERSION})
            self.assertEqual([(case.get("classname"), case.get("name"))
                              for case in ElementTree.fromstring(result("junit.xml"))
                              .iter("testcase")],
                             [("BOARD001", "adapter"), ("BOARD002", "adapter")])
            self.assertEqual(result("left"), b"", "files of the packages left after removal")
        self.assertEqual(machine_state(), before, "the machine changed")


def unix_owner(extra):
    """(uid, gid) of a zip member's "ux" extra field, None without one."""
    position = 0
    while position + 4 <= len(extra):
        tag, size = struct.unpack_from("<HH", extra, position)
        if tag == 0x7875:
            uid_size = extra[position + 5]
            uid = int.from_bytes(extra[position + 6:position + 6 + uid_size], "little")
            gid_at = position + 6 + uid_size
            gid = int.from_bytes(extra[gid_at + 1:gid_at + 1 + extra[gid_at]], "little")
            return uid, gid
        position += 4 + size
    return None


def zip_path(bits):
    return os.path.join(DIST, "quendal-bench-%s-win%d.zip" % (VERSION, bits))


ZIPS = {"x64": 64, "x86": 32}
PREFIX = None


def tearDownModule():
    if PREFIX is not None:
        PREFIX.close()


class WindowsZipTest(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory(prefix="quendal-zip-")
        self.addCleanup(folder.cleanup)
        self.folder = folder.name

    def unpack(self, bits):
        """The zip's top folder, unpacked."""
        folder = os.path.join(self.folder, "win%d" % bits)
        with zipfile.ZipFile(zip_path(bits)) as archive:
            archive.extractall(folder)
        return os.path.join(folder, "quendal-bench-%s-win%d" % (VERSION, bits))

    def test_contents_and_readme(self):
        for bits in ZIPS.values():
            with self.subTest(bits=bits):
                top = "quendal-bench-%s-win%d/" % (VERSION, bits)
                with zipfile.ZipFile(zip_path(bits)) as archive:
                    names = set(archive.namelist())
                    readme = archive.read(top + "README.txt")
                    licence = archive.read(top + "LICENSE")
                self.assertEqual(names, {top + name for name in [
                    "quendal-bench.exe", "README.txt", "LICENSE",
                    "virtual-board/", "virtual-board/Ftd2xx.dll"]})
                with open(os.path.join(SOURCE, "LICENSE"), "rb") as source:
                    self.assertEqual(licence, source.read())
                # A Windows text file: every line ends in "\r\n".
                self.assertNotIn(b"\n", readme.replace(b"\r\n", b""))
                text = readme.decode("ascii").replace("\r\n", "\n")
                self.assertIn(texts.cant_load(texts.LIBRARY_WINDOWS).rstrip(), text)
                self.assertIn("virtual-board\\Ftd2xx.dll", text)
                self.assertIn("SysWOW64" if bits == 32 else "System32", text)
                for status, name in readme_statuses():
                    self.assertRegex(text, r"\n%s +%s\n" % (re.escape(status), re.escape(name)))
                # The status table's sentences for Linux and the virtual board's settings
                # stay out.
                self.assertNotIn("Linux", text)
                self.assertNotIn("VBOARD", text)

    def test_members_are_roots_whoever_packaged_them(self):
        for bits in ZIPS.values():
            with self.subTest(bits=bits), zipfile.ZipFile(zip_path(bits)) as archive:
                for member in archive.infolist():
                    self.assertEqual(unix_owner(member.extra), (0, 0), member.filename)

    def test_version_resource_and_manifest(self):
        for architecture, bits in ZIPS.items():
            with self.subTest(bits=bits):
                exe = os.path.join(self.unpack(bits), "quendal-bench.exe")
                windres = {"x64": "x86_64-w64-mingw32-windres",
                           "x86": "i686-w64-mingw32-windres"}[architecture]
                resources = subprocess.run([windres, "-i", exe, "-O", "rc"], check=True,
                                           stdout=subprocess.PIPE,
                                           universal_newlines=True).stdout
                numbers = (VERSION.split(".") + ["0"] * 4)[:4]
                self.assertIn(" FILEVERSION %s\n" % ", ".join(numbers), resources)
                for name, value in [("FileVersion", VERSION), ("ProductVersion", VERSION),
                                    ("OriginalFilename", "quendal-bench.exe"),
                                    ("ProductName", "quendal-bench")]:
                    self.assertIn('VALUE "%s", "%s"\n' % (name, value), resources)
                self.assertRegex(resources, r'VALUE "LegalCopyright", "Copyright \(c\) 2026')
                self.assertRegex(resources, r'VALUE "FileDescription", "[^"]+"')
                self.assertIn('level=""asInvoker""', resources)

    def test_runs_under_wine_with_the_virtual_board_beside_it_and_not_without(self):
        global PREFIX
        if PREFIX is None:
            PREFIX = wine.WinePrefix()
        # Every run starts before any is checked: a 32-bit one may run under
        # emulation, which is slow (docs/developing.md, The Wine tests).
        runs = {}
        for architecture, bits in ZIPS.items():
            reason = wine.unavailable(architecture)
            if reason is not None:
                with self.subTest(bits=bits):
                    self.skipTest(reason)
                continue
            top = self.unpack(bits)
            exe = os.path.join(top, "quendal-bench.exe")
            board = os.path.join(top, "virtual-board", "Ftd2xx.dll")
            folder = os.path.join(self.folder, "run-%d" % bits)
            runs[bits] = [
                wine.start(PREFIX, folder, exe, board,
                           {"VBOARD_KEYS": "FT_Write#1,FT_Write#2,FT_GetBitMode#1:kq"}),
                wine.start(PREFIX, folder + "-without", exe, None)]
            for run in runs[bits]:
                self.addCleanup(run.close)
        for bits, (run, without) in runs.items():
            with self.subTest(bits=bits):
                self.assertEqual(run.finish(), 0)
                self.assertEqual(run.output, texts.windows(texts.whole_run(1)))

                expected = texts.windows(texts.halt(texts.cant_load(texts.LIBRARY_WINDOWS)))
                without.wait_for_output(expected)
                self.assertTrue(without.running(), "the halt waits for a key")
                self.assertEqual(without.output, expected)


def ar_members(path):
    """(name, mtime) of each member of an ar archive, such as a .deb."""
    with open(path, "rb") as file:
        data = file.read()
    assert data.startswith(b"!<arch>\n"), path
    members, offset = [], 8
    while offset < len(data):
        header = data[offset:offset + 60]
        size = int(header[48:58])
        members.append((header[:16].decode().strip().rstrip("/"), int(header[16:28])))
        offset += 60 + size + size % 2
    return members


def deb_tar(path, part):
    """The control or the data tar of a package (part: "ctrl" or "fsys")."""
    data = subprocess.run(["dpkg-deb", "--%s-tarfile" % part, path], check=True,
                          stdout=subprocess.PIPE).stdout
    return tarfile.open(fileobj=io.BytesIO(data))


class ReleaseTimeTest(unittest.TestCase):
    """Every archive member, and the PE header of each Windows executable,
    carry the release's one time, never the time of the build."""

    def setUp(self):
        self.time = release_time()

    def test_debian_packages(self):
        for name in sorted(os.listdir(DIST)):
            if not name.endswith(".deb"):
                continue
            path = os.path.join(DIST, name)
            with self.subTest(package=name):
                stamps = {"ar " + member: mtime for member, mtime in ar_members(path)}
                for part in ["ctrl", "fsys"]:
                    stamps.update(("%s %s" % (part, m.name), m.mtime)
                                  for m in deb_tar(path, part).getmembers())
                self.assertEqual({k: v for k, v in stamps.items() if v != self.time}, {})

    def test_man_page_date(self):
        day = datetime.datetime.fromtimestamp(self.time, datetime.timezone.utc).date()
        for architecture in debian_architectures():
            with self.subTest(architecture=architecture):
                _, read = deb_members(deb("quendal-bench", architecture))
                page = gzip.decompress(read("/usr/share/man/man1/quendal-bench.1.gz")).decode()
                title = re.search(r'^\.TH "quendal-bench" "1" "([^"]*)"', page, re.M)
                self.assertEqual(title and title.group(1), day.isoformat())

    def test_windows_zips_and_executables(self):
        # A zip keeps a member's time as its DOS date and time, to 2 seconds.
        utc = datetime.datetime.fromtimestamp(self.time, datetime.timezone.utc)
        dos_time = utc.timetuple()[:5] + (utc.second // 2 * 2,)
        for bits in ZIPS.values():
            with self.subTest(bits=bits), zipfile.ZipFile(zip_path(bits)) as archive:
                for member in archive.infolist():
                    self.assertEqual(member.date_time, dos_time, member.filename)
                    if member.filename.endswith((".exe", ".dll")):
                        self.assertEqual(pe.timestamp(archive.read(member)), self.time,
                                         member.filename)


def archive_differences(made, released):
    """What differs between two .deb or two .zip files, member by member:
    each member's name with its differing time, mode or bytes."""
    def describe(path):
        if path.endswith(".zip"):
            with zipfile.ZipFile(path) as archive:
                return {m.filename: (m.date_time, m.external_attr, m.extra, m.CRC)
                        for m in archive.infolist()}
        found = {"ar " + name: mtime for name, mtime in ar_members(path)}
        for part in ["ctrl", "fsys"]:
            archive = deb_tar(path, part)
            for m in archive.getmembers():
                content = archive.extractfile(m).read() if m.isfile() else m.linkname
                found["%s %s" % (part, m.name)] = (m.mtime, m.mode, m.uid, m.gid, content)
        return found
    ours, theirs = describe(made), describe(released)
    return sorted(name for name in set(ours) | set(theirs) if ours.get(name) != theirs.get(name))


class ReproducibleTest(unittest.TestCase):
    """The cheapest release files, made again from this tree in fresh build
    folders elsewhere and later (the Windows 64-bit zip, and this machine's
    Debian packages without the tests' build), are byte for byte the ones in
    DIST. docs/developing.md gives the whole check: every file, from two
    clones."""

    BUILDS = [("windows-x64-ci", [], "x86_64-w64-mingw32-g++"),
              ("linux-ci", ["-DQUENDAL_BUILD_TESTS=OFF"], "g++")]

    def test_a_second_build_makes_the_same_files(self):
        with tempfile.TemporaryDirectory(prefix="quendal-rebuild-") as folder:
            for preset, options, compiler in self.BUILDS:
                with self.subTest(preset=preset):
                    if not shutil.which(compiler):
                        self.skipTest("no %s: scripts/install-deps.sh --windows" % compiler)
                    build = os.path.join(folder, preset)
                    for command in [["cmake", "--preset", preset, "-B", build] + options,
                                    ["cmake", "--build", build],
                                    ["cpack", "--config", os.path.join(build, "CPackConfig.cmake"),
                                     "-B", os.path.join(build, "packages")]]:
                        # As scripts/package.sh packs: CPack's own files
                        # take their modes from the umask.
                        ran = subprocess.run(["sh", "-c", 'umask 022 && exec "$@"', "sh"]
                                             + command, cwd=SOURCE, stdin=subprocess.DEVNULL,
                                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                             universal_newlines=True)
                        self.assertEqual(ran.returncode, 0, "%s\n%s" % (command, ran.stdout[-3000:]))
                    made = sorted(n for n in os.listdir(os.path.join(build, "packages"))
                                  if n.endswith((".deb", ".zip")))
                    self.assertTrue(made)
                    for name in made:
                        path = os.path.join(build, "packages", name)
                        released = os.path.join(DIST, name)
                        self.assertTrue(os.path.exists(released), name)
                        with open(path, "rb") as ours, open(released, "rb") as theirs:
                            if ours.read() != theirs.read():
                                self.fail("%s differs from %s's: %s" % (
                                    name, DIST, archive_differences(path, released)
                                    or "the members are the same; their compression is not"))


if __name__ == "__main__":
    if len(sys.argv) < 2 or not os.path.isdir(sys.argv[1]):
        sys.exit(__doc__)
    DIST = os.path.abspath(sys.argv.pop(1))
    harness.main()
