#!/usr/bin/env python3
"""Every version string of the project equals the one of CMakeLists.txt.

    version_test.py --source SOURCE_DIR --version X.Y.Z [--pdutool PATH]

project(pdu7318 VERSION X.Y.Z) is the one source. The build passes it on
(the shared library's file name, pdutool --version, the Debian package, the
Python package's dist-info, the Windows version resources and installer);
what is written by hand elsewhere is listed below and must say the same.
Each place must be found: a place that moved or changed its form fails
the test too, so that it is looked at again.
"""

import argparse
import re
import subprocess
import sys


def ini_version(text):
    """0xMMmmpp00 written in decimal, as the version data stores it."""
    n = int(text)
    return "%d.%d.%d" % (n >> 24, (n >> 16) & 0xFF, (n >> 8) & 0xFF)


# file, pattern whose group 1 is a version, how to read the group
PLACES = [
    ("CMakeLists.txt", r"^project\(pdu7318 VERSION ([0-9.]+)", str),
    ("python/pyproject.toml", r'^version = "([^"]*)"', str),
    ("python/pdu7318/__init__.py", r'^__version__ = "([^"]*)"', str),
    ("data/PDUAPI_7318.ini", r"^APISWVersion=([0-9]+)", ini_version),
    ("man/pdutool.1", r'^\.TH PDUTOOL 1 "[^"]*" "pdu7318 ([^"]*)"', str),
    ("man/vcisim.1", r'^\.TH VCISIM 1 "[^"]*" "pdu7318 ([^"]*)"', str),
    ("docs/windows.md", r"pdu7318-setup-([0-9][0-9.]*[0-9])\.exe", str),
    ("docs/install.md", r"pdu7318_([0-9][0-9.]*[0-9])_amd64\.deb", str),
    ("docs/install.md", r"libpdu7318\.so\.([0-9][0-9.]*[0-9])`", str),
    ("docs/pdutool.md", r'"apiSwVersion": "([^"]*)"', str),
    ("packaging/windows/pdu7318.nsi", r"VERSION +project version \(([^)]*)\)", str),
]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--pdutool")
    a = ap.parse_args()
    passed = failed = 0

    def check(ok, what):
        nonlocal passed, failed
        if ok:
            passed += 1
        else:
            failed += 1
            print("FAIL: " + what)

    for path, pattern, read in PLACES:
        with open("%s/%s" % (a.source, path), encoding="utf-8") as f:
            found = [read(m.group(1)) for m in re.finditer(pattern, f.read(), re.M)]
        check(found, "%s: no version found (pattern %s)" % (path, pattern))
        for v in found:
            check(v == a.version, "%s says %s, the project is %s" % (path, v, a.version))
    if a.pdutool:
        out = subprocess.run([a.pdutool, "--version"], capture_output=True, text=True, timeout=30).stdout
        check(out.strip() == "pdutool " + a.version, "pdutool --version prints %r" % out.strip())
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
