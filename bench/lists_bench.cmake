# lists_bench: one message to a mailing list of local members through qvsmtp95 (run
# build/<dir>/bin/lists_bench).
add_executable(lists_bench ${CMAKE_CURRENT_SOURCE_DIR}/lists_bench.cc
  ${CMAKE_SOURCE_DIR}/common/testing/test_env.cc)
target_include_directories(lists_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(lists_bench PRIVATE qvcommon)
if(TARGET qvsmtp95)
  add_dependencies(lists_bench qvsmtp95)
endif()
