zelvo_gtest(ui_window_tests ui_window_test.cpp qt_main.cpp)
target_link_libraries(ui_window_tests PRIVATE zelvo_ui Qt6::Test)

zelvo_gtest(film_download_tests film_download_test.cpp qt_main.cpp)
target_link_libraries(film_download_tests PRIVATE zelvo_ui zelvo_service_lib Qt6::Test)

zelvo_gtest(commands_tests commands_test.cpp qt_main.cpp)
target_link_libraries(commands_tests PRIVATE zelvo_ui zelvo_service_lib Qt6::Test)

add_executable(stop_child stop_child.cpp)
target_link_libraries(stop_child PRIVATE zelvo_ui zelvo_test_deps)
zelvo_reuse_pch(stop_child zelvo_test_pch_host)
zelvo_gtest(stop_tests COST 15 stop_test.cpp)
target_link_libraries(stop_tests PRIVATE zelvo_service_lib zelvo_net Qt6::Core)
target_compile_definitions(stop_tests PRIVATE STOP_CHILD_PATH="$<TARGET_FILE:stop_child>")
add_dependencies(stop_tests stop_child)

# The desktop session through a private session bus that only the test's fakes answer on.
# One ctest entry: every case needs the bus.
add_executable(desktop_bus_tests desktop_bus_test.cpp qt_main.cpp)
target_link_libraries(desktop_bus_tests PRIVATE zelvo_test_deps zelvo_ui zelvo_service_lib)
zelvo_reuse_pch(desktop_bus_tests zelvo_test_pch_host)
target_compile_definitions(desktop_bus_tests PRIVATE STOP_CHILD_PATH="$<TARGET_FILE:stop_child>")
add_dependencies(desktop_bus_tests stop_child)
add_test(NAME DesktopBus COMMAND dbus-run-session
  --config-file=${CMAKE_CURRENT_SOURCE_DIR}/private-bus.conf -- $<TARGET_FILE:desktop_bus_tests>)
set_tests_properties(DesktopBus PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 900)

# The window through AT-SPI as a screen reader reads it: its own Xvfb, at-spi2-core's buses,
# Debian's python3-pyatspi (hence the system interpreter).
find_program(ZELVO_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
add_test(NAME AccessibilityTree COMMAND dbus-run-session -- ${ZELVO_SYSTEM_PYTHON}
  ${CMAKE_CURRENT_SOURCE_DIR}/atspi_check.py $<TARGET_FILE:zelvo>)
set_tests_properties(AccessibilityTree PROPERTIES TIMEOUT 900)
