# The search window taking 4,096 results in one reply: how long until every row
# shows and the longest stall of the user-interface thread meanwhile. Included
# by this folder's CMakeLists.txt.
if(TARGET drovick_shell AND NOT TARGET bench_shell_SearchWindowBench)
  add_executable(bench_shell_SearchWindowBench ${CMAKE_CURRENT_LIST_DIR}/SearchWindowBench.cpp)
  target_link_libraries(bench_shell_SearchWindowBench PRIVATE drovick_shell halvara_warnings)
endif()
