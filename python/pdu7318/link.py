"""Link (one ComLogicalLink) and Primitive (one ComPrimitive of it)."""

import collections
import ctypes
import threading
import time

from . import _capi as C
from . import library as L
from .errors import (LOST_COMM_TO_VCI, RX_TIMEOUT, PduError, PrimitiveTimeout, VciLostError, close_on_exit,
                     primitive_error, status_error)
from .names import status_value_name
from .records import event_of, param_item, read_param_value, request_bytes

_COP_NAMES = {C.PDU_COPT_STARTCOMM: "STARTCOMM", C.PDU_COPT_STOPCOMM: "STOPCOMM",
              C.PDU_COPT_UPDATEPARAM: "UPDATEPARAM", C.PDU_COPT_SENDRECV: "SENDRECV"}


class Primitive:
    """One ComPrimitive: its results, errors and status items as they come.

    on_result, when given, is called with every Response (on the thread
    that fetched the item)."""

    def __init__(self, link, hcop, coptype, on_result=None):
        self.link = link
        self.hcop = hcop
        self.coptype = coptype
        self.results = []
        self.errors = []
        self.statuses = []
        self.on_result = on_result
        # Called with the Primitive once its FINISHED item came (on the
        # thread that fetched it).
        self.on_done = None
        self.receive_cycles = 1
        self.finished = threading.Event()

    def add_event(self, ev):
        if ev.kind == "result":
            self.results.append(ev.response)
            if self.on_result is not None:
                self.on_result(ev.response)
        elif ev.kind == "error":
            self.errors.append(ev.error)
            if ev.error.code == LOST_COMM_TO_VCI:
                self.link.api.vci_lost = True
        elif ev.kind == "status":
            self.statuses.append(ev.status_name)
            if ev.status in (C.PDU_COPST_FINISHED, C.PDU_COPST_CANCELLED):
                if self.results or (self.coptype == C.PDU_COPT_STARTCOMM and not self.errors):
                    self.link.api.vci_answered = True
                self.finished.set()
                if self.on_done is not None:
                    self.on_done(self)

    @property
    def done(self):
        return self.finished.is_set()

    def __repr__(self):
        return "<pdu7318.Primitive %d %s on link %s, %s, %d result%s, %d error%s>" % (
            self.hcop, _COP_NAMES.get(self.coptype, "0x%X" % self.coptype), self.link.hcll,
            "finished" if self.done else "running", len(self.results), "" if len(self.results) == 1 else "s",
            len(self.errors), "" if len(self.errors) == 1 else "s")

    def wait(self, timeout):
        """Waits for the FINISHED item; False when timeout (seconds) passed first."""
        return self.link.api.wait_for(self.finished.is_set, time.monotonic() + timeout)

    def cancel(self):
        self.link.api.call("PDUCancelComPrimitive", self.link.api.hmod, self.link.hcll, self.hcop)


# ---- Link ---------------------------------------------------------------------


class Link:
    """One ComLogicalLink, created by Api.link(). A context manager: leaving
    the block disconnects and destroys it."""

    # Events nobody claimed are kept for events(); the oldest go beyond this.
    EVENT_QUEUE_LIMIT = 10000

    def __init__(self, api, resource, params, unique, connect):
        self.api = api
        self.resource = resource
        if isinstance(resource, int):
            rid = resource
        else:
            rid = api.object_id(C.PDU_OBJT_RESOURCE, resource)
        self.resource_id = rid
        self.on_event = None
        # The name of the last status item of the link itself (ONLINE, ...).
        self.link_status = None
        self._queue = collections.deque(maxlen=self.EVENT_QUEUE_LIMIT)
        self.connected = False
        hcll = C.UNUM32(C.PDU_HANDLE_UNDEF)
        flags = C.PDU_FLAG_DATA(0, None)
        api.call("PDUCreateComLogicalLink", api.hmod, None, rid, None, ctypes.byref(hcll), ctypes.byref(flags))
        self.hcll = hcll.value
        api.add_link(self)
        try:
            # Also when events are polled: a library may drop the events of a
            # link that has no callback.
            api.call("PDURegisterEventCallback", api.hmod, self.hcll, L.CALLBACK)
            if unique:
                self.set_unique_table(unique)
            for name, value in params.items():
                self.set_param(name, value)
            if connect:
                self.connect()
        except BaseException:
            self.close()
            raise

    def __repr__(self):
        state = "closed" if self.hcll is None else (self.link_status or ("connected" if self.connected else
                                                                          "not connected"))
        name = self.resource if isinstance(self.resource, str) else "resource %d" % self.resource
        return "<pdu7318.Link %s %s, %s>" % (self.hcll, name, state)

    # -- life --

    def connect(self):
        self.api.call("PDUConnect", self.api.hmod, self.hcll)
        self.connected = True

    def disconnect(self):
        if self.connected:
            self.connected = False
            self.api.call("PDUDisconnect", self.api.hmod, self.hcll)

    def close(self, offline_wait=0.5, commands=True):
        """Disconnects and destroys the link; the first failure is raised
        after both were tried. offline_wait: seconds to wait for the
        disconnect's OFFLINE item (it comes after the running ComPrimitive).
        commands False (the VCI does not answer, the API is destructed
        next): the link is only forgotten here; PDUDestruct releases it
        without the two commands' waits."""
        api = self.api
        if self.hcll is None:
            return
        if not commands:
            with api.drain_lock:
                self.fetch_events()
                api.remove_link(self)
            api.call_status("PDURegisterEventCallback", api.hmod, self.hcll, C._NO_CALLBACK)
            self.hcll = None
            return
        first = None
        was_connected = self.connected
        try:
            self.disconnect()
        except PduError as e:
            first = e
        if was_connected and first is None:
            # The OFFLINE item of the disconnect comes from the library's
            # engine a moment later. Fetch it before the link goes: a library
            # may keep undelivered items and hand them to the next link that
            # gets the same handle.
            api.wait_for(lambda: self.link_status == "PDU_CLLST_OFFLINE", time.monotonic() + offline_wait)
        with api.drain_lock:
            self.fetch_events()
            api.remove_link(self)
        api.call_status("PDURegisterEventCallback", api.hmod, self.hcll, C._NO_CALLBACK)
        status = api.call_status("PDUDestroyComLogicalLink", api.hmod, self.hcll)
        self.hcll = None
        if status != 0 and first is None:
            first = status_error("PDUDestroyComLogicalLink", status, api.vci_answered or api.vci_lost)
        if first is not None:
            raise first

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        return close_on_exit(self.close, exc_type)

    # -- ComParams --

    def _param_id(self, name):
        return name if isinstance(name, int) else self.api.object_id(C.PDU_OBJT_COMPARAM, name)

    def _get_item(self, pid):
        item = ctypes.POINTER(C.PDU_PARAM_ITEM)()
        self.api.call("PDUGetComParam", self.api.hmod, self.hcll, pid, ctypes.byref(item))
        self.api.took_item(item)
        return item

    def get_param(self, name):
        """The link's value of a ComParam (by short name or id): int, bytes or list."""
        item = self._get_item(self._param_id(name))
        try:
            return read_param_value(item.contents) if item else None
        finally:
            self.api.destroy_item(item)

    def set_param(self, name, value):
        """PDUSetComParam with the data type and class the link has for it.
        The value takes effect at the next connect or update_params()."""
        pid = self._param_id(name)
        item = self._get_item(pid)
        try:
            ptype = item.contents.ComParamDataType if item else C.PDU_PT_UNUM32
            pclass = item.contents.ComParamClass if item else C.PDU_PC_COM
        finally:
            self.api.destroy_item(item)
        new, keep = param_item(pid, ptype or C.PDU_PT_UNUM32, pclass or C.PDU_PC_COM, value)
        self.api.call("PDUSetComParam", self.api.hmod, self.hcll, ctypes.byref(new))
        del keep

    def set_unique_table(self, unique):
        """unique: {UniqueRespIdentifier: {ComParam: value}}, or a list of
        {ComParam: value} numbered from 1."""
        if not isinstance(unique, dict):
            unique = {i + 1: entry for i, entry in enumerate(unique)}
        keep = []
        entries = (C.PDU_ECU_UNIQUE_RESP_DATA * len(unique))()
        for n, (uid, params) in enumerate(unique.items()):
            items = (C.PDU_PARAM_ITEM * len(params))()
            for i, (name, value) in enumerate(params.items()):
                item, k = param_item(self._param_id(name), C.PDU_PT_UNUM32, C.PDU_PC_UNIQUE_ID, value)
                items[i] = item
                keep += k
            keep.append(items)
            entries[n] = C.PDU_ECU_UNIQUE_RESP_DATA(uid, len(params), items)
        table = C.PDU_UNIQUE_RESP_ID_TABLE_ITEM(C.PDU_IT_UNIQUE_RESP_ID_TABLE, len(unique), entries)
        self.api.call("PDUSetUniqueRespIdTable", self.api.hmod, self.hcll, ctypes.byref(table))

    # -- ComPrimitives --

    def start(self, coptype, data=b"", receive_cycles=1, send_cycles=1, on_result=None):
        """Starts a ComPrimitive and returns its Primitive at once. data:
        bytes, bytearray, a list of ints or hex text ("22F190", "22 F1 90")."""
        data = request_bytes(data)
        buf = (C.UNUM8 * len(data)).from_buffer_copy(data) if data else None
        ctrl = C.PDU_COP_CTRL_DATA()
        ctrl.NumSendCycles = send_cycles
        ctrl.NumReceiveCycles = receive_cycles
        hcop = C.UNUM32(C.PDU_HANDLE_UNDEF)
        api = self.api
        # Held across the start so that no item of the new handle is fetched
        # before its Primitive is there to take it.
        with api.drain_lock:
            api.call("PDUStartComPrimitive", api.hmod, self.hcll, coptype, len(data),
                       ctypes.cast(buf, ctypes.POINTER(C.UNUM8)) if buf is not None else None,
                       ctypes.byref(ctrl), None, ctypes.byref(hcop))
            prim = Primitive(self, hcop.value, coptype, on_result)
            prim.receive_cycles = receive_cycles
            api.add_primitive(prim)
        return prim

    def run(self, coptype, data=b"", timeout=10.0, receive_cycles=1, check=True):
        prim = self.start(coptype, data, receive_cycles)
        if not prim.wait(timeout):
            raise PrimitiveTimeout(prim, timeout)
        error = primitive_error(prim)
        if error is not None and not prim.results and not isinstance(error, VciLostError) and \
                any(e.code == RX_TIMEOUT for e in prim.errors) and not self.api.busy():
            error = self.api.vci_silence() or error
        # A lost VCI is raised even after results: the link is gone.
        if error is not None and (isinstance(error, VciLostError) or (check and not prim.results)):
            raise error
        return prim.results

    def start_comm(self, data=b"", timeout=10.0):
        """STARTCOMM; returns its results (e.g. the key bytes on K-line)."""
        return self.run(C.PDU_COPT_STARTCOMM, data, timeout)

    def stop_comm(self, data=b"", timeout=10.0):
        return self.run(C.PDU_COPT_STOPCOMM, data, timeout)

    def update_params(self, timeout=10.0):
        """UPDATEPARAM: the ComParams set since the connect take effect."""
        return self.run(C.PDU_COPT_UPDATEPARAM, b"", timeout, check=False)

    def send_recv(self, request, timeout=10.0, receive_cycles=1, check=True):
        """SENDRECV: sends request (bytes, bytearray, a list of ints or hex
        text such as "22F190" or "22 F1 90") and returns the responses (a list
        of Response) once the ComPrimitive finished. receive_cycles -1 keeps
        receiving (e.g. every ECU's answer to a functional request).

        PrimitiveTimeout when it does not finish within timeout seconds;
        PrimitiveError (check=True) when it ended with error items and no
        result, such as PDU_ERR_EVT_RX_TIMEOUT for a request nobody answered.
        ValueError at once for a request without bytes (nothing for an ECU
        to answer: it would only wait for the timeout)."""
        data = request_bytes(request)
        if not data:
            raise ValueError("no request bytes: send_recv needs at least one byte, e.g. \"3E 00\"")
        return self.run(C.PDU_COPT_SENDRECV, data, timeout, receive_cycles, check)

    # -- events --

    def status(self):
        """The link's status: (value, name)."""
        st, stamp, extra = C.UNUM32(), C.UNUM32(), C.UNUM32()
        self.api.call("PDUGetStatus", self.api.hmod, self.hcll, C.PDU_HANDLE_UNDEF, ctypes.byref(st),
                        ctypes.byref(stamp), ctypes.byref(extra))
        return st.value, status_value_name(st.value)

    def events(self, timeout=0.0):
        """The event items no ComPrimitive of this client claimed (the link's
        own status items, items of primitives started elsewhere), oldest
        first; waits up to timeout seconds for the first."""
        api = self.api
        api.poll_events()
        api.wait_for(lambda: bool(self._queue), time.monotonic() + timeout)
        out = []
        with api.drain_lock:
            while self._queue:
                out.append(self._queue.popleft())
        return out

    def fetch_events(self):
        """Fetches every pending item of the link and hands each to its
        Primitive or the queue (for Api; the caller holds the drain lock).
        True when there was any."""
        api = self.api
        changed = False
        while self.hcll is not None:
            pointer = ctypes.POINTER(C.PDU_EVENT_ITEM)()
            status = api.call_status("PDUGetEventItem", api.hmod, self.hcll, ctypes.byref(pointer))
            if status == C.PDU_ERR_EVENT_QUEUE_EMPTY or (status == 0 and not pointer):
                break
            if status != 0:
                raise status_error("PDUGetEventItem", status, api.vci_answered or api.vci_lost)
            api.took_item(pointer)
            try:
                ev = event_of(pointer.contents)
            finally:
                api.destroy_item(pointer)
            changed = True
            if ev.hcop == C.PDU_HANDLE_UNDEF and ev.kind == "status":
                self.link_status = ev.status_name
            prim = api.primitive(ev.hcop)
            if prim is not None:
                prim.add_event(ev)
                if prim.done:
                    api.forget_primitive(ev.hcop)
            elif self.on_event is None:
                self._queue.append(ev)
            if self.on_event is not None:
                self.on_event(ev)
        if changed:
            api.wake_waiters()
        return changed

