zelvo_gtest(ui_window_tests ui_window_test.cpp qt_main.cpp)
target_link_libraries(ui_window_tests PRIVATE zelvo_ui Qt6::Test)

zelvo_gtest(film_download_tests film_download_test.cpp qt_main.cpp)
target_link_libraries(film_download_tests PRIVATE zelvo_ui zelvo_service_lib Qt6::Test)
