# compare_tool: the mailbox filler and raw POP3 client of bench/compare.
add_executable(compare_tool ${CMAKE_CURRENT_SOURCE_DIR}/compare_tool.cc
  ${CMAKE_SOURCE_DIR}/common/testing/test_env.cc)
target_include_directories(compare_tool PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(compare_tool PRIVATE qvcommon)
