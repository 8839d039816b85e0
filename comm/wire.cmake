# The wire protocol: packet framing, the control connection's reassembly, control records and
# text payloads.
find_package(nlohmann_json REQUIRED)

add_library(vl_wire STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Packet.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PacketReassembler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ControlRecords.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DisplayDescriptor.cpp)
target_include_directories(vl_wire PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(vl_wire PUBLIC vl_base PRIVATE nlohmann_json::nlohmann_json)

vantrel_add_tests(comm_wire_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/PacketTests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/PacketReassemblerTests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/ControlRecordsTests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/DisplayDescriptorTests.cpp
  LIBS vl_wire)
