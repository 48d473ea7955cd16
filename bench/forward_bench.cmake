# forward_bench: forwarding throughput to a loopback sink, and qvsmtp95's inbound rate while a
# forward run is going (run build/<dir>/bin/forward_bench).
add_executable(forward_bench ${CMAKE_CURRENT_SOURCE_DIR}/forward_bench.cc
  ${CMAKE_SOURCE_DIR}/common/testing/test_env.cc)
target_include_directories(forward_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(forward_bench PRIVATE qvsmtp pthread)
if(TARGET qvsmtp95)
  add_dependencies(forward_bench qvsmtp95)
endif()
