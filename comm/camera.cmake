# The camera relay of a sharing session: the camera server and its format observer.
add_library(vl_camera STATIC ${CMAKE_CURRENT_LIST_DIR}/CamServer.cpp
                             ${CMAKE_CURRENT_LIST_DIR}/PersonaFormatObserver.cpp
                             ${CMAKE_CURRENT_LIST_DIR}/CameraRelay.cpp)
target_link_libraries(vl_camera PUBLIC vl_endpoint vl_wire vl_notify vl_cameradevices)
target_include_directories(vl_camera PUBLIC ${CMAKE_SOURCE_DIR})

vantrel_add_tests(comm_camera_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/CamServerTests.cpp
  LIBS vl_camera vl_client vl_testing)
