# `vorn simulate`: the application on the simulated platform, as a library for the command and its
# black-box tests. Options, the events table, the printer, and the run (the one user of the World).
if(TARGET vorn_sim)
  add_library(vorn_simulate STATIC
    ${CMAKE_CURRENT_LIST_DIR}/simulate.cpp
    ${CMAKE_CURRENT_LIST_DIR}/simulate_events.cpp
    ${CMAKE_CURRENT_LIST_DIR}/simulate_options.cpp
    ${CMAKE_CURRENT_LIST_DIR}/simulate_trace.cpp)
  target_link_libraries(vorn_simulate PUBLIC vorn_logic vorn_sim vorn_settings)
endif()
