# `vorn simulate`: the application on the simulated platform, as a library for the command and its
# black-box tests.
if(TARGET vorn_sim)
  add_library(vorn_simulate STATIC ${CMAKE_CURRENT_LIST_DIR}/simulate.cpp)
  target_link_libraries(vorn_simulate PUBLIC vorn_logic vorn_sim)
endif()
