"""The client: Api (one constructed D-PDU API and its module), Link (one
ComLogicalLink) and Primitive (one running ComPrimitive).

Threads: the library calls the event callback on its own thread. That
callback only wakes a waiter; the items are fetched with PDUGetEventItem by
the Api's dispatcher thread (events="callback", the default) or by the
application's thread inside the waits and in Link.events() (events="poll").
Every item the library hands out is copied into Python objects and released
with PDUDestroyItem at once, so nothing the library allocated outlives the
call that fetched it.
"""

import collections
import ctypes
import os
import sys
import threading
import time
import weakref

from . import _capi as C
from .names import error_event_name, status_name, status_value_name
from .root import RootFileError, find_api, read_root_file

# ---- errors -------------------------------------------------------------------


class PduError(Exception):
    """An API function returned a failure status.

    code: the T_PDU_ERROR value; name: its name ("PDU_ERR_INVALID_HANDLE");
    call: the function that returned it."""

    def __init__(self, call, code, detail=""):
        self.call = call
        self.code = code
        self.name = status_name(code)
        text = "%s failed: %s (0x%X)" % (call, self.name, code)
        super().__init__(text + (": " + detail if detail else ""))


class UnknownNameError(LookupError):
    """The module has no object (resource, ComParam, I/O control) of this name."""


class PrimitiveError(Exception):
    """A ComPrimitive ended with error items and no result.

    errors: the ErrorInfo records; code and name: those of the first."""

    def __init__(self, primitive):
        self.primitive = primitive
        self.errors = list(primitive.errors)
        first = self.errors[0]
        self.code = first.code
        self.name = first.name
        super().__init__("ComPrimitive %d ended with %s (extra info %d)" % (primitive.hcop, first.name, first.extra))


class PrimitiveTimeout(TimeoutError):
    """A ComPrimitive did not finish within the wait given."""

    def __init__(self, primitive, timeout):
        self.primitive = primitive
        super().__init__("ComPrimitive %d did not finish within %.3f s" % (primitive.hcop, timeout))


# ---- records ------------------------------------------------------------------

Response = collections.namedtuple(
    "Response", "data unique_id timestamp start_timestamp tx_done_timestamp rx_flags hcop")
Response.__doc__ = """One result item: data (bytes), unique_id (UniqueRespIdentifier),
timestamp (the item's, in the library's microsecond or millisecond clock as it
hands it out), start_timestamp (StartMsgTimestamp), tx_done_timestamp
(TxMsgDoneTimestamp), rx_flags (bytes), hcop (the ComPrimitive)."""

ErrorInfo = collections.namedtuple("ErrorInfo", "code name extra")

Event = collections.namedtuple("Event", "kind hcop timestamp status status_name response error")
Event.__doc__ = """One event item of a link: kind is "status", "result", "error" or
"info"; hcop is 0xFFFFFFFF for the link's own status items; status /
status_name for status items, response (a Response) for results, error (an
ErrorInfo) for errors."""

Module = collections.namedtuple("Module", "hmod type_id vendor_name vendor_info status status_name")

Version = collections.namedtuple(
    "Version", "part1_standard_version part2_standard_version hw_serial_number hw_name hw_version hw_date "
               "hw_interface fw_name fw_version fw_date vendor_name api_sw_name api_sw_version api_sw_date")


def _version_text(word):
    """0x01020300 -> '1.2.3' (major, minor, patch in the upper three bytes)."""
    return "%d.%d.%d" % (word >> 24, (word >> 16) & 0xFF, (word >> 8) & 0xFF)


# ---- the callback -------------------------------------------------------------

# Apis that want to be woken. One C callback serves them all and lives as
# long as the process: a library may still call it while an Api goes away.
_wakers = weakref.WeakSet()
_wakers_lock = threading.Lock()


def _on_event(event_type, hmod, hcll, cll_tag, api_tag):
    with _wakers_lock:
        targets = list(_wakers)
    for api in targets:
        api._wake.set()


_CALLBACK = C.CALLBACKFNC(_on_event)

# A library is loaded once per path and process; the D-PDU API keeps
# process-wide state anyway.
_libraries = {}


def _load(path):
    if path not in _libraries:
        _libraries[path] = C.load(path)
    return _libraries[path]


def default_library(root_file=None):
    """Where Api() finds its library when given neither name nor path:
    PDU_API_LIBRARY, else the root file's only API, else its PDU7318 entry,
    else libpdu7318 through the system's search path."""
    env = os.environ.get("PDU_API_LIBRARY")
    if env:
        return env
    try:
        apis = read_root_file(root_file)
    except (RootFileError, OSError):
        apis = []
    apis = [a for a in apis if a.library_file]
    if len(apis) == 1:
        return apis[0].library_file
    for a in apis:
        if a.short_name.upper() == "PDU7318":
            return a.library_file
    return "pdu7318.dll" if sys.platform == "win32" else "libpdu7318.so.1"


# ---- Api ----------------------------------------------------------------------


class Api:
    """One construction of a D-PDU API library, with its first module connected.

        with pdu7318.Api() as api:                  # the default library
        with pdu7318.Api("PDU7318") as api:         # the root file's entry
        with pdu7318.Api(library="/path/libx.so"):  # a library file

    events: "callback" (a dispatcher thread fetches event items when the
    library's callback says there are some) or "poll" (the waits fetch them
    on the calling thread).
    """

    def __init__(self, name=None, *, library=None, root_file=None, options="", module=None,
                 events="callback", connect_module=True):
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
        self.library_path = library or default_library(root_file)
        self._lib, self.missing_functions = _load(self.library_path)
        self._options = options
        self._module_choice = module
        self._events_mode = events
        self._connect_module = connect_module
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
        self.open()

    # -- plumbing --

    def _call(self, name, *args):
        fn = getattr(self._lib, name, None)
        if fn is None:
            raise PduError(name, 0x01, "the library does not export " + name)
        return fn(*args)

    def _check(self, name, *args):
        status = self._call(name, *args)
        if status != C.PDU_STATUS_NOERROR:
            raise PduError(name, status)

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
            self.close()
            raise
        with _wakers_lock:
            _wakers.add(self)
        if self._events_mode == "callback":
            self._stop = False
            self._dispatcher = threading.Thread(target=self._dispatch, name="pdu7318-events", daemon=True)
            self._dispatcher.start()

    def close(self):
        """Closes every link, disconnects the module and destructs the API.
        The first failure is raised after everything was tried."""
        if not self._constructed:
            return
        first = None
        for link in list(self._links.values()):
            try:
                link.close()
            except PduError as e:
                first = first or e
        if self._dispatcher is not None:
            self._stop = True
            self._wake.set()
            self._dispatcher.join()
            self._dispatcher = None
        with _wakers_lock:
            _wakers.discard(self)
        if self._module_connected:
            self._module_connected = False
            status = self._call("PDUModuleDisconnect", self.hmod)
            if status != 0 and first is None:
                first = PduError("PDUModuleDisconnect", status)
        self._constructed = False
        status = self._call("PDUDestruct")
        if status != 0 and first is None:
            first = PduError("PDUDestruct", status)
        if first is not None:
            raise first

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        try:
            self.close()
        except PduError:
            if exc_type is None:
                raise  # else the error that ended the block is the one to see
        return False

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
        return Version(_version_text(v.MVCI_Part1StandardVersion), _version_text(v.MVCI_Part2StandardVersion),
                       v.HwSerialNumber, dec(v.HwName), _version_text(v.HwVersion), v.HwDate, v.HwInterface,
                       dec(v.FwName), _version_text(v.FwVersion), v.FwDate, dec(v.VendorName),
                       dec(v.PDUApiSwName), _version_text(v.PDUApiSwVersion), v.PDUApiSwDate)

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
            kind = {C.PDU_OBJT_RESOURCE: "resource", C.PDU_OBJT_COMPARAM: "ComParam",
                    C.PDU_OBJT_IO_CTRL: "I/O control", C.PDU_OBJT_PROTOCOL: "protocol",
                    C.PDU_OBJT_BUSTYPE: "bus type", C.PDU_OBJT_PINTYPE: "pin type"}.get(object_type, "object")
            raise UnknownNameError("the module knows no %s %s" % (kind, short_name))
        return oid.value

    def ioctl(self, name, hcll=C.PDU_HANDLE_UNDEF):
        """PDUIoCtl without input data by the I/O control's short name. Returns
        the value of a PDU_IT_IO_UNUM32 answer, else None."""
        ioid = self.object_id(C.PDU_OBJT_IO_CTRL, name)
        out = ctypes.POINTER(C.PDU_DATA_ITEM)()
        self._check("PDUIoCtl", self.hmod, hcll, ioid, None, ctypes.byref(out))
        self._took(out)
        try:
            if out and out.contents.ItemType == C.PDU_IT_IO_UNUM32 and out.contents.pData:
                return ctypes.cast(out.contents.pData, ctypes.POINTER(C.UNUM32)).contents.value
            return None
        finally:
            self._destroy(out)

    def battery_voltage(self):
        """The vehicle's battery voltage in millivolts."""
        return self.ioctl("PDU_IOCTL_READ_VBATT")

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
        while not self._stop:
            # The library calls back when a ComPrimitive starts and ends, not
            # for each result: while one receives continuously, look every
            # 20 ms so that its results come out as they arrive. The long
            # timeout covers a wake-up the library never gave (its callback
            # goes to the link of the job at the head of its queue).
            streaming = any(p.receive_cycles != 1 for p in list(self._primitives.values()))
            self._wake.wait(0.02 if streaming else 0.25)
            self._wake.clear()
            if self._stop:
                break
            try:
                self._drain_all()
            except PduError:
                pass  # a link being closed; the next round goes on

    def _drain_all(self):
        with self._drain_lock:
            for link in list(self._links.values()):
                link._drain()

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



# ---- ComParam values ---------------------------------------------------------

_INT_TYPES = {C.PDU_PT_UNUM8: (ctypes.c_uint8, False), C.PDU_PT_SNUM8: (ctypes.c_int8, True),
              C.PDU_PT_UNUM16: (ctypes.c_uint16, False), C.PDU_PT_SNUM16: (ctypes.c_int16, True),
              C.PDU_PT_UNUM32: (ctypes.c_uint32, False), C.PDU_PT_SNUM32: (ctypes.c_int32, True)}


def _read_param_value(item):
    """The value of a PDU_PARAM_ITEM: int, bytes (byte field) or list of ints (long field)."""
    ptype, data = item.ComParamDataType, item.pComParamData
    if not data or ptype == 0:
        return None  # a ComParam the link does not carry
    if ptype in _INT_TYPES:
        return ctypes.cast(data, ctypes.POINTER(_INT_TYPES[ptype][0])).contents.value
    if ptype == C.PDU_PT_BYTEFIELD:
        f = ctypes.cast(data, ctypes.POINTER(C.PDU_PARAM_BYTEFIELD_DATA)).contents
        return bytes(f.pDataArray[:f.ParamActLen]) if f.pDataArray else b""
    if ptype == C.PDU_PT_LONGFIELD:
        f = ctypes.cast(data, ctypes.POINTER(C.PDU_PARAM_LONGFIELD_DATA)).contents
        return list(f.pDataArray[:f.ParamActLen]) if f.pDataArray else []
    raise ValueError("ComParam data type 0x%X is not supported by this client" % ptype)


def _param_item(param_id, ptype, pclass, value):
    """A PDU_PARAM_ITEM and the buffers it points to (keep them alive while it is used)."""
    keep = []
    if ptype in _INT_TYPES:
        # The value is written into a whole 32-bit word: a library that reads
        # four bytes whatever the type still reads the right number.
        word = ctypes.c_uint32(int(value) & 0xFFFFFFFF)
        keep.append(word)
        pointer = ctypes.cast(ctypes.byref(word), ctypes.c_void_p)
    elif ptype == C.PDU_PT_BYTEFIELD:
        data = bytes(value)
        arr = (C.UNUM8 * max(len(data), 1)).from_buffer_copy(data.ljust(1, b"\0"))
        field = C.PDU_PARAM_BYTEFIELD_DATA(len(data), len(data), ctypes.cast(arr, ctypes.POINTER(C.UNUM8)))
        keep += [arr, field]
        pointer = ctypes.cast(ctypes.byref(field), ctypes.c_void_p)
    elif ptype == C.PDU_PT_LONGFIELD:
        values = [int(v) for v in value]
        arr = (C.UNUM32 * max(len(values), 1))(*values)
        field = C.PDU_PARAM_LONGFIELD_DATA(len(values), len(values), ctypes.cast(arr, ctypes.POINTER(C.UNUM32)))
        keep += [arr, field]
        pointer = ctypes.cast(ctypes.byref(field), ctypes.c_void_p)
    else:
        raise ValueError("ComParam data type 0x%X is not supported by this client" % ptype)
    item = C.PDU_PARAM_ITEM(C.PDU_IT_PARAM, param_id, ptype, pclass, pointer)
    return item, keep


# ---- Primitive ----------------------------------------------------------------


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

    def _add(self, ev):
        if ev.kind == "result":
            self.results.append(ev.response)
            if self.on_result is not None:
                self.on_result(ev.response)
        elif ev.kind == "error":
            self.errors.append(ev.error)
        elif ev.kind == "status":
            self.statuses.append(ev.status_name)
            if ev.status in (C.PDU_COPST_FINISHED, C.PDU_COPST_CANCELLED):
                self.finished.set()
                if self.on_done is not None:
                    self.on_done(self)

    @property
    def done(self):
        return self.finished.is_set()

    def wait(self, timeout):
        """Waits for the FINISHED item; False when timeout (seconds) passed first."""
        return self.link.api._pump(self.finished.is_set, time.monotonic() + timeout)

    def cancel(self):
        self.link.api._check("PDUCancelComPrimitive", self.link.api.hmod, self.link.hcll, self.hcop)


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
        api._check("PDUCreateComLogicalLink", api.hmod, None, rid, None, ctypes.byref(hcll), ctypes.byref(flags))
        self.hcll = hcll.value
        api._links[self.hcll] = self
        try:
            # Also when events are polled: a library may drop the events of a
            # link that has no callback.
            api._check("PDURegisterEventCallback", api.hmod, self.hcll, _CALLBACK)
            if unique:
                self.set_unique_table(unique)
            for name, value in params.items():
                self.set_param(name, value)
            if connect:
                self.connect()
        except BaseException:
            self.close()
            raise

    # -- life --

    def connect(self):
        self.api._check("PDUConnect", self.api.hmod, self.hcll)
        self.connected = True

    def disconnect(self):
        if self.connected:
            self.connected = False
            self.api._check("PDUDisconnect", self.api.hmod, self.hcll)

    def close(self):
        """Disconnects and destroys the link; the first failure is raised
        after both were tried."""
        api = self.api
        if self.hcll is None:
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
            api._pump(lambda: self.link_status == "PDU_CLLST_OFFLINE", time.monotonic() + 0.5)
        with api._drain_lock:
            self._drain()
            api._links.pop(self.hcll, None)
            for hcop in [h for h, p in api._primitives.items() if p.link is self]:
                del api._primitives[hcop]
        api._call("PDURegisterEventCallback", api.hmod, self.hcll, C._NO_CALLBACK)
        status = api._call("PDUDestroyComLogicalLink", api.hmod, self.hcll)
        self.hcll = None
        if status != 0 and first is None:
            first = PduError("PDUDestroyComLogicalLink", status)
        if first is not None:
            raise first

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        try:
            self.close()
        except PduError:
            if exc_type is None:
                raise
        return False

    # -- ComParams --

    def _param_id(self, name):
        return name if isinstance(name, int) else self.api.object_id(C.PDU_OBJT_COMPARAM, name)

    def _get_item(self, pid):
        item = ctypes.POINTER(C.PDU_PARAM_ITEM)()
        self.api._check("PDUGetComParam", self.api.hmod, self.hcll, pid, ctypes.byref(item))
        self.api._took(item)
        return item

    def get_param(self, name):
        """The link's value of a ComParam (by short name or id): int, bytes or list."""
        item = self._get_item(self._param_id(name))
        try:
            return _read_param_value(item.contents) if item else None
        finally:
            self.api._destroy(item)

    def set_param(self, name, value):
        """PDUSetComParam with the data type and class the link has for it.
        The value takes effect at the next connect or update_params()."""
        pid = self._param_id(name)
        item = self._get_item(pid)
        try:
            ptype = item.contents.ComParamDataType if item else C.PDU_PT_UNUM32
            pclass = item.contents.ComParamClass if item else C.PDU_PC_COM
        finally:
            self.api._destroy(item)
        new, keep = _param_item(pid, ptype or C.PDU_PT_UNUM32, pclass or C.PDU_PC_COM, value)
        self.api._check("PDUSetComParam", self.api.hmod, self.hcll, ctypes.byref(new))
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
                item, k = _param_item(self._param_id(name), C.PDU_PT_UNUM32, C.PDU_PC_UNIQUE_ID, value)
                items[i] = item
                keep += k
            keep.append(items)
            entries[n] = C.PDU_ECU_UNIQUE_RESP_DATA(uid, len(params), items)
        table = C.PDU_UNIQUE_RESP_ID_TABLE_ITEM(C.PDU_IT_UNIQUE_RESP_ID_TABLE, len(unique), entries)
        self.api._check("PDUSetUniqueRespIdTable", self.api.hmod, self.hcll, ctypes.byref(table))

    # -- ComPrimitives --

    def start(self, coptype, data=b"", receive_cycles=1, send_cycles=1, on_result=None):
        """Starts a ComPrimitive and returns its Primitive at once."""
        data = bytes(data)
        buf = (C.UNUM8 * len(data)).from_buffer_copy(data) if data else None
        ctrl = C.PDU_COP_CTRL_DATA()
        ctrl.NumSendCycles = send_cycles
        ctrl.NumReceiveCycles = receive_cycles
        hcop = C.UNUM32(C.PDU_HANDLE_UNDEF)
        api = self.api
        # Held across the start so that no item of the new handle is fetched
        # before its Primitive is there to take it.
        with api._drain_lock:
            api._check("PDUStartComPrimitive", api.hmod, self.hcll, coptype, len(data),
                       ctypes.cast(buf, ctypes.POINTER(C.UNUM8)) if buf is not None else None,
                       ctypes.byref(ctrl), None, ctypes.byref(hcop))
            prim = Primitive(self, hcop.value, coptype, on_result)
            prim.receive_cycles = receive_cycles
            api._primitives[prim.hcop] = prim
        return prim

    def run(self, coptype, data=b"", timeout=10.0, receive_cycles=1, check=True):
        prim = self.start(coptype, data, receive_cycles)
        if not prim.wait(timeout):
            raise PrimitiveTimeout(prim, timeout)
        if check and prim.errors and not prim.results:
            raise PrimitiveError(prim)
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
        """SENDRECV: sends request (bytes) and returns the responses (a list
        of Response) once the ComPrimitive finished. receive_cycles -1 keeps
        receiving (e.g. every ECU's answer to a functional request).

        PrimitiveTimeout when it does not finish within timeout seconds;
        PrimitiveError (check=True) when it ended with error items and no
        result, such as PDU_ERR_EVT_RX_TIMEOUT for a request nobody answered."""
        return self.run(C.PDU_COPT_SENDRECV, request, timeout, receive_cycles, check)

    # -- events --

    def status(self):
        """The link's status: (value, name)."""
        st, stamp, extra = C.UNUM32(), C.UNUM32(), C.UNUM32()
        self.api._check("PDUGetStatus", self.api.hmod, self.hcll, C.PDU_HANDLE_UNDEF, ctypes.byref(st),
                        ctypes.byref(stamp), ctypes.byref(extra))
        return st.value, status_value_name(st.value)

    def events(self, timeout=0.0):
        """The event items no ComPrimitive of this client claimed (the link's
        own status items, items of primitives started elsewhere), oldest
        first; waits up to timeout seconds for the first."""
        api = self.api
        if api._events_mode == "poll":
            api._drain_all()
        api._pump(lambda: bool(self._queue), time.monotonic() + timeout)
        out = []
        with api._drain_lock:
            while self._queue:
                out.append(self._queue.popleft())
        return out

    def _drain(self):
        """Fetches every pending item of the link (caller holds the drain lock)."""
        api = self.api
        changed = False
        while self.hcll is not None:
            pointer = ctypes.POINTER(C.PDU_EVENT_ITEM)()
            status = api._call("PDUGetEventItem", api.hmod, self.hcll, ctypes.byref(pointer))
            if status == C.PDU_ERR_EVENT_QUEUE_EMPTY or (status == 0 and not pointer):
                break
            if status != 0:
                raise PduError("PDUGetEventItem", status)
            api._took(pointer)
            try:
                ev = _event_of(pointer.contents)
            finally:
                api._destroy(pointer)
            changed = True
            if ev.hcop == C.PDU_HANDLE_UNDEF and ev.kind == "status":
                self.link_status = ev.status_name
            prim = api._primitives.get(ev.hcop)
            if prim is not None:
                prim._add(ev)
                if prim.done:
                    del api._primitives[ev.hcop]
            elif self.on_event is None:
                self._queue.append(ev)
            if self.on_event is not None:
                self.on_event(ev)
        if changed:
            with api._cond:
                api._cond.notify_all()


def _event_of(item):
    """An Event from a PDU_EVENT_ITEM (copied: the item is released right after)."""
    kind = {C.PDU_IT_STATUS: "status", C.PDU_IT_RESULT: "result", C.PDU_IT_ERROR: "error",
            C.PDU_IT_INFO: "info"}.get(item.ItemType, "0x%X" % item.ItemType)
    status = sname = response = error = None
    if item.pData:
        if item.ItemType == C.PDU_IT_STATUS:
            status = ctypes.cast(item.pData, ctypes.POINTER(C.UNUM32)).contents.value
            sname = status_value_name(status)
        elif item.ItemType == C.PDU_IT_RESULT:
            r = ctypes.cast(item.pData, ctypes.POINTER(C.PDU_RESULT_DATA)).contents
            data = bytes(r.pDataBytes[:r.NumDataBytes]) if r.pDataBytes else b""
            flags = bytes(r.RxFlag.pFlagData[:r.RxFlag.NumFlagBytes]) if r.RxFlag.pFlagData else b""
            response = Response(data, r.UniqueRespIdentifier, item.Timestamp, r.StartMsgTimestamp,
                                r.TxMsgDoneTimestamp, flags, item.hCop)
        elif item.ItemType == C.PDU_IT_ERROR:
            e = ctypes.cast(item.pData, ctypes.POINTER(C.PDU_ERROR_DATA)).contents
            error = ErrorInfo(e.ErrorCodeId, error_event_name(e.ErrorCodeId), e.ExtraErrorInfoId)
    return Event(kind, item.hCop, item.Timestamp, status, sname, response, error)
