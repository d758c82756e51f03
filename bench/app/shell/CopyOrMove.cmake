# The copy-or-move benchmark; included by this folder's CMakeLists.txt. A
# folder-wide glob may have made the target already.
if(TARGET drovick_shell AND NOT TARGET bench_shell_CopyOrMoveBench)
  add_executable(bench_shell_CopyOrMoveBench ${CMAKE_CURRENT_LIST_DIR}/CopyOrMoveBench.cpp)
  target_link_libraries(bench_shell_CopyOrMoveBench PRIVATE drovick_shell halvara_warnings)
endif()
