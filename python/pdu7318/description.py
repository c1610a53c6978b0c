"""Short names from a module description file, for the hint on a name the
module does not know: the library looks names up case-sensitively and has
no call that lists them, so a name typed in the wrong case
(rsc_iso_11898_raw_6_14) is found here instead.

The file lists each object as a child of the root element:

    <MVCI_MODULE_DESCRIPTION>
      <RESOURCE EID="..."><ID>..</ID><SHORT_NAME>RSC_...</SHORT_NAME>...</RESOURCE>
      <COMPARAM EID="..."><ID>..</ID><SHORT_NAME>CP_...</SHORT_NAME>...</COMPARAM>
      ...
"""

import os
import sys
import xml.etree.ElementTree as ET

# The element of each object type (T_PDU_OBJT values).
ELEMENTS = {0x8021: "PROTOCOL", 0x8022: "BUSTYPE", 0x8023: "IO_CTRL", 0x8024: "COMPARAM", 0x8025: "PINTYPE",
            0x8026: "RESOURCE"}


def default_path():
    """Where this module's library reads its description (Linux):
    $PDU7318_HOME/MDF.xml, else /etc/brenlo/7318/MDF.xml. None elsewhere."""
    if not sys.platform.startswith("linux"):
        return None
    return os.path.join(os.environ.get("PDU7318_HOME") or "/etc/brenlo/7318", "MDF.xml")


def same_name_other_case(path, object_type, name):
    """The name the description gives an object of that type which differs
    from name only in case; None when there is none or the file cannot be
    read."""
    element = ELEMENTS.get(object_type)
    if not path or element is None:
        return None
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        return None
    folded = name.casefold()
    for e in root.findall("./%s/SHORT_NAME" % element):
        text = (e.text or "").strip()
        if text != name and text.casefold() == folded:
            return text
    return None


def parse_problem(path):
    """The XML parser's message when the file exists and cannot be parsed
    (the module then loads no object from it, and says so only by a count
    missing from its log); None when it parses or cannot be read."""
    if not path:
        return None
    try:
        ET.parse(path)
    except ET.ParseError as e:
        return str(e)
    except OSError:
        return None
    return None
