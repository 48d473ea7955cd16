# smtp_bench: qvsmtp95 throughput over loopback (run build/<dir>/bin/smtp_bench --matrix).
add_executable(smtp_bench ${CMAKE_CURRENT_SOURCE_DIR}/smtp_bench.cc
  ${CMAKE_SOURCE_DIR}/common/testing/test_env.cc)
target_include_directories(smtp_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(smtp_bench PRIVATE qvcommon pthread)
if(TARGET qvsmtp95)
  add_dependencies(smtp_bench qvsmtp95)
endif()
