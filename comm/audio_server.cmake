# The system audio of a sharing session: the audio stream server and the relay role.
add_library(vl_systemaudio STATIC ${CMAKE_CURRENT_LIST_DIR}/AudioServer.cpp
                                  ${CMAKE_CURRENT_LIST_DIR}/SystemAudioRelay.cpp)
target_link_libraries(vl_systemaudio PUBLIC vl_endpoint vl_wire vl_audiotap vl_audiocodec)
target_include_directories(vl_systemaudio PUBLIC ${CMAKE_SOURCE_DIR})

vantrel_add_tests(comm_audio_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/AudioServerTests.cpp
  LIBS vl_systemaudio vl_audio_fake vl_client vl_testing)
vantrel_add_tests(comm_audio_pulse_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/AudioServerPulseTests.cpp
  LIBS vl_systemaudio vl_audio_pulse vl_client vl_testing)
