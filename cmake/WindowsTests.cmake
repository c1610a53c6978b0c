# Test build for Windows (included by tests/CMakeLists.txt when WIN32).
#
# The Windows test programs run under Wine on the build machine. Tests that
# need a pseudo-terminal (the fake VCI of tests/support/TestVci) or other
# POSIX-only calls cannot run there; they are recognised by their includes
# and left out:
#   - a helper unit (tests/support/X.h/.cpp, or a room's own X.h/.cpp) is
#     POSIX-only when either file includes a POSIX header or another
#     POSIX-only helper header;
#   - a test file is left out when it includes a POSIX header or a POSIX-only
#     helper header.
# Windows-only tests live in tests/<room>/win32/.

# Listing the cases of a test program runs it; under Wine that happens when
# ctest runs, not while building.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

set(_pdu7318_posix_headers "unistd|termios|pty|poll|fcntl|dirent|glob|sys/[a-z_]+|asm/[a-z_]+")

# True (in out) when the file includes a POSIX header or one of the support
# headers named in ARGN.
function(_pdu7318_uses_posix file out)
  set(_alt "${_pdu7318_posix_headers}")
  foreach(h ${ARGN})
    string(REPLACE "." "\\." h "${h}")
    string(APPEND _alt "|${h}")
  endforeach()
  file(STRINGS ${file} _hits REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](${_alt})(\\.h)?[>\"]")
  if(_hits)
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

# The POSIX-only headers of the tests, as they are included: "support/X.h"
# for tests/support, "X.h" for a room's own helper headers.
function(_pdu7318_posix_support_headers out)
  file(GLOB _support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.h)
  file(GLOB _local CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*/*.h)
  list(REMOVE_ITEM _local ${_support})
  set(_posix)
  # Until nothing changes, so that a header that includes a POSIX-only
  # header is caught too.
  foreach(_pass 1 2 3 4)
    set(_changed FALSE)
    foreach(h ${_support} ${_local})
      get_filename_component(_name ${h} NAME_WE)
      get_filename_component(_dir ${h} DIRECTORY)
      if(h IN_LIST _support)
        set(_inc "support/${_name}.h")
      else()
        set(_inc "${_name}.h")
      endif()
      if(_inc IN_LIST _posix)
        continue()
      endif()
      set(_files ${h})
      if(EXISTS ${_dir}/${_name}.cpp)
        list(APPEND _files ${_dir}/${_name}.cpp)
      endif()
      foreach(f ${_files})
        _pdu7318_uses_posix(${f} _uses ${_posix})
        if(_uses)
          list(APPEND _posix ${_inc})
          set(_changed TRUE)
          break()
        endif()
      endforeach()
    endforeach()
    if(NOT _changed)
      break()
    endif()
  endforeach()
  set(${out} ${_posix} PARENT_SCOPE)
endfunction()

_pdu7318_posix_support_headers(PDU7318_POSIX_SUPPORT)
if(PDU7318_POSIX_SUPPORT)
  message(STATUS "Windows tests: POSIX-only helpers: ${PDU7318_POSIX_SUPPORT}")
endif()

# Removes the POSIX-only files from the list variable `var`.
function(pdu7318_drop_posix_only var)
  set(_keep)
  foreach(f ${${var}})
    _pdu7318_uses_posix(${f} _uses ${PDU7318_POSIX_SUPPORT})
    if(_uses)
      file(RELATIVE_PATH _rel ${CMAKE_CURRENT_SOURCE_DIR} ${f})
      message(STATUS "Windows tests: left out ${_rel}")
    else()
      list(APPEND _keep ${f})
    endif()
  endforeach()
  set(${var} ${_keep} PARENT_SCOPE)
endfunction()
