#!/usr/bin/env python3
"""End-to-end tests of `pdutool doctor` and of the discovery progress: each
case sets up one kind of port and checks the line pdutool prints for it and
its exit status (0 only when a VCI answered, 5 otherwise)."""

import contextlib
import json
import os
import pty
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e import RESOURCE, Failure, Sim, check, tool  # noqa: E402
import e2e_runner  # noqa: E402

MISSING = "/dev/pdu7318-no-such-port"


def doctor(ctx, ports, status, *args, prefix=()):
    """pdutool [ARGS] doctor on ports, which must exit with status: its stdout."""
    return tool(ctx, list(args) + ["doctor"], ports, prefix=prefix, status=status).stdout


def port_line(out, port):
    """The doctor's line for one port."""
    for line in out.splitlines():
        if line.startswith("  %s: " % port):
            return line[len(port) + 4:]
    raise Failure("no line for %s in:\n%s" % (port, out))


@contextlib.contextmanager
def pty_line(keep_slave=False):
    """The path of a pseudo-terminal nobody answers on (its master open;
    keep_slave: its slave too, as the simulator keeps its far end)."""
    master, slave = pty.openpty()
    path = os.ttyname(slave)
    if not keep_slave:
        os.close(slave)
    try:
        yield path
    finally:
        os.close(master)
        if keep_slave:
            os.close(slave)


# A process that opens argv[1] and flock()s it (argv[2] "1": sets TIOCEXCL
# too, the way the library holds its port), says so, and holds it until its
# stdin closes.
HOLDER = """import fcntl, os, sys, termios
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
if sys.argv[2] == "1":
    fcntl.ioctl(fd, termios.TIOCEXCL)
print("held", flush=True)
sys.stdin.read()
"""


@contextlib.contextmanager
def locked(path, exclusive=False):
    """path held open by a process of its own: its "held by process PID
    (NAME)" text, pid and name. Not by this process: the cases run side by
    side in its threads, and a child that another case forks holds all of
    this process's files until it execs, which pdutool rightly lists as a
    second holder."""
    p = subprocess.Popen([sys.executable, "-c", HOLDER, path, str(int(exclusive))],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        check(p.stdout.readline() == "held\n", "the holder could not open %s" % path)
        with open("/proc/%d/comm" % p.pid) as f:
            name = f.read().strip()
        yield "held by process %d (%s)" % (p.pid, name), p.pid, name
    finally:
        p.stdin.close()
        p.wait(10)


def case_doctor_denied(ctx):
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        raise e2e_runner.Skip("needs root and setpriv to run pdutool as another user")
    with pty_line() as line:
        os.chmod(line, 0o600)
        nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
        p = tool(ctx, ["--help"], "", prefix=nobody)
        if p.returncode != 0:
            raise e2e_runner.Skip("pdutool does not run as user 65534: %s" % p.stderr.strip())
        text = port_line(doctor(ctx, line, 5, prefix=nobody), line)
        check(text.startswith("permission denied - "), text)
        check("usermod -aG" in text and "/usr/share/doc/pdu7318/60-pdu7318.rules" in text, text)


def case_doctor_busy(ctx):
    with pty_line() as line, locked(line, exclusive=True) as (held, pid, name):
        text = port_line(doctor(ctx, line, 5), line)
        port = json.loads(doctor(ctx, line, 5, "--json"))["doctor"]["ports"][0]
        session = tool(ctx, ["session", "--resource", RESOURCE, "3E00"], line, status=1).stderr
    check(text.startswith("busy - ") and held in text and port["state"] == "busy" and
          port["holders"] == [{"pid": pid, "name": name}] and  # --json: the holder
          "pdutool: no VCI found: %s is busy - %s" % (line, held) in session,
          "%s\n%r\n%s" % (text, port, session))


def case_doctor_silent(ctx):
    # The test holds the pty's slave open too, as the simulator does for
    # its far end: that is no "also open in process" holder.
    with pty_line(keep_slave=True) as line:
        p = tool(ctx, ["doctor"], line, status=5)
    check(port_line(p.stdout, line) == "opened, but no answer to the probe (is the VCI powered? it takes its power "
                                       "from the vehicle's diagnostic socket)", p.stdout)
    # 50 ms pulse (none on a pty), 500 ms settling, two probes of 1100 ms.
    check(2.6 < p.seconds < 10, "took %.1f s" % p.seconds)


def case_doctor_simulator(ctx):
    with Sim(ctx) as sim:
        out = doctor(ctx, MISSING + ":" + sim.link, 0)
        check(port_line(out, MISSING) == "does not exist" and "MDF.xml loaded, 34 resources" in out and
              port_line(out, sim.link).startswith("VCI found - probe answer: ") and "result: VCI found" in out, out)
        doc = json.loads(doctor(ctx, sim.link, 0, "--json"))["doctor"]
        check(doc["vciFound"] is True and doc["ports"][0]["state"] == "found", repr(doc))
        # The discovery's progress: one stderr line per port while PDUConstruct searches.
        err = tool(ctx, ["info"], MISSING + ":" + sim.link, status=0).stderr
        for line in ("%s skipped (does not exist)" % MISSING, "trying %s ..." % sim.link, "VCI found on %s" % sim.link):
            check("pdutool: " + line in err, err)
        # A VCI, but a module description that cannot be parsed: exit 6.
        with open(os.path.join(ctx.home, "MDF.xml"), "w") as f:
            f.write("<MDF><RESOURCE>\n")
        out = doctor(ctx, sim.link, 6)
        check("MDF.xml cannot be loaded (" in out and "result: the module description %s is invalid" %
              os.path.join(ctx.home, "MDF.xml") in out, out)


def case_doctor_simulator_holder(ctx):
    """The simulator behind a pty is the port's far end, not a holder."""
    with Sim(ctx) as sim, locked(sim.link) as (held, _, _):
        text = port_line(doctor(ctx, sim.link, 5), sim.link)
    check(text.startswith("busy - ") and held + "; close it" in text and "vcisim" not in text and
          str(sim.proc.pid) not in text, text)


def case_doctor_config(ctx):
    """The log line: a missing config.ini told from logging switched off."""
    with open(config := os.path.join(ctx.home, "config.ini"), "w") as f:
        f.write("[LOG]\nopen=0\n")
    out = doctor(ctx, MISSING, 5)
    check("log: off (%s has no [LOG] open=1)" % config in out, out)
    os.remove(config)
    out = doctor(ctx, MISSING, 5)
    log = json.loads(doctor(ctx, MISSING, 5, "--json"))["doctor"]["log"]
    check("log: off (%s is missing; reinstall the package or set PDU7318_HOME)" % config in out and
          "has no [LOG] open=1" not in out and log["state"] == "no-config" and log["on"] is False, "%s%r" % (out, log))
    # Logging on: a log path that names a file (no folder can go there), one
    # judged by an attempt (not by permission bits, which root always
    # passes) and a writable one, where the probe file is gone afterwards.
    plain, folder = os.path.join(ctx.tmp, "pdu.log"), os.path.join(ctx.tmp, "logs")
    open(plain, "w").close()
    os.mkdir(folder)
    for path, texts in ((plain, ["log folder %s/J2534/7318/: NOT writable" % plain, "%s is a file" % plain]),
                        ("/proc/x", ["log folder /proc/x/J2534/7318/: NOT writable by this user (/proc)"]),
                        (folder, ["log folder %s/J2534/7318/: writable\n" % folder])):
        out = tool(ctx, ["doctor"], MISSING, logging=True, prefix=["env", "PDU7318_LOG_PATH=" + path]).stdout
        check(all(t in out for t in texts), out)
    check(os.listdir(folder) == [], "probe left behind: %s" % os.listdir(folder))


def case_construct_no_vci(ctx):
    """No VCI: the findings at once, not a 20 s wait for a FINISHED. The
    port the search opens is held by another process (a silent one costs 6 s:
    discovery's probes, then the doctor's; doctor-silent has its line)."""
    with pty_line() as line, locked(line):
        p = tool(ctx, ["--json", "session", "--resource", RESOURCE, "22F190"], MISSING + ":" + line, status=1)
    check("pdutool: trying %s ..." % line in p.stderr and "pdutool: no VCI answered on any port" in p.stderr, p.stderr)
    doc = json.loads(p.stdout)
    check(doc["error"].startswith("no VCI found") and
          [x["state"] for x in doc["doctor"]["ports"]] == ["missing", "busy"], p.stdout)
    check(not doc.get("primitives"), "no ComPrimitive may start: %s" % p.stdout)
    check(p.seconds < 10, "took %.1f s" % p.seconds)


if __name__ == "__main__":
    sys.exit(e2e_runner.main(globals()))
