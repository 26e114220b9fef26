# The mpv half of the backend: its player and drawing headless, and the real window under a virtual
# display (run-window-test.sh starts Xvfb and a window manager around window_test).
add_executable(vorn_mpv_tests mpv_player_test.cpp mpv_reload_test.cpp test_https_server.cpp)
target_link_libraries(vorn_mpv_tests PRIVATE vorn_linux PkgConfig::HTTPLIB GTest::gtest_main)
target_compile_definitions(vorn_mpv_tests PRIVATE VORN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_test(NAME linux_mpv_player COMMAND vorn_mpv_tests)

add_executable(vorn_window_test window_test.cpp test_https_server.cpp)
target_link_libraries(vorn_window_test PRIVATE vorn_linux PkgConfig::HTTPLIB GTest::gtest_main)
target_compile_definitions(vorn_window_test PRIVATE VORN_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                                   VORN_BINARY_DIR="${CMAKE_CURRENT_BINARY_DIR}"
                                                   VORN_TOP_BINARY_DIR="${CMAKE_BINARY_DIR}")
add_test(NAME linux_window
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/run-window-test.sh $<TARGET_FILE:vorn_window_test>)
