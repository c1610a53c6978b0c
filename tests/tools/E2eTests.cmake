# End-to-end tests: the real vcisim and pdutool (and through pdutool the
# library), driven by tests/tools/e2e.py. Included from tools/CMakeLists.txt.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(_e2e ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/e2e.py
    --bin ${CMAKE_BINARY_DIR}/bin --data ${PROJECT_SOURCE_DIR}/data)

function(pdu7318_e2e name)
  add_test(NAME e2e.${name} COMMAND ${_e2e} ${ARGN})
  set_tests_properties(e2e.${name} PROPERTIES LABELS e2e TIMEOUT 180)
endfunction()

# The simulator's fault options alone, on raw frames (its answers per
# family are the e2e.protocols rows and the scenario sessions, through the
# library).
foreach(case wire-faults)
  pdu7318_e2e(${case} ${case})
endforeach()

# Every scenario through pdutool and the library.
file(GLOB _scenarios CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/data/scenarios/*.json)
foreach(file ${_scenarios})
  get_filename_component(scenario ${file} NAME_WE)
  pdu7318_e2e(scenario.${scenario} scenario ${scenario})
endforeach()

# pdutool's other commands, polling mode and usage errors.
foreach(case pdutool-info pdutool-poll pdutool-usage)
  pdu7318_e2e(${case} ${case})
endforeach()

# A faulty VCI: the right statuses, no crash, no hang. Lost, corrupt and
# missing answers and an unplugged adapter are the in-process fault tests'
# (tests/reliability/FaultTest.cpp); here only what needs the real wire.
foreach(case fault-garbage fault-split fault-open-status)
  pdu7318_e2e(${case} ${case})
endforeach()

# Every resource of data/MDF.xml end to end, one table row each
# (tests/tools/protocols_e2e.py; rows run four at a time, a few seconds).
add_test(NAME e2e.protocols
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/protocols_e2e.py
                 --bin ${CMAKE_BINARY_DIR}/bin --data ${PROJECT_SOURCE_DIR}/data)
set_tests_properties(e2e.protocols PROPERTIES LABELS e2e TIMEOUT 120)

# pdutool doctor and the discovery progress (tests/tools/doctor_e2e.py);
# exit 77: the machine cannot run the case (no root or setpriv).
foreach(case doctor-missing doctor-denied doctor-busy doctor-silent doctor-simulator
             doctor-simulator-holder doctor-config construct-progress construct-no-vci)
  add_test(NAME e2e.${case}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/doctor_e2e.py
                   --bin ${CMAKE_BINARY_DIR}/bin --data ${PROJECT_SOURCE_DIR}/data ${case})
  set_tests_properties(e2e.${case} PROPERTIES LABELS e2e TIMEOUT 120 SKIP_RETURN_CODE 77)
endforeach()

# pdutool's shell and scripts, signals, strict options, params and
# decode-log (tests/tools/pdutool_e2e.py). Exit status 77: skipped (no tmux).
foreach(case script-seedkey script-exit-codes script-commands signal-stop strict-parsing ioctl-failed no-response params
             decode-log shell-terminal)
  add_test(NAME e2e.pdutool-${case}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/pdutool_e2e.py
                   --bin ${CMAKE_BINARY_DIR}/bin --data ${PROJECT_SOURCE_DIR}/data ${case})
  set_tests_properties(e2e.pdutool-${case} PROPERTIES LABELS e2e TIMEOUT 120 SKIP_RETURN_CODE 77)
endforeach()

# A live bus and a VCI that goes away (tests/tools/livebus_e2e.py: the
# library through a ctypes client against vcisim with busy-bus.json).
if(PDU7318_SANITIZE STREQUAL "")
  foreach(case destruct exit count killed unplug)
    add_test(NAME e2e.livebus-${case}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/livebus_e2e.py
                     --bin ${CMAKE_BINARY_DIR}/bin --lib $<TARGET_FILE:pdu7318> --data ${PROJECT_SOURCE_DIR}/data ${case})
    set_tests_properties(e2e.livebus-${case} PROPERTIES LABELS e2e TIMEOUT 120)
  endforeach()
endif()

# The shell keeps its session on Ctrl-C, per-command --wait, and the small
# behaviours of the commands (tests/tools/pdutool_shell_e2e.py; 77: no tmux).
foreach(case shell-ctrl-c small-fixes vci-lost)
  add_test(NAME e2e.pdutool-${case}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/pdutool_shell_e2e.py
                   --bin ${CMAKE_BINARY_DIR}/bin --data ${PROJECT_SOURCE_DIR}/data ${case})
  set_tests_properties(e2e.pdutool-${case} PROPERTIES LABELS e2e TIMEOUT 120 SKIP_RETURN_CODE 77)
endforeach()

# decode-log over a folder of several sessions, --trace read back by
# python-can, scan of the demo car, monitor (tests/tools/pdutool_support_e2e.py;
# 77: no python-can).
foreach(case decode-log-sessions trace scan monitor)
  add_test(NAME e2e.pdutool-${case}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/pdutool_support_e2e.py
                   --bin ${CMAKE_BINARY_DIR}/bin --data ${PROJECT_SOURCE_DIR}/data ${case})
  set_tests_properties(e2e.pdutool-${case} PROPERTIES LABELS e2e TIMEOUT 120 SKIP_RETURN_CODE 77)
endforeach()
