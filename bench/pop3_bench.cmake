# pop3_bench: qvpop395 retrieval throughput over loopback (run build/<dir>/bin/pop3_bench).
add_executable(pop3_bench ${CMAKE_CURRENT_SOURCE_DIR}/pop3_bench.cc
  ${CMAKE_SOURCE_DIR}/common/testing/test_env.cc)
target_include_directories(pop3_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(pop3_bench PRIVATE qvcommon pthread)
target_compile_definitions(pop3_bench PRIVATE QV_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
if(TARGET qvpop395)
  add_dependencies(pop3_bench qvpop395)
endif()
