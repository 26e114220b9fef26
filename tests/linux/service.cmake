# The channel under a service manager: readiness and watchdog over a real notification socket,
# journal priorities on standard error; the unit file checked by systemd-analyze.
add_executable(vorn_service_tests service_test.cpp test_https_server.cpp)
target_link_libraries(vorn_service_tests PRIVATE vorn_platform PkgConfig::HTTPLIB GTest::gtest_main)
target_compile_definitions(vorn_service_tests PRIVATE VORN_CHANNEL_BINARY="$<TARGET_FILE:vorn>")
add_dependencies(vorn_service_tests vorn)
add_test(NAME linux_service COMMAND vorn_service_tests)
