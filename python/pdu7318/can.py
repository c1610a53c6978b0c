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

Receiving: every send() runs a SENDRECV with NumReceiveCycles -1, a
ComPrimitive that keeps receiving; every frame it returns (the answers and
whatever else the bus carries) comes out of recv(). The D-PDU API receives
only inside a ComPrimitive, and the ComPrimitive ends when the bus has been
quiet for a while, so a bus that must keep listening without sending
anything of its own is given a listen frame (listen="710#013E", the
candump notation, or a can.Message): it is sent whenever no ComPrimitive of
the bus runs, to open the next receive window.

The one limit: the module classifies every answer by its first six bytes
(7F xx 78 "response pending", 7F xx 21 "busy, repeat request", tested at
offsets 0, 1 and 3). In this layout offsets 1 and 3 never match, but offset
0 does for a 29-bit identifier whose low byte is 0x7F and whose third byte
is 0x78 or 0x21 (0x..78..7F, 0x..21..7F): such a frame is treated as a
negative response and never reaches recv() (a "busy" one even makes the
module send the request again). Do not use these identifiers on this bus.
"""

import queue
import time

import can

from . import _capi as C
from .api import Api, PduError

EXTENDED_FLAG = 0x80000000
REMOTE_FLAG = 0x40000000
ID_MASK = 0x1FFFFFFF

DEFAULT_CHANNEL = "RSC_ISO_11898_RAW_6_14"


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


class PduCanBus(can.BusABC):
    """python-can bus over a raw CAN resource of a D-PDU API.

    channel: the resource's short name (default RSC_ISO_11898_RAW_6_14).
    api: the short name of the API in the root description file; library:
    a library path instead (default: see pdu7318.default_library).
    root_file: another root description file. bitrate: CP_Baudrate.
    params: further ComParams {name: value}. listen: a frame sent whenever
    no ComPrimitive runs, to keep receiving (see the module text).
    """

    def __init__(self, channel=DEFAULT_CHANNEL, can_filters=None, *, api=None, library=None, root_file=None,
                 bitrate=None, params=None, listen=None, **kwargs):
        channel = channel or DEFAULT_CHANNEL
        self.channel = channel
        self.channel_info = "D-PDU API raw CAN on %s" % channel
        self._rx = queue.Queue()
        self._running = set()
        self._closing = False
        self._clock_offset = None
        if isinstance(listen, str):
            listen = parse_frame_text(listen)
        self._listen = encode_frame(listen) if listen is not None else None
        try:
            self._api = Api(api, library=library, root_file=root_file)
        except (PduError, OSError) as e:
            raise can.CanInitializationError(str(e)) from e
        # The Api's drain lock: on_done runs under it (the dispatcher holds it
        # while it hands out items), so taking the same lock here keeps one
        # lock order.
        self._lock = self._api._drain_lock
        try:
            link_params = dict(params or {})
            if bitrate is not None:
                link_params["CP_Baudrate"] = int(bitrate)
            self._link = self._api.link(channel, params=link_params)
            self._link.start_comm()
        except Exception as e:
            self._api.close()
            raise can.CanInitializationError(str(e)) from e
        super().__init__(channel=channel, can_filters=can_filters, **kwargs)
        if self._listen is not None:
            with self._lock:
                self._start(self._listen)

    # -- receiving --

    def _timestamp(self, library_ms):
        # The library's item timestamps count milliseconds from an unknown
        # origin. The smallest (now - stamp) seen is the best estimate of that
        # origin in wall-clock time: an item is never fetched before it exists.
        offset = time.time() - library_ms / 1000.0
        if self._clock_offset is None or offset < self._clock_offset:
            self._clock_offset = offset
        return self._clock_offset + library_ms / 1000.0

    def _on_result(self, response):
        msg = decode_frame(response.data, self._timestamp(response.timestamp), self.channel)
        if msg is not None:
            self._rx.put(msg)

    def _on_done(self, prim):
        with self._lock:
            self._running.discard(prim)
            if self._listen is not None and not self._closing and not self._running:
                try:
                    self._start(self._listen)
                except PduError:
                    pass  # the link went away; recv() simply gets nothing more

    def _start(self, frame):
        """Starts a receiving SENDRECV with frame (caller holds self._lock)."""
        prim = self._link.start(C.PDU_COPT_SENDRECV, frame, receive_cycles=-1, on_result=self._on_result)
        prim.on_done = self._on_done
        self._running.add(prim)
        if prim.done:  # finished before on_done was set
            self._running.discard(prim)
        return prim

    def _recv_internal(self, timeout):
        try:
            msg = self._rx.get(timeout=timeout) if timeout is None or timeout > 0 else self._rx.get_nowait()
        except queue.Empty:
            return None, False
        return msg, False

    # -- sending --

    def send(self, msg, timeout=None):
        """Queues the frame as a SENDRECV that then keeps receiving. Returns
        as soon as the module accepted it (it is sent after the ComPrimitives
        queued before it)."""
        if self._closing:
            raise can.CanOperationError("the bus is shut down")
        frame = encode_frame(msg)
        try:
            with self._lock:
                self._start(frame)
        except PduError as e:
            raise can.CanOperationError(str(e), e.code) from e

    # -- end --

    def shutdown(self, wait=5.0):
        """Stops listening, lets the running ComPrimitives end (up to wait
        seconds), stops communication and closes the link and the API."""
        if self._closing:
            return
        self._closing = True
        super().shutdown()
        api, link = getattr(self, "_api", None), getattr(self, "_link", None)
        if api is None or link is None:
            return  # __init__ failed and cleaned up after itself
        deadline = time.monotonic() + wait
        with self._lock:
            running = list(self._running)
        for prim in running:
            prim.wait(max(0.0, deadline - time.monotonic()))
        try:
            try:
                link.stop_comm(timeout=max(1.0, deadline - time.monotonic()))
            finally:
                link.close()
        finally:
            api.close()

    @staticmethod
    def _detect_available_configs():
        return [{"interface": "pdu7318", "channel": DEFAULT_CHANNEL}]
