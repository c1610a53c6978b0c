# pdutool and pdu7318-rootfile for Windows (included by tools/CMakeLists.txt
# when WIN32).
#
# Only pdutool is cross-built of the tools: vcisim needs a pseudo-terminal
# and runs on the Linux side of the Wine end-to-end test (tools/windows/e2e.sh).
# The sources are pdutool's own, with the Windows library loader in place of
# the dlopen one and the registry lookup of the root description file
# (RootFileWin32.cpp). nlohmann_json's headers come from the mingw prefix
# that tools/windows/deps.sh fills.
#
# pdu7318-rootfile.exe is the Debian package's root-file helper built for
# Windows: the installer runs it to add and remove our entry, so the same
# code edits the file on both systems.
find_package(nlohmann_json 3 REQUIRED)
include(${PROJECT_SOURCE_DIR}/cmake/VersionResource.cmake)
file(GLOB _pdutool_srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/pdutool/*.cpp)
# The POSIX bodies (dlopen, sigwait, the terminal shell) give way to the
# Windows files here.
list(FILTER _pdutool_srcs EXCLUDE REGEX "/(PduLibrary|Signals|VciPort|DecodeLog|LogDecoder|Shell[A-Za-z]*)\\.cpp$")
list(FILTER _pdutool_srcs EXCLUDE REGEX "Posix\\.cpp$")
add_executable(pdutool ${_pdutool_srcs} ${CMAKE_CURRENT_LIST_DIR}/PduLibraryWin32.cpp
                       ${CMAKE_CURRENT_LIST_DIR}/RootFileWin32.cpp ${CMAKE_CURRENT_LIST_DIR}/SignalsWin32.cpp
                       ${CMAKE_CURRENT_LIST_DIR}/ShellWin32.cpp ${CMAKE_CURRENT_LIST_DIR}/VciPortWin32.cpp
                       ${CMAKE_CURRENT_LIST_DIR}/DecodeLogWin32.cpp ${CMAKE_CURRENT_LIST_DIR}/UsageWin32.cpp)
target_include_directories(pdutool PRIVATE ${PROJECT_SOURCE_DIR}/include
                                           ${CMAKE_CURRENT_SOURCE_DIR}/pdutool)
# rstrtmgr: the Restart Manager that RootFileWin32.cpp asks for a file's holders.
target_link_libraries(pdutool PRIVATE Threads::Threads nlohmann_json::nlohmann_json
                                      PkgConfig::TINYXML pdu7318_warnings rstrtmgr)
# pdutool doctor opens and probes ports with the library's own code.
target_link_libraries(pdutool PRIVATE pdu7318_core)
target_link_libraries(pdutool PRIVATE hex_bytes)
target_compile_definitions(pdutool PRIVATE PDUTOOL_VERSION="${PROJECT_VERSION}")
add_dependencies(pdutool pdu7318)
pdu7318_version_resource(pdutool "Command-line client of D-PDU APIs")

add_executable(pdu7318-rootfile ${PROJECT_SOURCE_DIR}/packaging/pdu7318-rootfile.cpp
                                ${CMAKE_CURRENT_SOURCE_DIR}/pdutool/RootFile.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/RootFileWin32.cpp)
target_include_directories(pdu7318-rootfile PRIVATE ${PROJECT_SOURCE_DIR}/include
                                                    ${CMAKE_CURRENT_SOURCE_DIR}/pdutool)
target_link_libraries(pdu7318-rootfile PRIVATE nlohmann_json::nlohmann_json PkgConfig::TINYXML
                                               pdu7318_warnings rstrtmgr)
pdu7318_version_resource(pdu7318-rootfile "Root description file helper of ${PDU7318_ROOT_SHORT_NAME}")

# An application at the edges of the module's lifetime (the end-to-end run
# and the stress run under Wine check its exit status and what it prints).
add_executable(exit_client ${CMAKE_CURRENT_LIST_DIR}/exit_client.c)
target_include_directories(exit_client PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/tests/lifetime)
add_dependencies(exit_client pdu7318)
