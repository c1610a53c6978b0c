# End-to-end tests: the real vcisim and pdutool (and through pdutool the
# library), driven by the scripts in tests/tools, which run the cases named
# on their command line side by side (e2e_runner.py). A case that cannot
# run on this machine (no tmux, python-can, root) exits 77: skipped.

# pdu7318_e2e(NAME SCRIPT CASE...): ctest test e2e.NAME running the cases.
set(_e2e_dir ${CMAKE_CURRENT_LIST_DIR})
function(pdu7318_e2e name script)
  add_test(NAME e2e.${name}
           COMMAND ${PDU7318_PYTHON} ${_e2e_dir}/${script}
                   --bin ${CMAKE_BINARY_DIR}/bin --data ${PDU7318_DATA_DIR} ${ARGN})
  set_tests_properties(e2e.${name} PROPERTIES LABELS e2e TIMEOUT 120 SKIP_RETURN_CODE 77)
endfunction()

# Every session of every scenario (any new file too); the simulator's fault
# options on raw frames. A faulty VCI is the in-process tests'
# (tests/reliability/FaultTest.cpp, the golden fault-* transcripts).
file(GLOB _scenarios CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/data/scenarios/*.json)
set(_others)
foreach(file ${_scenarios})
  get_filename_component(scenario ${file} NAME_WE)
  if(NOT scenario STREQUAL "demo")
    list(APPEND _others scenario:${scenario})
  endif()
endforeach()
# Six cases at a time, the longest first (a scenario case runs up to four
# simulators side by side): the library waits 100 ms for most of the VCI's
# answers, and a loaded machine must not stall a simulator that long.
pdu7318_e2e(simulator e2e.py --jobs 6 scenario:demo pdutool-poll wire-faults ${_others} pdutool-info)

pdu7318_e2e(protocols protocols_e2e.py --jobs 8)

pdu7318_e2e(doctor doctor_e2e.py --jobs 8 doctor-denied doctor-busy doctor-silent doctor-simulator
            doctor-simulator-holder doctor-config construct-no-vci)

# no-response waits the library's fixed 5 s after "response pending" (no
# ComParam shortens that wait): the longest test, alone.
pdu7318_e2e(pdutool-no-response pdutool_e2e.py no-response)
# The longest cases first: they start side by side.
pdu7318_e2e(pdutool-scripts pdutool_e2e.py --jobs 4 decode-log strict-parsing ioctl-failed script-seedkey
            script-exit-codes script-commands signal-stop params)

# destruct and count measure the 1 ms stream: each alone.
if(PDU7318_SANITIZE STREQUAL "")
  foreach(case destruct count)
    pdu7318_e2e(livebus-${case} livebus_e2e.py --lib $<TARGET_FILE:pdu7318> ${case})
  endforeach()
  # exit, killed and unplug measure no stream: other tests may run beside.
  pdu7318_e2e(livebus livebus_e2e.py --lib $<TARGET_FILE:pdu7318> exit killed unplug)
  # A 1 ms stream: see the python.busy_bus tests.
  set_tests_properties(e2e.livebus-destruct e2e.livebus-count PROPERTIES PROCESSORS 2)
endif()

pdu7318_e2e(pdutool-shell pdutool_shell_e2e.py shell:keeps shell:wait shell:twice shell:terminal small-fixes)
# A VCI pulled or gone silent: the silent case waits the module's 3 s
# receive timeout, the 500 ms check and CLOSE's 1 s: about 5.5 s, alone.
pdu7318_e2e(pdutool-vci-lost pdutool_shell_e2e.py vci-lost)

pdu7318_e2e(pdutool-support pdutool_support_e2e.py trace scan monitor)

# Under the sanitizers every process runs several times slower: the tests
# that start several simulators and clients at once count as two
# processors there and run at most three cases at a time.
if(NOT PDU7318_SANITIZE STREQUAL "")
  set_tests_properties(e2e.simulator e2e.protocols e2e.doctor e2e.pdutool-scripts e2e.pdutool-shell
                       e2e.pdutool-vci-lost e2e.pdutool-support PROPERTIES PROCESSORS 2
                       ENVIRONMENT PDU7318_E2E_MAX_JOBS=3)
endif()
