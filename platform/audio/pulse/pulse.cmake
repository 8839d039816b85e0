pkg_check_modules(LIBPULSE REQUIRED IMPORTED_TARGET libpulse)

add_library(vl_audio_pulse STATIC pulse/PulseAudioProvider.cpp pulse/PulseAudioServer.cpp)
target_link_libraries(vl_audio_pulse PUBLIC vl_audio vl_desktop PRIVATE PkgConfig::LIBPULSE)
