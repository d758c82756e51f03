# The messenger holding 10,000 messages and the friends list filling 500
# friends: the longest stall of the user-interface thread in each.
# Included by this folder's CMakeLists.txt.
add_executable(bench_shell_MessengerBench ${CMAKE_CURRENT_LIST_DIR}/MessengerBench.cpp)
target_link_libraries(bench_shell_MessengerBench PRIVATE drovick_shell halvara_warnings)
add_executable(bench_shell_FriendsListBench ${CMAKE_CURRENT_LIST_DIR}/FriendsListBench.cpp)
target_link_libraries(bench_shell_FriendsListBench PRIVATE drovick_shell halvara_warnings)
