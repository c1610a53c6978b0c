# The fake VCI's core (VciCore: frame codec, answers, scheduling, faults),
# shared by vcisim, pdubench and the tests' VCI. Portable (no pty, no
# JSON), so that the tests built as Windows programs link it too; included
# by the top-level CMakeLists before the tests and tools.
# The tools' byte helpers (hex text, little-endian fields) come first: the
# core and every tool use them.
add_library(hex_bytes STATIC ${PROJECT_SOURCE_DIR}/tools/common/HexBytes.cpp)
target_include_directories(hex_bytes PUBLIC ${PROJECT_SOURCE_DIR}/tools/common)
target_link_libraries(hex_bytes PRIVATE pdu7318_warnings)

add_library(vci_core STATIC ${CMAKE_CURRENT_LIST_DIR}/VciCore.cpp)
target_include_directories(vci_core PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vci_core PUBLIC frame_codec hex_bytes Threads::Threads PRIVATE pdu7318_warnings)

# The pseudo-terminal pair that vcisim and the tests' PtyVci put it on.
if(NOT WIN32)
  add_library(vci_pty STATIC ${CMAKE_CURRENT_LIST_DIR}/PtyPair.cpp)
  target_include_directories(vci_pty PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(vci_pty PRIVATE pdu7318_warnings)
endif()
