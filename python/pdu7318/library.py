"""Finding and loading the library file, and the one C callback that serves
every Api of the process.
"""

import os
import sys
import threading
import weakref

from . import _capi as C
from .errors import LibraryNotFoundError
from .root import RootFileError, default_root_file, read_root_file

# Apis that want to be woken. One C callback serves them all and lives as
# long as the process: a library may still call it while an Api goes away.
_wakers = weakref.WeakSet()
_wakers_lock = threading.Lock()


def _on_event(event_type, hmod, hcll, cll_tag, api_tag):
    with _wakers_lock:
        targets = list(_wakers)
    for api in targets:
        api.wake()


CALLBACK = C.CALLBACKFNC(_on_event)


def add_waker(api):
    with _wakers_lock:
        _wakers.add(api)


def remove_waker(api):
    with _wakers_lock:
        _wakers.discard(api)


# A library is loaded once per path and process; the D-PDU API keeps
# process-wide state anyway.
_libraries = {}

SYSTEM_NAME = "pdu7318.dll" if sys.platform == "win32" else "libpdu7318.so.1"


def find_library(root_file=None):
    """(path, looked): where Api() finds its library when given neither name
    nor path, and the places it looked, in order: PDU_API_LIBRARY, else the
    root file's only API, else its PDU7318 entry, else libpdu7318 through
    the system's search path."""
    looked = []
    env = os.environ.get("PDU_API_LIBRARY")
    if env:
        return env, ["PDU_API_LIBRARY=" + env]
    looked.append("PDU_API_LIBRARY (not set)")
    try:
        where = root_file or default_root_file()
        apis = [a for a in read_root_file(where) if a.library_file]
    except (RootFileError, OSError) as e:
        looked.append("the root description file (%s)" % e)
    else:
        chosen = apis[0] if len(apis) == 1 else next((a for a in apis if a.short_name.upper() == "PDU7318"), None)
        if chosen is not None:
            return chosen.library_file, looked + ["entry %s of %s" % (chosen.short_name, where)]
        looked.append("%s (no PDU7318 entry with a local LIBRARY_FILE)" % where)
    return SYSTEM_NAME, looked + ["%s through the system's library search path" % SYSTEM_NAME]


def default_library(root_file=None):
    """The library path Api() uses when given neither name nor path."""
    return find_library(root_file)[0]


def load(path, looked=None):
    """(library, missing functions) for path, loaded once per process;
    LibraryNotFoundError naming where the client looked."""
    if path not in _libraries:
        try:
            _libraries[path] = C.load(path)
        except OSError as e:
            raise LibraryNotFoundError(path, looked or [path], e.strerror or str(e)) from None
    return _libraries[path]
