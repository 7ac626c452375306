# The fault matrix: network, disk, input and stop faults through the real window.
zelvo_gtest(fault_tests COST 2
  ${CMAKE_CURRENT_LIST_DIR}/fault_network_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fault_nested_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fault_input_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fault_disk_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fault_stop_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fault_chaos_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_main.cpp
)
target_link_libraries(fault_tests PRIVATE zelvo_ui zelvo_service_lib Qt6::Test)

# The stop child (ui.cmake) runs the cases that end the program or limit the file size.
# Preloaded into the child: every sync to the disk fails.
add_library(fail_sync SHARED ${CMAKE_CURRENT_LIST_DIR}/fail_sync.cpp)
target_compile_definitions(fault_tests PRIVATE STOP_CHILD_PATH="$<TARGET_FILE:stop_child>"
  FAIL_SYNC_PATH="$<TARGET_FILE:fail_sync>")
add_dependencies(fault_tests stop_child fail_sync)
