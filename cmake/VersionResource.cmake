# Windows version resource (the "Details" tab of a file's properties, and
# what an installer or a support engineer reads to tell builds apart):
#   pdu7318_version_resource(TARGET "File description")
# File and product version are the project version; company and product
# names are those of the root description file entry (Product.cmake).
# Does nothing outside Windows.
include(${CMAKE_CURRENT_LIST_DIR}/Product.cmake)

function(pdu7318_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  if(NOT CMAKE_RC_COMPILER_LOADED)
    enable_language(RC)
  endif()
  get_target_property(_type ${target} TYPE)
  get_target_property(_name ${target} OUTPUT_NAME)
  if(NOT _name)
    set(_name ${target})
  endif()
  if(_type STREQUAL "SHARED_LIBRARY")
    set(PDU7318_RC_FILETYPE "0x2L")  # VFT_DLL
    set(PDU7318_RC_FILENAME "${_name}.dll")
  else()
    set(PDU7318_RC_FILETYPE "0x1L")  # VFT_APP
    set(PDU7318_RC_FILENAME "${_name}.exe")
  endif()
  set(PDU7318_RC_DESCRIPTION "${description}")
  set(PDU7318_RC_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  set(_rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${_rc} @ONLY)
  target_sources(${target} PRIVATE ${_rc})
endfunction()
