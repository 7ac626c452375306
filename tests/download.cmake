zelvo_gtest(download_logic_tests download_logic_test.cpp)
target_link_libraries(download_logic_tests PRIVATE zelvo_download GTest::gtest_main)
zelvo_gtest(locale_tests locale_test.cpp)
target_link_libraries(locale_tests PRIVATE zelvo_download)

# The film download driven without a window.
zelvo_gtest(film_engine_tests film_engine_test.cpp)
target_link_libraries(film_engine_tests PRIVATE zelvo_download zelvo_service_lib GTest::gtest_main)
