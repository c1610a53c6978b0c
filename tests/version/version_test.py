#!/usr/bin/env python3
"""The version is typed once, in project() of CMakeLists.txt (X.Y.Z), every
file generated from it says the same, and no other file types one.

    version_test.py --source SOURCE_DIR --build BUILD_DIR --version X.Y.Z [--pdutool PATH]
"""

import argparse
import os
import re
import subprocess
import sys


def ini_version(text):  # 0xMMmmpp00 written in decimal, as the version data stores it
    n = int(text)
    return "%d.%d.%d" % (n >> 24, (n >> 16) & 0xFF, (n >> 8) & 0xFF)


# (SOURCE or BUILD, file, pattern whose group 1 is a version, how to read it).
# tools/windows/installer.sh and install-test.sh read the project() line with sed.
GENERATED = [
    ("source", "CMakeLists.txt", r"^project\(pdu7318 VERSION ([0-9.]+)", str),
    ("build", "data/PDUAPI_7318.ini", r"^APISWVersion=([0-9]+)$", ini_version),
    ("build", "man/pdutool.1", r'^\.TH PDUTOOL 1 "[^"]*" "pdu7318 ([^"]*)"', str),
    ("build", "man/vcisim.1", r'^\.TH VCISIM 1 "[^"]*" "pdu7318 ([^"]*)"', str),
    ("source", "python/pdu7318/_version.py", r'^__version__ = "([^"]*)"$', str),
]

# Forms a typed version took in the tree before it had one source: the
# package names, the library file, a setup program, Python and TOML
# assignments, the man header, the version data and the JSON of pdutool info.
V = r"[0-9]+\.[0-9]+\.[0-9]+"
TYPED = re.compile("|".join([
    r"pdu7318[-_ ](?:setup-)?" + V, r"libpdu7318\.so\." + V, r"^\s*(?:__version__|version)\s*=\s*[\"']" + V,
    r"^APISWVersion=[0-9]", r"project version \(" + V, r'"apiSwVersion": "' + V,
]), re.M)
# Not sources: build and tool folders, the generated file itself.
SKIP_DIRS = {".git", "Testing", "out", "__pycache__", ".pytest_cache"}
SKIP_FILES = {"CMakeLists.txt", os.path.join("python", "pdu7318", "_version.py")}


def typed_versions(source):
    """(path:line, text) of each place in the source tree that types a version."""
    for root, dirs, files in os.walk(source):
        dirs[:] = [d for d in dirs if d not in SKIP_DIRS and not d.startswith("build") and not d.endswith(".egg-info")]
        for name in files:
            path = os.path.join(root, name)
            rel = os.path.relpath(path, source)
            if rel in SKIP_FILES:
                continue
            try:
                with open(path, encoding="utf-8") as f:
                    text = f.read()
            except (UnicodeDecodeError, OSError):
                continue  # binary files
            for m in TYPED.finditer(text):
                yield "%s:%d" % (rel, text.count("\n", 0, m.start()) + 1), m.group(0).strip()


def main():
    ap = argparse.ArgumentParser()
    for name in ("--source", "--build", "--version"):
        ap.add_argument(name, required=True)
    ap.add_argument("--pdutool")
    a = ap.parse_args()
    checks = []  # (passed, what)
    for where, path, pattern, read in GENERATED:
        with open(os.path.join(a.source if where == "source" else a.build, path), encoding="utf-8") as f:
            found = [read(m.group(1)) for m in re.finditer(pattern, f.read(), re.M)]
        checks.append((len(found) == 1, "%s: %d versions found (pattern %s)" % (path, len(found), pattern)))
        checks += [(v == a.version, "%s says %s, the project is %s" % (path, v, a.version)) for v in found]
    checks += [(False, "%s types a version (%s): take it from project() through cmake/Version.cmake" % hit)
               for hit in typed_versions(a.source)]
    if a.pdutool:
        out = subprocess.run([a.pdutool, "--version"], capture_output=True, text=True, timeout=30).stdout
        checks.append((out.strip() == "pdutool " + a.version, "pdutool --version prints %r" % out.strip()))
    failed = [what for ok, what in checks if not ok]
    print("".join("FAIL: %s\n" % what for what in failed) +
          "%d passed, %d failed" % (len(checks) - len(failed), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
