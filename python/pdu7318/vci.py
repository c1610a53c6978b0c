"""Whether the module found its VCI.

The library constructs and lists its module as available even when no
port answered; it only says so on stderr, and every later call that needs
the VCI fails or times out. The module keeps the port of the VCI it found
open, so a process that holds none of the candidate ports after the
construction has no VCI. The check needs /proc/self/fd (Linux); elsewhere
it cannot be made and construction goes on as before.
"""

import errno
import glob
import os
import re
import sys

PORTS_VARIABLE = "PDU7318_PORTS"


def is_this_module(library_path):
    """The check applies to this module's library only: another vendor's
    library finds its VCI its own way."""
    return "pdu7318" in os.path.basename(library_path or "").lower()


def _device_number(path):
    m = re.search(r"([0-9]+)$", path)
    return int(m.group(1)) if m else -1


def candidate_ports(environ=None):
    """The ports the library tries, in its order: PDU7318_PORTS
    (colon-separated, empty parts skipped), else /dev/ttyUSB* then
    /dev/ttyACM*, each group by device number."""
    environ = os.environ if environ is None else environ
    listed = environ.get(PORTS_VARIABLE)
    if listed is not None:
        return [p for p in listed.split(":") if p]
    ports = []
    for pattern in ("/dev/ttyUSB*", "/dev/ttyACM*"):
        ports += sorted(glob.glob(pattern), key=_device_number)
    return ports


def port_source(environ=None):
    """Where the candidate list came from, for messages."""
    environ = os.environ if environ is None else environ
    return PORTS_VARIABLE if PORTS_VARIABLE in environ else "/dev/ttyUSB* and /dev/ttyACM*"


def open_files(fd_dir="/proc/self/fd"):
    """The paths the process holds open, or None where that cannot be
    seen (not Linux, /proc not mounted or not readable)."""
    if not sys.platform.startswith("linux"):
        return None
    try:
        names = os.listdir(fd_dir)
    except OSError:
        return None
    held = set()
    for name in names:
        try:
            held.add(os.readlink(os.path.join(fd_dir, name)))
        except OSError:
            pass  # closed since the listing
    return held


def held_port(ports, held):
    """The first of ports the process holds open (compared by real path:
    PDU7318_PORTS may name a symbolic link such as /dev/serial/by-id/...),
    else None."""
    for port in ports:
        if os.path.realpath(port) in held:
            return port
    return None


def port_busy(port):
    """True when another process holds port the way the module holds its
    VCI's: TIOCEXCL (a further open fails with EBUSY) or an exclusive
    flock. Opened without becoming the controlling terminal and without
    waiting for the modem lines; closed at once (not the port's last close,
    so its lines stay as the holder set them)."""
    if not sys.platform.startswith("linux"):
        return False
    import fcntl
    try:
        fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as e:
        return e.errno == errno.EBUSY
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as e:
        return e.errno in (errno.EWOULDBLOCK, errno.EAGAIN)
    finally:
        os.close(fd)
    return False


def port_holder(port, proc="/proc"):
    """"pid (name)" of the process holding port, where /proc lets us see
    it: the owner of a flock on it (/proc/locks: "1: FLOCK ADVISORY WRITE
    PID MAJ:MIN:INODE 0 EOF", the device numbers in hex), else the first
    process with the port open (other users' processes only to root);
    None otherwise."""
    try:
        st = os.stat(port)
        with open(os.path.join(proc, "locks")) as f:
            locks = f.read().splitlines()
    except OSError:
        return None
    where = "%02x:%02x:%d" % (os.major(st.st_dev), os.minor(st.st_dev), st.st_ino)
    pids = [ln.split()[4] for ln in locks if len(ln.split()) > 5 and ln.split()[1] == "FLOCK"
            and ln.split()[5] == where]
    if not pids:
        target = os.path.realpath(port)
        try:
            pids = [p for p in os.listdir(proc) if p.isdigit() and target in (open_files(os.path.join(proc, p, "fd"))
                                                                                or ())]
        except OSError:
            return None
    for pid in pids:
        try:
            with open(os.path.join(proc, pid, "comm")) as f:
                return "%s (%s)" % (pid, f.read().strip())
        except OSError:
            return pid
    return None
