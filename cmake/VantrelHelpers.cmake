# The suites the fuzz build builds as well, under its sanitizers (AddressSanitizer with
# LeakSanitizer, UndefinedBehaviorSanitizer): those of the code that reads client bytes, and of
# the transport, queues and servers under it. That build already instruments their libraries for
# the fuzzers, so only the tests themselves are compiled once more; scripts/test runs them there
# (target sanitized_tests).
set(VANTREL_SANITIZED_SUITES base_tests base_main_driven_tests network_tests localsocket_tests
    comm_wire_tests comm_endpoint_tests comm_control_tests comm_video_tests comm_audio_tests
    comm_camera_tests comm_mic_tests workers_tests audiocodec_tests audiotap_tests
    pasteboard_convert_tests clipboard_tests input_tests lensway_tests)

# vantrel_add_tests(NAME SOURCES... LIBS ...): one GoogleTest binary registered with CTest.
function(vantrel_add_tests name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(VANTREL_FUZZ AND NOT name IN_LIST VANTREL_SANITIZED_SUITES)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  set(properties TIMEOUT 300)
  if(VANTREL_FUZZ)
    # Labelled apart from the scripted tests, which every build registers.
    list(APPEND properties LABELS sanitized)
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL ON)
    if(NOT TARGET sanitized_tests)
      add_custom_target(sanitized_tests)
    endif()
    add_dependencies(sanitized_tests ${name})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()

# vantrel_add_fuzzer(NAME SOURCE LIBS ...): a libFuzzer target, built only in the fuzz build. The
# target "fuzzers" builds them all and only what they link, not the programs.
function(vantrel_add_fuzzer name source)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  if(NOT VANTREL_FUZZ)
    return()
  endif()
  add_executable(${name} ${source})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  if(NOT TARGET fuzzers)
    add_custom_target(fuzzers)
  endif()
  add_dependencies(fuzzers ${name})
endfunction()

# vantrel_add_benchmark(NAME SOURCES... LIBS ...): a Google Benchmark program in build/bench/.
function(vantrel_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT VANTREL_BENCH OR VANTREL_FUZZ)
    return()
  endif()
  find_package(benchmark REQUIRED)
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark)
endfunction()
