add_library(vl_events_fake STATIC ${CMAKE_CURRENT_LIST_DIR}/FakeEventsService.cpp)
target_link_libraries(vl_events_fake PUBLIC vl_events)
