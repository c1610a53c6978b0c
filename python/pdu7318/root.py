"""Finding an installed D-PDU API through the root description file.

The file (on Linux /etc/pdu_api_root.xml; on Windows the path in the
registry value "Root File" under HKLM\\SOFTWARE\\D-PDU API) is shared by all
vendors:

    <MVCI_PDU_API_ROOT>
      <MVCI_PDU_API>
        <SHORT_NAME>PDU7318</SHORT_NAME>
        <DESCRIPTION>...</DESCRIPTION>
        <SUPPLIER_NAME>...</SUPPLIER_NAME>
        <LIBRARY_FILE URI="file:///usr/lib/x86_64-linux-gnu/libpdu7318.so.1"/>
        <MODULE_DESCRIPTION_FILE URI="file:///etc/brenlo/7318/MDF.xml"/>
        <CABLE_DESCRIPTION_FILE URI="file:///..."/>
      </MVCI_PDU_API>
    </MVCI_PDU_API_ROOT>
"""

import os
import re
import sys
import xml.etree.ElementTree as ET
from collections import namedtuple
from urllib.parse import unquote

LINUX_ROOT_FILE = "/etc/pdu_api_root.xml"

RootApi = namedtuple("RootApi", "short_name description supplier_name library_file "
                                "module_description_file cable_description_file")
RootApi.__doc__ = "One MVCI_PDU_API entry; the file fields are local paths (None when absent)."


class RootFileError(Exception):
    """The root description file cannot be read, or names no such API."""


def path_from_uri(uri):
    """'file:///usr/lib/x.so' -> '/usr/lib/x.so'; 'file:///C:/x.dll' -> 'C:/x.dll'.

    A text without a scheme is a path already. None for another scheme or a
    remote host."""
    if not uri:
        return None
    if not uri.lower().startswith("file:"):
        if re.match(r"^[A-Za-z][A-Za-z0-9+.-]+:", uri):  # "http:", not "C:"
            return None
        return uri
    rest = uri[5:]
    if rest.startswith("//"):
        host, slash, rest = rest[2:].partition("/")
        if not slash or host.lower() not in ("", "localhost"):
            return None
        rest = "/" + rest
    if not rest.startswith("/"):
        return None
    path = unquote(rest)
    if re.match(r"^/[A-Za-z]:", path):
        path = path[1:]
    return path


def default_root_file():
    """The root description file of this system: PDU_API_ROOT_FILE when set,
    else the registry's value on Windows, else /etc/pdu_api_root.xml."""
    env = os.environ.get("PDU_API_ROOT_FILE")
    if env:
        return env
    if sys.platform == "win32":
        import winreg
        for view in (0, getattr(winreg, "KEY_WOW64_64KEY", 0), getattr(winreg, "KEY_WOW64_32KEY", 0)):
            try:
                with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, r"SOFTWARE\D-PDU API", 0,
                                    winreg.KEY_READ | view) as key:
                    return winreg.QueryValueEx(key, "Root File")[0]
            except OSError:
                continue
        raise RootFileError(r"no registry value 'Root File' under HKLM\SOFTWARE\D-PDU API")
    return LINUX_ROOT_FILE


def read_root_file(path=None):
    """The entries of the root description file, in file order."""
    path = path or default_root_file()
    try:
        tree = ET.parse(path)
    except (OSError, ET.ParseError) as e:
        raise RootFileError("%s: %s" % (path, e)) from None
    root = tree.getroot()
    if root.tag != "MVCI_PDU_API_ROOT":
        raise RootFileError("%s: the root element is %s, not MVCI_PDU_API_ROOT" % (path, root.tag))

    def text(e, name):
        child = e.find(name)
        return (child.text or "").strip() if child is not None else ""

    def uri(e, name):
        child = e.find(name)
        return path_from_uri(child.get("URI")) if child is not None else None

    return [RootApi(text(e, "SHORT_NAME"), text(e, "DESCRIPTION"), text(e, "SUPPLIER_NAME"),
                    uri(e, "LIBRARY_FILE"), uri(e, "MODULE_DESCRIPTION_FILE"), uri(e, "CABLE_DESCRIPTION_FILE"))
            for e in root.findall("MVCI_PDU_API")]


def find_api(short_name, path=None):
    """The entry named short_name: an exact match, else the only one that
    matches ignoring case."""
    apis = read_root_file(path)
    for api in apis:
        if api.short_name == short_name:
            return api
    folded = [a for a in apis if a.short_name.lower() == short_name.lower()]
    if len(folded) == 1:
        return folded[0]
    raise RootFileError("%s names no API %s" % (path or default_root_file(), short_name))
