# End-to-end tests: the real vcisim and pdutool (and through pdutool the
# library), driven by the scripts in tests/tools. Included from
# tools/CMakeLists.txt. Every script takes the cases to run on its command
# line and runs several side by side (e2e_runner.py): most of a case's time
# is waiting (the library's 500 ms settle pause after opening the VCI, an
# ECU's timeout), so one test of many cases takes about as long as its
# longest case. A case that cannot run on this machine (no tmux, python-can,
# root) exits 77: skipped.

# pdu7318_e2e(NAME SCRIPT CASE...): ctest test e2e.NAME running the cases.
set(_e2e_dir ${CMAKE_CURRENT_LIST_DIR})
function(pdu7318_e2e name script)
  add_test(NAME e2e.${name}
           COMMAND ${PDU7318_PYTHON} ${_e2e_dir}/${script}
                   --bin ${CMAKE_BINARY_DIR}/bin --data ${PDU7318_DATA_DIR} ${ARGN})
  set_tests_properties(e2e.${name} PROPERTIES LABELS e2e TIMEOUT 120 SKIP_RETURN_CODE 77)
endfunction()

# The simulator's fault options alone, on raw frames (its answers per
# family are the e2e.protocols rows and the scenario sessions, through the
# library); every session of every scenario (any new file too) through
# pdutool and the library, each against a simulator of its own; pdutool
# info and polling mode. A faulty VCI is the in-process tests'
# (tests/reliability/FaultTest.cpp, the golden fault-* transcripts,
# DeviceFrame's splitter, ConstructTest's refused OPEN).
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

# Every resource of data/MDF.xml end to end, one table row each
# (tests/tools/protocols_e2e.py; rows run eight at a time: each mostly waits).
pdu7318_e2e(protocols protocols_e2e.py --jobs 8)

# pdutool doctor and the discovery progress (tests/tools/doctor_e2e.py);
# doctor-denied is skipped where the machine has no root or setpriv.
pdu7318_e2e(doctor doctor_e2e.py --jobs 8 doctor-denied doctor-busy doctor-silent doctor-simulator
            doctor-simulator-holder doctor-config construct-progress construct-no-vci)

# pdutool's scripts, signals, strict options, params, I/O controls
# (tests/tools/pdutool_e2e.py). no-response waits the library's fixed 5 s
# after "response pending" (no ComParam shortens that wait): the longest
# test, alone.
pdu7318_e2e(pdutool-no-response pdutool_e2e.py no-response)
pdu7318_e2e(pdutool-scripts pdutool_e2e.py --jobs 4 script-seedkey script-exit-codes strict-parsing ioctl-failed
            script-commands signal-stop params)
# decode-log of one session (a folder, a file, --follow), then of a day's
# folder of four (a killed client, a failed port search among them).
pdu7318_e2e(pdutool-decode-log pdutool_e2e.py decode-log)

# A live bus and a VCI that goes away (tests/tools/livebus_e2e.py: the
# library through a ctypes client against vcisim with busy-bus.json).
# destruct and count measure the 1 ms stream: each alone.
if(PDU7318_SANITIZE STREQUAL "")
  foreach(case destruct count)
    pdu7318_e2e(livebus-${case} livebus_e2e.py --lib $<TARGET_FILE:pdu7318> ${case})
  endforeach()
  pdu7318_e2e(livebus livebus_e2e.py --lib $<TARGET_FILE:pdu7318> exit killed unplug)
  # A 1 ms stream: see the python.busy_bus tests.
  set_tests_properties(e2e.livebus-destruct e2e.livebus-count e2e.livebus PROPERTIES PROCESSORS 2)
endif()

# The shell keeps its session on Ctrl-C, per-command --wait, Tab completion
# and line editing (tmux), and the small behaviours of the commands
# (tests/tools/pdutool_shell_e2e.py).
pdu7318_e2e(pdutool-shell pdutool_shell_e2e.py shell:keeps shell:wait shell:twice shell:terminal)
pdu7318_e2e(pdutool-small-fixes pdutool_shell_e2e.py small-fixes)
# A VCI pulled or gone silent: the silent case waits the module's receive
# timeout (about 3.8 s), the 500 ms check and CLOSE's 1 s: about 7 s, alone.
pdu7318_e2e(pdutool-vci-lost pdutool_shell_e2e.py vci-lost)

# --trace read back by python-can, scan of the demo car, monitor
# (tests/tools/pdutool_support_e2e.py).
pdu7318_e2e(pdutool-support pdutool_support_e2e.py trace scan monitor)

# Under the sanitizers every process runs several times slower: the tests
# that start several simulators and clients at once count as two
# processors there and run at most three cases at a time.
if(NOT PDU7318_SANITIZE STREQUAL "")
  set_tests_properties(e2e.simulator e2e.protocols e2e.doctor e2e.pdutool-scripts e2e.pdutool-shell
                       e2e.pdutool-small-fixes e2e.pdutool-vci-lost e2e.pdutool-support PROPERTIES PROCESSORS 2
                       ENVIRONMENT PDU7318_E2E_MAX_JOBS=3)
endif()
