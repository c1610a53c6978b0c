# Who and what the module is, as its entry in the root description file
# names it. The Debian package, the Windows version resources and the
# Windows installer take the names from here.
set(PDU7318_ROOT_SHORT_NAME "PDU7318")
set(PDU7318_ROOT_DESCRIPTION "D-PDU API of the QDM7318 serial VCI")
set(PDU7318_ROOT_SUPPLIER "Norvik Delta GmbH")
