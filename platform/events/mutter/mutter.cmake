# Input through Mutter's remote-desktop sessions.
add_library(vl_events_mutter STATIC ${CMAKE_CURRENT_LIST_DIR}/MutterEventsService.cpp)
target_link_libraries(vl_events_mutter PUBLIC vl_events vl_mutter)
