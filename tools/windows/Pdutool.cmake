# pdutool for Windows (included by tools/CMakeLists.txt when WIN32).
#
# Only pdutool is cross-built: vcisim needs a pseudo-terminal and runs on
# the Linux side of the Wine end-to-end test (tools/windows/e2e.sh). The
# sources are pdutool's own, with the Windows library loader in place of
# the dlopen one. nlohmann_json's headers come from the mingw prefix that
# tools/windows/deps.sh fills.
find_package(nlohmann_json 3 REQUIRED)
file(GLOB _pdutool_srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/pdutool/*.cpp)
list(FILTER _pdutool_srcs EXCLUDE REGEX "/PduLibrary\\.cpp$")
add_executable(pdutool ${_pdutool_srcs} ${CMAKE_CURRENT_LIST_DIR}/PduLibraryWin32.cpp)
target_include_directories(pdutool PRIVATE ${PROJECT_SOURCE_DIR}/include
                                           ${CMAKE_CURRENT_SOURCE_DIR}/pdutool)
target_link_libraries(pdutool PRIVATE Threads::Threads nlohmann_json::nlohmann_json
                                      PkgConfig::TINYXML pdu7318_warnings)
# pdutool doctor probes ports with the library's frame codec.
target_sources(pdutool PRIVATE ${PROJECT_SOURCE_DIR}/src/device/DeviceFrame.cpp)
target_include_directories(pdutool PRIVATE ${PROJECT_SOURCE_DIR}/src)
add_dependencies(pdutool pdu7318)
