# The interpreter of every test that runs a Python script (e2e, lifetime,
# the Python package's tests, the version test), chosen once here.
# Debian's /usr/bin/python3 when there is one: it has python3-pytest and
# python3-can, and it starts at once, where a python3 earlier on PATH may be
# a version manager's shim (120 ms a start, a hundred starts in the e2e
# tests) without those modules. Else the one find_package finds.
if(NOT PDU7318_PYTHON)
  if(EXISTS /usr/bin/python3)
    set(_pdu7318_python /usr/bin/python3)
  else()
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    set(_pdu7318_python ${Python3_EXECUTABLE})
  endif()
  set(PDU7318_PYTHON ${_pdu7318_python} CACHE FILEPATH "Python interpreter of the tests")
endif()
