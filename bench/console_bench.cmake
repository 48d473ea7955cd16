# console_bench: the console's load of a user table of 1,000 users, in local mode (the table
# files) and in remote mode (a running qvctrl95 over loopback), and the console's opening (run build/<dir>/bin/console_bench).
add_executable(console_bench ${CMAKE_CURRENT_SOURCE_DIR}/console_bench.cc
  ${CMAKE_SOURCE_DIR}/common/testing/test_env.cc)
target_include_directories(console_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(console_bench PRIVATE qvconsole_store pthread)
# With the pages built, the whole console is timed too: opened, then the user category expanded.
if(TARGET qvconsole_ui)
  target_link_libraries(console_bench PRIVATE qvconsole_ui)
  target_compile_definitions(console_bench PRIVATE QV_BENCH_CONSOLE_UI=1)
endif()
if(TARGET qvctrl95)
  add_dependencies(console_bench qvctrl95)
endif()
