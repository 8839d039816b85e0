# The control server, the speed test and the advertisement of the control port.
add_library(vl_control STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ControlServer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PasswordGuessThrottle.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SessionEnvironment.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SharingSession.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SpeedTestServer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VNTmDnsServer.cpp)
target_link_libraries(vl_control PUBLIC vl_endpoint vl_wire)
target_include_directories(vl_control PUBLIC ${CMAKE_SOURCE_DIR})

# The whole environment of a control server made of recording fakes, for tests.
add_library(vl_control_testing INTERFACE)
target_link_libraries(vl_control_testing INTERFACE
  vl_control vl_testing vl_capture_fake vl_videocodec_fake vl_display_fake)

vantrel_add_tests(comm_control_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/ControlServerTests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/PasswordGuessThrottleTests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/SpeedTestServerTests.cpp
  LIBS vl_control_testing vl_client)
