"""The client's exceptions and the one place that turns a status code or the
error items of a ComPrimitive into one of them.

    PduError            an API function returned a failure status
    PrimitiveError      a ComPrimitive ended with error items and no result
    PrimitiveTimeout    a ComPrimitive did not finish within the wait given
    VciLostError        the library reports the VCI as lost: both a PduError
                        and a PrimitiveError, so either handler catches it
    VciNotFoundError    the module constructed without finding its VCI on
                        any port (a PduError)
    VciBusyError        ... because another process holds the VCI's port
                        (a VciNotFoundError)
    VciSilentError      the VCI stopped answering (a VciLostError)
    MdfError            the module description file cannot be parsed, so the
                        module knows no names at all (an UnknownNameError)
    LibraryNotFoundError  the library file cannot be loaded (an OSError)
    UnknownNameError    the module has no object of that short name
"""

from .names import status_name

# The values the mapping looks at (stated here, not imported, so that the
# mapping reads on its own).
COMM_PC_TO_VCI_FAILED = 0x11  # T_PDU_ERROR: the call needed the VCI and could not reach it
LOST_COMM_TO_VCI = 0x106  # error event: the port failed under a running ComPrimitive
RX_TIMEOUT = 0x103  # error event: no answer, from the ECU or from the VCI itself


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


class VciLostError(PduError, PrimitiveError):
    """The VCI is gone (adapter pulled, port failed): the library ended a
    ComPrimitive with PDU_ERR_EVT_LOST_COMM_TO_VCI (0x106), or a call that
    needs the VCI answered PDU_ERR_COMM_PC_TO_VCI_FAILED (0x11) after the VCI
    had answered on this Api.

    call: the function for a status (None for an error item); primitive:
    the ComPrimitive for an error item (None for a status); code and name:
    the status or the error event. A new Api once the adapter is back."""

    def __init__(self, code, name, call=None, primitive=None):
        Exception.__init__(self, "VCI lost: %s (0x%X)%s" % (
            name, code, " in " + call if call else " ending ComPrimitive %d" % primitive.hcop))
        self.code = code
        self.name = name
        self.call = call
        self.primitive = primitive
        self.errors = list(primitive.errors) if primitive is not None else []


class VciNotFoundError(PduError):
    """The module constructed but found its VCI on none of the candidate
    ports (the library says so only on stderr; every call that needs the
    VCI would fail). ports: the ports tried, in order; source: where that
    list came from (PDU7318_PORTS or the device patterns)."""

    def __init__(self, ports, source):
        self.call = "PDUConstruct"
        self.code = COMM_PC_TO_VCI_FAILED
        self.name = status_name(COMM_PC_TO_VCI_FAILED)
        self.ports = list(ports)
        self.source = source
        if self.ports:
            tried = "the VCI answered on none of the ports tried (%s, from %s)" % (", ".join(self.ports), source)
        else:
            tried = "there was no port to try (%s named none)" % source
        Exception.__init__(self, (
            "no VCI found: %s. Connect the VCI or set PDU7318_PORTS to its port (colon-separated); "
            "pdutool doctor tells why each port failed. Api(require_vci=False) constructs without a VCI"
            % tried))


class VciBusyError(VciNotFoundError):
    """The VCI's port is held by another process (the module opens its port
    exclusively, so this construction found no VCI). port: that port;
    holder: "pid (name)" of the process holding it where that can be seen,
    else None."""

    def __init__(self, ports, source, port, holder):
        VciNotFoundError.__init__(self, ports, source)
        self.port = port
        self.holder = holder
        Exception.__init__(self, "VCI port %s is busy - held by %s. Close that program, or end its session, and "
                           "try again" % (port, "process " + holder if holder else "another process"))


class VciSilentError(VciLostError):
    """The VCI stopped answering: a ComPrimitive ended in a receive timeout
    and the check that followed (an I/O control with its own timeout, sent
    while no ComPrimitive ran) got no answer either. cause: that check's
    PduError."""

    def __init__(self, cause):
        VciLostError.__init__(self, cause.code, cause.name, call="PDUIoCtl")
        self.cause = cause
        Exception.__init__(self, "VCI lost: the VCI does not answer (a receive timeout, then %s)" % cause)


class MdfError(UnknownNameError):
    """The module description file cannot be parsed: the module then knows
    no resource, ComParam or I/O control. path: the file; message: the XML
    parser's message (with line and column)."""

    def __init__(self, path, message):
        self.path = path
        self.message = message
        super().__init__("the module description %s cannot be loaded: %s. Reinstall it or restore a backup"
                         % (path, message))


class LibraryNotFoundError(OSError):
    """The D-PDU API library cannot be loaded. looked: where the client
    looked for it, in order; reason: the loader's message."""

    def __init__(self, path, looked, reason):
        self.path = path
        self.looked = list(looked)
        self.reason = reason
        super().__init__(
            "cannot load the D-PDU API library %s: %s. Looked at: %s. Set PDU_API_LIBRARY to the library file "
            "(e.g. PDU_API_LIBRARY=/usr/lib/x86_64-linux-gnu/libpdu7318.so.1) or pass Api(library=PATH)"
            % (path, reason, "; ".join(self.looked)))


def status_error(call, code, vci_answered):
    """The exception for a failure status of call. vci_answered: the VCI
    answered earlier on this Api, so losing it now is a loss (a module that
    never found a VCI answers the same code from the start)."""
    if code == COMM_PC_TO_VCI_FAILED and vci_answered:
        return VciLostError(code, status_name(code), call=call)
    return PduError(call, code)


def close_on_exit(close, exc_type):
    """The end of a with block over an Api or a Link: close() runs; a
    PduError it raises goes up only when the block ended normally, else the
    error that ended the block is the one to see. False: never swallows the
    block's own exception."""
    try:
        close()
    except PduError:
        if exc_type is None:
            raise
    return False


def primitive_error(primitive):
    """The exception for a ComPrimitive that ended with error items and no
    result; None when it has none."""
    if not primitive.errors:
        return None
    for e in primitive.errors:
        if e.code == LOST_COMM_TO_VCI:
            return VciLostError(e.code, e.name, primitive=primitive)
    return PrimitiveError(primitive)
