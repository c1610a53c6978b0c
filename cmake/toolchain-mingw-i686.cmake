# Cross build for 32-bit Windows with Debian's mingw-w64 (posix thread model,
# which std::thread and std::mutex need).
#   cmake -S . -B build-win32 -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
#     -DPDU7318_MINGW_PREFIX=<folder holding include/ and lib/ of TinyXML and GoogleTest>
# tools/windows/build.sh does all of it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PDU7318_MINGW_TRIPLE i686-w64-mingw32)

set(CMAKE_C_COMPILER ${PDU7318_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PDU7318_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PDU7318_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${PDU7318_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${PDU7318_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
