# collect_bench: one check of a remote POP account collecting 1,000 messages of 10 KB, and the
# POP3 service's STAT response time meanwhile (run build/<dir>/bin/collect_bench).
add_executable(collect_bench ${CMAKE_CURRENT_SOURCE_DIR}/collect_bench.cc
  ${CMAKE_SOURCE_DIR}/common/testing/test_env.cc)
target_include_directories(collect_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(collect_bench PRIVATE qvpop3 pthread)
