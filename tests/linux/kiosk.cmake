# The kiosk recipe's display path: the channel under cage on the headless wlroots backend.
add_test(NAME linux_kiosk
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/kiosk-test.sh $<TARGET_FILE:vorn>
                 ${CMAKE_BINARY_DIR}/share/vorn)
set_tests_properties(linux_kiosk PROPERTIES TIMEOUT 180 RUN_SERIAL TRUE)
