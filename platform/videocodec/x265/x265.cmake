pkg_check_modules(X265 REQUIRED IMPORTED_TARGET x265)
if(NOT TARGET vl_libyuv)
  # Debian's libyuv ships no pkg-config file.
  find_library(LIBYUV_LIBRARY yuv REQUIRED)
  add_library(vl_libyuv INTERFACE)
  target_link_libraries(vl_libyuv INTERFACE ${LIBYUV_LIBRARY})
endif()

add_library(vl_videocodec_x265 STATIC
  ${CMAKE_CURRENT_LIST_DIR}/X265CompressionSession.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X265VideoCodecService.cpp)
target_link_libraries(vl_videocodec_x265 PUBLIC vl_videocodec PRIVATE PkgConfig::X265 vl_libyuv)
