# Read throughput of the HTTP layer next to the curl command line tool.
add_executable(net_read_bench ${CMAKE_CURRENT_LIST_DIR}/net_read.cpp)
target_link_libraries(net_read_bench PRIVATE zelvo_net zelvo_service_lib)
