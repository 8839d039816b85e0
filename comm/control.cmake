# The control server, the speed test and the advertisement of the control port.
add_library(vl_control STATIC
  ${CMAKE_CURRENT_LIST_DIR}/AppShell.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ControlServer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SpeedTestServer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VNTmDnsServer.cpp)
target_link_libraries(vl_control PUBLIC vl_endpoint vl_wire vl_systeminfo)
target_include_directories(vl_control PUBLIC ${CMAKE_SOURCE_DIR})

vantrel_add_tests(comm_control_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/ControlServerTests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/SpeedTestServerTests.cpp
  LIBS vl_control vl_appdelegate)
