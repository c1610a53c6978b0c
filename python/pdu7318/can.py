"""A python-can interface over a D-PDU API's raw CAN resource.

    import can
    bus = can.Bus(interface="pdu7318", channel="RSC_ISO_11898_RAW_6_14")

The link's frames, in both directions, are the bytes a SENDRECV carries and
a result returns on a raw CAN link:

    bytes 0-3   identifier word, u32 little-endian: bits 0-28 the identifier,
                bit 31 (0x80000000) set for a 29-bit identifier, bit 30
                (0x40000000) set for a remote frame
    bytes 4..   the data bytes, 0 to 8 (the DLC is their count)

e.g. 0x710 with data 02 10 03 is 10 07 00 00 02 10 03.

What the module allows, and so what this bus does:

- The module runs one ComPrimitive at a time, and the VCI passes the bus's
  frames only to a SENDRECV that is running. Every SENDRECV first sends its
  frame: there is no receiving without transmitting.
- send(msg) is one SENDRECV with NumReceiveCycles 1: the frame, then the
  first frame that comes back (the answer), which recv() returns. The
  module waits for that answer (2200 ms, and 200 ms more for every further
  unanswered one); the bus's next ComPrimitive starts after it. So the bus
  holds at most one ComPrimitive in the module; send() waits for its turn
  up to its timeout and returns once its frame went to the VCI (the
  EXECUTING item: the module sends the frame right after it). A frame that
  cannot go in time raises can.CanOperationError and is not sent later.
- listen=FRAME keeps receiving: whenever no send waits, a receive window
  (a SENDRECV with FRAME and NumReceiveCycles n) lets the VCI pass n frames;
  n follows the bus's rate so that a window lasts about `window` seconds,
  its closing silence included, since sends and shutdown() must wait for
  the window to end; each window a send waited for halves the next. The
  module ends a window 50 ms after its last frame, so the frames of a
  window come with a 50 ms pause after them, and FRAME is sent once per
  window; after a window that the bus's silence ended, the next opens
  listen_interval seconds later. Between windows the VCI passes nothing:
  window_gaps counts those ends. python3 -m can.logger without --listen
  stops with one line saying so, having sent nothing.
- Every frame a ComPrimitive returns comes out of recv(), in order
  (nothing is dropped: the receive queue is not bounded), stamped when its
  item was fetched.
- After a ComPrimitive without an answer the bus asks the VCI (the
  battery-voltage reading) before it starts the next: a VCI that does not
  answer ends the bus as lost. An exit handler closes a bus left open.

The module classifies every answer by its first six bytes (7F xx 78
"response pending", 7F xx 21 "busy, repeat request", tested at offsets 0, 1
and 3). In this layout offsets 1 and 3 never match, but offset 0 does for a
29-bit identifier whose low byte is 0x7F and whose third byte is 0x78 or
0x21 (0x..78..7F, 0x..21..7F): such a frame is treated as a negative
response and never reaches recv(). Do not use these identifiers on this bus.
"""

import atexit
import logging
import queue
import sys
import threading
import time
import weakref

import can

from . import _capi as C
from .api import Api
from .cyclic import PeriodicTask
from .errors import LOST_COMM_TO_VCI, RX_TIMEOUT, PduError, PrimitiveError, VciLostError, primitive_error

log = logging.getLogger("pdu7318.can")

EXTENDED_FLAG = 0x80000000
REMOTE_FLAG = 0x40000000
ID_MASK = 0x1FFFFFFF

DEFAULT_CHANNEL = "RSC_ISO_11898_RAW_6_14"

# Queued behind the last frame when the VCI is lost: wakes a waiting recv().
_LOST = object()

# Receive windows: the first lets the VCI pass this many frames; later ones
# as many as the last window's rate gives in `window` seconds, within these
# bounds.
FIRST_WINDOW_FRAMES = 32
MIN_WINDOW_FRAMES = 2
MAX_WINDOW_FRAMES = 20000
# The module's silence that ends a window (20 ms, plus the 30 ms it adds to
# every wait for vehicle data).
WINDOW_TAIL_S = 0.05

# Each window a send() waited for halves the next one's share of window -
# WINDOW_TAIL_S, each one none did doubles it back; never below this.
MIN_WINDOW_SCALE = 1.0 / 32

# shutdown(): the whole of it, the part that waits for a running window,
# and the whole of it at interpreter exit (the bus never shut down).
SHUTDOWN_S = 1.9
EXIT_S = 1.5
SHUTDOWN_WINDOW_WAIT_S = 1.0
# A running ComPrimitive that passed no frame for this long has stalled
# (the VCI stopped answering, or nobody answers its frame): shutdown()
# stops waiting for it.
WINDOW_STALL_S = 0.15
# Kept for STOPCOMM and closing with a VCI that answers (about 0.1 s).
CLOSE_RESERVE_S = 0.4

NO_LISTEN = ("this bus cannot receive without transmitting: the D-PDU API receives only inside a ComPrimitive, "
             "and a ComPrimitive sends its frame first. Nothing was sent. Name the frame the bus may send to "
             "open each receive window with --listen=ID#DATA (e.g. --listen=7DF#00), if sending it is acceptable "
             "on this bus")


def encode_frame(msg):
    """The raw CAN link's bytes of a can.Message."""
    if msg.is_fd or len(msg.data) > 8:
        raise ValueError("the raw CAN link carries classic CAN frames of up to 8 data bytes")
    word = msg.arbitration_id & (ID_MASK if msg.is_extended_id else 0x7FF)
    if msg.is_extended_id:
        word |= EXTENDED_FLAG
    if msg.is_remote_frame:
        word |= REMOTE_FLAG
    return word.to_bytes(4, "little") + bytes(msg.data)


def decode_frame(data, timestamp=0.0, channel=None):
    """A can.Message from the raw CAN link's bytes; None when too short."""
    if len(data) < 4:
        return None
    word = int.from_bytes(data[:4], "little")
    payload = bytes(data[4:12])
    remote = bool(word & REMOTE_FLAG)
    return can.Message(timestamp=timestamp, arbitration_id=word & ID_MASK,
                       is_extended_id=bool(word & EXTENDED_FLAG), is_remote_frame=remote,
                       dlc=len(payload), data=None if remote else payload, channel=channel, is_rx=True)


def parse_frame_text(text):
    """'710#013E' -> can.Message (3 hex digits or fewer: 11-bit, else 29-bit),
    'R' as data for a remote frame."""
    ident, sep, data = text.partition("#")
    if not sep:
        raise ValueError("a frame is written ID#DATA, e.g. 710#013E")
    remote = data.upper().startswith("R")
    return can.Message(arbitration_id=int(ident, 16), is_extended_id=len(ident) > 3,
                       is_remote_frame=remote, data=b"" if remote else bytes.fromhex(data.replace(".", "")))


def next_window(frames, seconds, busy_target):
    """Frames to ask for in the next receive window, from the last one:
    frames received over seconds (its whole run, the closing silence
    included), so that its frames take busy_target seconds."""
    busy = seconds - WINDOW_TAIL_S
    if frames < 2 or busy <= 0:
        return FIRST_WINDOW_FRAMES
    return max(MIN_WINDOW_FRAMES, min(MAX_WINDOW_FRAMES, int(frames / busy * busy_target)))


def frame_to_send(msg):
    """The raw CAN link's bytes of a frame to send; can.CanOperationError
    for what the link cannot put on the bus."""
    if msg.is_error_frame:
        raise can.CanOperationError("an error frame cannot be sent: the VCI sends data and remote frames only. "
                                    "Nothing was sent")
    try:
        return encode_frame(msg)
    except ValueError as e:
        raise can.CanOperationError(str(e) + ". Nothing was sent") from e


def can_error(e, text=None):
    """e as the python-can error this bus raises (a lost VCI included)."""
    if isinstance(e, can.CanError):
        return e
    code = getattr(e, "code", None)
    err = can.CanOperationError(text or str(e), code if isinstance(code, int) else None)
    err.__cause__ = e
    return err


_open_buses = weakref.WeakSet()  # for the exit handler: buses not shut down,
_closers = weakref.WeakSet()  # and closings still under way


def _close_at_exit():
    """Python's exit handlers run at a normal end, after an uncaught
    exception and on Ctrl-C (Python re-raises SIGINT only after them, so the
    library's own exit hook never runs then): a bus the script never shut
    down gets STOPCOMM (when its VCI answers) and CLOSE, within EXIT_S."""
    end = time.monotonic() + EXIT_S
    for bus in list(_open_buses):
        try:
            bus._shutdown(max(0.5, end - time.monotonic()))
        except Exception as e:  # best effort: the process ends anyway
            log.debug("pdu7318 bus at exit: %s", e)
    for closer in list(_closers):
        closer.join(max(0.0, end - time.monotonic()))


atexit.register(_close_at_exit)


def _run_as_can_logger():
    main = sys.modules.get("__main__")
    main_spec = getattr(main, "__spec__", None)
    return main_spec is not None and main_spec.name in ("can.logger", "can.viewer")


class PduCanBus(can.BusABC):
    """python-can bus over a raw CAN resource of a D-PDU API.

    channel: the resource's short name (default RSC_ISO_11898_RAW_6_14).
    api: the short name of the API in the root description file; library:
    a library path instead (default: see pdu7318.default_library).
    root_file: another root description file. bitrate: CP_Baudrate.
    params: further ComParams {name: value}. listen: the frame (ID#DATA or
    a can.Message) that opens each receive window; window: the seconds a
    receive window should last, its closing silence included (see the
    module text). receive_own_messages: recv() also returns each frame
    sent, once it went to the VCI, with is_rx False.
    """

    def __init__(self, channel=DEFAULT_CHANNEL, can_filters=None, *, api=None, library=None, root_file=None,
                 bitrate=None, params=None, listen=None, window=0.25, listen_interval=1.0,
                 receive_own_messages=False, **kwargs):
        if listen is None and _run_as_can_logger():
            # Started as "python3 -m can.logger" without --listen: one line, no traceback.
            print("pdu7318: " + NO_LISTEN, file=sys.stderr)
            raise SystemExit(2)
        channel = channel or DEFAULT_CHANNEL
        self.channel = channel
        self.channel_info = "D-PDU API raw CAN on %s" % channel
        self._rx = queue.Queue()
        self._closing = False
        self._lost = None
        self._own = bool(receive_own_messages)
        # Frames are stamped when fetched, on the monotonic clock moved
        # onto the wall clock once.
        self._clock_base = time.time() - time.monotonic()
        self._running = None  # the bus's one ComPrimitive in the module
        self._probe = None  # the thread asking whether the VCI answers
        self._suspect = False  # the last ComPrimitive got no answer
        self.sendrecvs = 0  # SENDRECVs the bus started (each sends one frame)
        # Windows that ended with fewer frames than they asked for (20 ms
        # without a frame: on a bus that never falls quiet, a stall of the
        # host or the VCI, whose late frames the module discards).
        self.quiet_windows = 0
        # Windows that ended while the bus went on listening: until the next
        # window's first frame the VCI passes nothing (see the module text).
        self.window_gaps = 0
        # Periodic frames that found no turn within their period.
        self.periodic_dropped = 0
        self._running_since = 0.0
        self._senders = 0  # send() calls waiting for their turn
        self._send_waited = False  # a send() waited for the running window
        self._window = float(window)
        self._window_scale = 1.0
        self._window_frames = FIRST_WINDOW_FRAMES
        self._window_count = 0
        self._listen_interval = float(listen_interval)
        self._reopen = None  # the timer that opens the next window on a quiet bus
        if isinstance(listen, str):
            listen = parse_frame_text(listen)
        self._listen = encode_frame(listen) if listen is not None else None
        try:
            self._api = Api(api, library=library, root_file=root_file)
        except (PduError, OSError) as e:
            raise can.CanInitializationError(str(e)) from e
        # The Api's drain lock: on_result and on_done run under it (the
        # dispatcher holds it while it hands out items), so the bus's state
        # and its condition share that one lock.
        self._cond = threading.Condition(self._api.drain_lock)
        try:
            link_params = dict(params or {})
            if bitrate is not None:
                link_params["CP_Baudrate"] = int(bitrate)
            self._link = self._api.link(channel, params=link_params)
            self._link.start_comm()
        except Exception as e:
            # Without a VCI closing fails too: the error that ended the
            # opening is the one to report.
            try:
                self._api.close()
            except PduError:
                pass
            raise can.CanInitializationError(str(e)) from e
        super().__init__(channel=channel, can_filters=can_filters, **kwargs)
        _open_buses.add(self)
        with self._cond:
            self._idle()

    def __repr__(self):
        return "<pdu7318.can.PduCanBus %s, %s%s>" % (
            self.channel, "shut down" if self._closing else "open",
            ", listening with %s" % self._listen.hex(" ") if self._listen else "")

    @property
    def state(self):
        """can.BusState.ERROR once the VCI is lost or does not answer, else ACTIVE."""
        return can.BusState.ERROR if self._lost is not None else can.BusState.ACTIVE

    # -- the one ComPrimitive (all under self._cond) --

    def _free(self):
        return self._running is None and self._probe is None

    def _start(self, frame, cycles):
        prim = self._link.start(C.PDU_COPT_SENDRECV, frame, receive_cycles=cycles, on_result=self._on_result)
        prim.on_done = self._on_done
        self.sendrecvs += 1
        self._running = prim
        self._running_since = time.monotonic()
        self._window_count = 0
        if prim.done:  # finished before on_done was set
            self._on_done(prim)
        return prim

    def _idle(self, quiet=False):
        """The bus has no ComPrimitive in the module: after one that got no
        answer the VCI is asked first, then a waiting send goes, else the
        next receive window opens; after a window that the bus's silence
        ended (quiet), only listen_interval seconds later."""
        self._cond.notify_all()
        if self._closing or self._lost or not self._free():
            return
        if self._suspect:
            self._suspect = False
            self._probe = threading.Thread(target=self._check_vci, name="pdu7318-vci-check", daemon=True)
            self._probe.start()
            return
        if self._senders or self._listen is None or self._reopen is not None:
            return
        if quiet and self._listen_interval > 0:
            self._reopen = threading.Timer(self._listen_interval, self._reopen_window)
            self._reopen.daemon = True
            self._reopen.start()
            return
        try:
            self._start(self._listen, self._window_frames)
        except PduError as e:
            self._note_error(e)

    def _check_vci(self):  # a silent ECU, or a silent VCI?
        error = self._api.vci_silence()
        with self._cond:
            self._probe = None
            if error is not None:
                self._set_lost(error)
            self._idle()

    def _reopen_window(self):
        with self._cond:
            self._reopen = None
            self._idle()

    def _note_error(self, e):
        if isinstance(e, VciLostError):
            self._set_lost(e)
        log.debug("pdu7318 bus: %s", e)

    def _set_lost(self, error):
        if self._lost is None:
            self._lost = error
            self._rx.put(_LOST)
            self._cond.notify_all()

    def _on_done(self, prim):
        with self._cond:
            error = primitive_error(prim)
            if error is not None and any(x.code == LOST_COMM_TO_VCI for x in prim.errors):
                self._set_lost(error)
            if prim is not self._running:
                return
            self._running = None
            self._suspect = any(x.code == RX_TIMEOUT for x in prim.errors)
            quiet = False
            if prim.receive_cycles != 1:
                quiet = self._window_count < prim.receive_cycles
                self.quiet_windows += quiet
                self.window_gaps += not self._closing
                self._window_frames = next_window(self._window_count, time.monotonic() - self._running_since,
                                                  self._window_busy())
            self._idle(quiet)

    def _window_busy(self):
        """Seconds of frames the next window asks for: window less its
        closing silence, so that a send() waits at most window for its
        turn; shorter while sends keep waiting, to let them through."""
        if self._send_waited:
            self._window_scale = max(MIN_WINDOW_SCALE, self._window_scale / 2)
        else:
            self._window_scale = min(1.0, self._window_scale * 2)
        self._send_waited = False
        return max(0.005, (self._window - WINDOW_TAIL_S) * self._window_scale)

    # -- receiving --

    def _on_result(self, response):
        self._window_count += 1
        msg = decode_frame(response.data, self._clock_base + time.monotonic(), self.channel)
        if msg is not None:
            self._rx.put(msg)

    def _recv_internal(self, timeout):
        try:
            if timeout is not None and timeout <= 0:
                msg = self._rx.get_nowait()
            else:
                msg = self._rx.get(timeout=timeout)
        except queue.Empty:
            return None, False
        if msg is _LOST:
            self._rx.put(_LOST)  # every later recv() says so too
            raise can_error(self._lost) from self._lost
        return msg, False

    # -- sending --

    def send(self, msg, timeout=None):
        """Sends the frame as a SENDRECV that waits for one answer. Returns
        once the frame went to the VCI; can.CanOperationError when that did
        not happen within timeout seconds (None: no limit), and then the
        frame is not sent later; at once for an error frame or one the
        link cannot carry."""
        if not self._send_frame(frame_to_send(msg), timeout, msg=msg):
            raise can.CanOperationError("the bus is shut down")

    def _send_frame(self, frame, timeout, cancel=None, msg=None):
        """True once frame went to the VCI; False when the bus shut down or
        cancel was set before it went; CanOperationError at the timeout."""
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._cond:
            if self._lost is not None:
                raise can_error(self._lost) from self._lost
            self._senders += 1
            if self._running is not None and self._running.receive_cycles != 1:
                self._send_waited = True
            try:
                ready = self._cond.wait_for(
                    lambda: self._closing or self._free() or self._lost or (cancel and cancel.is_set()), timeout)
                if self._closing or (cancel is not None and cancel.is_set()):
                    return False
                if self._lost is not None:
                    raise can_error(self._lost) from self._lost
                if not ready:
                    raise can.CanOperationError(
                        "frame not sent within %.3f s: the bus's previous ComPrimitive still runs (the module runs "
                        "one at a time; an unanswered frame holds the bus for its whole wait)" % timeout)
                try:
                    prim = self._start(frame, 1)
                except PduError as e:
                    self._note_error(e)
                    raise can_error(e) from e
                if self._own and msg is not None:
                    # Queued under the lock that hands out results: before
                    # the answer.
                    self._rx.put(can.Message(
                        timestamp=self._clock_base + time.monotonic(), arbitration_id=msg.arbitration_id,
                        is_extended_id=msg.is_extended_id, is_remote_frame=msg.is_remote_frame, dlc=msg.dlc,
                        data=msg.data, channel=self.channel, is_rx=False))
            finally:
                self._senders -= 1
                if self._free() and not self._senders:
                    # This sender gave up its turn (stop(), timeout): a
                    # window that ended while it waited did not reopen for it.
                    self._idle()
        # The module sends the frame right after the EXECUTING item.
        wait_until = time.monotonic() + 1.0 if deadline is None else max(deadline, time.monotonic() + 0.1)
        if not self._api.wait_for(lambda: bool(prim.statuses) or prim.done, wait_until):
            raise can.CanOperationError("the module did not start the frame's ComPrimitive")
        return True

    def _send_message(self, msg, timeout, cancel):
        """A periodic task's frame (see _send_frame)."""
        return self._send_frame(encode_frame(msg), timeout, cancel, msg)

    def _send_periodic_internal(self, msgs, period, duration=None):
        for msg in msgs:
            frame_to_send(msg)
        return PeriodicTask(self, msgs, period, duration)

    # -- end --

    def shutdown(self):
        """Stops sending and listening at once, lets a running ComPrimitive
        end (up to 1 s), stops communication when the VCI answers, and
        closes the link and the API, returning within 2 s. Raises only
        can.CanError subclasses, at most once (a second call does nothing),
        and nothing new once the VCI was lost."""
        self._shutdown(SHUTDOWN_S)

    def _shutdown(self, budget):
        with self._cond:
            if self._closing:
                return
            self._closing = True  # from here on no frame is started
            self._cond.notify_all()
            if self._reopen is not None:
                self._reopen.cancel()
        _open_buses.discard(self)
        deadline = time.monotonic() + budget
        super().shutdown()  # the periodic tasks
        if getattr(self, "_api", None) is None or getattr(self, "_link", None) is None:
            return  # __init__ failed and cleaned up after itself
        # Closing on a thread of its own keeps shutdown()'s bound where the
        # library does not: a command sent to a VCI that stopped answering
        # holds every call up to 1.5 s, then CLOSE waits 1 s. The exit
        # handler joins a closing still under way.
        outcome = []
        closer = threading.Thread(target=self._close, args=(deadline, outcome), name="pdu7318-close", daemon=True)
        try:
            closer.start()
            _closers.add(closer)
            closer.join(max(0.0, deadline - time.monotonic()))
        except RuntimeError:  # no new thread during finalization (Python 3.12 and later)
            self._close(deadline, outcome)
        if not outcome:
            log.warning("pdu7318 bus: the VCI does not answer; the library finishes closing on a thread of the bus")
            return
        first, lost_before = outcome[0]
        if first is not None and not lost_before:
            raise can_error(first, "shutdown: %s" % first) from first

    def _close(self, deadline, outcome):
        try:  # (the first error, whether the VCI was lost before)
            outcome.append(self._close_all(deadline))
        except Exception as e:  # for shutdown() to raise, not lost on this thread
            outcome.append((e, False))

    def _close_all(self, deadline):
        """STOPCOMM when the VCI answers, then the link and the API."""
        api, link = self._api, self._link
        ended = self._wait_for_end(min(time.monotonic() + SHUTDOWN_WINDOW_WAIT_S, deadline - CLOSE_RESERVE_S))
        lost_before = self._lost is not None
        first = None
        answers = ended and not lost_before
        if answers:
            # Asked first (its own 500 ms): STOPCOMM to a VCI that does not
            # answer would hold the library for the command's whole wait.
            error = api.vci_silence()
            answers = error is None
            if error is not None:
                with self._cond:
                    self._set_lost(error)
        if answers:
            try:
                left = deadline - CLOSE_RESERVE_S - time.monotonic()
                if left > 0.05:
                    link.stop_comm(timeout=left)
            except (PduError, PrimitiveError, TimeoutError) as e:
                first, answers = e, False
        try:
            # A window still running ends in PDUDestruct; so does a STOPCOMM
            # the VCI did not answer. The link's commands (100 ms each) go
            # only to a VCI that answers.
            link.close(offline_wait=max(0.0, min(0.3, deadline - CLOSE_RESERVE_S - time.monotonic())),
                       commands=answers)
        except PduError as e:
            first = first or e
        try:
            api.close(commands=answers)
        except PduError as e:
            first = first or e
        return first, lost_before

    def _wait_for_end(self, until):
        """Waits until the bus has no ComPrimitive (and no VCI check) in the
        module; False at until, or once a running ComPrimitive passed no
        frame for WINDOW_STALL_S. The wait wakes on every change of the
        bus and every WINDOW_STALL_S / 3 to look for a stall."""
        with self._cond:
            count, since = self._window_count, self._running_since
            while not self._free():
                now = time.monotonic()
                if self._window_count != count:
                    count, since = self._window_count, now
                since = max(since, self._running_since)
                if now >= until or (self._probe is None and now - since >= WINDOW_STALL_S):
                    return False
                self._cond.wait(min(until - now, WINDOW_STALL_S / 3))
            return True

    @staticmethod
    def _detect_available_configs():
        return [{"interface": "pdu7318", "channel": DEFAULT_CHANNEL}]
