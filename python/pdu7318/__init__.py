"""A client for any ISO 22900-2 (D-PDU API) library, in pure Python (ctypes).

    import pdu7318
    with pdu7318.Api() as api:
        with api.link("RSC_ISO_15765_3_on_ISO_15765_2_6_14",
                      unique={1: {"CP_CanRespUSDTId": 0x7E8}}) as link:
            link.start_comm()
            for r in link.send_recv(b"\\x22\\xf1\\x90"):
                print(r.unique_id, r.data.hex(" "))

pdu7318.can holds a python-can interface on the raw CAN resource.
"""

from .api import Api
from .errors import (LibraryNotFoundError, MdfError, PduError, PrimitiveError, PrimitiveTimeout, UnknownNameError,
                     VciBusyError, VciLostError, VciNotFoundError, VciSilentError)
from .library import default_library, find_library
from .link import Link, Primitive
from .records import ErrorInfo, Event, Module, Response, Version, request_bytes
from .names import error_event_name, status_name, status_value_name
from .root import RootApi, RootFileError, find_api, path_from_uri, read_root_file
# _version.py is written by configuring the source tree with CMake.
from ._version import __version__

__all__ = ["Api", "Link", "Primitive", "Response", "Event", "ErrorInfo", "Module", "Version", "PduError",
           "PrimitiveError", "PrimitiveTimeout", "UnknownNameError", "VciLostError", "VciNotFoundError",
           "VciBusyError", "VciSilentError", "MdfError",
           "LibraryNotFoundError",
           "find_library", "request_bytes", "RootApi", "RootFileError", "find_api",
           "read_root_file", "path_from_uri", "default_library", "status_name", "status_value_name",
           "error_event_name"]
