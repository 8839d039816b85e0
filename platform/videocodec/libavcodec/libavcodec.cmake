pkg_check_modules(LIBAV_DECODE REQUIRED IMPORTED_TARGET libavcodec libavutil libswscale)

add_library(vl_videocodec_decoder STATIC ${CMAKE_CURRENT_LIST_DIR}/HevcDecoder.cpp)
target_include_directories(vl_videocodec_decoder PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(vl_videocodec_decoder PUBLIC vl_base PRIVATE PkgConfig::LIBAV_DECODE)
