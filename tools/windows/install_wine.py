#!/usr/bin/env python3
"""Acceptance test of the setup program under Wine, in a fresh prefix.

    install_wine.py --setup SETUP.EXE --vcisim PATH --data BUILD/data
                    --prefix NEW-WINEPREFIX [--bin32 DIR --bin64 DIR] [--no-32]

The prefix is made anew and given another vendor's root description file,
registered in the 64-bit registry view; the 32-bit view has none. Then:

  1. a silent install (/S /LOG=1 /LOGDIR=...): files where they belong,
     our entry added to the other vendor's file (its bytes kept) and a new
     file with the value for the 32-bit view, the Add/Remove Programs entry;
  2. pdutool.exe --root lists both vendors (64-bit view), the 32-bit one
     lists ours;
  3. the end-to-end SENDRECV through the installed DLL that the root
     description file names (64-bit; 32-bit unless --no-32);
  4. a reinstall keeps an edited config.ini and our single entry; while a
     client holds the installed DLL, install and uninstall exit 4 and change
     nothing;
  5. a silent uninstall: the other vendor's file byte for byte as before,
     its value and library still there, all of ours gone;
  6. a root description file that is not well-formed: the install exits 3
     and leaves it as it was, so does the uninstall;
  7. a Root File value whose folder is gone: the install makes the folder
     and the file, and keeps the value.

Prints one line per check and "N passed, M failed"; exits non-zero on a
failure.
"""

import argparse
import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

ROOT_KEY = r"HKLM\SOFTWARE\D-PDU API"
ARP_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\PDU7318"
LOG_KEY = r"HKCU\SOFTWARE\Brenlo\MVCI"

# Another vendor's root description file as its installer may have written
# it: CRLF line ends, tabs, a comment, an element of its own.
OTHER_ROOT = (
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<!-- ACME D-PDU API registry -->\r\n"
    "<MVCI_PDU_API_ROOT>\r\n"
    "\t<MVCI_PDU_API>\r\n"
    "\t\t<SHORT_NAME>ACME_VCI</SHORT_NAME>\r\n"
    "\t\t<DESCRIPTION>ACME &amp; Sons VCI</DESCRIPTION>\r\n"
    "\t\t<SUPPLIER_NAME>ACME</SUPPLIER_NAME>\r\n"
    "\t\t<LIBRARY_FILE URI=\"file:///C:/ACME/acme_pdu.dll\" />\r\n"
    "\t\t<MODULE_DESCRIPTION_FILE URI=\"file:///C:/ACME/acme_mdf.xml\" />\r\n"
    "\t\t<ACME_LICENSE>42</ACME_LICENSE>\r\n"
    "\t</MVCI_PDU_API>\r\n"
    "</MVCI_PDU_API_ROOT>\r\n").encode()
OTHER_ROOT_WIN = r"C:\ACME\pdu_api_root.xml"
NEW_ROOT_32 = r"C:\ProgramData\D-PDU API\pdu_api_root_32.xml"
GONE_ROOT = r"C:\Gone\D-PDU API\pdu_api_root.xml"

passed = 0
failed = 0


def check(cond, what, detail=""):
    global passed, failed
    if cond:
        passed += 1
        print("ok   - %s" % what)
    else:
        failed += 1
        print("FAIL - %s%s" % (what, ("\n" + detail) if detail else ""))
    return cond


class Wine:
    def __init__(self, prefix):
        self.prefix = prefix
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
        for name in ("PDU7318_HOME", "PDU7318_LOG_PATH", "PDU7318_PORTS"):
            self.env.pop(name, None)

    def run(self, args, timeout=180):
        # Output through files: Wine's services may keep an inherited pipe open.
        with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
            rc = subprocess.run([os.environ.get("PDU7318_WINE", "wine")] + args, env=self.env, stdout=out, stderr=err,
                                stdin=subprocess.DEVNULL, timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            return rc, out.read(), err.read()

    def hold(self, client, dll):
        """Starts exit_client.exe holding DLL loaded; None when it did not
        say so. Closing its stdin ends it."""
        if not os.path.isfile(client):
            return None
        p = subprocess.Popen([os.environ.get("PDU7318_WINE", "wine"), client, dll, "hold"], env=self.env,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        # Wine's services may inherit the pipe and keep it open after a
        # failed client ended: wait for the line with a deadline, not for EOF.
        deadline = time.monotonic() + 60
        seen = b""
        while b"holding" not in seen and time.monotonic() < deadline:
            if not select.select([p.stdout], [], [], deadline - time.monotonic())[0]:
                break
            chunk = os.read(p.stdout.fileno(), 4096)
            if not chunk:
                break
            seen += chunk
        if b"holding" in seen:
            return p
        p.kill()
        p.wait()
        return None

    def batch(self, line):
        """Runs one command line exactly as written (cmd, from a batch file):
        uninstall.exe takes _?=DIR only unquoted, which Wine's own argument
        quoting would not leave."""
        with open(self.path("C:\\pdu7318-test.bat"), "w") as f:
            f.write("@%s\r\n@exit /b %%errorlevel%%\r\n" % line)
        return self.run(["cmd", "/c", "C:\\pdu7318-test.bat"])

    def path(self, win):
        """C:\\x\\y -> <prefix>/drive_c/x/y"""
        assert win[:3].upper() == "C:\\"
        return os.path.join(self.prefix, "drive_c", *win[3:].split("\\"))

    def reg_value(self, key, name, view):
        rc, out, _ = self.run(["reg", "query", key, "/v", name, "/reg:%d" % view])
        if rc != 0:
            return None
        for line in out.splitlines():
            m = re.match(r"^\s*(.+?)\s+(REG_\w+)\s*(.*)$", line)
            if m and m.group(1).lower() == name.lower():
                return m.group(3).strip()
        return None


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def same_file(a, b):
    x = read(a)
    return x is not None and x == read(b)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--setup", required=True)
    ap.add_argument("--vcisim", required=True)
    ap.add_argument("--data", required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--bin32")
    ap.add_argument("--bin64")
    ap.add_argument("--no-32", action="store_true", help="no 32-bit end-to-end run")
    args = ap.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    prefix = os.path.abspath(args.prefix)
    setup = os.path.abspath(args.setup)
    wine = Wine(prefix)

    t0 = time.monotonic()
    shutil.rmtree(prefix, ignore_errors=True)
    subprocess.run([os.environ.get("PDU7318_WINE", "wine"), "wineboot", "-i"], env=wine.env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, check=True, timeout=300)
    print("  fresh prefix %s (%.0f s)" % (prefix, time.monotonic() - t0))

    # Another vendor: its library, its root description file, the value in
    # the 64-bit view.
    os.makedirs(wine.path("C:\\ACME"))
    with open(wine.path("C:\\ACME\\acme_pdu.dll"), "wb") as f:
        f.write(b"MZ not really a library")
    with open(wine.path(OTHER_ROOT_WIN), "wb") as f:
        f.write(OTHER_ROOT)
    rc, out, err = wine.run(["reg", "add", ROOT_KEY, "/v", "Root File", "/t", "REG_SZ", "/d",
                             OTHER_ROOT_WIN, "/reg:64", "/f"])
    check(rc == 0, "the other vendor's Root File value set (64-bit view)", out + err)

    pf64 = "C:\\Program Files\\Brenlo\\7318"
    pf32 = "C:\\Program Files (x86)\\Brenlo\\7318"
    app = "C:\\ProgramData\\Brenlo\\Apps\\7318"

    # 1. Silent install with logging on.
    t = time.monotonic()
    rc, out, err = wine.run([setup, "/S", "/LOG=1", "/LOGDIR=C:\\pdu7318-e2e-logs"])
    check(rc == 0, "silent install exits 0 (%.0f s)" % (time.monotonic() - t), out + err)
    for win, build in ((pf64 + "\\pdu7318.dll", args.bin64 and os.path.join(args.bin64, "pdu7318.dll")),
                       (pf64 + "\\pdutool.exe", None),
                       (pf32 + "\\pdu7318.dll", args.bin32 and os.path.join(args.bin32, "pdu7318.dll")),
                       (pf32 + "\\pdutool.exe", None),
                       (pf32 + "\\pdu7318-rootfile.exe", None),
                       (pf32 + "\\uninstall.exe", None),
                       (app + "\\MDF.xml", os.path.join(args.data, "MDF.xml")),
                       (app + "\\PDUAPI_7318.ini", os.path.join(args.data, "PDUAPI_7318.ini"))):
        if build:
            check(same_file(wine.path(win), build), "%s is the built file" % win)
        else:
            check(os.path.isfile(wine.path(win)), "%s installed" % win)
    config = read(wine.path(app + "\\config.ini")) or b""
    check(b"open=1" in config, "config.ini: logging switched on by /LOG=1", config.decode(errors="replace"))
    check(wine.reg_value(LOG_KEY, "path", 64) == "C:\\pdu7318-e2e-logs", "log folder value set by /LOGDIR=")

    check(wine.reg_value(ROOT_KEY, "Root File", 64) == OTHER_ROOT_WIN,
          "64-bit view: Root File still names the other vendor's file")
    merged = read(wine.path(OTHER_ROOT_WIN)) or b""
    end = OTHER_ROOT.rindex(b"</MVCI_PDU_API_ROOT>")
    check(merged.startswith(OTHER_ROOT[:end]) and merged.endswith(OTHER_ROOT[end:]),
          "the other vendor's file: its bytes kept, ours added before the end tag",
          merged.decode(errors="replace"))
    check(b"file:///C:/Program%20Files/Brenlo/7318/pdu7318.dll" in merged,
          "64-bit view: our entry names the 64-bit DLL", merged.decode(errors="replace"))
    check(wine.reg_value(ROOT_KEY, "Root File", 32) == NEW_ROOT_32,
          "32-bit view: Root File set to the new file")
    new32 = read(wine.path(NEW_ROOT_32)) or b""
    check(b"file:///C:/Program%20Files%20%28x86%29/Brenlo/7318/pdu7318.dll" in new32 and
          b"ACME" not in new32, "32-bit view: the new file names the 32-bit DLL",
          new32.decode(errors="replace"))
    check(wine.reg_value(ARP_KEY, "DisplayVersion", 64) not in (None, "") and
          wine.reg_value(ARP_KEY, "Publisher", 64) == "Norvik Delta GmbH",
          "Add/Remove Programs entry with version and publisher")

    # 2. pdutool.exe --root, each bitness its own view.
    rc, out, err = wine.run([wine.path(pf64 + "\\pdutool.exe"), "--json", "--root"])
    try:
        names = [a["shortName"] for a in json.loads(out)["apis"]]
    except (ValueError, KeyError):
        names = []
    check(rc == 0 and names == ["ACME_VCI", "PDU7318"], "pdutool.exe (64-bit) --root lists both vendors",
          out + err)
    print("  " + "\n  ".join(wine.run([wine.path(pf64 + "\\pdutool.exe"), "--root"])[1].splitlines()))
    rc, out, err = wine.run([wine.path(pf32 + "\\pdutool.exe"), "--json", "--root"])
    try:
        names = [a["shortName"] for a in json.loads(out)["apis"]]
    except (ValueError, KeyError):
        names = []
    check(rc == 0 and names == ["PDU7318"], "pdutool.exe (32-bit) --root lists the 32-bit view", out + err)

    # 3. End-to-end through the installed DLLs found via the root files.
    for bits, folder in ((64, pf64), (32, pf32)):
        if bits == 32 and args.no_32:
            print("  end-to-end 32-bit: SKIPPED")
            continue
        p = subprocess.run([sys.executable, os.path.join(here, "e2e_wine.py"), "--vcisim", args.vcisim,
                            "--win-bin", wine.path(folder), "--data", args.data, "--prefix", prefix,
                            "--installed", "PDU7318"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           text=True, timeout=300)
        print("  " + "\n  ".join(p.stdout.splitlines()))
        check(p.returncode == 0, "end-to-end SENDRECV through the installed %d-bit DLL (root file)" % bits)

    # 4. Reinstall: config.ini kept, our entry once.
    with open(wine.path(app + "\\config.ini"), "ab") as f:
        f.write(b"; edited by the user\r\n")
    edited = read(wine.path(app + "\\config.ini"))
    rc, out, err = wine.run([setup, "/S"])
    check(rc == 0, "silent reinstall exits 0", out + err)
    check(read(wine.path(app + "\\config.ini")) == edited, "reinstall keeps config.ini")
    check((read(wine.path(OTHER_ROOT_WIN)) or b"") == merged, "reinstall: the root file is the same")

    # 4b. A diagnostic application holds the installed 32-bit DLL: the setup
    # program and the uninstaller (its waiting form) refuse with exit 4 and
    # change nothing; the Add/Remove Programs entry stays.
    held = [pf32 + "\\pdu7318.dll", app + "\\MDF.xml", OTHER_ROOT_WIN, NEW_ROOT_32, pf32 + "\\uninstall.exe"]
    with open(wine.path(app + "\\MDF.xml"), "wb") as f:
        f.write(b"<!-- the MDF.xml of the installation in use -->")
    before = [read(wine.path(w)) for w in held]
    holder = wine.hold(os.path.join(args.bin32 or "", "exit_client.exe"), pf32 + "\\pdu7318.dll")
    if check(holder is not None, "a 32-bit client holds the installed DLL"):
        rc, out, err = wine.run([setup, "/S"])
        check(rc == 4, "install while the DLL is in use exits 4 (got %d)" % rc, out + err)
        check([read(wine.path(w)) for w in held] == before, "... and changes nothing")
        rc, out, err = wine.batch(r'"%s\uninstall.exe" /S _?=%s' % (pf32, pf32))
        check(rc == 4, "uninstall.exe /S _?=DIR while the DLL is in use exits 4 (got %d)" % rc, out + err)
        check([read(wine.path(w)) for w in held] == before and
              wine.reg_value(ARP_KEY, "DisplayVersion", 64) not in (None, ""),
              "... and changes nothing; the Add/Remove Programs entry stays")
        holder.stdin.close()
        holder.wait(timeout=60)
    rc, out, err = wine.run([setup, "/S"])
    check(rc == 0 and same_file(wine.path(app + "\\MDF.xml"), os.path.join(args.data, "MDF.xml")),
          "with the client gone, the install replaces the set (exit %d)" % rc, out + err)

    # 5. Silent uninstall. The uninstaller copies itself away and returns at
    # once; wait for it to finish.
    rc, out, err = wine.run([wine.path(pf32 + "\\uninstall.exe"), "/S"])
    check(rc == 0, "silent uninstall started", out + err)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and (os.path.exists(wine.path(pf32 + "\\uninstall.exe")) or
                                           wine.reg_value(ARP_KEY, "DisplayVersion", 64) is not None):
        time.sleep(1)
    check(read(wine.path(OTHER_ROOT_WIN)) == OTHER_ROOT, "the other vendor's file is byte for byte as before")
    check(wine.reg_value(ROOT_KEY, "Root File", 64) == OTHER_ROOT_WIN, "the other vendor's Root File value stays")
    check(os.path.isfile(wine.path("C:\\ACME\\acme_pdu.dll")), "the other vendor's library stays")
    check(wine.reg_value(ROOT_KEY, "Root File", 32) is None, "32-bit view: our Root File value gone")
    check(not os.path.exists(wine.path(NEW_ROOT_32)), "32-bit view: our root file gone")
    left = [w for w in (pf64, pf32, app) if os.path.exists(wine.path(w))]
    check(not left, "our folders gone", " ".join(left))
    check(wine.reg_value(ARP_KEY, "DisplayVersion", 64) is None, "Add/Remove Programs entry gone")

    # 6. A root description file that is not one is left as it is, and the
    # setup program says so with its exit code.
    broken = OTHER_ROOT[:OTHER_ROOT.rindex(b"</MVCI_PDU_API_ROOT>")]
    with open(wine.path(OTHER_ROOT_WIN), "wb") as f:
        f.write(broken)
    rc, out, err = wine.run([setup, "/S"])
    check(rc == 3, "install over a broken root file exits 3 (got %d)" % rc, out + err)
    check(read(wine.path(OTHER_ROOT_WIN)) == broken, "the broken root file is left as it was")
    check(wine.reg_value(ROOT_KEY, "Root File", 32) == NEW_ROOT_32, "the 32-bit view is registered all the same")
    wine.run([wine.path(pf32 + "\\uninstall.exe"), "/S"])
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and os.path.exists(wine.path(pf32 + "\\uninstall.exe")):
        time.sleep(1)
    check(read(wine.path(OTHER_ROOT_WIN)) == broken and not os.path.exists(wine.path(NEW_ROOT_32)),
          "uninstall: the broken file as it was, ours gone")

    # 7. A Root File value naming a file whose folder another vendor's
    # uninstaller removed: the folder and a new file are made there, the
    # value is kept.
    with open(wine.path(OTHER_ROOT_WIN), "wb") as f:
        f.write(OTHER_ROOT)
    wine.run(["reg", "add", ROOT_KEY, "/v", "Root File", "/t", "REG_SZ", "/d", GONE_ROOT, "/reg:32", "/f"])
    rc, out, err = wine.run([setup, "/S"])
    check(rc == 0, "install over a Root File value whose folder is gone exits 0 (got %d)" % rc, out + err)
    gone = read(wine.path(GONE_ROOT)) or b""
    check(b"file:///C:/Program%20Files%20%28x86%29/Brenlo/7318/pdu7318.dll" in gone and
          wine.reg_value(ROOT_KEY, "Root File", 32) == GONE_ROOT,
          "the folder and a new root file with our entry made; the value kept", gone.decode(errors="replace"))
    wine.run([wine.path(pf32 + "\\uninstall.exe"), "/S"])

    subprocess.run(["wineserver", "-k"], env=wine.env)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
