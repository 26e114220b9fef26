# The channel under a service manager: readiness and watchdog over a real notification socket,
# journal priorities on standard error; the unit file checked by systemd-analyze.
add_executable(vorn_service_tests service_test.cpp test_https_server.cpp)
target_link_libraries(vorn_service_tests
  PRIVATE vorn_platform PkgConfig::HTTPLIB nlohmann_json::nlohmann_json GTest::gtest_main)
target_compile_definitions(vorn_service_tests PRIVATE VORN_CHANNEL_BINARY="$<TARGET_FILE:vorn>")
add_dependencies(vorn_service_tests vorn)
add_test(NAME linux_service COMMAND vorn_service_tests)

# The Debian package unpacked into an empty root. The schedule and check commands are run once
# this source has them.
if(TARGET vorn_dist_files)
  if(EXISTS ${PROJECT_SOURCE_DIR}/tools/check/check.cpp AND EXISTS ${PROJECT_SOURCE_DIR}/tools/schedule/schedule.cpp)
    set(VORN_HAS_COMMANDS 1)
  else()
    set(VORN_HAS_COMMANDS 0)
  endif()
  add_test(NAME linux_package
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/package-test.sh ${PROJECT_SOURCE_DIR}
                   ${CMAKE_BINARY_DIR} ${VORN_HAS_COMMANDS})
  set_tests_properties(linux_package PROPERTIES TIMEOUT 600)
endif()
