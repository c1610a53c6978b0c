# Settings shared by the two mingw-w64 toolchain files.

# TinyXML and GoogleTest built for the target live under one prefix
# (tools/windows/deps.sh); headers and libraries are searched there and in
# the compiler's own sysroot, programs on the build machine.
set(PDU7318_MINGW_PREFIX "" CACHE PATH "Prefix with TinyXML and GoogleTest built for this target")
set(CMAKE_FIND_ROOT_PATH /usr/${PDU7318_MINGW_TRIPLE} ${PDU7318_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# printf and friends from mingw-w64's own C99 implementation rather than
# msvcrt's, which knows neither %zu nor %lld: log lines and tools format
# with them.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")

# The DLL and the test programs carry their runtime inside: an application
# that loads the module must not need libstdc++-6.dll, libgcc_s or
# libwinpthread-1.dll beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs (and the test discovery that lists their cases) run under
# Wine on the build machine, with the loader tools/windows/env.sh chose:
# `wine` only where the 32-bit loader really runs a 32-bit program, else the
# 64-bit loader by name (Debian's `wine` would pick a 32-bit loader that a
# kernel without 32-bit support refuses, failing the 64-bit runs too). The
# scripts export the choice; a CMake run of its own makes it here.
if(DEFINED ENV{PDU7318_WINE} AND NOT "$ENV{PDU7318_WINE}" STREQUAL "")
  set(PDU7318_WINE "$ENV{PDU7318_WINE}")
elseif(NOT PDU7318_WINE)
  execute_process(
    COMMAND bash -c "source \"$1/env.sh\" && wine_choose >&2 && printf %s \"$PDU7318_WINE\""
            bash "${CMAKE_CURRENT_LIST_DIR}/../tools/windows"
    OUTPUT_VARIABLE PDU7318_WINE RESULT_VARIABLE _pdu7318_wine_rc)
  if(NOT _pdu7318_wine_rc EQUAL 0 OR PDU7318_WINE STREQUAL "")
    set(PDU7318_WINE wine)
  endif()
endif()
set(PDU7318_WINE "${PDU7318_WINE}" CACHE STRING "Wine loader for the test programs")
set(CMAKE_CROSSCOMPILING_EMULATOR "${PDU7318_WINE}")
