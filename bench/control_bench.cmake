# control_bench: qvctrl95 answering the console's one-record-per-request table load over loopback,
# and SET and STATE while another client loads (run build/<dir>/bin/control_bench).
add_executable(control_bench ${CMAKE_CURRENT_SOURCE_DIR}/control_bench.cc
  ${CMAKE_SOURCE_DIR}/common/testing/test_env.cc)
target_include_directories(control_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(control_bench PRIVATE qvnet pthread)
if(TARGET qvctrl95)
  add_dependencies(control_bench qvctrl95)
endif()
