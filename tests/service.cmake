zelvo_gtest(service_tests service_main.cpp service_server_test.cpp service_films_test.cpp)
target_link_libraries(service_tests PRIVATE zelvo_service_lib)
target_compile_definitions(service_tests PRIVATE ZELVO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
