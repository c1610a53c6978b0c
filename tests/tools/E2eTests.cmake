# End-to-end tests: the real vcisim and pdutool (and through pdutool the
# library), driven by the scripts in tests/tools. Included from
# tools/CMakeLists.txt. Every script takes the cases to run on its command
# line and runs several side by side (e2e_runner.py); a case that cannot
# run on this machine (no tmux, python-can, root) exits 77: skipped.

# pdu7318_e2e(NAME SCRIPT CASE...): ctest test e2e.NAME running the cases.
set(_e2e_dir ${CMAKE_CURRENT_LIST_DIR})
function(pdu7318_e2e name script)
  add_test(NAME e2e.${name}
           COMMAND ${PDU7318_PYTHON} ${_e2e_dir}/${script}
                   --bin ${CMAKE_BINARY_DIR}/bin --data ${PROJECT_SOURCE_DIR}/data ${ARGN})
  set_tests_properties(e2e.${name} PROPERTIES LABELS e2e TIMEOUT 120 SKIP_RETURN_CODE 77)
endfunction()

# The simulator's fault options alone, on raw frames (its answers per
# family are the e2e.protocols rows and the scenario sessions, through the
# library).
pdu7318_e2e(wire-faults e2e.py wire-faults)

# Every scenario through pdutool and the library, each session against a
# simulator of its own, side by side: demo (the longest) alone, every
# other one (any new file too) in e2e.scenario.others.
file(GLOB _scenarios CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/data/scenarios/*.json)
set(_others)
foreach(file ${_scenarios})
  get_filename_component(scenario ${file} NAME_WE)
  if(NOT scenario STREQUAL "demo")
    list(APPEND _others scenario:${scenario})
  endif()
endforeach()
pdu7318_e2e(scenario.demo e2e.py scenario:demo)
pdu7318_e2e(scenario.others e2e.py --jobs 6 ${_others})

# pdutool's other commands and polling mode. A faulty VCI is the
# in-process tests' (tests/reliability/FaultTest.cpp, the golden fault-*
# transcripts, DeviceFrame's splitter, ConstructTest's refused OPEN) and
# wire-faults' for the simulator's side.
pdu7318_e2e(pdutool-commands e2e.py pdutool-info pdutool-poll)

# Every resource of data/MDF.xml end to end, one table row each
# (tests/tools/protocols_e2e.py; rows run six at a time: each mostly waits).
pdu7318_e2e(protocols protocols_e2e.py)

# pdutool doctor and the discovery progress (tests/tools/doctor_e2e.py);
# skipped where the machine cannot run a case (no root or setpriv).
# construct-no-vci alone: the discovery's and the doctor's probes of a
# silent port take 6 s.
pdu7318_e2e(construct-no-vci doctor_e2e.py construct-no-vci)
pdu7318_e2e(doctor-ports doctor_e2e.py --jobs 8 doctor-missing doctor-denied doctor-busy doctor-silent doctor-simulator
            doctor-simulator-holder doctor-config construct-progress)

# pdutool's shell and scripts, signals, strict options, params and
# decode-log (tests/tools/pdutool_e2e.py).
foreach(case script-seedkey script-exit-codes strict-parsing ioctl-failed no-response decode-log)
  pdu7318_e2e(pdutool-${case} pdutool_e2e.py ${case})
endforeach()
pdu7318_e2e(pdutool-script-commands pdutool_e2e.py script-commands signal-stop params)

# A live bus and a VCI that goes away (tests/tools/livebus_e2e.py: the
# library through a ctypes client against vcisim with busy-bus.json).
if(PDU7318_SANITIZE STREQUAL "")
  foreach(case destruct exit count killed unplug)
    pdu7318_e2e(livebus-${case} livebus_e2e.py --lib $<TARGET_FILE:pdu7318> ${case})
    # A 1 ms stream: see the python.busy_bus tests.
    set_tests_properties(e2e.livebus-${case} PROPERTIES PROCESSORS 2)
  endforeach()
endif()

# The shell keeps its session on Ctrl-C, per-command --wait, Tab completion
# and line editing, and the small behaviours of the commands
# (tests/tools/pdutool_shell_e2e.py).
foreach(case small-fixes vci-lost shell-terminal)
  pdu7318_e2e(pdutool-${case} pdutool_shell_e2e.py ${case})
endforeach()
foreach(part keeps wait twice)
  pdu7318_e2e(pdutool-shell-ctrl-c-${part} pdutool_shell_e2e.py shell-ctrl-c:${part})
endforeach()

# decode-log over a folder of several sessions, --trace read back by
# python-can, scan of the demo car, monitor
# (tests/tools/pdutool_support_e2e.py).
foreach(case decode-log-sessions trace scan monitor)
  pdu7318_e2e(pdutool-${case} pdutool_support_e2e.py ${case})
endforeach()

# The tests that run several pdutool and vcisim processes side by side
# count as two for ctest -j: their start-ups come at once, and the live-bus
# tests beside them measure frames per second.
set_tests_properties(e2e.scenario.demo e2e.scenario.others e2e.pdutool-commands e2e.protocols
                     e2e.doctor-ports e2e.pdutool-script-exit-codes e2e.pdutool-ioctl-failed
                     e2e.pdutool-trace e2e.pdutool-scan e2e.pdutool-monitor e2e.pdutool-small-fixes PROPERTIES PROCESSORS 2)
