# The server base and the TLS identity it presents.
add_library(vl_endpoint STATIC
  ${CMAKE_CURRENT_LIST_DIR}/QuicServer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ClientGate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MediaServer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KeychainIdentityManager.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Der.cpp)
target_link_libraries(vl_endpoint PUBLIC vl_network vl_wire vl_crypto)
target_include_directories(vl_endpoint PUBLIC ${CMAKE_SOURCE_DIR})

vantrel_add_tests(comm_endpoint_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/DerTests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/KeychainIdentityManagerTests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/QuicServerTests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/MediaServerTests.cpp
  LIBS vl_endpoint vl_client vl_testing)
