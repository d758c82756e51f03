# The network monitor taking a flood of events from four threads: the rate the
# rows arrive and the longest stall of the user-interface thread meanwhile.
# Included by this folder's CMakeLists.txt.
add_executable(bench_shell_NetworkMonitorBench ${CMAKE_CURRENT_LIST_DIR}/NetworkMonitorBench.cpp)
target_link_libraries(bench_shell_NetworkMonitorBench PRIVATE drovick_shell halvara_warnings)
