# The project's version is typed once, in project() of CMakeLists.txt.
# Everything else that shows it is written from there at configure time:
#
#   <build>/data/                 the application folder as the build has it:
#     PDUAPI_7318.ini             generated from data/PDUAPI_7318.ini.in
#                                 (APISWVersion = 0xMMmmpp00 in decimal)
#     MDF.xml, config.ini,        links to data/ (copies where links cannot
#     scenarios/                  be made)
#   <build>/man/pdutool.1,        generated from man/*.1.in (the .TH header)
#     vcisim.1
#   python/pdu7318/_version.py    in the source tree (git ignores it): the
#                                 package is imported and pip-installed from
#                                 python/, so its version must be there
#
# The library's file name, pdutool --version, the Debian package, the
# Python package's dist-info, the Windows version resources take
# PROJECT_VERSION directly; tools/windows/installer.sh reads the project()
# line for the setup program. Every consumer of the application folder
# (tests, scripts, the install) takes it from <build>/data, where
# PDU7318_DATA_DIR points.

set(PDU7318_DATA_DIR ${CMAKE_BINARY_DIR}/data)

math(EXPR PDU7318_VERSION_WORD
     "(${PROJECT_VERSION_MAJOR} << 24) | (${PROJECT_VERSION_MINOR} << 16) | (${PROJECT_VERSION_PATCH} << 8)")
configure_file(${PROJECT_SOURCE_DIR}/data/PDUAPI_7318.ini.in ${PDU7318_DATA_DIR}/PDUAPI_7318.ini @ONLY)
foreach(name MDF.xml config.ini scenarios)
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/data/${name} ${PDU7318_DATA_DIR}/${name} COPY_ON_ERROR SYMBOLIC)
endforeach()

foreach(page vcisim.1 pdutool.1)
  configure_file(${PROJECT_SOURCE_DIR}/man/${page}.in ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
endforeach()

configure_file(${PROJECT_SOURCE_DIR}/python/pdu7318/_version.py.in
               ${PROJECT_SOURCE_DIR}/python/pdu7318/_version.py @ONLY)
