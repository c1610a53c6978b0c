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

# Test programs (and the test discovery that lists their cases at build
# time) run under Wine on the build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
