# Install layout (cmake --install) and the Debian package (cpack -G DEB).
#
#   <prefix>/<libdir>/libpdu7318.so.<version>  the library; .so.1 (SONAME) and .so link to it
#   <prefix>/include/pdu_api.h
#   <prefix>/<libdir>/pkgconfig/pdu7318.pc
#   <prefix>/<libdir>/cmake/pdu7318/         find_package(pdu7318) -> pdu7318::pdu7318
#   <prefix>/bin/vcisim, pdutool
#   <prefix>/libexec/pdu7318/pdu7318-rootfile   edits the root description file
#   <prefix>/share/man/man1/vcisim.1.gz, pdutool.1.gz
#   <prefix>/share/pdu7318/scenarios/        the simulator's scenario files
#   <prefix>/share/doc/pdu7318/              install, pdutool, vcisim, hardware and python documents,
#                                            the udev rule 60-pdu7318.rules
#   <prefix>/lib/python3/dist-packages/pdu7318/   the Python package, for Debian's python3,
#       with pdu7318-<version>.dist-info (its python-can entry point)
#   <prefix>/etc/brenlo/7318/                MDF.xml, config.ini, PDUAPI_7318.ini (<build>/data, see
#                                            cmake/Version.cmake; PDU7318_APP_DIR,
#                                            default relative: the package passes /etc/brenlo/7318)
#
# The package registers the API in /etc/pdu_api_root.xml from its postinst
# and unregisters it in its prerm (packaging/). A plain `cmake --install`
# does not touch that shared file; docs/install.md shows the command.
#
# Build the package with the prefix it installs to:
#   cmake -S . -B build-deb -G Ninja -DCMAKE_INSTALL_PREFIX=/usr -DPDU7318_APP_DIR=/etc/brenlo/7318
#   cmake --build build-deb
#   cpack --config build-deb/CPackConfig.cmake -B build-deb/package

if(WIN32)
  return()
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
find_package(nlohmann_json 3 REQUIRED)

# The library reads /etc/brenlo/7318 when PDU7318_HOME is not set
# (src/platform/posix/Platform.cpp). The default here is relative, so that
# `cmake --install build --prefix DIR` writes only under DIR (DIR/etc/...)
# and a user's install never changes /etc behind their back; such a
# program then sets PDU7318_HOME. The Debian package passes the absolute
# /etc/brenlo/7318.
set(PDU7318_APP_DIR "${CMAKE_INSTALL_SYSCONFDIR}/brenlo/7318" CACHE STRING
    "Application folder for MDF.xml, config.ini, PDUAPI_7318.ini (relative: under the prefix)")
if(IS_ABSOLUTE "${PDU7318_APP_DIR}")
  set(PDU7318_APP_DIR_FULL "${PDU7318_APP_DIR}")
else()
  set(PDU7318_APP_DIR_FULL "${CMAKE_INSTALL_PREFIX}/${PDU7318_APP_DIR}")
endif()

# Entry of the root description file.
include(${CMAKE_CURRENT_LIST_DIR}/Product.cmake)

set(PDU7318_LIBRARY_FILE "${CMAKE_INSTALL_FULL_LIBDIR}/libpdu7318.so.${PROJECT_VERSION_MAJOR}")
set(PDU7318_ROOTFILE_TOOL "${CMAKE_INSTALL_FULL_LIBEXECDIR}/pdu7318/pdu7318-rootfile")
set(_pkg_out ${CMAKE_BINARY_DIR}/packaging)

# ---- root description file: the model (shared with pdutool) and the helper ----

add_library(pdu7318_rootfile STATIC ${PROJECT_SOURCE_DIR}/tools/pdutool/RootFile.cpp)
target_include_directories(pdu7318_rootfile PUBLIC ${PROJECT_SOURCE_DIR}/tools/pdutool ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(pdu7318_rootfile PUBLIC PkgConfig::TINYXML nlohmann_json::nlohmann_json
                      PRIVATE pdu7318_warnings)

add_executable(pdu7318-rootfile ${PROJECT_SOURCE_DIR}/packaging/pdu7318-rootfile.cpp)
target_link_libraries(pdu7318-rootfile PRIVATE pdu7318_rootfile pdu7318_warnings)

# ---- files ----

install(TARGETS pdu7318 EXPORT pdu7318Targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/pdu_api.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS pdu7318-rootfile RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/pdu7318)
foreach(tool vcisim pdutool)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The version data as generated (the other two from the sources: install()
# would copy the build folder's links as links).
install(FILES ${PROJECT_SOURCE_DIR}/data/MDF.xml ${PROJECT_SOURCE_DIR}/data/config.ini
              ${PDU7318_DATA_DIR}/PDUAPI_7318.ini
        DESTINATION ${PDU7318_APP_DIR})
file(GLOB _scenarios CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/data/scenarios/*.json)
install(FILES ${_scenarios} DESTINATION ${CMAKE_INSTALL_DATADIR}/pdu7318/scenarios)
install(FILES ${PROJECT_SOURCE_DIR}/docs/install.md ${PROJECT_SOURCE_DIR}/docs/pdutool.md
              ${PROJECT_SOURCE_DIR}/docs/vcisim.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The udev rule that pdutool doctor points to (docs/hardware.md); a
# document, not installed into /etc/udev: the administrator decides.
install(FILES ${PROJECT_SOURCE_DIR}/docs/hardware.md ${PROJECT_SOURCE_DIR}/data/60-pdu7318.rules
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

install(FILES ${PROJECT_SOURCE_DIR}/docs/python.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Python package (python/pdu7318, pure Python) where Debian's python3
# looks for modules of every Python 3 version, and its distribution
# metadata: python-can finds the interface through the can.interface entry
# point in entry_points.txt. The version is the project's.
set(PDU7318_PYTHON_DIR "lib/python3/dist-packages" CACHE STRING "Install folder of the Python package, relative to the prefix")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/pdu7318 DESTINATION ${PDU7318_PYTHON_DIR}
        FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
set(_distinfo ${_pkg_out}/pdu7318-${PROJECT_VERSION}.dist-info)
file(WRITE ${_distinfo}/METADATA
     "Metadata-Version: 2.1\nName: pdu7318\nVersion: ${PROJECT_VERSION}\n"
     "Summary: Client for ISO 22900-2 (D-PDU API) libraries, with a python-can interface\n"
     "Requires-Python: >=3.9\nProvides-Extra: can\nRequires-Dist: python-can>=4.0; extra == \"can\"\n")
file(WRITE ${_distinfo}/entry_points.txt "[can.interface]\npdu7318 = pdu7318.can:PduCanBus\n")
file(WRITE ${_distinfo}/top_level.txt "pdu7318\n")
file(WRITE ${_distinfo}/INSTALLER "dpkg\n")
install(DIRECTORY ${_distinfo} DESTINATION ${PDU7318_PYTHON_DIR})

# Man pages (generated with the version in their header, cmake/Version.cmake),
# compressed as Debian keeps them (-n: no time stamp, so the package is the
# same for the same sources).
set(_man_gz)
foreach(page vcisim.1 pdutool.1)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                     COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/man/${page} > ${CMAKE_BINARY_DIR}/man/${page}.gz
                     DEPENDS ${CMAKE_BINARY_DIR}/man/${page} VERBATIM)
  list(APPEND _man_gz ${CMAKE_BINARY_DIR}/man/${page}.gz)
endforeach()
add_custom_target(pdu7318_man ALL DEPENDS ${_man_gz})
install(FILES ${_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# pkg-config and CMake package files.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(PDU7318_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(PDU7318_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(PDU7318_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(PDU7318_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/pdu7318.pc.in ${_pkg_out}/pdu7318.pc @ONLY)
install(FILES ${_pkg_out}/pdu7318.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/pdu7318)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/pdu7318Config.cmake.in
                              ${_pkg_out}/pdu7318Config.cmake
                              INSTALL_DESTINATION ${_cmake_dir})
write_basic_package_version_file(${_pkg_out}/pdu7318ConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${_pkg_out}/pdu7318Config.cmake ${_pkg_out}/pdu7318ConfigVersion.cmake
        DESTINATION ${_cmake_dir})
# pdu7318Targets.cmake defines pdu7318::pdu7318 from the installed files,
# relative to where it is found (the package can be unpacked anywhere).
install(EXPORT pdu7318Targets NAMESPACE pdu7318:: DESTINATION ${_cmake_dir})

# ---- Debian package ----

set(_exec OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
foreach(script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/${script}.in ${_pkg_out}/${script} @ONLY
                 FILE_PERMISSIONS ${_exec})
endforeach()
# The application folder's files are configuration: dpkg keeps a user's
# edits on upgrade and removal, and asks before replacing them.
file(WRITE ${_pkg_out}/conffiles
     "${PDU7318_APP_DIR_FULL}/MDF.xml\n${PDU7318_APP_DIR_FULL}/config.ini\n${PDU7318_APP_DIR_FULL}/PDUAPI_7318.ini\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pdu7318)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "${PDU7318_ROOT_SUPPLIER}")
set(CPACK_PACKAGE_CONTACT "pdu7318 maintainers <pdu7318@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "D-PDU API (ISO 22900-2) module for the QDM7318 serial VCI")
# CPack puts the summary in front as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The library libpdu7318.so.1 implements the D-PDU API for one serial\n"
    "vehicle communication interface, with its module description and\n"
    "version data in /etc/brenlo/7318, an entry in /etc/pdu_api_root.xml\n"
    "for clients that look APIs up there, the header, pkg-config and CMake\n"
    "files for building against it, the VCI simulator vcisim, the\n"
    "command-line client pdutool and the Python package pdu7318 (a D-PDU\n"
    "client and a python-can interface).")
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Run-time dependencies from the binaries themselves (dpkg-shlibdeps):
# libc6, libstdc++6, libgcc-s1 and libtinyxml2.6.2v5 today.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The Python package is an extra: C users need no Python, and the python-can
# interface needs python-can only when it is used.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, python3-can")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${_pkg_out}/postinst ${_pkg_out}/prerm ${_pkg_out}/postrm ${_pkg_out}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# The package installs where this build was configured to install, so the
# paths written into the maintainer scripts and pdu7318.pc are the ones
# its files land at. Configure with -DCMAKE_INSTALL_PREFIX=/usr for Debian.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
# A package whose application folder followed the prefix (/usr/etc/...)
# would install files the library never reads: cpack refuses to build it.
file(WRITE ${_pkg_out}/CPackProjectConfig.cmake
     "if(NOT IS_ABSOLUTE \"${PDU7318_APP_DIR}\")\n"
     "  message(FATAL_ERROR \"the Debian package needs the absolute application folder: configure with \"\n"
     "                      \"-DPDU7318_APP_DIR=/etc/brenlo/7318 (now ${PDU7318_APP_DIR}, under the prefix)\")\n"
     "endif()\n")
set(CPACK_PROJECT_CONFIG_FILE ${_pkg_out}/CPackProjectConfig.cmake)
include(CPack)

# ---- tests of the root description file ----

if(PDU7318_TESTS)
  find_package(GTest REQUIRED)
  include(${PROJECT_SOURCE_DIR}/cmake/GTestEntries.cmake)
  file(GLOB _pkg_tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/packaging/*.cpp)
  add_executable(test_packaging ${_pkg_tests})
  target_link_libraries(test_packaging PRIVATE pdu7318_rootfile GTest::gtest_main pdu7318_warnings)
  target_compile_definitions(test_packaging PRIVATE
    PDU7318_ROOTFILE_TOOL="$<TARGET_FILE:pdu7318-rootfile>"
    PDU7318_LIBRARY="$<TARGET_FILE:pdu7318>")
  add_dependencies(test_packaging pdu7318-rootfile pdu7318)
  if(TARGET pdutool)
    target_compile_definitions(test_packaging PRIVATE PDUTOOL="$<TARGET_FILE:pdutool>")
    add_dependencies(test_packaging pdutool)
  endif()
  pdu7318_gtest(test_packaging unit.packaging)
endif()

# find_package(pdu7318) from an installed tree, without root (the Debian
# package's own test, tests/packaging/deb-test.sh, needs root).
if(PDU7318_TESTS)
  add_test(NAME packaging.find-package
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/packaging/find-package-test.sh
                   ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR})
  set_tests_properties(packaging.find-package PROPERTIES TIMEOUT 300)
endif()

# The version is typed only in project(), and every generated file that
# shows it says the same (tests/version/version_test.py).
if(PDU7318_TESTS)
  set(_pdutool_arg)
  if(TARGET pdutool)
    set(_pdutool_arg --pdutool $<TARGET_FILE:pdutool>)
  endif()
  add_test(NAME version.consistent
           COMMAND ${PDU7318_PYTHON} ${PROJECT_SOURCE_DIR}/tests/version/version_test.py
                   --source ${PROJECT_SOURCE_DIR} --build ${CMAKE_BINARY_DIR} --version ${PROJECT_VERSION}
                   ${_pdutool_arg})
endif()
