"""The client: Api (one constructed D-PDU API and its module). Link and
Primitive (link.py) are one ComLogicalLink and one running ComPrimitive.

Threads: the library calls the event callback on its own thread. That
callback only wakes a waiter; the items are fetched with PDUGetEventItem by
the Api's dispatcher thread (events="callback", the default) or by the
application's thread inside the waits and in Link.events() (events="poll").
Every item the library hands out is copied into Python objects and released
with PDUDestroyItem at once, so nothing the library allocated outlives the
call that fetched it.
"""

import ctypes
import threading
import time

from . import _capi as C
from . import description
from . import library as L
from . import vci
from .errors import (MdfError, PduError, UnknownNameError, VciBusyError, VciLostError, VciNotFoundError,
                     VciSilentError, close_on_exit, status_error)
from .link import Link
from .names import status_value_name
from .records import Module, Version, version_text
from .root import RootFileError, find_api

default_library = L.default_library


class Api:
    """One construction of a D-PDU API library, with its first module connected.

        with pdu7318.Api() as api:                  # the default library
        with pdu7318.Api("PDU7318") as api:         # the root file's entry
        with pdu7318.Api(library="/path/libx.so"):  # a library file

    events: "callback" (a dispatcher thread fetches event items when the
    library's callback says there are some) or "poll" (the waits fetch them
    on the calling thread).

    require_vci: with this module's library on Linux, VciNotFoundError when
    the construction found the VCI on none of the candidate ports (else the
    module would construct and every call needing the VCI fail later).
    False constructs without a VCI on purpose.
    """

    # How often the dispatcher fetches the results of a ComPrimitive that
    # keeps receiving: while items come, and at most while none do.
    STREAM_POLL_S = 0.002
    STREAM_IDLE_S = 0.032

    def __init__(self, name=None, *, library=None, root_file=None, options="", module=None,
                 events="callback", connect_module=True, require_vci=True):
        if name is not None and library is not None:
            raise ValueError("give the API's short name or the library path, not both")
        if events not in ("callback", "poll"):
            raise ValueError("events is 'callback' or 'poll'")
        if name is not None:
            entry = find_api(name, root_file)
            if not entry.library_file:
                raise RootFileError("%s: LIBRARY_FILE is not a local file URI" % entry.short_name)
            library = entry.library_file
            self.root_entry = entry
        else:
            self.root_entry = None
        looked = None
        if library is None and self.root_entry is None:
            library, looked = L.find_library(root_file)
        self.library_path = library
        self._lib, self.missing_functions = L.load(library, looked or [library])
        self._options = options
        self._module_choice = module
        self._events_mode = events
        self._connect_module = connect_module
        self._require_vci = require_vci
        # The port the module holds its VCI on, where that can be seen.
        self.vci_port = None
        self._wake = threading.Event()
        # Notified whenever drained items changed a primitive (callback mode).
        self._cond = threading.Condition()
        self._drain_lock = threading.RLock()
        self._links = {}
        self._primitives = {}
        self._dispatcher = None
        self._stop = False
        self._constructed = False
        self._module_connected = False
        self.hmod = None
        # Items the library handed out and items released (see item_balance).
        self.items_taken = 0
        self.items_destroyed = 0
        # The VCI answered on this Api: a later PDU_ERR_COMM_PC_TO_VCI_FAILED
        # means it was lost, not that there never was one.
        self.vci_answered = False
        self.vci_lost = False
        self.open()

    def __repr__(self):
        state = ("VCI lost" if self.vci_lost else "module %s" % self.hmod) if self._constructed else "closed"
        return "<pdu7318.Api %s, %s, %d link%s, events=%s>" % (
            self.library_path, state, len(self._links), "" if len(self._links) == 1 else "s", self._events_mode)

    # -- plumbing --

    def _call(self, name, *args):
        fn = getattr(self._lib, name, None)
        if fn is None:
            raise PduError(name, 0x01, "the library does not export " + name)
        return fn(*args)

    def _check(self, name, *args):
        status = self._call(name, *args)
        if status != C.PDU_STATUS_NOERROR:
            raise status_error(name, status, self.vci_answered or self.vci_lost)

    def call(self, name, *args):
        """Calls one of the 29 functions by name with ctypes arguments;
        PduError when it returns a failure status."""
        self._check(name, *args)

    def _destroy(self, pointer):
        if pointer:
            self._call("PDUDestroyItem", ctypes.cast(pointer, ctypes.c_void_p))
            self.items_destroyed += 1

    def _took(self, pointer):
        if pointer:
            self.items_taken += 1

    # -- the package's own interface: what Link, Primitive and the python-can
    # bus use (not documented for applications) --

    def call_status(self, name, *args):
        """Calls a function by name and returns its status (no exception)."""
        return self._call(name, *args)

    def took_item(self, pointer):
        self._took(pointer)

    def destroy_item(self, pointer):
        self._destroy(pointer)

    @property
    def drain_lock(self):
        """Held while items are fetched and handed out, and across a start."""
        return self._drain_lock

    def wait_for(self, until, deadline):
        """Waits until until() is true or the deadline (time.monotonic())
        passes; False on the deadline."""
        return self._pump(until, deadline)

    def poll_events(self):
        """Fetches every link's items now when events are polled."""
        if self._events_mode == "poll":
            self._drain_all()

    def wake(self):
        """The library's event callback: fetch items soon (any thread)."""
        self._wake.set()

    def wake_waiters(self):
        with self._cond:
            self._cond.notify_all()

    def add_link(self, link):
        self._links[link.hcll] = link

    def remove_link(self, link):
        """Forgets the link and its primitives (caller holds the drain lock)."""
        self._links.pop(link.hcll, None)
        for hcop in [h for h, p in self._primitives.items() if p.link is link]:
            del self._primitives[hcop]

    def add_primitive(self, prim):
        self._primitives[prim.hcop] = prim

    def primitive(self, hcop):
        return self._primitives.get(hcop)

    def forget_primitive(self, hcop):
        self._primitives.pop(hcop, None)

    @property
    def item_balance(self):
        """Items handed out by the library and not yet released: 0 whenever
        no call is in progress."""
        return self.items_taken - self.items_destroyed

    # -- life --

    def open(self):
        if self._constructed:
            return
        self._check("PDUConstruct", self._options.encode(), None)
        self._constructed = True
        try:
            self._check_vci_found()
            modules = self.modules()
            if self._module_choice is not None:
                self.hmod = self._module_choice
            elif modules:
                self.hmod = modules[0].hmod
            else:
                raise PduError("PDUGetModuleIds", 0x01, "the library lists no module")
            if self._connect_module:
                self._check("PDUModuleConnect", self.hmod)
                self._module_connected = True
        except BaseException:
            # Without a VCI closing fails too (PDUDestruct cannot reach it):
            # the error that ended the opening is the one to see.
            try:
                self.close()
            except PduError:
                pass
            raise
        L.add_waker(self)
        if self._events_mode == "callback":
            self._stop = False
            self._dispatcher = threading.Thread(target=self._dispatch, name="pdu7318-events", daemon=True)
            self._dispatcher.start()

    def _check_vci_found(self):
        if not vci.is_this_module(self.library_path):
            return
        held = vci.open_files()
        if held is None:
            return  # cannot be seen here: calls needing the VCI tell later
        ports = vci.candidate_ports()
        self.vci_port = vci.held_port(ports, held)
        if self.vci_port is None and self._require_vci:
            busy = next((p for p in ports if vci.port_busy(p)), None)
            if busy is not None:
                raise VciBusyError(ports, vci.port_source(), busy, vci.port_holder(busy))
            raise VciNotFoundError(ports, vci.port_source())

    def close(self, commands=True):
        """Closes every link, disconnects the module and destructs the API.
        The first failure is raised after everything was tried. commands
        False (the VCI does not answer): PDUDestruct alone releases the
        links and the module, without the wait of each one's command."""
        if not self._constructed:
            return
        first = None
        for link in list(self._links.values()):
            try:
                link.close(commands=commands)
            except PduError as e:
                first = first or e
        if self._dispatcher is not None:
            self._stop = True
            self._wake.set()
            self._dispatcher.join()
            self._dispatcher = None
        L.remove_waker(self)
        if self._module_connected:
            self._module_connected = False
            status = self._call("PDUModuleDisconnect", self.hmod) if commands else 0
            if status != 0 and first is None:
                first = status_error("PDUModuleDisconnect", status, self.vci_answered or self.vci_lost)
        self._constructed = False
        status = self._call("PDUDestruct")
        if status != 0 and first is None:
            first = status_error("PDUDestruct", status, self.vci_answered or self.vci_lost)
        if first is not None:
            raise first

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        return close_on_exit(self.close, exc_type)

    # -- module --

    def modules(self):
        """The modules PDUGetModuleIds lists, as Module records."""
        item = ctypes.POINTER(C.PDU_MODULE_ITEM)()
        self._check("PDUGetModuleIds", ctypes.byref(item))
        self._took(item)
        out = []
        try:
            if item:
                it = item.contents
                for i in range(it.NumEntries if it.pModuleData else 0):
                    m = it.pModuleData[i]
                    out.append(Module(m.hMod, m.ModuleTypeId, (m.pVendorModuleName or b"").decode(errors="replace"),
                                      (m.pVendorAdditionalInfo or b"").decode(errors="replace"), m.ModuleStatus,
                                      status_value_name(m.ModuleStatus)))
        finally:
            self._destroy(item)
        return out

    def version(self):
        """PDUGetVersion as a Version record (names decoded, versions as 'major.minor.patch')."""
        v = C.PDU_VERSION_DATA()
        self._check("PDUGetVersion", self.hmod, ctypes.byref(v))
        dec = lambda b: b.decode(errors="replace")  # noqa: E731
        t = version_text
        return Version(t(v.MVCI_Part1StandardVersion), t(v.MVCI_Part2StandardVersion), v.HwSerialNumber,
                       dec(v.HwName), t(v.HwVersion), v.HwDate, v.HwInterface, dec(v.FwName), t(v.FwVersion),
                       v.FwDate, dec(v.VendorName), dec(v.PDUApiSwName), t(v.PDUApiSwVersion), v.PDUApiSwDate)

    def status(self):
        """The module's status: (value, name, timestamp)."""
        st, stamp, extra = C.UNUM32(), C.UNUM32(), C.UNUM32()
        self._check("PDUGetStatus", self.hmod, C.PDU_HANDLE_UNDEF, C.PDU_HANDLE_UNDEF, ctypes.byref(st),
                    ctypes.byref(stamp), ctypes.byref(extra))
        return st.value, status_value_name(st.value), stamp.value

    def timestamp(self):
        t = C.UNUM32()
        self._check("PDUGetTimestamp", self.hmod, ctypes.byref(t))
        return t.value

    def object_id(self, object_type, short_name):
        """PDUGetObjectId; UnknownNameError when the module does not know the name."""
        oid = C.UNUM32(C.PDU_ID_UNDEF)
        status = self._call("PDUGetObjectId", object_type, short_name.encode(), ctypes.byref(oid))
        if status != 0 or oid.value == C.PDU_ID_UNDEF:
            path = self._description_path()
            problem = description.parse_problem(path)
            if problem is not None:
                raise MdfError(path, problem)
            kind = {C.PDU_OBJT_RESOURCE: "resource", C.PDU_OBJT_COMPARAM: "ComParam",
                    C.PDU_OBJT_IO_CTRL: "I/O control", C.PDU_OBJT_PROTOCOL: "protocol",
                    C.PDU_OBJT_BUSTYPE: "bus type", C.PDU_OBJT_PINTYPE: "pin type"}.get(object_type, "object")
            raise UnknownNameError("the module knows no %s %s (names are case-sensitive)%s" % (
                kind, short_name, self._other_case_hint(object_type, short_name)))
        return oid.value

    def _description_path(self):
        if self.root_entry is not None and self.root_entry.module_description_file:
            return self.root_entry.module_description_file
        return description.default_path() if vci.is_this_module(self.library_path) else None

    def _other_case_hint(self, object_type, short_name):
        """'; did you mean X?' when the module description has the name in
        another case and the module knows it by that name."""
        other = description.same_name_other_case(self._description_path(), object_type, short_name)
        if other is None:
            return ""
        oid = C.UNUM32(C.PDU_ID_UNDEF)
        status = self._call("PDUGetObjectId", object_type, other.encode(), ctypes.byref(oid))
        if status != 0 or oid.value == C.PDU_ID_UNDEF:
            return ""
        return "; did you mean %s?" % other

    def ioctl(self, name, hcll=C.PDU_HANDLE_UNDEF):
        """PDUIoCtl without input data by the I/O control's short name. Returns
        the value of a PDU_IT_IO_UNUM32 answer, else None."""
        ioid = self.object_id(C.PDU_OBJT_IO_CTRL, name)
        out = ctypes.POINTER(C.PDU_DATA_ITEM)()
        self._check("PDUIoCtl", self.hmod, hcll, ioid, None, ctypes.byref(out))
        self._took(out)
        self.vci_answered = True
        try:
            if out and out.contents.ItemType == C.PDU_IT_IO_UNUM32 and out.contents.pData:
                return ctypes.cast(out.contents.pData, ctypes.POINTER(C.UNUM32)).contents.value
            return None
        finally:
            self._destroy(out)

    def battery_voltage(self):
        """The vehicle's battery voltage in millivolts."""
        return self.ioctl("PDU_IOCTL_READ_VBATT")

    def vci_silence(self):
        """After a receive timeout: None when the VCI answers, else the
        error to raise (VciSilentError, or VciLostError for a port gone).
        The module cannot tell a silent VCI from a silent ECU; the
        battery-voltage I/O control can: it has its own timeout (500 ms) and
        sends a frame to the VCI while no ComPrimitive waits (while one
        waits it answers a made-up value). Ask only when none of this Api's
        runs."""
        try:
            self.battery_voltage()
        except VciLostError as e:
            return e
        except UnknownNameError:
            return None  # a library without the reading: nothing to tell by
        except PduError as e:
            return VciSilentError(e)
        return None

    def busy(self):
        """True while a ComPrimitive started here has not finished."""
        return bool(self._primitives)

    def ignition(self):
        """True when the ignition sense line reads on."""
        value = self.ioctl("PDU_IOCTL_READ_IGNITION_SENSE_STATE")
        return bool(value)

    # -- links --

    def link(self, resource, params=None, unique=None, connect=True):
        """Creates a ComLogicalLink on resource (a short name or an id), sets
        the unique response table (unique: {id: {ComParam: value}} or a list
        of such dicts, numbered from 1) and the ComParams (params: {name:
        value}), then connects it."""
        return Link(self, resource, params or {}, unique, connect)

    # -- events --

    def _dispatch(self):
        pause = self.STREAM_POLL_S
        while not self._stop:
            # The library calls back when a ComPrimitive starts and ends,
            # not for each result. While one keeps receiving this is the
            # accepted poll: every STREAM_POLL_S while the last look found
            # items (a frame's arrival time is the moment it is fetched, so
            # this bounds its error), doubling up to STREAM_IDLE_S while
            # the bus is quiet. The long timeout otherwise covers a wake-up
            # the library never gave (its callback goes to the link of the
            # job at the head of its queue).
            streaming = any(p.receive_cycles != 1 for p in list(self._primitives.values()))
            woken = self._wake.wait(pause if streaming else 0.25)
            self._wake.clear()
            if self._stop:
                break
            try:
                found = self._drain_all()
            except PduError:
                found = False  # a link being closed; the next round goes on
            pause = self.STREAM_POLL_S if found or woken else min(pause * 2, self.STREAM_IDLE_S)

    def _drain_all(self):
        """Fetches every link's items; True when there were any."""
        found = False
        with self._drain_lock:
            for link in list(self._links.values()):
                found = link.fetch_events() or found
        return found

    def _pump(self, until, deadline):
        """Waits until until() is true or the deadline (time.monotonic()) passes."""
        while not until():
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            if self._events_mode == "poll":
                self._wake.wait(min(left, 0.25))
                self._wake.clear()
                self._drain_all()
            else:
                with self._cond:
                    if until():
                        break
                    self._cond.wait(min(left, 0.25))
        return True
