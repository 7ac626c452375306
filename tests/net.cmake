# Tests of net/: text conversion and addresses, and the HTTP layer against the
# substitute server running in the same process.
zelvo_gtest(net_tests
  ${CMAKE_CURRENT_LIST_DIR}/net_text_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/net_http_test.cpp
)
target_link_libraries(net_tests PRIVATE zelvo_net zelvo_service_lib GTest::gtest_main)
