# Test build for Windows (included by tests/CMakeLists.txt when WIN32).
#
# The Windows test programs run under Wine on the build machine. Tests that
# need a pseudo-terminal (the fake VCI of tests/support/TestVci) or other
# POSIX-only calls cannot run there; they are recognised by their includes
# and left out:
#   - a support unit (X.h/X.cpp) is POSIX-only when either file includes a
#     POSIX header or another POSIX-only support header;
#   - a test file is left out when it includes a POSIX header or a POSIX-only
#     support header.
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

# The POSIX-only headers of tests/support, as "support/X.h" include names.
function(_pdu7318_posix_support_headers out)
  file(GLOB _units CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.h)
  set(_posix)
  # Twice, so that a unit that includes a POSIX-only unit is caught too.
  foreach(_pass 1 2)
    foreach(h ${_units})
      get_filename_component(_name ${h} NAME_WE)
      if("support/${_name}.h" IN_LIST _posix)
        continue()
      endif()
      set(_files ${h})
      if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/support/${_name}.cpp)
        list(APPEND _files ${CMAKE_CURRENT_SOURCE_DIR}/support/${_name}.cpp)
      endif()
      foreach(f ${_files})
        _pdu7318_uses_posix(${f} _uses ${_posix})
        if(_uses)
          list(APPEND _posix "support/${_name}.h")
          break()
        endif()
      endforeach()
    endforeach()
  endforeach()
  set(${out} ${_posix} PARENT_SCOPE)
endfunction()

_pdu7318_posix_support_headers(PDU7318_POSIX_SUPPORT)
if(PDU7318_POSIX_SUPPORT)
  message(STATUS "Windows tests: POSIX-only support left out: ${PDU7318_POSIX_SUPPORT}")
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
