# Capture of Mutter's virtual monitors from their PipeWire consumers.
add_library(vl_capture_mutter STATIC
  ${CMAKE_CURRENT_LIST_DIR}/MutterCaptureService.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MutterCaptureStream.cpp)
target_link_libraries(vl_capture_mutter PUBLIC vl_capture vl_mutter PRIVATE vl_capture_convert)
