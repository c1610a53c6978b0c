# pdu7318_gtest(TARGET NAME [LABELS label...] [TIMEOUT s])
#
# One ctest entry runs a whole test program: its tests run one after the
# other in one process, the library's state returned to that of a fresh
# process before each (engine::ResetModule in the test support library).
# Starting ~300 processes cost the suite about a third of its time; that
# each test also passes alone, in a process of its own, is CI's
# "each test alone" stage (tools/ci/tests-alone.sh).
#
# Under Wine (WIN32) every test keeps its own entry: run-tests.sh runs the
# registry tests apart and gives a Wine process that failed to start a
# second run.
include(GoogleTest)
function(pdu7318_gtest target name)
  cmake_parse_arguments(arg "" "TIMEOUT" "LABELS" ${ARGN})
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 300)
  endif()
  set(labels unit ${arg_LABELS})
  if(WIN32)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${arg_TIMEOUT} LABELS "${labels}")
  else()
    add_test(NAME ${name} COMMAND ${target} --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${arg_TIMEOUT} LABELS "${labels}")
  endif()
endfunction()
