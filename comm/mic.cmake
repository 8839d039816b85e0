# The microphone relay of a sharing session: the microphone server, the dropper that feeds the
# virtual microphone, and the relay role.
add_library(vl_mic STATIC ${CMAKE_CURRENT_LIST_DIR}/MicServer.cpp
                          ${CMAKE_CURRENT_LIST_DIR}/MicrophoneRelay.cpp
                          ${CMAKE_SOURCE_DIR}/Capture/MicDropper.cpp)
target_link_libraries(vl_mic PUBLIC vl_endpoint vl_wire vl_audio vl_audiocodec vl_audiotap)
target_include_directories(vl_mic PUBLIC ${CMAKE_SOURCE_DIR})

vantrel_add_tests(comm_mic_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/MicDropperTests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/MicServerTests.cpp
  LIBS vl_mic vl_audio_fake vl_client vl_testing)
